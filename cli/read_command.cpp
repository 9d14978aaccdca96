// read: the whole card into a new image file, read twice and kept only when
// both agree.
#include <CLI/CLI.hpp>
#include <memory>

#include "card/backup_run.h"
#include "cli/card_runner.h"
#include "cli/checks.h"
#include "cli/command_parts.h"
#include "cli/commands.h"
#include "cli/platform.h"
#include "cli/stop_request.h"

namespace cli {
namespace {

struct ReadArgs {
  std::string card;
  std::string image;
  bool yes = false;
  bool quiet = false;
};

int readCommand(const ReadArgs& args) {
  std::string name;
  std::string problem;
  if (!normaliseCardName(args.card, name, problem)) {
    usageError("read", problem);
    return kUsageError;
  }
  // The file's place first: the card is read only for a file that can be
  // put in place.
  if (!backupPlaceAccepted(args.image, args.yes)) return kFailure;
  std::string refusal;
  Console console(false);
  if (!cardAccepted(name, {args.image}, disks::CardUse::Read, console, "", refusal))
    return kFailure;
  const card::Outcome outcome = readCard(name, RunFiles{std::string(), args.image}, args.quiet,
                                         [&](card::DiskServices& disk, ConsoleUi& ui) {
                                           return card::runBackup(disk, ui, args.image);
                                         });
  return outcome.done() ? kSuccess : kFailure;
}

}  // namespace

void addReadCommand(CLI::App& app, int& status) {
  const auto args = std::make_shared<ReadArgs>();
  CLI::App* command = app.add_subcommand(
      "read",
      "Reads the whole card into a new image file (read twice, kept only when both agree).");
  command->add_option("TARGET", args->card, cardNameDescription())->required();
  command->add_option("IMAGE", args->image, "the .S7img file to make")->required();
  command->add_flag("-y,--yes", args->yes,
                    "replace an IMAGE file already there without asking (needed without a "
                    "terminal)");
  command->add_flag("-q,--quiet", args->quiet, "no progress line");
  command->callback([args, &status] {
    installStopHandlers();
    status = readCommand(*args);
  });
}

}  // namespace cli
