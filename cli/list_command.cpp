// list: the removable cards the system sees, one line each.
#include <CLI/CLI.hpp>
#include <algorithm>

#include "cli/command_parts.h"
#include "cli/commands.h"
#include "cli/terminal.h"
#include "disks/cards.h"

namespace cli {
namespace {

int listCommand() {
  const std::vector<disks::CardDescription> cards = disks::listCards();
  if (cards.empty()) {
    writeErrors("no removable cards found\n");
    return kSuccess;
  }
  std::vector<std::vector<std::string>> rows = {
      {"TARGET", "DISK", "SIZE", "WRITES", "VENDOR", "PRODUCT", "IN USE"}};
  for (const disks::CardDescription& card : cards) {
    std::string use;
    for (const std::string& part : card.mounted) use += (use.empty() ? "" : ", ") + part;
    // A card whose lock switch is on is refused by a write: said before one
    // is tried.
    const std::string writes = card.noCard ? "" : card.writeProtected ? "write-protected" : "yes";
    rows.push_back({card.name, card.disk, card.noCard ? "no card" : sizeText(card.bytes), writes,
                    card.vendor, card.product, use});
  }
  std::vector<std::size_t> widths(rows[0].size(), 0);
  for (const auto& row : rows)
    for (std::size_t k = 0; k < row.size(); ++k) widths[k] = std::max(widths[k], row[k].size());
  std::string out;
  for (const auto& row : rows) {
    std::string line;
    for (std::size_t k = 0; k < row.size(); ++k) {
      line += row[k];
      if (k + 1 < row.size()) line += std::string(widths[k] - row[k].size() + 2, ' ');
    }
    while (!line.empty() && line.back() == ' ') line.pop_back();
    out += line + "\n";
  }
  writeOutput(out);
  return kSuccess;
}

}  // namespace

void addListCommand(CLI::App& app, int& status) {
  app.add_subcommand("list", "Lists the removable cards the system sees.")->callback([&status] {
    status = listCommand();
  });
}

}  // namespace cli
