#include "cli/help.h"

#include <CLI/CLI.hpp>
#include <memory>
#include <sstream>

#include "cli/commands.h"
#include "cli/platform.h"
#include "cli/record.h"

namespace cli {
namespace {

// Lines of at most this many columns: a terminal of 80 keeps every line
// whole, and the manual page's filler has whole words to work with.
constexpr std::size_t kWidth = 79;
// Where an option's or an entry's meaning begins.
constexpr std::size_t kTermColumn = 2;
constexpr std::size_t kTextColumn = 22;

// `text` in lines of at most kWidth columns, the first `first` columns
// already taken (the line begun), every further line indented by `indent`.
std::string filled(const std::string& text, std::size_t first, std::size_t indent) {
  std::istringstream words(text);
  std::string out;
  std::size_t column = first;
  bool lineStart = true;
  for (std::string word; words >> word;) {
    if (!lineStart && column + 1 + word.size() > kWidth) {
      out += "\n" + std::string(indent, ' ');
      column = indent;
      lineStart = true;
    }
    if (!lineStart) {
      out += ' ';
      ++column;
    }
    out += word;
    column += word.size();
    lineStart = false;
  }
  return out + "\n";
}

// "  term                what it means", the meaning on the next line when
// the term leaves no room for it.
std::string entryText(const std::string& term, const std::string& text) {
  std::string out = std::string(kTermColumn, ' ') + term;
  if (out.size() + 2 > kTextColumn) {
    out += "\n" + std::string(kTextColumn, ' ');
  } else {
    out += std::string(kTextColumn - out.size(), ' ');
  }
  return out + filled(text, kTextColumn, kTextColumn);
}

std::string optionTerm(const CLI::Option* option) {
  std::string names = option->get_name(false, true);
  std::string term;
  for (char c : names) term += c == ',' ? std::string(", ") : std::string(1, c);
  // A flag takes no value; every other option names its value's kind.
  if (option->get_type_size() != 0) term += " " + option->get_type_name();
  return term;
}

class PlainWords : public CLI::Formatter {
 public:
  std::string make_help(const CLI::App* app, std::string name, CLI::AppFormatMode) const override {
    std::string out = filled(app->get_description(), 0, 0) + "\n";
    const auto positionals =
        app->get_options([](const CLI::Option* option) { return option->get_positional(); });
    const auto options =
        app->get_options([](const CLI::Option* option) { return !option->get_positional(); });
    const auto commands = app->get_subcommands({});
    std::string usage = "Usage: " + name;
    if (!commands.empty()) usage += " COMMAND";
    if (!options.empty()) usage += " [OPTIONS]";
    if (!commands.empty()) usage += " [ARGUMENTS]";
    for (const CLI::Option* positional : positionals)
      usage += " " + positional->get_name(true, false) +
               (positional->get_items_expected_max() > 1 ? "..." : "");
    out += usage + "\n";
    if (!positionals.empty()) {
      out += "\nArguments:\n";
      for (const CLI::Option* positional : positionals)
        out += entryText(positional->get_name(true, false), positional->get_description());
    }
    if (!options.empty()) {
      out += "\nOptions:\n";
      for (const CLI::Option* option : options)
        out += entryText(optionTerm(option), option->get_description());
    }
    if (!commands.empty()) {
      out += "\nCommands:\n";
      for (const CLI::App* command : commands)
        out += entryText(command->get_name(), command->get_description());
    }
    const std::string footer = app->get_footer();
    if (!footer.empty()) out += "\n" + footer;
    return out;
  }
};

}  // namespace

HelpSection& HelpSection::paragraph(std::string text) {
  items.push_back({Item::Kind::Paragraph, {}, std::move(text)});
  return *this;
}

HelpSection& HelpSection::entry(std::string term, std::string text) {
  items.push_back({Item::Kind::Entry, std::move(term), std::move(text)});
  return *this;
}

HelpSection& HelpSection::commandLine(std::string text) {
  items.push_back({Item::Kind::CommandLine, {}, std::move(text)});
  return *this;
}

std::string helpText(const std::vector<HelpSection>& sections) {
  std::string out;
  for (const HelpSection& section : sections) {
    if (!out.empty()) out += "\n";
    out += section.heading + ":\n";
    for (std::size_t k = 0; k < section.items.size(); ++k) {
      const HelpSection::Item& item = section.items[k];
      switch (item.kind) {
        case HelpSection::Item::Kind::Paragraph:
          out += std::string(kTermColumn, ' ') + filled(item.text, kTermColumn, kTermColumn);
          // A paragraph ends at a blank line (an entry's term would read as
          // its next line), unless a command line it introduces follows.
          if (k + 1 < section.items.size() &&
              section.items[k + 1].kind != HelpSection::Item::Kind::CommandLine)
            out += "\n";
          break;
        case HelpSection::Item::Kind::Entry:
          out += entryText(item.term, item.text);
          break;
        case HelpSection::Item::Kind::CommandLine:
          out += "    $ " + item.text + "\n";
          break;
      }
    }
  }
  return out;
}

void useHelpLayout(CLI::App& app) {
  app.formatter(std::make_shared<PlainWords>());
  app.set_help_flag("-h,--help", "print this help and exit");
}

std::vector<HelpSection> programHelp() {
  const std::string program = programName();
  const PlatformHelp platform = platformHelp();
  const std::string& card = platform.cards[0];
  const std::string& other = platform.cards[1];
  const std::string image = platform.folder + "image.S7img";
  std::vector<HelpSection> sections;
  sections.push_back(HelpSection{"Rights", {}}.paragraph(platform.rights));
  sections.push_back(
      HelpSection{"Finding the card", {}}
          .paragraph("Put the card in its reader and run '" + program +
                     " list': its TARGET column names each card as the other commands take it, "
                     "beside its size, whether it takes writes, its reader and what of it is in "
                     "use. Take the card out and run it again to be sure which line is the card.")
          .paragraph("Before anything is written, write names the card, its size and its reader "
                     "and asks for y (--yes answers for a script)."));
  HelpSection refused{"What is refused", {}};
  refused.paragraph(
      "Before anything is read or written, with the reason in the message, and then nothing of "
      "that run starts (no card of a write of several cards):");
  for (const auto& refusal : platform.refusals) refused.entry(refusal.first, refusal.second);
  sections.push_back(refused);
  sections.push_back(
      HelpSection{"Stops", {}}
          .paragraph(platform.stops +
                     " stops a run the normal way: the batch of blocks under way completes, the "
                     "card is released, and the run ends with 'MMC ERROR: stopped at block N, "
                     "the card does not hold the image' (a write), '..., no backup was kept' (a "
                     "backup: no file is left under its name, and a file of that name from "
                     "before is untouched) or 'stopped at block N' (a compare).")
          .paragraph("A stop is a failure: the exit status is 1 and the record says 'stopped'. "
                     "A second Ctrl-C changes nothing: the card's release is never cut short. A "
                     "stop while write asks whether to go on writes nothing."));
  sections.push_back(
      HelpSection{"Exit status", {}}
          .entry(std::to_string(kSuccess), "success: every card done")
          .entry(std::to_string(kFailure),
                 "failure: a card refused, failed or stopped (its message says which)")
          .entry(std::to_string(kUsageError),
                 "usage error: the command line itself is wrong; nothing was touched"));
  sections.push_back(
      HelpSection{"Examples", {}}
          .paragraph("Write one card (the question names it; answer y):")
          .commandLine(program + " write " + image + " " + card)
          .paragraph("Write two cards at once and keep a record of each:")
          .commandLine(program + " write --record cards.csv " + image + " " + card + " " + other)
          .paragraph("Keep what a card holds, then write it:")
          .commandLine(program + " write --backup before.S7img " + image + " " + card)
          .paragraph("Check a card against its image:")
          .commandLine(program + " compare " + image + " " + card));
  return sections;
}

std::vector<HelpSection> writeHelp() {
  // What each column of the record holds, in the order the file has them.
  static const std::pair<const char*, const char*> kColumns[] = {
      {"time", "when the card's run ended, UTC (2026-12-10T13:05:00Z)"},
      {"operation", "write, or backup and write"},
      {"image", "the image file as named on the command line"},
      {"image_sha256", "the SHA-256 of the whole image file"},
      {"target", "the card as named on the command line"},
      {"card_bytes", "the card's size in bytes (empty when unknown)"},
      {"vendor", "the card reader's vendor"},
      {"product", "the card reader's product"},
      {"blocks_written",
       "the 512-byte blocks the card took from block 0 on, for every ending (0 for a card "
       "refused or not started)"},
      {"seconds", "how long the card's run took"},
      {"result", "done, stopped, or the message that ended the run"},
      {"writer_version", "this program's version and the source revision it was built from"},
      {"verified", "yes when the card was read back and held the image, no otherwise"},
      {"blocks_sha256",
       "the SHA-256 of the blocks a card receives (info shows the same two hashes under the "
       "same names)"},
  };
  HelpSection record{"The record", {}};
  record.paragraph(
      "With --record FILE, one line per card is appended to that CSV file after the card's "
      "run, so that every card of a tray is accounted for, a refused one too; a new or empty "
      "file gets the column names first. The columns:");
  std::istringstream names(Record::kHeader);
  for (std::string name; std::getline(names, name, ',');) {
    std::string meaning;
    for (const auto& column : kColumns)
      if (name == column.first) meaning = column.second;
    record.entry(name, meaning);
  }
  const PlatformHelp platform = platformHelp();
  HelpSection backups{"Backup files", {}};
  backups.paragraph(
      "With --backup FILE or --backup-dir DIR, before a card is written it is read into an image "
      "file and read a second time; the "
      "file is kept only when both reads agree, and the card is written only then. --backup-dir "
      "names each file after the card and the local time the write began: " +
      platform.backupNames +
      ". A file is written under its name with .partial added and renamed at the end: a failed "
      "or stopped backup leaves no file, and a file of that name from before is untouched.");
  return {record, backups};
}

}  // namespace cli
