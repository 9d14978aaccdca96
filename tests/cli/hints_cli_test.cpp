// Bad inputs as an operator makes them, run through the whole program: the
// card writer's own message, then a hint that names the file or device and
// the system's reason (root only, for the loop device; skipped elsewhere).
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <string>
#include <vector>

#include "tests/cli/cli_runner.h"
#include "tests/support/attach_or_skip.h"
#include "tests/support/loop_device.h"
#include "tests/support/test_support.h"

namespace {

using namespace testing_support;

TEST(HintsCli, EveryBadInputIsNamedWithTheSystemsReason) {
  ScratchDir scratch;
  const std::string image = scratch.path("card.S7img");
  writeFile(image, completeImage(16));
  const std::string missing = scratch.path("not-there.S7img");
  const std::string folder = scratch.path("images");
  std::filesystem::create_directory(folder);
  const std::string text = scratch.path("notes.S7img");
  const std::string words = "cards to write on Monday: 12\n";
  writeFile(text, std::vector<std::uint8_t>(words.begin(), words.end()));
  const std::string older = scratch.path("older.S7img");
  writeFile(older, imageBytes(16, 16 - 1234, 16 * 512));
  const std::string stub = scratch.path("stub.S7img");
  writeFile(stub, {1, 2, 3});
  const std::string backup = scratch.path("no-folder/backup.S7img");
  const std::string backing = scratch.path("card.img");
  writeFile(backing, std::vector<std::uint8_t>(64 * 512, 0xEE));
  LoopDevice card(backing);
  ATTACH_OR_SKIP(card);
  const std::string loop = card.path();

  const std::string notAnImage =
      ": not a card image: its first 8 bytes are no image header (a block count and its check "
      "word); another kind of file, or a damaged image\n";
  const std::string isFolder =
      folder + ": a folder, not an image file: name the .S7img file in it\n";
  struct Case {
    const char* name;
    std::vector<std::string> args;
    std::string errors;
  };
  const Case cases[] = {
      {"a missing image",
       {"write", "--yes", missing, loop},
       "ERROR: image file does not open\nhint: " + missing + ": No such file or directory\n"},
      {"info of a missing image",
       {"info", missing},
       "ERROR: image file does not open\nhint: " + missing + ": No such file or directory\n"},
      {"a folder as the image",
       {"write", "--yes", folder, loop},
       "ERROR: image header failed (iLastBlock)\nhint: " + isFolder},
      {"info of a folder", {"info", folder}, "ERROR: image file does not open\nhint: " + isFolder},
      {"a text file as the image",
       {"write", "--yes", text, loop},
       "ERROR: image header failed (iCheck & iLastBlock)\nhint: " + text + notAnImage},
      {"info of a text file", {"info", text}, "hint: " + text + notAnImage},
      {"a compare with a text file",
       {"compare", text, loop},
       "ERROR: image header failed (iCheck & iLastBlock)\nhint: " + text + notAnImage},
      {"an image of the older format",
       {"write", "--yes", older, loop},
       "ERROR: this is V0.9 Image File, use with V0.9\nhint: " + older +
           ": a card image of the older format 0.9 (its header says so), which this writer does "
           "not write\n"},
      {"a file shorter than a header",
       {"info", stub},
       "hint: " + stub +
           ": not a card image: its 3 bytes are shorter than an image's 8-byte "
           "header\n"},
      {"a backup into a missing folder",
       {"read", loop, backup},
       "ERROR: error 2 writing image file.\nhint: " + scratch.path("no-folder") +
           ": No such file or directory: the folder for the backup file does not exist; make it "
           "first or name another\n"},
      {"a write's backup into a missing folder",
       {"write", "--yes", "--backup", backup, image, loop},
       "ERROR: error 2 writing image file.\nhint: " + scratch.path("no-folder") +
           ": No such file or directory: the folder for the backup file does not exist; make it "
           "first or name another\n"},
      {"/dev/null as the card",
       {"write", "--yes", image, "/dev/null"},
       "ERROR: could not query device\nhint: /dev/null: Block device required: a card is a "
       "whole-disk block device such as /dev/sdb or /dev/mmcblk0; 'quenvory list' shows the "
       "cards\n"},
      {"a missing device",
       {"compare", image, "/dev/quenvory-no-such-card"},
       "ERROR: could not query device\nhint: /dev/quenvory-no-such-card: No such file or "
       "directory: no such device; 'quenvory list' shows the cards\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const CliResult result = runCli(c.args);
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(result.errors, c.errors);
  }
  EXPECT_FALSE(std::filesystem::exists(scratch.path("no-folder")));
  card.detach();
  EXPECT_EQ(readFile(backing), std::vector<std::uint8_t>(64 * 512, 0xEE));
}

// An operator who is not root: the card's device and a file of someone
// else's are refused, each naming what and why.
TEST(HintsCli, WhatIsNotTheOperatorsIsNamedWithTheSystemsReason) {
  ScratchDir scratch;
  const std::string readable = scratch.path("card.S7img");
  writeFile(readable, completeImage(16));
  const std::string secret = scratch.path("secret.S7img");
  writeFile(secret, completeImage(16));
  const std::string backing = scratch.path("card.img");
  writeFile(backing, std::vector<std::uint8_t>(64 * 512, 0xEE));
  LoopDevice card(backing);
  ATTACH_OR_SKIP(card);
  // Only root could run the program as another user.
  namespace fs = std::filesystem;
  fs::permissions(fs::path(readable).parent_path(), fs::perms(0755));
  fs::permissions(readable, fs::perms(0644));
  fs::permissions(secret, fs::perms(0600));
  CliInput nobody;
  nobody.user = kNobody;

  const CliResult write = runCli({"write", "--yes", readable, card.path()}, nobody);
  EXPECT_EQ(write.status, 1);
  EXPECT_EQ(write.errors, "ERROR: MMC drive open error\nhint: " + card.path() +
                              ": Permission denied: a card's device opens for root (or the disk "
                              "group): try sudo\n");
  const CliResult info = runCli({"info", secret}, nobody);
  EXPECT_EQ(info.status, 1);
  EXPECT_EQ(info.errors,
            "ERROR: image file does not open\nhint: " + secret + ": Permission denied\n");
}

}  // namespace
