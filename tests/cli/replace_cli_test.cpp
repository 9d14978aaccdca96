// A file already there is replaced only on the operator's word: `read` and
// `write --backup` ask on a terminal, take --yes as the answer, and without
// either refuse before the card is opened; --backup-dir never replaces one.
// On direct-I/O loop devices (root only; skipped, saying why, elsewhere).
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdint>
#include <ctime>
#include <filesystem>
#include <map>
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

// A card of 256 blocks unlike any image, behind a loop device.
struct LoopCard {
  explicit LoopCard(const ScratchDir& scratch) : backing(scratch.path("card.img")) {
    held = Bytes(256 * kBlock);
    for (std::size_t k = 0; k < held.size(); ++k) held[k] = std::uint8_t(k * 7 + 3);
    writeFile(backing, held);
    loop = std::make_unique<LoopDevice>(backing);
  }
  Bytes contents() {
    loop->detach();
    return readFile(backing);
  }
  // The image file a backup of the card makes.
  Bytes image() const {
    Bytes bytes = imageBytes(256, 256 - 1236, 0);
    bytes.insert(bytes.end(), held.begin(), held.end());
    return bytes;
  }
  std::string backing;
  Bytes held;
  std::unique_ptr<LoopDevice> loop;
};

ino_t inode(const std::string& path) {
  struct stat info {};
  return ::stat(path.c_str(), &info) == 0 ? info.st_ino : 0;
}

// An existing file's fate: its bytes and inode stay unless the operator said
// yes; then it holds the card's backup. With no file there, nothing is asked.
TEST(ReplaceCli, AFileAlreadyThereIsReplacedOnlyOnTheOperatorsWord) {
  const Bytes precious = {'k', 'e', 'e', 'p', ' ', 'm', 'e'};
  const Bytes image = completeImage(64);
  struct Case {
    const char* what;
    bool backupOfWrite;  // write --backup, else read
    bool existing;
    bool yes;
    bool terminal;
    const char* answer;
    int status;
    bool replaced;       // the file holds the card's backup
    const char* errors;  // a regular expression; FILE stands for the file's path
  };
  const Case cases[] = {
      {"read, no terminal", false, true, false, false, "", 1, false,
       "^ERROR: FILE exists: name a new file, or add --yes to replace it\n$"},
      {"read, answered N", false, true, false, true, "N\n", 1, false,
       "^replace FILE\\? \\[y/N\\] nothing written\n$"},
      {"read, answered with Enter", false, true, false, true, "\n", 1, false,
       "^replace FILE\\? \\[y/N\\] nothing written\n$"},
      {"read, answered y", false, true, false, true, "y\n", 0, true,
       "^replace FILE\\? \\[y/N\\] .*done\n$"},
      {"read --yes, no terminal", false, true, true, false, "", 0, true, "^done\n$"},
      {"read of a new file, no terminal", false, false, false, false, "", 0, true, "^done\n$"},
      {"read of a new file on a terminal", false, false, false, true, "", 0, true, "^[^?]*done\n$"},
      {"write --backup, answered N", true, true, false, true, "N\ny\n", 1, false,
       "^replace FILE\\? \\[y/N\\] nothing written\n$"},
      {"write --backup, answered y twice", true, true, false, true, "y\ny\n", 0, true,
       "^replace FILE\\? \\[y/N\\] Everything on this card.*Write\\? \\[y/N\\] .*done\n"
       "[^\n]*: written and read back, [^\n]*\n$"},
      {"write --backup --yes, no terminal", true, true, true, false, "", 0, true,
       "^backup: done\ndone\n[^\n]*: written and read back, [^\n]*\n$"},
      // The file's place is checked before the cards, and so before the
      // refusal for want of --yes.
      {"write --backup, no terminal", true, true, false, false, "", 1, false,
       "^ERROR: FILE exists: name a new file, or add --yes to replace it\n$"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    ScratchDir scratch;
    const std::string imagePath = scratch.path("new.S7img");
    writeFile(imagePath, image);
    const std::string file = scratch.path("precious.S7img");
    if (c.existing) writeFile(file, precious);
    const ino_t before = inode(file);
    LoopCard card(scratch);
    ATTACH_OR_SKIP(*card.loop);
    const long long readBefore = card.loop->counters().sectorsRead;

    std::vector<std::string> args;
    if (c.backupOfWrite)
      args = {"write", "--backup", file, imagePath, card.loop->path()};
    else
      args = {"read", card.loop->path(), file};
    if (c.yes) args.insert(args.begin() + 1, "--yes");
    CliInput input;
    input.text = c.answer;
    input.terminal = c.terminal;
    const CliResult result = runCli(args, input);

    EXPECT_EQ(result.status, c.status) << result.errors;
    std::string pattern = c.errors;
    if (pattern.find("FILE") != std::string::npos) pattern.replace(pattern.find("FILE"), 4, file);
    EXPECT_TRUE(found(result.errors, pattern)) << result.errors;
    if (c.replaced) {
      EXPECT_EQ(readFile(file), card.image());
    } else {
      EXPECT_EQ(readFile(file), precious);
      EXPECT_EQ(inode(file), before);
      EXPECT_FALSE(fs::exists(file + ".partial"));
      // Refused before the card was opened: the kernel read nothing of it.
      EXPECT_EQ(card.loop->counters().sectorsRead, readBefore);
    }
    const Bytes contents = card.contents();
    EXPECT_EQ(std::equal(image.begin() + 8, image.end(), contents.begin()),
              c.backupOfWrite && c.replaced);
  }
}

// The local time as a backup's name holds it: 20261210-133000.
std::string localTime(std::time_t at) {
  char text[32] = {};
  std::strftime(text, sizeof text, "%Y%m%d-%H%M%S", std::localtime(&at));
  return text;
}

// A backup named after a card and a second that already has a file gets a
// name of its own; the file keeps its bytes.
TEST(ReplaceCli, ABackupInAFolderNeverReplacesAFileThere) {
  ScratchDir scratch;
  const std::string imagePath = scratch.path("new.S7img");
  writeFile(imagePath, completeImage(64));
  LoopCard card(scratch);
  ATTACH_OR_SKIP(*card.loop);
  const std::string folder = scratch.path("backups");
  fs::create_directories(folder);
  const std::string stem = fs::path(card.loop->path()).filename().string();
  // Every second the run may start in already has its backup.
  std::map<std::string, Bytes> earlier;
  const std::time_t now = std::time(nullptr);
  for (std::time_t at = now; at < now + 30; ++at) {
    const std::string path = folder + "/" + stem + "-" + localTime(at) + ".S7img";
    earlier[path] = Bytes{'e', std::uint8_t(at - now)};
    writeFile(path, earlier[path]);
  }
  const CliResult result =
      runCli({"write", "--yes", "--backup-dir", folder, imagePath, card.loop->path()});
  EXPECT_EQ(result.status, 0) << result.errors;
  for (const auto& [path, bytes] : earlier) EXPECT_EQ(readFile(path), bytes) << path;
  std::vector<std::string> made;
  for (const auto& entry : fs::directory_iterator(folder))
    if (earlier.count(entry.path().string()) == 0) made.push_back(entry.path().string());
  ASSERT_EQ(made.size(), 1u);
  EXPECT_TRUE(found(made[0], "/" + stem + "-[0-9]{8}-[0-9]{6}-2\\.S7img$")) << made[0];
  EXPECT_EQ(readFile(made[0]), card.image());
}

}  // namespace
