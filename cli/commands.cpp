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

#include "card/compare_operation.h"
#include "cli/console.h"
#include "card/image_file.h"
#include "card/messages.h"
#include "card/owned.h"
#include "cli/platform.h"
#include "card/read_operation.h"
#include "cli/record.h"
#include "cli/sha256.h"
#include "cli/terminal.h"
#include "card/write_operation.h"
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
  const fs::path first = fs::u8path(a);
  const fs::path second = fs::u8path(b);
  if (fs::exists(first, error) && fs::exists(second, error))
    return fs::equivalent(first, second, error);
  return fs::weakly_canonical(first, error) == fs::weakly_canonical(second, error);
}

std::int64_t fileBytes(const std::string& path) {
  std::error_code error;
  const auto bytes = std::filesystem::file_size(std::filesystem::u8path(path), error);
  return error ? -1 : static_cast<std::int64_t>(bytes);
}

// What the command line knows of an image before any card is touched: its
// header as the card writer checks it, and how many blocks a write puts on
// a card.
struct ImageFacts {
  bool opens = false;
  card::HeaderCheck header;
  std::int64_t bytes = -1;
  // Blocks a write puts on the card: the header's count, or up to and with
  // the short block of a short image.
  std::int64_t blocksOnCard = 0;
};

ImageFacts imageFacts(card::DiskServices& disk, const std::string& path) {
  ImageFacts facts;
  card::NativeHandle handle = 0;
  if (!disk.openImage(path, handle)) return facts;
  const card::ImageFile file(disk, handle);
  facts.opens = true;
  facts.header = card::readHeader(file);
  facts.bytes = fileBytes(path);
  if (facts.header.accepted && facts.header.blockCount > 0) {
    const std::int64_t claimed = facts.header.blockCount;
    const std::int64_t present = std::max<std::int64_t>(0, facts.bytes - kHeaderBytes);
    facts.blocksOnCard =
        present >= claimed * kBlockBytes ? claimed : std::min(claimed, present / kBlockBytes + 1);
  }
  return facts;
}

// SHA-256 of `length` bytes of the file from `offset` on (fewer when the
// file ends first); `hashed` says how many. Empty when it cannot be read.
std::string fileSha256(card::DiskServices& disk, const std::string& path, std::int64_t offset,
                       std::int64_t length, std::int64_t& hashed) {
  hashed = 0;
  Sha256 hash;
  card::NativeHandle handle = 0;
  if (!hash || !disk.openImage(path, handle)) return {};
  const card::ImageFile file(disk, handle);
  if (!disk.seekImage(file.get(), offset)) return {};
  std::vector<unsigned char> chunk(1 << 20);
  while (length < 0 || hashed < length) {
    std::size_t want = chunk.size();
    if (length >= 0)
      want = static_cast<std::size_t>(
          std::min<std::int64_t>(static_cast<std::int64_t>(want), length - hashed));
    const std::size_t got = disk.readImage(file.get(), chunk.data(), want);
    hash.update(chunk.data(), got);
    hashed += static_cast<std::int64_t>(got);
    if (got < want) break;
  }
  // A read that failed part-way is no end of the file: no hash of half a
  // file passes for the image's.
  if (disk.imageReadFailed(file.get())) return {};
  return hash.hexDigest();
}

std::string describe(const CardDescription& card) {
  std::string text = card.target;
  if (!card.disk.empty()) text += "  " + card.disk;
  text += "  " + sizeText(card.bytes);
  if (card.bytes >= 0) text += " (" + std::to_string(card.bytes) + " bytes)";
  const std::string names = card.vendor + (card.vendor.empty() ? "" : " ") + card.product;
  if (!names.empty()) text += "  " + names;
  return text;
}

// After a card that did not open, why that may be, where the rights are
// missing.
void hintAfter(const ConsoleUi& ui, Console& console, const std::string& prefix) {
  if (ui.lastText() != "MMC drive open error") return;
  const std::string hint = openFailureHint();
  if (!hint.empty()) console.line(prefix + "hint: " + hint);
}

// ---- list -----------------------------------------------------------------

int listCommand() {
  const std::vector<CardDescription> cards = listCards();
  if (cards.empty()) {
    writeErrors("no removable cards found\n");
    return kSuccess;
  }
  std::vector<std::vector<std::string>> rows = {
      {"TARGET", "DISK", "SIZE", "VENDOR", "PRODUCT", "IN USE"}};
  for (const CardDescription& card : cards) {
    std::string use;
    for (const std::string& part : card.mounted) use += (use.empty() ? "" : ", ") + part;
    rows.push_back({card.target, card.disk, sizeText(card.bytes), card.vendor, card.product, use});
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

int infoCommand(const std::string& image) {
  const std::unique_ptr<card::DiskServices> disk = makeDiskServices();
  const ImageFacts facts = imageFacts(*disk, image);
  if (!facts.opens) {
    writeErrors(messageLine("image file does not open", card::kErrorCaption) + "\n");
    return kFailure;
  }
  std::string out = image + "\n";
  if (!facts.header.accepted) {
    out += "header: " + facts.header.failure + "\n";
    out += "size: " + std::to_string(facts.bytes) + " bytes\n";
    writeOutput(out);
    return kFailure;
  }
  const std::int64_t count = facts.header.blockCount;
  const std::int64_t claimed = kHeaderBytes + std::max<std::int64_t>(count, 0) * kBlockBytes;
  out += "header: accepted\n";
  out += "blocks: " + card::blockCountText(facts.header.blockCount) + "\n";
  out += "size: " + std::to_string(facts.bytes) + " bytes, the header claims " +
         std::to_string(claimed) + " (8 + " + std::to_string(std::max<std::int64_t>(count, 0)) +
         " x 512)";
  if (facts.bytes < claimed)
    out += ": " + std::to_string(claimed - facts.bytes) + " bytes short, a write warns at block " +
           std::to_string(std::max<std::int64_t>(0, facts.bytes - kHeaderBytes) / kBlockBytes);
  else if (facts.bytes > claimed)
    out += ": " + std::to_string(facts.bytes - claimed) + " bytes after the last block, never read";
  out += "\n";
  std::int64_t hashed = 0;
  const std::string sha = fileSha256(*disk, image, kHeaderBytes,
                                     std::max<std::int64_t>(count, 0) * kBlockBytes, hashed);
  if (sha.empty()) {
    writeOutput(out);
    writeErrors(messageLine("image file could not be read", card::kErrorCaption) + "\n");
    return kFailure;
  }
  out += "blocks SHA-256: " + sha;
  if (hashed < claimed - kHeaderBytes)
    out += " (of the " + std::to_string(hashed) + " bytes there)";
  out += "\n";
  writeOutput(out);
  return kSuccess;
}

// ---- write ----------------------------------------------------------------

struct WriteArgs {
  std::string image;
  std::vector<std::string> targets;
  bool yes = false;
  bool noVerify = false;
  bool quiet = false;
  std::string record;
  std::string backup;
  std::string backupDir;
};

struct CardJob {
  std::string target;
  CardDescription description;
  std::string backup;
  std::string refusal;
  bool done = false;
  std::string result;
  double seconds = 0;
};

// The local time in a file name: 20261210-130500.
std::string fileTime() {
  const std::time_t now = std::time(nullptr);
  char text[32] = {};
  std::strftime(text, sizeof text, "%Y%m%d-%H%M%S", std::localtime(&now));
  return text;
}

bool confirmed(const WriteArgs& args, const std::vector<CardJob>& jobs, const ImageFacts& facts) {
  std::string question = "Everything on " +
                         std::string(jobs.size() == 1 ? "this card" : "these cards") +
                         " will be overwritten:\n";
  for (const CardJob& job : jobs) question += "  " + describe(job.description) + "\n";
  question += "with " + args.image + " (" + std::to_string(facts.blocksOnCard) + " blocks, " +
              sizeText(facts.blocksOnCard * kBlockBytes) + ").\nWrite? [y/N] ";
  writeErrors(question);
  std::string answer;
  if (!readInputLine(answer)) return false;
  while (!answer.empty() && (answer.back() == '\r' || answer.back() == ' ')) answer.pop_back();
  return answer == "y" || answer == "Y" || answer == "yes";
}

void runCard(CardJob& job, const WriteArgs& args, Console& console, const std::string& prefix) {
  const auto start = std::chrono::steady_clock::now();
  const std::unique_ptr<card::DiskServices> disk = makeDiskServices();
  ConsoleUi ui(console, job.target, prefix, args.image);
  bool backedUp = true;
  if (!job.backup.empty()) {
    // The card is written only once what it held is safe in its backup.
    ui.setPhase("backup: ");
    card::runReadOperation(*disk, ui, job.backup);
    backedUp = ui.endedWell();
    ui.setPhase("");
  }
  bool written = false;
  if (backedUp) {
    card::WriteOptions options;
    options.verify = !args.noVerify;
    written = card::runWriteOperation(*disk, ui, options);
  }
  job.done = backedUp && written;
  if (!job.done) hintAfter(ui, console, prefix);
  job.result = job.done ? "done" : ui.lastText();
  job.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

int writeCommand(WriteArgs args) {
  std::vector<CardJob> jobs;
  for (const std::string& text : args.targets) {
    CardJob job;
    std::string problem;
    if (!normaliseTarget(text, job.target, problem)) {
      usageError("write", problem);
      return kUsageError;
    }
    for (const CardJob& other : jobs)
      if (other.target == job.target) {
        usageError("write", "the card " + job.target + " is named twice");
        return kUsageError;
      }
    jobs.push_back(std::move(job));
  }
  if (!args.backup.empty() && jobs.size() > 1) {
    usageError("write", "--backup takes one target; for several use --backup-dir");
    return kUsageError;
  }
  if (!args.backupDir.empty() &&
      !std::filesystem::is_directory(std::filesystem::u8path(args.backupDir))) {
    usageError("write", "--backup-dir " + args.backupDir + " is not a folder");
    return kUsageError;
  }
  // A backup or a record put in the image's place would replace the image
  // before it is written, or write into it.
  const std::pair<const std::string*, const char*> others[] = {{&args.backup, "--backup"},
                                                               {&args.record, "--record"}};
  for (const auto& other : others)
    if (!other.first->empty() && sameFile(*other.first, args.image)) {
      usageError("write", std::string(other.second) + " names the image file itself");
      return kUsageError;
    }
  if (!args.backup.empty() && !args.record.empty() && sameFile(args.backup, args.record)) {
    usageError("write", "--backup and --record name the same file");
    return kUsageError;
  }
  const bool asking = !args.yes;
  if (asking && !inputIsTerminal()) {
    usageError("write",
               "no terminal to ask whether to overwrite the card: add --yes to write without "
               "asking");
    return kUsageError;
  }

  const std::unique_ptr<card::DiskServices> disk = makeDiskServices();
  const ImageFacts facts = imageFacts(*disk, args.image);
  const std::string stamp = fileTime();
  for (CardJob& job : jobs) {
    job.description = describeTarget(job.target);
    if (!args.backup.empty()) job.backup = args.backup;
    if (!args.backupDir.empty())
      job.backup = (std::filesystem::u8path(args.backupDir) /
                    std::filesystem::u8path(targetStem(job.target) + "-" + stamp + ".S7img"))
                       .u8string();
    std::vector<std::string> files = {args.image};
    if (!job.backup.empty()) files.push_back(job.backup);
    job.refusal = targetRefusal(job.target, files);
  }
  // Two names for one card (two letters of its partitions, two links) would
  // have two runs write the same disk at once.
  for (std::size_t k = 0; k < jobs.size(); ++k)
    for (std::size_t other = 0; other < k; ++other)
      if (!jobs[k].description.disk.empty() &&
          jobs[k].description.disk == jobs[other].description.disk) {
        usageError("write", jobs[other].target + " and " + jobs[k].target + " are the same card (" +
                                jobs[k].description.disk + ")");
        return kUsageError;
      }

  const bool several = jobs.size() > 1;
  auto prefixOf = [&](const CardJob& job) { return several ? job.target + ": " : std::string(); };
  std::unique_ptr<Record> record;
  std::string imageSha;
  if (!args.record.empty()) {
    record = std::make_unique<Record>(args.record);
    std::string error;
    if (!record->writable(error)) {
      writeErrors(messageLine(error, card::kErrorCaption) + "\n");
      return kFailure;
    }
    std::int64_t hashed = 0;
    imageSha = fileSha256(*disk, args.image, 0, -1, hashed);
  }
  auto account = [&](const CardJob& job) {
    if (!record) return;
    RecordLine line;
    line.time = utcNow();
    line.operation = job.backup.empty() ? "write" : "backup and write";
    line.image = args.image;
    line.imageSha256 = imageSha;
    line.target = job.target;
    line.cardBytes = job.description.bytes;
    line.vendor = job.description.vendor;
    line.product = job.description.product;
    line.blocksWritten = job.done ? facts.blocksOnCard : -1;
    line.seconds = job.seconds;
    line.result = job.result;
    std::string error;
    if (!record->append(line, error)) writeErrors(messageLine(error, card::kErrorCaption) + "\n");
  };

  // A tray with a card that cannot be written is looked at again before any
  // card of it is: nothing is written then.
  bool refused = false;
  for (CardJob& job : jobs) {
    if (job.refusal.empty()) continue;
    writeErrors(prefixOf(job) + messageLine(job.refusal, card::kErrorCaption) + "\n");
    job.result = job.refusal;
    refused = true;
  }
  if (refused) {
    for (const CardJob& job : jobs) account(job);
    return kFailure;
  }

  if (asking && facts.header.accepted && !confirmed(args, jobs, facts)) {
    writeErrors("nothing written\n");
    return kFailure;
  }

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
    allDone = allDone && job.done;
  }
  return allDone ? kSuccess : kFailure;
}

// ---- read and compare -----------------------------------------------------

int readCommand(const std::string& targetText, const std::string& image, bool quiet) {
  std::string target;
  std::string problem;
  if (!normaliseTarget(targetText, target, problem)) {
    usageError("read", problem);
    return kUsageError;
  }
  const std::string refusal = targetRefusal(target, {image});
  if (!refusal.empty()) {
    writeErrors(messageLine(refusal, card::kErrorCaption) + "\n");
    return kFailure;
  }
  const std::unique_ptr<card::DiskServices> disk = makeDiskServices();
  Console console(!quiet && errorsAreTerminal());
  ConsoleUi ui(console, target, "", "");
  card::runReadOperation(*disk, ui, image);
  hintAfter(ui, console, "");
  console.endProgress();
  return ui.endedWell() ? kSuccess : kFailure;
}

int compareCommand(const std::string& image, const std::string& targetText, bool quiet) {
  std::string target;
  std::string problem;
  if (!normaliseTarget(targetText, target, problem)) {
    usageError("compare", problem);
    return kUsageError;
  }
  // Nothing is written: the image may lie anywhere, the card itself too.
  const std::string refusal = targetRefusal(target, {});
  if (!refusal.empty()) {
    writeErrors(messageLine(refusal, card::kErrorCaption) + "\n");
    return kFailure;
  }
  const std::unique_ptr<card::DiskServices> disk = makeDiskServices();
  Console console(!quiet && errorsAreTerminal());
  ConsoleUi ui(console, target, "", image);
  card::runCompareOperation(*disk, ui);
  hintAfter(ui, console, "");
  console.endProgress();
  return ui.endedWell() ? kSuccess : kFailure;
}

}  // namespace

int run(const std::vector<std::string>& args) {
  CLI::App app{
      "Writes S7 MMC card image files (.S7img) onto memory cards, reads cards back into images "
      "and compares cards with images.",
      programName()};
  app.require_subcommand(1);
  // One way of writing options on every system: "/x" is a path, never an
  // option.
  app.allow_windows_style_options(false);
  app.set_version_flag("--version", std::string("quenvory ") + QUENVORY_VERSION_TEXT,
                       "Print the version and the source revision it was built from, and exit");
  const std::string targetHelp = targetDescription();

  app.add_subcommand("list", "Lists the removable cards the system sees.");

  std::string infoImage;
  CLI::App* info = app.add_subcommand(
      "info", "Checks an image file: its header, its size, the SHA-256 of its blocks.");
  info->add_option("IMAGE", infoImage, "the .S7img file")->required();

  WriteArgs write;
  CLI::App* writeCommandApp = app.add_subcommand(
      "write", "Writes IMAGE onto each TARGET (several at once), reads each back and compares it.");
  writeCommandApp->add_option("IMAGE", write.image, "the .S7img file")->required();
  writeCommandApp->add_option("TARGET", write.targets, targetHelp)->required();
  writeCommandApp->add_flag("-y,--yes", write.yes,
                            "write without asking (needed when there is no terminal)");
  writeCommandApp->add_flag("--no-verify", write.noVerify, "do not read the card back");
  writeCommandApp->add_option("--record", write.record, "append one CSV line per card to this file")
      ->type_name("FILE");
  CLI::Option* backup = writeCommandApp->add_option(
      "--backup", write.backup, "read the card into this image file first (one TARGET)");
  backup->type_name("FILE");
  CLI::Option* backupDir = writeCommandApp->add_option(
      "--backup-dir", write.backupDir,
      "read each card into an image file in this folder first, named after the card and the time");
  backupDir->type_name("DIR");
  backup->excludes(backupDir);
  writeCommandApp->add_flag("-q,--quiet", write.quiet, "no progress line");

  std::string readTarget;
  std::string readImage;
  bool readQuiet = false;
  CLI::App* read = app.add_subcommand(
      "read",
      "Reads the whole card into a new image file (read twice, kept only when both agree).");
  read->add_option("TARGET", readTarget, targetHelp)->required();
  read->add_option("IMAGE", readImage, "the .S7img file to make")->required();
  read->add_flag("-q,--quiet", readQuiet, "no progress line");

  std::string compareImage;
  std::string compareTarget;
  bool compareQuiet = false;
  CLI::App* compare =
      app.add_subcommand("compare", "Compares the card with an image file; writes nothing.");
  compare->add_option("IMAGE", compareImage, "the .S7img file")->required();
  compare->add_option("TARGET", compareTarget, targetHelp)->required();
  compare->add_flag("-q,--quiet", compareQuiet, "no progress line");

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

  if (app.got_subcommand("list")) return listCommand();
  if (app.got_subcommand(info)) return infoCommand(infoImage);
  if (app.got_subcommand(writeCommandApp)) return writeCommand(write);
  if (app.got_subcommand(read)) return readCommand(readTarget, readImage, readQuiet);
  if (app.got_subcommand(compare)) return compareCommand(compareImage, compareTarget, compareQuiet);
  return kUsageError;
}

}  // namespace cli
