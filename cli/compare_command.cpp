// compare: the card against an image file; writes nothing.
#include <CLI/CLI.hpp>
#include <memory>

#include "card/compare_run.h"
#include "cli/card_runner.h"
#include "cli/checks.h"
#include "cli/command_parts.h"
#include "cli/commands.h"
#include "cli/image_facts.h"
#include "cli/platform.h"
#include "cli/stop_request.h"

namespace cli {
namespace {

struct CompareArgs {
  std::string image;
  std::string card;
  bool quiet = false;
};

int compareCommand(const CompareArgs& args) {
  std::string name;
  std::string problem;
  if (!normaliseCardName(args.card, name, problem)) {
    usageError("compare", problem);
    return kUsageError;
  }
  {
    const std::unique_ptr<card::DiskServices> disk = makeDiskServices();
    if (!imageAccepted(args.image, imageFacts(disk->files(), args.image, false))) return kFailure;
  }
  // Nothing is written by a compare: the image may lie anywhere, the card
  // itself too.
  std::string refusal;
  Console console(false);
  if (!cardAccepted(name, {}, disks::CardUse::Read, console, "", refusal)) return kFailure;
  const card::Outcome outcome =
      readCard(name, RunFiles{args.image, std::string()}, args.quiet,
               [](card::DiskServices& disk, ConsoleUi& ui) { return card::runCompare(disk, ui); });
  return outcome.done() ? kSuccess : kFailure;
}

}  // namespace

void addCompareCommand(CLI::App& app, int& status) {
  const auto args = std::make_shared<CompareArgs>();
  CLI::App* command =
      app.add_subcommand("compare", "Compares the card with an image file; writes nothing.");
  command->add_option("IMAGE", args->image, "the .S7img file")->required();
  command->add_option("TARGET", args->card, cardNameDescription())->required();
  command->add_flag("-q,--quiet", args->quiet, "no progress line");
  command->callback([args, &status] {
    installStopHandlers();
    status = compareCommand(*args);
  });
}

}  // namespace cli
