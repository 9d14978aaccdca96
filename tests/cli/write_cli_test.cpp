// A write onto one card as an operator sees it: what the card holds
// afterwards, what was said, the question on a terminal and the progress
// line. On direct-I/O loop devices (root only; skipped, saying why,
// elsewhere).
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/cli/cli_runner.h"
#include "tests/cli/loop_card.h"
#include "tests/support/attach_or_skip.h"

namespace {

using namespace testing_support;

TEST(WriteCli, WritesTheImageOntoTheCardAndSaysDone) {
  ScratchDir scratch;
  const Bytes image = completeImage(3000);
  const std::string imagePath = scratch.path("card.S7img");
  writeFile(imagePath, image);
  // The kernel's own counters witness the read-back and the flush: a
  // program that only says it read the card back, or that leaves the
  // blocks in a cache, shows here.
  struct Case {
    std::vector<std::string> flags;
    bool readsBack;
    // After the closing message, what the card got.
    const char* got;
  };
  const Case cases[] = {{{}, true, "written and read back"},
                        {{"--no-verify"}, false, "written, not read back \\(--no-verify\\)"},
                        {{"--quiet"}, true, "written and read back"}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.flags.empty() ? "plain" : c.flags[0]);
    LoopCard card(scratch, "card.img", 4096);
    ATTACH_OR_SKIP(*card.loop);
    const LoopDevice::Counters before = card.loop->counters();
    ASSERT_EQ(before.problem, "");
    const std::string record = scratch.path("record.csv");
    std::remove(record.c_str());
    std::vector<std::string> args = {"write", "--yes",   "--record",
                                     record,  imagePath, card.loop->path()};
    args.insert(args.end(), c.flags.begin(), c.flags.end());
    const CliResult result = runCli(args);
    const LoopDevice::Counters after = card.loop->counters();
    EXPECT_EQ(result.status, 0) << result.errors;
    // No terminal: nothing but the result and the card's line.
    EXPECT_TRUE(found(result.errors, "^done\n" + card.loop->path() + ": " + c.got +
                                         ", 3000 blocks \\(1\\.5 MiB\\) in [0-9]+\\.[0-9] s\n$"))
        << result.errors;
    const long long read = after.sectorsRead - before.sectorsRead;
    if (c.readsBack)
      EXPECT_GE(read, 3000) << "the card was not read back";
    else
      EXPECT_LT(read, 3000) << "the card was read back";
    EXPECT_GE(after.flushes - before.flushes, 1) << "the card was never flushed";
    const std::string lines = readText(record);
    EXPECT_EQ(recordField(lines, "verified"), c.readsBack ? "yes" : "no") << lines;
    EXPECT_EQ(recordField(lines, "blocks_written"), "3000") << lines;
    EXPECT_TRUE(holds(card.contents(), payloadOf(image)));
  }
}

TEST(WriteCli, AShortImageIsWrittenWithItsWarningAndDone) {
  ScratchDir scratch;
  const std::string imagePath = scratch.path("short.S7img");
  writeFile(imagePath, imageBytes(1000, 1000 - 1236, 600 * kBlock + 256));
  LoopCard card(scratch, "card.img", 2048);
  ATTACH_OR_SKIP(*card.loop);
  const CliResult result = runCli({"write", "--yes", imagePath, card.loop->path()});
  EXPECT_EQ(result.status, 0);
  EXPECT_TRUE(found(result.errors,
                    "^surprised: unexpected shortness of image file at block 600 , good luck\n"
                    "done\n" +
                        card.loop->path() +
                        ": written and read back, 601 blocks \\(300\\.5 KiB\\) in [0-9.]+ s\n$"))
      << result.errors;
}

TEST(WriteCli, OnATerminalTheCardIsWrittenOnlyAfterAYes) {
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

TEST(WriteCli, OnATerminalEachCardHasAProgressLineThatQuietTakesAway) {
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
    // at the end, leaving the results and what each card got below them.
    EXPECT_EQ(result.errors.find("\x1b[") != std::string::npos, !quiet);
    if (!quiet) {
      const std::string last = result.errors.substr(result.errors.rfind("\x1b["));
      EXPECT_TRUE(
          found(last, "^\x1b\\[J(/dev/loop[0-9]+: written and read back, [^\x1b]*\r\n){2}$"))
          << result.errors;
    }
  }
}

// The bar moves once every hundred blocks; the line still ends each pass at
// 100%, whatever the image's size: a 400-block image's bar stops at 75%.
TEST(WriteCli, OnATerminalTheProgressLineEndsEachPassAt100Percent) {
  ScratchDir scratch;
  const std::string imagePath = scratch.path("card.S7img");
  writeFile(imagePath, completeImage(400));
  LoopCard card(scratch, "card.img", 512);
  ATTACH_OR_SKIP(*card.loop);
  CliInput input;
  input.errorsOnTerminal = true;
  const CliResult result = runCli({"write", "--yes", imagePath, card.loop->path()}, input);
  EXPECT_EQ(result.status, 0) << result.errors;
  EXPECT_TRUE(found(result.errors, "400 block image  100%.*verifying")) << result.errors;
  EXPECT_TRUE(found(result.errors, "400 block image - verifying  100%")) << result.errors;
}

}  // namespace
