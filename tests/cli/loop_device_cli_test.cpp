// The command line against real block devices: direct-I/O loop devices
// over files, written, refused and asked about as an operator would see it
// (root only; skipped, saying why, elsewhere).
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdint>
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

constexpr std::size_t kBlock = 512;
constexpr std::uint8_t kUntouched = 0xEE;

// A card: a file of marked bytes behind a loop device.
struct LoopCard {
  LoopCard(const ScratchDir& scratch, const std::string& name, std::size_t blocks)
      : backing(scratch.path(name)) {
    writeFile(backing, Bytes(blocks * kBlock, kUntouched));
    loop = std::make_unique<LoopDevice>(backing);
  }
  // What the card holds, once the loop device is gone.
  Bytes contents() {
    loop->detach();
    return readFile(backing);
  }
  std::string backing;
  std::unique_ptr<LoopDevice> loop;
};

Bytes payloadOf(const Bytes& image) { return Bytes(image.begin() + 8, image.end()); }

bool holds(const Bytes& card, const Bytes& payload) {
  return card.size() >= payload.size() &&
         std::equal(payload.begin(), payload.end(), card.begin()) &&
         std::all_of(card.begin() + long(payload.size()), card.end(),
                     [](std::uint8_t b) { return b == kUntouched; });
}

bool untouched(const Bytes& card) {
  return std::all_of(card.begin(), card.end(), [](std::uint8_t b) { return b == kUntouched; });
}

TEST(LoopDeviceCli, WritesTheImageOntoTheCardAndSaysDone) {
  ScratchDir scratch;
  const Bytes image = completeImage(3000);
  const std::string imagePath = scratch.path("card.S7img");
  writeFile(imagePath, image);
  const std::vector<std::vector<std::string>> variants = {{}, {"--no-verify"}, {"--quiet"}};
  for (const auto& flags : variants) {
    SCOPED_TRACE(flags.empty() ? "plain" : flags[0]);
    LoopCard card(scratch, "card.img", 4096);
    ATTACH_OR_SKIP(*card.loop);
    std::vector<std::string> args = {"write", "--yes", imagePath, card.loop->path()};
    args.insert(args.end(), flags.begin(), flags.end());
    const CliResult result = runCli(args);
    EXPECT_EQ(result.status, 0) << result.errors;
    // No terminal: nothing but the result.
    EXPECT_EQ(result.errors, "done\n");
    EXPECT_TRUE(holds(card.contents(), payloadOf(image)));
  }
}

TEST(LoopDeviceCli, WritesSeveralCardsAtOnceEachWithItsResultAndRecordLine) {
  ScratchDir scratch;
  const Bytes image = completeImage(400);
  const std::string imagePath = scratch.path("card.S7img");
  writeFile(imagePath, image);
  LoopCard first(scratch, "first.img", 1024);
  LoopCard second(scratch, "second.img", 2048);
  // Too small for the image: refused before anything is written.
  LoopCard small(scratch, "small.img", 128);
  ATTACH_OR_SKIP(*small.loop);
  const std::string record = scratch.path("record.csv");
  const CliResult result = runCli({"write", "--yes", "--record", record, imagePath,
                                   first.loop->path(), second.loop->path(), small.loop->path()});
  EXPECT_EQ(result.status, 1) << result.errors;
  for (LoopCard* card : {&first, &second})
    EXPECT_NE(result.errors.find(card->loop->path() + ": done\n"), std::string::npos)
        << result.errors;
  EXPECT_NE(result.errors.find(small.loop->path() +
                               ": ERROR: image of 400 blocks does not fit on card of 128 blocks\n"),
            std::string::npos)
      << result.errors;

  std::string sha;
  runProgram({"sha256sum", imagePath}, &sha);
  std::ifstream in(record);
  std::vector<std::string> lines;
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  ASSERT_EQ(lines.size(), 4u);
  EXPECT_EQ(lines[0].rfind("time,operation,image,image_sha256,target,card_bytes,", 0), 0u);
  for (LoopCard* card : {&first, &second, &small}) {
    const auto line = std::find_if(lines.begin() + 1, lines.end(), [&](const std::string& l) {
      return l.find("," + card->loop->path() + ",") != std::string::npos;
    });
    ASSERT_NE(line, lines.end()) << card->loop->path();
    EXPECT_NE(line->find(",write," + imagePath + "," + sha.substr(0, 64) + ","), std::string::npos)
        << *line;
    if (card == &small) {
      EXPECT_NE(line->find(",,0."), std::string::npos) << *line;  // no blocks counted
    }
    if (card == &small)
      EXPECT_NE(line->find(",image of 400 blocks does not fit on card of 128 blocks"),
                std::string::npos)
          << *line;
    else
      EXPECT_NE(line->find(",400,"), std::string::npos) << *line;
  }
  EXPECT_TRUE(holds(first.contents(), payloadOf(image)));
  EXPECT_TRUE(holds(second.contents(), payloadOf(image)));
  EXPECT_TRUE(untouched(small.contents()));
}

TEST(LoopDeviceCli, AShortImageIsWrittenWithItsWarningAndDone) {
  ScratchDir scratch;
  const std::string imagePath = scratch.path("short.S7img");
  writeFile(imagePath, imageBytes(1000, 1000 - 1236, 600 * kBlock + 256));
  LoopCard card(scratch, "card.img", 2048);
  ATTACH_OR_SKIP(*card.loop);
  const CliResult result = runCli({"write", "--yes", imagePath, card.loop->path()});
  EXPECT_EQ(result.status, 0);
  EXPECT_EQ(result.errors,
            "surprised: unexpected shortness of image file at block 600 , good luck\ndone\n");
}

// A card whose lock switch is on is refused before anything is written, with
// the reason; a backup and a compare of it work as of any card.
TEST(LoopDeviceCli, AWriteProtectedCardIsRefusedByNameAndStillReadAndCompared) {
  ScratchDir scratch;
  const Bytes image = completeImage(300);
  const std::string imagePath = scratch.path("card.S7img");
  writeFile(imagePath, image);
  const std::string backing = scratch.path("card.img");
  Bytes contents = payloadOf(image);
  contents.resize(512 * kBlock, kUntouched);
  writeFile(backing, contents);
  LoopDevice::Options readOnly;
  readOnly.readOnly = true;
  LoopDevice loop(backing, readOnly);
  ATTACH_OR_SKIP(loop);

  const CliResult write = runCli({"write", "--yes", imagePath, loop.path()});
  EXPECT_EQ(write.status, 1);
  EXPECT_EQ(write.errors, "ERROR: the card at >" + loop.path() + " is write-protected\n");

  const std::string backup = scratch.path("backup.S7img");
  const CliResult read = runCli({"read", loop.path(), backup});
  EXPECT_EQ(read.status, 0) << read.errors;
  EXPECT_EQ(read.errors, "done\n");
  EXPECT_EQ(payloadOf(readFile(backup)), contents);

  const CliResult compare = runCli({"compare", imagePath, loop.path()});
  EXPECT_EQ(compare.status, 0) << compare.errors;
  EXPECT_EQ(compare.errors, "card matches image\n");

  loop.detach();
  EXPECT_EQ(readFile(backing), contents);
}

TEST(LoopDeviceCli, RefusesWhatIsNoCardToOverwrite) {
  ScratchDir scratch;
  const Bytes image = completeImage(16);
  const std::string imagePath = scratch.path("card.S7img");
  writeFile(imagePath, image);

  // A loop device over another block device is that device, not a card.
  LoopCard card(scratch, "card.img", 256);
  ATTACH_OR_SKIP(*card.loop);
  {
    LoopDevice overDevice(card.loop->path());
    ATTACH_OR_SKIP(overDevice);
    const CliResult result = runCli({"write", "--yes", imagePath, overDevice.path()});
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(result.errors, "ERROR: your system does not recognize a removable media at >" +
                                 overDevice.path() + "\n");
  }
  // A card holding the image file itself.
  {
    const std::string onCard = scratch.path("on-card.S7img");
    writeFile(onCard, image);
    LoopDevice imageCard(onCard);
    ATTACH_OR_SKIP(imageCard);
    const CliResult result = runCli({"write", "--yes", onCard, imageCard.path()});
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(result.errors, "ERROR: image file is on the card at >" + imageCard.path() +
                                 ", copy it to another drive first\n");
    imageCard.detach();
    EXPECT_EQ(readFile(onCard), image);
  }
  // One card by two names: two loop devices over the same file.
  {
    LoopDevice again(card.backing);
    ATTACH_OR_SKIP(again);
    const CliResult result = runCli({"write", "--yes", imagePath, card.loop->path(), again.path()});
    EXPECT_EQ(result.status, 2);
    EXPECT_NE(result.errors.find(card.loop->path() + " and " + again.path() +
                                 " are the same card (loop over " + card.backing + ")"),
              std::string::npos)
        << result.errors;
  }
  // A device that is not there.
  {
    const CliResult result = runCli({"write", "--yes", imagePath, "/dev/quenvory-no-such-card"});
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(result.errors, "ERROR: could not query device\n");
  }
  // A mounted card, where a file system can be made on it.
  std::string made;
  if (runProgram({"mkfs.ext2", "-q", "-F", card.loop->path()}, nullptr, &made) == 0) {
    const std::string mountPoint = scratch.path("mnt");
    ::mkdir(mountPoint.c_str(), 0700);
    if (runProgram({"mount", card.loop->path(), mountPoint}) == 0) {
      const CliResult result = runCli({"write", "--yes", imagePath, card.loop->path()});
      runProgram({"umount", mountPoint});
      EXPECT_EQ(result.status, 1);
      EXPECT_EQ(result.errors, "ERROR: " + card.loop->path() + " is in use: " + card.loop->path() +
                                   " on " + mountPoint + "; unmount it first\n");
    }
  }
  const Bytes contents = card.contents();
  EXPECT_FALSE(std::equal(image.begin() + 8, image.end(), contents.begin()));
}

TEST(LoopDeviceCli, OnATerminalTheCardIsWrittenOnlyAfterAYes) {
  ScratchDir scratch;
  const Bytes image = completeImage(64);
  const std::string imagePath = scratch.path("card.S7img");
  writeFile(imagePath, image);
  struct Case {
    const char* answer;
    int status;
    bool written;
  };
  for (const Case& c : {Case{"n\n", 1, false}, Case{"\n", 1, false}, Case{"yes please\n", 1, false},
                        Case{"y\n", 0, true}}) {
    SCOPED_TRACE(c.answer);
    LoopCard card(scratch, "card.img", 256);
    ATTACH_OR_SKIP(*card.loop);
    CliInput input;
    input.text = c.answer;
    input.terminal = true;
    const CliResult result = runCli({"write", imagePath, card.loop->path()}, input);
    EXPECT_EQ(result.status, c.status) << result.errors;
    // The question names what will be overwritten.
    EXPECT_NE(
        result.errors.find("Everything on this card will be overwritten:\n  " + card.loop->path() +
                           "  loop over " + card.backing + "  128.0 KiB (131072 bytes)"),
        std::string::npos)
        << result.errors;
    EXPECT_NE(result.errors.find("with " + imagePath + " (64 blocks, 32.0 KiB).\nWrite? [y/N] "),
              std::string::npos)
        << result.errors;
    const Bytes contents = card.contents();
    EXPECT_EQ(holds(contents, payloadOf(image)), c.written);
    if (!c.written) {
      EXPECT_TRUE(untouched(contents));
    }
  }
}

}  // namespace

namespace {

TEST(LoopDeviceCli, OnATerminalEachCardHasAProgressLineThatQuietTakesAway) {
  ScratchDir scratch;
  const Bytes image = completeImage(16384);
  const std::string imagePath = scratch.path("card.S7img");
  writeFile(imagePath, image);
  for (const bool quiet : {false, true}) {
    SCOPED_TRACE(quiet ? "quiet" : "progress");
    LoopCard first(scratch, "first.img", 16384);
    LoopCard second(scratch, "second.img", 16384);
    ATTACH_OR_SKIP(*second.loop);
    CliInput input;
    input.errorsOnTerminal = true;
    std::vector<std::string> args = {"write", "--yes", imagePath, first.loop->path(),
                                     second.loop->path()};
    if (quiet) args.push_back("--quiet");
    const CliResult result = runCli(args, input);
    EXPECT_EQ(result.status, 0) << result.errors;
    for (LoopCard* card : {&first, &second}) {
      const std::string path = card->loop->path();
      EXPECT_NE(result.errors.find(path + ": done"), std::string::npos) << result.errors;
      // The line of a card while it is written: its status and how far it is.
      const bool drawn = result.errors.find(path + ": 16384 block image  ") != std::string::npos;
      EXPECT_EQ(drawn, !quiet) << result.errors;
    }
    // Lines are redrawn in place (cursor up, line cleared), and taken away
    // at the end, leaving the results.
    EXPECT_EQ(result.errors.find("\x1b[") != std::string::npos, !quiet);
    if (!quiet) {
      EXPECT_EQ(result.errors.substr(result.errors.size() - 3), "\x1b[J") << result.errors;
    }
  }
}

}  // namespace
