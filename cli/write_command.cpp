// write: the image onto each card named, each read back, every card
// accounted for.
#include <CLI/CLI.hpp>
#include <algorithm>
#include <filesystem>
#include <memory>

#include "card/messages.h"
#include "cli/card_results.h"
#include "cli/card_runner.h"
#include "cli/checks.h"
#include "cli/command_parts.h"
#include "cli/commands.h"
#include "cli/help.h"
#include "cli/image_facts.h"
#include "cli/platform.h"
#include "cli/record.h"
#include "cli/stop_request.h"
#include "cli/terminal.h"

namespace cli {
namespace {

struct WriteArgs {
  std::string image;
  std::vector<std::string> cards;
  bool yes = false;
  bool noVerify = false;
  bool noEject = false;
  bool quiet = false;
  std::string record;
  std::string backup;
  std::string backupDir;
};

bool confirmed(const WriteArgs& args, const std::vector<CardJob>& jobs, const ImageFacts& facts) {
  std::string question = "Everything on " +
                         std::string(jobs.size() == 1 ? "this card" : "these cards") +
                         " will be overwritten:\n";
  for (const CardJob& job : jobs) question += "  " + describe(job.description) + "\n";
  question += "with " + args.image + " (" + std::to_string(facts.blocksOnCard) + " blocks, " +
              sizeText(facts.blocksOnCard * std::int64_t(card::kBlockSize)) + ").\nWrite? [y/N] ";
  return answeredYes(question);
}

// What a write's arguments name, checked before anything is looked at: false,
// with the usage error shown, when they cannot stand together.
bool checkWriteArgs(const WriteArgs& args, std::vector<CardJob>& jobs) {
  for (const std::string& text : args.cards) {
    CardJob job;
    std::string problem;
    if (!normaliseCardName(text, job.name, problem)) {
      usageError("write", problem);
      return false;
    }
    for (const CardJob& other : jobs)
      if (other.name == job.name) {
        usageError("write", "the card " + job.name + " is named twice");
        return false;
      }
    jobs.push_back(std::move(job));
  }
  if (!args.backup.empty() && jobs.size() > 1) {
    usageError("write", "--backup takes one target; for several use --backup-dir");
    return false;
  }
  if (!args.backupDir.empty() && !std::filesystem::is_directory(filePath(args.backupDir))) {
    usageError("write", "--backup-dir " + args.backupDir + " is not a folder");
    return false;
  }
  // A backup or a record put in the image's place would replace the image
  // before it is written, or write into it.
  const std::pair<const std::string*, const char*> others[] = {{&args.backup, "--backup"},
                                                               {&args.record, "--record"}};
  for (const auto& other : others)
    if (!other.first->empty() && sameFile(*other.first, args.image)) {
      usageError("write", std::string(other.second) + " names the image file itself");
      return false;
    }
  if (!args.backup.empty() && !args.record.empty() && sameFile(args.backup, args.record)) {
    usageError("write", "--backup and --record name the same file");
    return false;
  }
  return true;
}

// Each card described and its backup named; false,
// with the usage error shown, when two names lead to one card: two runs
// would write the same disk at once.
bool describeCards(const WriteArgs& args, std::vector<CardJob>& jobs) {
  // One time for every card's backup name; the time zone is read only then.
  const std::string stamp = args.backupDir.empty() ? std::string() : fileTime();
  for (CardJob& job : jobs) {
    job.description = disks::describeCard(job.name);
    if (!args.backup.empty()) job.backup = args.backup;
    if (!args.backupDir.empty()) job.backup = backupName(args.backupDir, cardStem(job.name), stamp);
  }
  for (std::size_t k = 0; k < jobs.size(); ++k)
    for (std::size_t other = 0; other < k; ++other)
      if (!jobs[k].description.disk.empty() &&
          jobs[k].description.disk == jobs[other].description.disk) {
        usageError("write", jobs[other].name + " and " + jobs[k].name + " are the same card (" +
                                jobs[k].description.disk + ")");
        return false;
      }
  return true;
}

// The files the write makes beside its cards: the record, then each
// backup's place. The record is made (empty) when new.
bool filesAccepted(const WriteArgs& args, const std::vector<CardJob>& jobs, Record* record) {
  if (record) {
    std::string error;
    if (!record->writable(error)) {
      sayError(error);
      return false;
    }
  }
  if (!args.backup.empty()) return backupPlaceAccepted(args.backup, args.yes);
  if (!args.backupDir.empty()) return backupFolderAccepted(jobs.front().backup);
  return true;
}

// Every card judged before any is asked about or written; true when all
// passed. A tray with a card that cannot be written is refused whole, each
// card's refusal shown under its name.
bool cardsAccepted(const WriteArgs& args, std::vector<CardJob>& jobs) {
  Console console(false);
  bool all = true;
  for (CardJob& job : jobs) {
    std::vector<std::string> files = {args.image};
    if (!job.backup.empty()) files.push_back(job.backup);
    const std::string prefix = jobs.size() > 1 ? job.name + ": " : std::string();
    if (!cardAccepted(job.name, files, disks::CardUse::Write, console, prefix, job.refusal))
      all = false;
  }
  return all;
}

// Without --yes: the question on a terminal, or the refusal for want of
// --yes without one, naming the cards it would have asked about. Asked only
// once every check has passed.
int confirmation(const WriteArgs& args, const std::vector<CardJob>& jobs, const ImageFacts& facts) {
  if (args.yes) return kSuccess;
  if (!inputIsTerminal()) {
    std::string names;
    for (const CardJob& job : jobs) names += (names.empty() ? "" : ", ") + job.name;
    usageError("write",
               "no terminal to ask whether to overwrite the card: add --yes to write without "
               "asking (" +
                   names + ")");
    return kUsageError;
  }
  if (confirmed(args, jobs, facts)) return kSuccess;
  writeErrors("nothing written\n");
  return kFailure;
}

// The checks in their order: the arguments, the image, the files the write
// makes, the cards; then the question. The exit status of the first that
// fails, kSuccess when the cards may be written.
int checkWrite(const WriteArgs& args, std::vector<CardJob>& jobs, std::unique_ptr<Record>& record,
               ImageFacts& facts) {
  if (!checkWriteArgs(args, jobs) || !describeCards(args, jobs)) return kUsageError;
  if (!args.record.empty()) record = std::make_unique<Record>(args.record);
  const std::unique_ptr<card::DiskServices> disk = makeDiskServices();
  facts = imageFacts(disk->files(), args.image, record != nullptr);
  if (!imageAccepted(args.image, facts)) return kFailure;
  if (!filesAccepted(args, jobs, record.get())) return kFailure;
  if (!cardsAccepted(args, jobs)) {
    for (CardJob& job : jobs) job.outcome.ending = card::Ending::Refused;
    return kFailure;
  }
  return confirmation(args, jobs, facts);
}

int writeCommand(const WriteArgs& args) {
  std::vector<CardJob> jobs;
  std::unique_ptr<Record> record;
  ImageFacts facts;
  const int checked = checkWrite(args, jobs, record, facts);
  auto account = [&](const CardJob& job) {
    std::string error;
    if (record && !record->append(recordLine(job, args.image, facts, !args.noVerify), error))
      sayError(error);
  };
  const bool refused = std::any_of(jobs.begin(), jobs.end(), [](const CardJob& job) {
    return job.outcome.ending == card::Ending::Refused;
  });
  if (refused) {
    // Every card of a refused tray accounted for, untouched.
    for (const CardJob& job : jobs) account(job);
    sayWhatEachCardGot(jobs, !args.noVerify);
  }
  if (checked != kSuccess) return checked;

  card::WriteOptions options;
  options.verify = !args.noVerify;
  options.eject = !args.noEject;
  writeTray(jobs, args.image, options, args.quiet);
  bool allDone = true;
  for (const CardJob& job : jobs) {
    account(job);
    allDone = allDone && job.outcome.done();
  }
  sayWhatEachCardGot(jobs, !args.noVerify);
  return allDone ? kSuccess : kFailure;
}

}  // namespace

void addWriteCommand(CLI::App& app, int& status) {
  const auto args = std::make_shared<WriteArgs>();
  const std::string cardHelp = cardNameDescription();
  CLI::App* command = app.add_subcommand(
      "write", "Writes IMAGE onto each TARGET (several at once), reads each back and compares it.");
  command->add_option("IMAGE", args->image, "the .S7img file")->required();
  command->add_option("TARGET", args->cards, cardHelp)->required();
  command->add_flag("-y,--yes", args->yes,
                    "write, and replace a --backup FILE, without asking (needed without a "
                    "terminal)");
  command->add_flag("--no-verify", args->noVerify, "do not read the card back");
  command->add_flag("--no-eject", args->noEject,
                    "keep the card in its reader after the write (Windows ejects it by default)");
  command->add_option("--record", args->record, "append one CSV line per card to this file")
      ->type_name("FILE");
  CLI::Option* backup =
      command->add_option("--backup", args->backup,
                          "read the card into this image file first (one TARGET; not with "
                          "--backup-dir)");
  backup->type_name("FILE");
  CLI::Option* backupDir = command->add_option(
      "--backup-dir", args->backupDir,
      "read each card into an image file in this folder first, named after the card and the "
      "time (not with --backup)");
  backupDir->type_name("DIR");
  backup->excludes(backupDir);
  command->add_flag("-q,--quiet", args->quiet, "no progress line");
  command->footer(helpText(writeHelp()));
  command->callback([args, &status] {
    installStopHandlers();
    status = writeCommand(*args);
  });
}

}  // namespace cli
