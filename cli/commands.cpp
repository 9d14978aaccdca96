#include "cli/commands.h"

#include <CLI/CLI.hpp>
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <memory>
#include <sstream>
#include <thread>

#include "card/backup_run.h"
#include "card/compare_run.h"
#include "card/image_file.h"
#include "card/messages.h"
#include "card/owned.h"
#include "card/write_run.h"
#include "cli/console.h"
#include "cli/help.h"
#include "cli/hints.h"
#include "cli/platform.h"
#include "cli/record.h"
#include "cli/sha256.h"
#include "cli/stop_request.h"
#include "cli/terminal.h"
#include "disks/cards.h"
#include "version/version.h"

namespace cli {
namespace {

constexpr std::int64_t kHeaderBytes = 8;
constexpr std::int64_t kBlockBytes = 512;

std::string sizeText(std::int64_t bytes) {
  if (bytes < 0) return "size unknown";
  static const char* const kUnits[] = {"KiB", "MiB", "GiB", "TiB"};
  if (bytes < 1024) return std::to_string(bytes) + " bytes";
  double value = static_cast<double>(bytes) / 1024;
  int unit = 0;
  while (value >= 1024 && unit < 3) {
    value /= 1024;
    ++unit;
  }
  char text[32];
  std::snprintf(text, sizeof text, "%.1f %s", value, kUnits[unit]);
  return text;
}

void usageError(const std::string& command, const std::string& problem) {
  const std::string help = programName() + (command.empty() ? "" : " " + command) + " --help";
  writeErrors("ERROR: " + problem + "\nRun '" + help + "' for more information.\n");
}

// Whether two paths name the same file, existing or still to be made.
bool sameFile(const std::string& a, const std::string& b) {
  namespace fs = std::filesystem;
  std::error_code error;
  const fs::path first = filePath(a);
  const fs::path second = filePath(b);
  if (fs::exists(first, error) && fs::exists(second, error))
    return fs::equivalent(first, second, error);
  return fs::weakly_canonical(first, error) == fs::weakly_canonical(second, error);
}

std::int64_t fileBytes(const std::string& path) {
  std::error_code error;
  const auto bytes = std::filesystem::file_size(filePath(path), error);
  return error ? -1 : static_cast<std::int64_t>(bytes);
}

// What the command line knows of an image before any card is touched, from
// one read of the file: its header as the card writer checks it, its size,
// how many blocks a write puts on a card and, when asked for, the SHA-256 of
// the whole file and of the blocks a card receives.
struct ImageFacts {
  bool opens = false;
  std::uint32_t openError = 0;  // the system's code when it does not open
  card::HeaderCheck header;
  std::int64_t bytes = -1;
  std::int64_t blocksOnCard = 0;
  // Empty when not asked for, or when the file could not be read to its end
  // (a read that failed part-way is no end of the file: no hash of half a
  // file passes for the image's).
  std::string blocksSha256;
  std::string fileSha256;
};

// The hashes of the file and of the blocks a write puts on a card, in one
// read from the file's start. A file that ends inside the blocks its header
// claims gives one more, short, block, completed as a write completes it:
// with the rest of the block before it (zeros before block 0). False when
// the file could not be read to its end.
bool hashImage(card::ImageFiles& files, card::NativeHandle file, std::int64_t claimedBytes,
               ImageFacts& facts) {
  Sha256 blocks;
  Sha256 whole;
  if (!blocks || !whole || !files.seekImage(file, 0)) return false;
  // A whole number of blocks, so that every read of the blocks but the last
  // ends on a block's end.
  std::vector<unsigned char> chunk(std::size_t(2048) * kBlockBytes);
  std::vector<unsigned char> before(kBlockBytes, 0);
  std::int64_t offset = 0;
  const auto read = [&](std::size_t wanted) {
    const std::size_t got = files.readImage(file, chunk.data(), wanted);
    whole.update(chunk.data(), got);
    offset += std::int64_t(got);
    return got;
  };
  bool ended = read(std::size_t(kHeaderBytes)) < std::size_t(kHeaderBytes);
  for (std::int64_t left = claimedBytes; !ended && left > 0;) {
    const std::size_t wanted =
        std::size_t(std::min<std::int64_t>(left, std::int64_t(chunk.size())));
    const std::size_t got = read(wanted);
    const std::size_t part = got % std::size_t(kBlockBytes);
    const std::size_t wholeBytes = got - part;
    blocks.update(chunk.data(), wholeBytes);
    if (got < wanted) {
      ended = true;
      if (files.imageReadFailed(file)) return false;
      unsigned char* shortBlock = chunk.data() + wholeBytes;
      const unsigned char* blockBefore = wholeBytes > 0 ? shortBlock - kBlockBytes : before.data();
      std::copy(blockBefore + part, blockBefore + kBlockBytes, shortBlock + part);
      blocks.update(shortBlock, std::size_t(kBlockBytes));
    } else {
      std::copy(chunk.data() + wholeBytes - kBlockBytes, chunk.data() + wholeBytes, before.begin());
    }
    left -= std::int64_t(got);
  }
  while (!ended) ended = read(chunk.size()) < chunk.size();
  if (files.imageReadFailed(file)) return false;
  // A file the system gives no size for (an image on a block device) is as
  // long as what was read from it.
  if (facts.bytes < 0) facts.bytes = offset;
  facts.blocksSha256 = blocks.hexDigest();
  facts.fileSha256 = whole.hexDigest();
  return true;
}

ImageFacts imageFacts(card::ImageFiles& files, const std::string& path, bool hashes) {
  ImageFacts facts;
  card::NativeHandle handle = 0;
  if (!files.openImage(path, handle)) {
    facts.openError = files.lastError();
    return facts;
  }
  const card::ImageFile file(files, handle);
  facts.opens = true;
  facts.bytes = fileBytes(path);
  facts.header = card::readHeader(file);
  const std::int64_t claimedBytes =
      facts.header.accepted ? std::max<std::int64_t>(facts.header.blockCount, 0) * kBlockBytes : 0;
  if (hashes) hashImage(files, file.get(), claimedBytes, facts);
  if (facts.header.accepted)
    facts.blocksOnCard = card::blocksOnCard(facts.header.blockCount, facts.bytes - kHeaderBytes);
  return facts;
}

std::string describe(const disks::CardDescription& card) {
  std::string text = card.name;
  if (!card.disk.empty()) text += "  " + card.disk;
  text += "  " + sizeText(card.bytes);
  if (card.bytes >= 0) text += " (" + std::to_string(card.bytes) + " bytes)";
  const std::string names = card.vendor + (card.vendor.empty() ? "" : " ") + card.product;
  if (!names.empty()) text += "  " + names;
  return text;
}

// After a run that did not end well, what the system's answer may mean.
void hintAfter(const card::Outcome& outcome, ConsoleUi& ui, const RunFiles& files) {
  const std::string hint = hintAfterRun(outcome, ui.driveText(), files);
  if (!hint.empty()) ui.note("hint: " + hint);
}

// ---- list -----------------------------------------------------------------

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

// ---- info -----------------------------------------------------------------

struct InfoArgs {
  std::string image;
};

// What a file named as an image is not, as a message and its hint.
int refuseInfo(const std::string& message, const std::string& hint) {
  writeErrors(messageLine(message, card::kErrorCaption) + "\n" +
              (hint.empty() ? std::string() : "hint: " + hint + "\n"));
  return kFailure;
}

int infoCommand(const InfoArgs& args) {
  // A folder opens for reading on some systems and then reads as nothing.
  if (isFolder(args.image))
    return refuseInfo("image file does not open", imageOpenHint(args.image, 0));
  const std::unique_ptr<card::DiskServices> disk = makeDiskServices();
  const ImageFacts facts = imageFacts(disk->files(), args.image, true);
  if (!facts.opens)
    return refuseInfo("image file does not open", imageOpenHint(args.image, facts.openError));
  std::string out = args.image + "\n";
  if (!facts.header.accepted) {
    out += "header: " + facts.header.failure + "\n";
    out += "size: " + std::to_string(facts.bytes) + " bytes\n";
    if (!facts.fileSha256.empty()) out += "image_sha256: " + facts.fileSha256 + "\n";
    writeOutput(out);
    const std::string hint = headerHint(args.image, facts.header, facts.bytes);
    if (!hint.empty()) writeErrors("hint: " + hint + "\n");
    return kFailure;
  }
  const std::int64_t count = std::max<std::int64_t>(facts.header.blockCount, 0);
  const std::int64_t claimed = kHeaderBytes + count * kBlockBytes;
  out += "header: accepted\n";
  out += "blocks: " + card::blockCountText(facts.header.blockCount) + "\n";
  out += "size: " + std::to_string(facts.bytes) + " bytes, the header claims " +
         std::to_string(claimed) + " (8 + " + std::to_string(count) + " x 512)";
  if (facts.bytes < claimed)
    out += ": " + std::to_string(claimed - facts.bytes) + " bytes short, a write warns at block " +
           std::to_string(std::max<std::int64_t>(0, facts.bytes - kHeaderBytes) / kBlockBytes);
  else if (facts.bytes > claimed)
    out += ": " + std::to_string(facts.bytes - claimed) + " bytes after the last block, never read";
  out += "\n";
  if (facts.blocksSha256.empty()) {
    writeOutput(out);
    writeErrors(messageLine("image file could not be read", card::kErrorCaption) + "\n");
    return kFailure;
  }
  // The same two names as the record's columns.
  out += "image_sha256: " + facts.fileSha256 + "  (the whole file)\n";
  out += "blocks_sha256: " + facts.blocksSha256 + "  (the " + std::to_string(facts.blocksOnCard) +
         " blocks a write puts on the card";
  if (facts.blocksOnCard < count) out += ", the last one completed as a write completes it";
  out += ")\n";
  writeOutput(out);
  return kSuccess;
}

// ---- write ----------------------------------------------------------------

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

// One card of a write, from its name on the command line to its record line.
struct CardJob {
  std::string name;
  disks::CardDescription description;
  std::string backup;
  std::string refusal;
  card::Outcome outcome;
  // Its run began (the backup, or the write when there is none).
  bool started = false;
  // Its backup (if any) complete and its write begun: the card may hold
  // anything from here on.
  bool writeStarted = false;
  double seconds = 0;
};

// The local time in a file name: 20261210-130500.
std::string fileTime() {
  const std::time_t now = std::time(nullptr);
  char text[32] = {};
  std::strftime(text, sizeof text, "%Y%m%d-%H%M%S", std::localtime(&now));
  return text;
}

// Asks `question` on the terminal; true for a y. A stop while the question
// waits for its answer is no answer.
bool answeredYes(const std::string& question) {
  writeErrors(question);
  std::string answer;
  // No answer (Ctrl-C, the input's end) leaves the question's line open: what
  // follows goes on a line of its own.
  if (!readInputLine(answer)) {
    writeErrors("\n");
    return false;
  }
  while (!answer.empty() && (answer.back() == '\r' || answer.back() == ' ')) answer.pop_back();
  return (answer == "y" || answer == "Y" || answer == "yes") && !stopRequested();
}

bool confirmed(const WriteArgs& args, const std::vector<CardJob>& jobs, const ImageFacts& facts) {
  std::string question = "Everything on " +
                         std::string(jobs.size() == 1 ? "this card" : "these cards") +
                         " will be overwritten:\n";
  for (const CardJob& job : jobs) question += "  " + describe(job.description) + "\n";
  question += "with " + args.image + " (" + std::to_string(facts.blocksOnCard) + " blocks, " +
              sizeText(facts.blocksOnCard * kBlockBytes) + ").\nWrite? [y/N] ";
  return answeredYes(question);
}

// Whether a backup may be made under `path`: a file already there is
// replaced only on the operator's word, --yes or a y on the terminal. With
// neither the command is refused before any card is opened, and the file
// keeps its bytes. A folder is no file to replace: the backup fails on it.
bool mayReplace(const std::string& path, bool yes) {
  namespace fs = std::filesystem;
  std::error_code error;
  const fs::path file = fs::u8path(path);
  if (yes || !fs::exists(fs::symlink_status(file, error)) || fs::is_directory(file, error))
    return true;
  if (!inputIsTerminal()) {
    writeErrors(messageLine(path + " exists: name a new file, or add --yes to replace it",
                            card::kErrorCaption) +
                "\n");
    return false;
  }
  if (answeredYes("replace " + path + "? [y/N] ")) return true;
  writeErrors("nothing written\n");
  return false;
}

// A name in `folder` for a card's backup, after the card and the time, that
// no file has yet: a second backup of the card within the same second gets
// -2, -3, ... and never replaces the first.
std::string backupName(const std::string& folder, const std::string& stem,
                       const std::string& stamp) {
  namespace fs = std::filesystem;
  for (int n = 1;; ++n) {
    const fs::path path =
        fs::u8path(folder) /
        fs::u8path(stem + "-" + stamp + (n == 1 ? "" : "-" + std::to_string(n)) + ".S7img");
    std::error_code error;
    if (!fs::exists(fs::symlink_status(path, error))) return path.u8string();
  }
}

void runCard(CardJob& job, const WriteArgs& args, Console& console, const std::string& prefix) {
  const auto start = std::chrono::steady_clock::now();
  // A stop asked for before this card's run began: nothing of it starts.
  if (stopRequested()) {
    job.outcome.ending = card::Ending::Stopped;
    return;
  }
  job.started = true;
  const std::unique_ptr<card::DiskServices> disk = makeDiskServices();
  ConsoleUi ui(console, job.name, prefix, args.image);
  // The card is written only once what it held is safe in its backup.
  if (!job.backup.empty()) {
    ui.setPhase("backup: ");
    job.outcome = card::runBackup(*disk, ui, job.backup);
    ui.setPhase("");
  }
  if (job.backup.empty() || job.outcome.done()) {
    card::WriteOptions options;
    options.verify = !args.noVerify;
    options.eject = !args.noEject;
    job.writeStarted = true;
    job.outcome = card::runWrite(*disk, ui, options);
    if (options.eject) {
      const std::string out = afterEject(job.outcome, job.name);
      if (!out.empty()) ui.note(out);
    }
  }
  hintAfter(job.outcome, ui, RunFiles{args.image, job.backup});
  job.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
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
  if (!args.yes && !inputIsTerminal()) {
    usageError("write",
               "no terminal to ask whether to overwrite the card: add --yes to write without "
               "asking");
    return false;
  }
  return true;
}

// Each card described, its backup named and its refusal (if any) found; false,
// with the usage error shown, when two names lead to one card: two runs
// would write the same disk at once.
bool describeCards(const WriteArgs& args, std::vector<CardJob>& jobs) {
  const std::string stamp = fileTime();
  for (CardJob& job : jobs) {
    job.description = disks::describeCard(job.name);
    if (!args.backup.empty()) job.backup = args.backup;
    if (!args.backupDir.empty()) job.backup = backupName(args.backupDir, cardStem(job.name), stamp);
    std::vector<std::string> files = {args.image};
    if (!job.backup.empty()) files.push_back(job.backup);
    job.refusal = disks::cardRefusal(job.name, files);
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

// How many blocks of the image a card took, whatever the ending: none when
// its write never began.
std::int64_t blocksWritten(const CardJob& job) {
  if (!job.writeStarted) return 0;
  return std::max<std::int64_t>(job.outcome.blocksWritten, 0);
}

// Whether the card was read back and held the image.
bool verified(const CardJob& job, const WriteArgs& args) {
  return job.writeStarted && job.outcome.done() && !args.noVerify;
}

// The record's line for one card.
RecordLine recordLine(const WriteArgs& args, const CardJob& job, const ImageFacts& facts) {
  RecordLine line;
  line.time = utcNow();
  line.operation = job.backup.empty() ? "write" : "backup and write";
  line.image = args.image;
  line.imageSha256 = facts.fileSha256;
  line.blocksSha256 = facts.blocksSha256;
  line.target = job.name;
  line.cardBytes = job.description.bytes;
  line.vendor = job.description.vendor;
  line.product = job.description.product;
  line.blocksWritten = blocksWritten(job);
  line.verified = verified(job, args) ? "yes" : "no";
  line.seconds = job.seconds;
  if (!job.refusal.empty())
    line.result = job.refusal;
  else if (job.outcome.ending == card::Ending::Done || job.outcome.ending == card::Ending::Stopped)
    line.result = card::endingName(job.outcome.ending);
  else
    line.result = job.outcome.text;
  return line;
}

// "12.3 s" below a minute's tenth, "125 s" above.
std::string secondsText(double seconds) {
  char text[32];
  std::snprintf(text, sizeof text, seconds < 10 ? "%.1f s" : "%.0f s", seconds);
  return text;
}

// What one card got, said after every closing message: written (and read
// back or not), stopped or failed at a block, or untouched.
std::string cardResultLine(const CardJob& job, const WriteArgs& args) {
  const std::string name = job.name + ": ";
  const card::Outcome& outcome = job.outcome;
  if (!job.refusal.empty()) return name + "refused, untouched";
  if (!job.started) return name + "not started, untouched";
  if (!job.writeStarted)
    return name + "not written, its backup did not complete; the card is untouched";
  const std::int64_t blocks = blocksWritten(job);
  switch (outcome.ending) {
    case card::Ending::Done:
      return name +
             (args.noVerify ? "written, not read back (--no-verify), "
                            : "written and read back, ") +
             std::to_string(blocks) + " blocks (" + sizeText(blocks * kBlockBytes) + ") in " +
             secondsText(job.seconds);
    case card::Ending::Refused:
      return name + "refused, untouched";
    case card::Ending::Failed:
    case card::Ending::Stopped: {
      std::string line = name + card::endingName(outcome.ending);
      if (outcome.block >= 0) line += " at block " + std::to_string(outcome.block);
      return line + ", " + std::to_string(blocks) +
             " blocks written; the card does not hold the image";
    }
  }
  return {};
}

// The lines after the closing messages: one per card of a tray, and one for
// a lone card unless its refusal already says that nothing was written.
void sayWhatEachCardGot(const std::vector<CardJob>& jobs, const WriteArgs& args) {
  std::string lines;
  for (const CardJob& job : jobs) {
    const bool refused = !job.refusal.empty() || job.outcome.ending == card::Ending::Refused;
    if (jobs.size() == 1 && refused) continue;
    lines += cardResultLine(job, args) + "\n";
  }
  writeErrors(lines);
}

int writeCommand(const WriteArgs& args) {
  std::vector<CardJob> jobs;
  if (!checkWriteArgs(args, jobs) || !describeCards(args, jobs)) return kUsageError;

  const std::unique_ptr<card::DiskServices> disk = makeDiskServices();
  std::unique_ptr<Record> record;
  if (!args.record.empty()) {
    record = std::make_unique<Record>(args.record);
    std::string error;
    if (!record->writable(error)) {
      writeErrors(messageLine(error, card::kErrorCaption) + "\n");
      return kFailure;
    }
  }
  const ImageFacts facts = imageFacts(disk->files(), args.image, record != nullptr);
  auto account = [&](const CardJob& job) {
    std::string error;
    if (record && !record->append(recordLine(args, job, facts), error))
      writeErrors(messageLine(error, card::kErrorCaption) + "\n");
  };

  const bool several = jobs.size() > 1;
  auto prefixOf = [&](const CardJob& job) { return several ? job.name + ": " : std::string(); };
  // A tray with a card that cannot be written is looked at again before any
  // card of it is: nothing is written then.
  bool refused = false;
  for (CardJob& job : jobs) {
    if (job.refusal.empty()) continue;
    writeErrors(prefixOf(job) + messageLine(job.refusal, card::kErrorCaption) + "\n");
    refused = true;
  }
  if (refused) {
    for (CardJob& job : jobs) {
      job.outcome.ending = card::Ending::Refused;
      account(job);
    }
    sayWhatEachCardGot(jobs, args);
    return kFailure;
  }

  if (!args.backup.empty() && !mayReplace(args.backup, args.yes)) return kFailure;
  if (!args.yes && facts.header.accepted && !confirmed(args, jobs, facts)) {
    writeErrors("nothing written\n");
    return kFailure;
  }

  const KeepAwake awake;
  Console console(!args.quiet && errorsAreTerminal());
  if (jobs.size() == 1) {
    runCard(jobs[0], args, console, "");
  } else {
    std::vector<std::thread> threads;
    for (CardJob& job : jobs)
      threads.emplace_back([&, prefix = prefixOf(job)] { runCard(job, args, console, prefix); });
    for (std::thread& thread : threads) thread.join();
  }
  console.endProgress();
  bool allDone = true;
  for (const CardJob& job : jobs) {
    account(job);
    allDone = allDone && job.outcome.done();
  }
  sayWhatEachCardGot(jobs, args);
  return allDone ? kSuccess : kFailure;
}

// ---- read and compare -----------------------------------------------------

// The two runs that only read the card: the backup (read) and the compare.
struct CardReadArgs {
  enum class Kind { Backup, Compare };
  Kind kind = Kind::Backup;
  std::string card;
  std::string image;
  bool yes = false;
  bool quiet = false;
};

int cardReadCommand(const CardReadArgs& args) {
  const bool backup = args.kind == CardReadArgs::Kind::Backup;
  std::string name;
  std::string problem;
  if (!normaliseCardName(args.card, name, problem)) {
    usageError(backup ? "read" : "compare", problem);
    return kUsageError;
  }
  // Nothing is written by a compare: the image may lie anywhere, the card
  // itself too.
  const std::string refusal = disks::cardRefusal(
      name, backup ? std::vector<std::string>{args.image} : std::vector<std::string>{},
      disks::CardUse::Read);
  if (!refusal.empty()) {
    writeErrors(messageLine(refusal, card::kErrorCaption) + "\n");
    return kFailure;
  }
  if (backup && !mayReplace(args.image, args.yes)) return kFailure;
  const std::unique_ptr<card::DiskServices> disk = makeDiskServices();
  const KeepAwake awake;
  Console console(!args.quiet && errorsAreTerminal());
  ConsoleUi ui(console, name, "", backup ? std::string() : args.image);
  const card::Outcome outcome =
      backup ? card::runBackup(*disk, ui, args.image) : card::runCompare(*disk, ui);
  hintAfter(outcome, ui,
            backup ? RunFiles{std::string(), args.image} : RunFiles{args.image, std::string()});
  console.endProgress();
  return outcome.done() ? kSuccess : kFailure;
}

int runCommand(const std::vector<std::string>& args) {
  CLI::App app{
      "Writes S7 MMC card image files (.S7img) onto memory cards, reads cards back into images "
      "and compares cards with images.",
      programName()};
  useHelpLayout(app);
  app.require_subcommand(1);
  // One way of writing options on every system: "/x" is a path, never an
  // option.
  app.allow_windows_style_options(false);
  app.set_version_flag("--version", std::string("quenvory ") + QUENVORY_VERSION_TEXT,
                       "print the version and the source revision it was built from, and exit");
  const std::string cardHelp = cardNameDescription();
  // The chosen command's exit status, set by its callback.
  int status = kUsageError;

  app.add_subcommand("list", "Lists the removable cards the system sees.")->callback([&] {
    status = listCommand();
  });

  InfoArgs info;
  CLI::App* infoApp = app.add_subcommand(
      "info",
      "Checks an image file: its header, its size, the SHA-256 of the file (image_sha256) and "
      "of the blocks a card receives (blocks_sha256).");
  infoApp->add_option("IMAGE", info.image, "the .S7img file")->required();
  infoApp->callback([&] { status = infoCommand(info); });

  WriteArgs write;
  CLI::App* writeApp = app.add_subcommand(
      "write", "Writes IMAGE onto each TARGET (several at once), reads each back and compares it.");
  writeApp->add_option("IMAGE", write.image, "the .S7img file")->required();
  writeApp->add_option("TARGET", write.cards, cardHelp)->required();
  writeApp->add_flag("-y,--yes", write.yes,
                     "write, and replace a --backup FILE, without asking (needed without a "
                     "terminal)");
  writeApp->add_flag("--no-verify", write.noVerify, "do not read the card back");
  writeApp->add_flag("--no-eject", write.noEject,
                     "keep the card in its reader after the write (Windows ejects it by default)");
  writeApp->add_option("--record", write.record, "append one CSV line per card to this file")
      ->type_name("FILE");
  CLI::Option* backup =
      writeApp->add_option("--backup", write.backup,
                           "read the card into this image file first (one TARGET; not with "
                           "--backup-dir)");
  backup->type_name("FILE");
  CLI::Option* backupDir = writeApp->add_option(
      "--backup-dir", write.backupDir,
      "read each card into an image file in this folder first, named after the card and the "
      "time (not with --backup)");
  backupDir->type_name("DIR");
  backup->excludes(backupDir);
  writeApp->add_flag("-q,--quiet", write.quiet, "no progress line");
  writeApp->footer(helpText(writeHelp()));
  writeApp->callback([&] {
    installStopHandlers();
    status = writeCommand(write);
  });

  CardReadArgs read;
  read.kind = CardReadArgs::Kind::Backup;
  CLI::App* readApp = app.add_subcommand(
      "read",
      "Reads the whole card into a new image file (read twice, kept only when both agree).");
  readApp->add_option("TARGET", read.card, cardHelp)->required();
  readApp->add_option("IMAGE", read.image, "the .S7img file to make")->required();
  readApp->add_flag("-y,--yes", read.yes,
                    "replace an IMAGE file already there without asking (needed without a "
                    "terminal)");
  readApp->add_flag("-q,--quiet", read.quiet, "no progress line");
  readApp->callback([&] {
    installStopHandlers();
    status = cardReadCommand(read);
  });

  CardReadArgs compare;
  compare.kind = CardReadArgs::Kind::Compare;
  CLI::App* compareApp =
      app.add_subcommand("compare", "Compares the card with an image file; writes nothing.");
  compareApp->add_option("IMAGE", compare.image, "the .S7img file")->required();
  compareApp->add_option("TARGET", compare.card, cardHelp)->required();
  compareApp->add_flag("-q,--quiet", compare.quiet, "no progress line");
  compareApp->callback([&] {
    installStopHandlers();
    status = cardReadCommand(compare);
  });

  // Below the program's own help alone: a command takes its parent's
  // footer when it is added.
  app.footer(helpText(programHelp()));

  // CLI11 would ask for a command before it names the stranger.
  const std::vector<std::string> commands = {"list", "info", "write", "read", "compare"};
  if (args.size() > 1 && !args[1].empty() && args[1][0] != '-' &&
      std::find(commands.begin(), commands.end(), args[1]) == commands.end()) {
    usageError("", "unknown command '" + args[1] +
                       "': the commands are list, info, write, read "
                       "and compare");
    return kUsageError;
  }
  std::vector<std::string> reversed(args.rbegin(), args.rend());
  if (!reversed.empty()) reversed.pop_back();  // the program's own name
  try {
    app.parse(reversed);
  } catch (const CLI::ParseError& error) {
    std::ostringstream out;
    std::ostringstream err;
    if (error.get_exit_code() == 0) {
      app.exit(error, out, err);
      writeOutput(out.str());
      writeErrors(err.str());
      return kSuccess;
    }
    std::string command;
    for (CLI::App* sub : app.get_subcommands()) command = sub->get_name();
    usageError(command.empty() ? std::string() : command, error.what());
    return kUsageError;
  }
  return status;
}

}  // namespace

int run(const std::vector<std::string>& args) {
  const int status = runCommand(args);
  // A console being closed may end the process now: the cards are free and
  // the record written.
  commandFinished();
  return status;
}

}  // namespace cli
