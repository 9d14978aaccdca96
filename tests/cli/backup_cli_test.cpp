// Reading cards into images, comparing them, and the backup a write makes
// first, on direct-I/O loop devices (root only; skipped, saying why,
// elsewhere).
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "tests/cli/cli_runner.h"
#include "tests/support/attach_or_skip.h"
#include "tests/support/loop_device.h"
#include "tests/support/test_support.h"

namespace {

using namespace testing_support;
using Bytes = std::vector<std::uint8_t>;
namespace fs = std::filesystem;

constexpr std::size_t kBlock = 512;

// A card whose every block differs from every other, behind a loop device.
struct LoopCard {
  LoopCard(const ScratchDir& scratch, const std::string& name, std::int32_t blocks)
      : backing(scratch.path(name)) {
    Bytes bytes = imageBytes(0, 0, std::size_t(blocks) * kBlock);
    held.assign(bytes.begin() + 8, bytes.end());
    std::reverse(held.begin(), held.end());  // unlike any image's pattern
    writeFile(backing, held);
    loop = std::make_unique<LoopDevice>(backing);
  }
  Bytes contents() {
    loop->detach();
    return readFile(backing);
  }
  std::string backing;
  Bytes held;  // what the card held before the test
  std::unique_ptr<LoopDevice> loop;
};

// The local time as a backup's name holds it: 20261210-133000.
std::string localTime() {
  const std::time_t now = std::time(nullptr);
  char text[32] = {};
  std::strftime(text, sizeof text, "%Y%m%d-%H%M%S", std::localtime(&now));
  return text;
}

// The image a card of `payload` reads into.
Bytes imageOf(const Bytes& payload) {
  const auto blocks = std::int32_t(payload.size() / kBlock);
  Bytes image = imageBytes(blocks, blocks - 1236, 0);
  image.insert(image.end(), payload.begin(), payload.end());
  return image;
}

TEST(LoopDeviceBackup, ReadsACardIntoAnImageAndComparesIt) {
  ScratchDir scratch;
  LoopCard card(scratch, "card.img", 300);
  ATTACH_OR_SKIP(*card.loop);
  const std::string image = scratch.path("backup.S7img");
  const CliResult read = runCli({"read", card.loop->path(), image});
  EXPECT_EQ(read.status, 0) << read.errors;
  EXPECT_EQ(read.errors, "done\n");
  EXPECT_EQ(readFile(image), imageOf(card.held));

  const CliResult same = runCli({"compare", image, card.loop->path()});
  EXPECT_EQ(same.status, 0) << same.errors;
  EXPECT_EQ(same.errors, "card matches image\n");

  Bytes changed = readFile(image);
  changed[8 + 123 * kBlock + 7] ^= 0x01;
  writeFile(image, changed);
  const CliResult differs = runCli({"compare", image, card.loop->path()});
  EXPECT_EQ(differs.status, 1);
  EXPECT_EQ(differs.errors, "MMC ERROR: card differs from image at block 123\n");
  EXPECT_EQ(card.contents(), card.held);
}

TEST(LoopDeviceBackup, AWriteBacksTheCardUpFirstAndWritesItOnlyWhenTheBackupIsWhole) {
  ScratchDir scratch;
  const Bytes image = completeImage(100);
  const std::string imagePath = scratch.path("new.S7img");
  writeFile(imagePath, image);

  LoopCard card(scratch, "card.img", 256);
  ATTACH_OR_SKIP(*card.loop);
  const std::string backup = scratch.path("before.S7img");
  const CliResult result =
      runCli({"write", "--yes", "--backup", backup, imagePath, card.loop->path()});
  EXPECT_EQ(result.status, 0) << result.errors;
  EXPECT_TRUE(found(result.errors, "^backup: done\ndone\n" + card.loop->path() +
                                       ": written and read back, 100 blocks \\(50\\.0 KiB\\) in "
                                       "[0-9.]+ s\n$"))
      << result.errors;
  EXPECT_EQ(readFile(backup), imageOf(card.held));
  const Bytes after = card.contents();
  EXPECT_TRUE(std::equal(image.begin() + 8, image.end(), after.begin()));

  // A backup that cannot be made: the card keeps what it held.
  LoopCard kept(scratch, "kept.img", 256);
  ATTACH_OR_SKIP(*kept.loop);
  const CliResult failed = runCli({"write", "--yes", "--backup", scratch.path("no-folder/b.S7img"),
                                   imagePath, kept.loop->path()});
  EXPECT_EQ(failed.status, 1);
  // Refused before the card is opened, as the backup's run would refuse it.
  EXPECT_EQ(failed.errors.rfind("ERROR: error 2 writing image file.\n", 0), 0u) << failed.errors;
  EXPECT_EQ(failed.errors.find("\ndone"), std::string::npos) << failed.errors;
  EXPECT_EQ(kept.contents(), kept.held);
}

// A backup that fails once the card is being read (its device gives an
// error part-way, as a worn card does) leaves the card as it was, and the
// card's line says so: never "0 blocks written; the card does not hold the
// image", which would have a technician rewrite or discard a sound card.
TEST(LoopDeviceBackup, ABackupThatFailsPartWaySaysTheCardIsUntouched) {
  ScratchDir scratch;
  const std::string imagePath = scratch.path("new.S7img");
  writeFile(imagePath, completeImage(100));
  LoopCard card(scratch, "card.img", 512);
  ATTACH_OR_SKIP(*card.loop);
  // The device keeps its size; reads past the file's new end fail.
  ASSERT_EQ(::truncate(card.backing.c_str(), 64 * 1024), 0);
  const std::string backup = scratch.path("before.S7img");
  const CliResult result =
      runCli({"write", "--yes", "--backup", backup, imagePath, card.loop->path()});
  EXPECT_EQ(result.status, 1) << result.errors;
  EXPECT_EQ(result.errors.rfind("backup: ", 0), 0u) << result.errors;
  EXPECT_TRUE(found(result.errors, "\n" + card.loop->path() +
                                       ": not written, its backup did not complete; the card is "
                                       "untouched\n$"))
      << result.errors;
  EXPECT_EQ(result.errors.find("blocks written"), std::string::npos) << result.errors;
  EXPECT_FALSE(fs::exists(backup));
  EXPECT_EQ(card.contents(), Bytes(card.held.begin(), card.held.begin() + 64 * 1024));
}

TEST(LoopDeviceBackup, SeveralCardsAreBackedUpEachIntoAFileNamedAfterIt) {
  ScratchDir scratch;
  const Bytes image = completeImage(64);
  const std::string imagePath = scratch.path("new.S7img");
  writeFile(imagePath, image);
  LoopCard first(scratch, "first.img", 128);
  LoopCard second(scratch, "second.img", 200);
  ATTACH_OR_SKIP(*second.loop);
  const std::string folder = scratch.path("backups");
  fs::create_directory(folder);
  const std::string started = localTime();
  const CliResult result = runCli({"write", "--yes", "--backup-dir", folder, imagePath,
                                   first.loop->path(), second.loop->path()});
  const std::string ended = localTime();
  EXPECT_EQ(result.status, 0) << result.errors;
  for (LoopCard* card : {&first, &second}) {
    const std::string name = card->loop->path().substr(5);  // loopN
    EXPECT_NE(result.errors.find(card->loop->path() + ": backup: done\n"), std::string::npos);
    EXPECT_NE(result.errors.find(card->loop->path() + ": done\n"), std::string::npos);
    std::vector<fs::path> found;
    for (const auto& entry : fs::directory_iterator(folder))
      if (entry.path().filename().string().rfind(name + "-", 0) == 0) found.push_back(entry.path());
    ASSERT_EQ(found.size(), 1u) << name;
    EXPECT_EQ(found[0].extension(), ".S7img");
    // loopN-YYYYMMDD-HHMMSS.S7img, at a local time of the run.
    const std::string file = found[0].filename().string();
    ASSERT_TRUE(testing_support::found(file, "^" + name + "-[0-9]{8}-[0-9]{6}\\.S7img$")) << file;
    const std::string stamp = file.substr(name.size() + 1, 15);
    EXPECT_LE(started, stamp);
    EXPECT_LE(stamp, ended);
    EXPECT_EQ(readFile(found[0].string()), imageOf(card->held));
    const Bytes after = card->contents();
    EXPECT_TRUE(std::equal(image.begin() + 8, image.end(), after.begin()));
  }
}

}  // namespace

namespace {

// The system calls a whole program made, as strace saw them, one a line.
std::vector<std::string> tracedCalls(const std::vector<std::string>& args, const std::string& log,
                                     std::string& problem) {
  // The leak check of a sanitised build cannot run under a tracer.
  std::vector<std::string> argv = {"strace",
                                   "-f",
                                   "-qq",
                                   "-s",
                                   "4096",
                                   "-o",
                                   log,
                                   "-E",
                                   "ASAN_OPTIONS=detect_leaks=0",
                                   "-e",
                                   "trace=openat,fsync,fdatasync,rename,renameat,renameat2",
                                   QUENVORY_CLI};
  argv.insert(argv.end(), args.begin(), args.end());
  std::string errors;
  const int status = runProgram(argv, nullptr, &errors);
  if (status < 0)
    problem = "strace does not run (scripts/install-packages.sh installs it): " + errors;
  else if (status != 0)
    problem =
        "the program under strace ended with status " + std::to_string(status) + ": " + errors;
  std::vector<std::string> lines;
  std::ifstream in(log);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

// The first line from `from` on that holds every one of `parts`.
std::size_t lineWith(const std::vector<std::string>& lines, std::size_t from,
                     const std::vector<std::string>& parts) {
  for (std::size_t k = from; k < lines.size(); ++k)
    if (std::all_of(parts.begin(), parts.end(), [&](const std::string& part) {
          return lines[k].find(part) != std::string::npos;
        }))
      return k;
  return lines.size();
}

std::string returned(const std::string& line) { return line.substr(line.rfind("= ") + 2); }

TEST(LoopDeviceBackup, ABackupIsOnTheDiskBeforeItTakesItsName) {
  ScratchDir scratch;
  const Bytes image = completeImage(16);
  const std::string imagePath = scratch.path("new.S7img");
  writeFile(imagePath, image);
  const std::string backup = scratch.path("before.S7img");
  const std::string folder = scratch.path("");
  struct Case {
    const char* name;
    std::vector<std::string> args;  // the card's device comes after them
  };
  const Case cases[] = {
      {"read", {"read"}},
      {"write --backup", {"write", "--yes", "--backup", backup, imagePath}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    fs::remove(backup);
    LoopCard card(scratch, "card.img", 64);
    ATTACH_OR_SKIP(*card.loop);
    std::vector<std::string> args = c.args;
    args.push_back(card.loop->path());
    if (args[0] == "read") args.push_back(backup);
    std::string problem;
    const std::vector<std::string> calls = tracedCalls(args, scratch.path("trace"), problem);
    ASSERT_EQ(problem, "");
    EXPECT_EQ(readFile(backup), imageOf(card.held));
    // The file's blocks reach the disk under the temporary name, then the
    // name changes, then the folder's entry for it reaches the disk: a power
    // cut leaves the old file or the whole new one, never half of one.
    const std::string partial = "\"" + backup + ".partial\"";
    // The last file made under that name is the backup's own: before the
    // card is opened, a first one only shows that the folder takes a file.
    std::size_t created = calls.size();
    for (std::size_t k = lineWith(calls, 0, {"openat(", partial, "O_CREAT"}); k < calls.size();
         k = lineWith(calls, k + 1, {"openat(", partial, "O_CREAT"}))
      created = k;
    ASSERT_LT(created, calls.size()) << "no " << partial << " made";
    const std::string fd = returned(calls[created]);
    const std::size_t synced = std::min(lineWith(calls, created, {"fsync(" + fd + ")", "= 0"}),
                                        lineWith(calls, created, {"fdatasync(" + fd + ")", "= 0"}));
    const std::size_t renamed =
        lineWith(calls, created, {"rename", partial, "\"" + backup + "\"", "= 0"});
    ASSERT_LT(renamed, calls.size()) << "no rename of " << partial;
    EXPECT_LT(synced, renamed) << "the backup was not synced before its rename";
    const std::size_t opened = lineWith(calls, renamed, {"openat(", "O_DIRECTORY"});
    ASSERT_LT(opened, calls.size()) << "the folder was not opened after the rename";
    EXPECT_NE(calls[opened].find("\"" + folder.substr(0, folder.size() - 1) + "\""),
              std::string::npos)
        << calls[opened];
    EXPECT_LT(lineWith(calls, opened, {"fsync(" + returned(calls[opened]) + ")", "= 0"}),
              calls.size())
        << "the folder was not synced after the rename";
  }
}

}  // namespace
