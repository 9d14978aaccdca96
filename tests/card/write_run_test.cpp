// The write's data path: every block to its sector, the bar, a short image
// completed as the block before it, image read errors, and batches that
// change nothing the operator sees.
#include <gtest/gtest.h>

#include <limits>

#include "tests/card/write_fixture.h"

namespace {

using namespace write_testing;

TEST_F(WriteOperation, CopiesEveryBlockToItsSectorAndEndsWithDone) {
  const Bytes image = completeImage(250);
  useImage(image);
  run();
  EXPECT_EQ(cardBytes(), payloadOf(image));
  // The bar moves at blocks 100 and 200 and is not pushed to 100 at the end;
  // then again from 0 while the card is read back.
  EXPECT_EQ(ui.positions, (std::vector<int>{0, 40, 80, 0, 40, 80}));
  EXPECT_EQ(ending(), (std::vector<std::string>{"free buffer", "panel hidden", "close image",
                                                "close device", "message Quenvory: done"}));
  const auto status = journal.begin() + at("status 250 block image");
  ASSERT_NE(status, journal.end());
  EXPECT_EQ(*(status + 1), "process events");
}

TEST_F(WriteOperation, ShowsProgressOncePerHundredBlocks) {
  options.verify = false;
  const std::pair<std::int32_t, std::vector<int>> cases[] = {
      {0, {0}},
      {1, {0}},
      {99, {0}},
      {100, {0}},
      {101, {0, 99}},
      {250, {0, 40, 80}},
      {301, {0, 33, 66, 99}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.first);
    startCase();
    ui.positions.clear();
    useImage(completeImage(c.first));
    run();
    EXPECT_EQ(ui.positions, c.second);
    EXPECT_EQ(count("panel shown"), static_cast<long>(c.second.size()) - 1);
    EXPECT_EQ(cardBytes().size(), static_cast<std::size_t>(c.first) * 512);
    EXPECT_EQ(ui.messages, kDoneOnly);
  }
}

TEST_F(WriteOperation, ShortImageWarnsCompletesTheBlockWithTheTailBeforeItAndFinishes) {
  const Bytes image = imageBytes(1000, 1000 - 1236, 512 * 600 + 256);
  useImage(image);
  run();
  const Bytes written = cardBytes();
  ASSERT_EQ(written.size(), 601u * 512);
  const Bytes payload = payloadOf(image);
  EXPECT_TRUE(std::equal(payload.begin(), payload.end(), written.begin()));
  // The missing half of block 600 is the second half of block 599.
  EXPECT_TRUE(std::equal(written.begin() + 600 * 512 + 256, written.end(),
                         written.begin() + 599 * 512 + 256));
  // Reading back, the bar goes through the same positions, up to 100.
  EXPECT_EQ(ui.positions,
            (std::vector<int>{0, 10, 20, 30, 40, 50, 100, 0, 10, 20, 30, 40, 50, 100}));
  EXPECT_EQ(
      ending(),
      (std::vector<std::string>{
          "message surprised: unexpected shortness of image file at block 600 , good luck",
          "free buffer", "panel hidden", "close image", "close device", "message Quenvory: done"}));
}

TEST_F(WriteOperation, ShortReadsAtABlockBoundaryAndAtBlockZero) {
  struct Case {
    const char* name;
    std::int32_t claimed;
    std::size_t payload;
    std::size_t expectedBlocks;
    std::size_t repeatFrom;  // where the last block's bytes come from
  };
  const Case cases[] = {
      // Nothing arrives for block 5: block 4 goes out again in its place.
      {.name = "ends on a boundary",
       .claimed = 10,
       .payload = 5 * 512,
       .expectedBlocks = 6,
       .repeatFrom = 4 * 512},
      {.name = "ends inside block 0",
       .claimed = 3,
       .payload = 100,
       .expectedBlocks = 1,
       .repeatFrom = 0},
      {.name = "nothing after the header",
       .claimed = 3,
       .payload = 0,
       .expectedBlocks = 1,
       .repeatFrom = 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    startCase();
    const Bytes image = imageBytes(c.claimed, c.claimed - 1236, c.payload);
    useImage(image);
    run();
    const Bytes written = cardBytes();
    ASSERT_EQ(written.size(), c.expectedBlocks * 512);
    const Bytes payload = payloadOf(image);
    EXPECT_TRUE(std::equal(payload.begin(), payload.end(), written.begin()));
    const std::size_t lastBlock = (c.expectedBlocks - 1) * 512;
    for (std::size_t k = c.payload; k < written.size(); ++k) {
      // A short block 0 has no block before it: its rest is zeros.
      const std::uint8_t expected =
          c.expectedBlocks == 1 ? 0 : written[c.repeatFrom + k - lastBlock];
      ASSERT_EQ(written[k], expected) << "byte " << k;
    }
    ASSERT_EQ(ui.messages.size(), 2u);
    EXPECT_EQ(ui.messages[0].second, "surprised");
    EXPECT_EQ(ui.messages[1].first, "done");
  }
}

TEST_F(WriteOperation, ShortReadWarningComesBeforeTheShortBlockIsWritten) {
  useImage(imageBytes(5000, 5000 - 1236, 512 * 3000 + 100));
  run();
  const auto warning =
      std::find(journal.begin(), journal.end(),
                "message surprised: unexpected shortness of image file at block 3000 , good luck");
  ASSERT_NE(warning, journal.end());
  // Blocks 0 to 2999 are on the card when the warning shows; block 3000
  // goes out after it.
  std::vector<std::string> before, after;
  for (auto e = journal.begin(); e != journal.end(); ++e)
    if (startsWith(*e, "write ")) (e < warning ? before : after).push_back(*e);
  EXPECT_EQ(before, (std::vector<std::string>{"write 0 +1048576", "write 2048 +487424"}));
  EXPECT_EQ(after, (std::vector<std::string>{"write 3000 +512"}));
  EXPECT_EQ(ui.messages,
            (Messages{{"unexpected shortness of image file at block 3000 , good luck", "surprised"},
                      {"done", "Quenvory"}}));
}

TEST_F(WriteOperation, NothingToWriteStillEndsWithDone) {
  for (std::int32_t count : {0, -5}) {
    SCOPED_TRACE(count);
    startCase();
    useImage(imageBytes(count, count - 1236, 512 * 3));
    run();
    EXPECT_TRUE(cardBytes().empty());
    EXPECT_EQ(this->count("panel shown"), 0);
    EXPECT_EQ(ui.messages, kDoneOnly);
  }
}

TEST_F(WriteOperation, ProgressOfAHugeClaimedCountStaysInRange) {
  // A claim near the largest count with a short file: the last update comes
  // at the short block with the index set to the count, and 100 x that must
  // not wrap.
  const std::int32_t max = std::numeric_limits<std::int32_t>::max();
  useCard([&](disks::SimulatedDrive& d) { d.blocks = std::int64_t{max} + 1; });
  options.verify = false;
  useImage(imageBytes(max, max - 1236, 512 * 250 + 10));
  run();
  EXPECT_EQ(ui.positions, (std::vector<int>{0, 0, 0, 100}));
  EXPECT_EQ(cardBytes().size(), 251u * 512);
}

TEST_F(WriteOperation, EventsProcessedMidRunSeeTheRunInProgress) {
  // What the window may do while the run pumps messages: the card stays
  // open and is written in order around it.
  useImage(completeImage(250));
  int pumps = 0;
  ui.onProcessEvents = [&] {
    ++pumps;
    EXPECT_EQ(disk.openDevices(), 1);
    EXPECT_EQ(disk.openImages(), 1);
  };
  run();
  // After the status text, at blocks 100 and 200, and the same while reading
  // back.
  EXPECT_EQ(pumps, 6);
}

TEST_F(WriteOperation, RefusedBlockStopsTheRunKeepsWhatWasWrittenAndReleasesEverything) {
  useCard([](disks::SimulatedDrive& d) {
    d.refuseBlock = 37;
    d.refuseError = 1117;
  });
  const Bytes image = completeImage(250);
  useImage(image);
  const card::Outcome outcome = run();
  // The outcome counts the blocks the card took, as the card holds them.
  EXPECT_EQ(outcome.blocksWritten, 37);
  EXPECT_EQ(outcome.about, card::About::Card);
  const Bytes written = cardBytes();
  ASSERT_EQ(written.size(), 37u * 512);
  EXPECT_TRUE(std::equal(written.begin(), written.end(), image.begin() + 8));
  EXPECT_EQ(ending(), (std::vector<std::string>{
                          "message MMC ERROR: error 1117 writing to MMC card.", "close device",
                          "close image", "panel hidden", "free buffer"}));
}

// A read that fails is not the end of the file: the blocks before the bad
// one are on the card, as with one block per write, and the run stops there.
TEST_F(WriteOperation, AnImageReadErrorStopsTheRunWhereTheEndOfTheFileWouldNot) {
  struct Case {
    std::int64_t failingByte;  // of the image file, its 8 header bytes included
    std::int32_t block;        // the block the run stops at
  };
  const Case cases[] = {
      {.failingByte = 8, .block = 0},                    // the first byte of block 0
      {.failingByte = 8 + 512 * 37 + 100, .block = 37},  // inside block 37
      {.failingByte = 8 + 512 * 2048, .block = 2048},    // the first block of the second batch
      {.failingByte = 8 + 512 * 2999 + 511, .block = 2999},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.block);
    startCase();
    disk.failImageReadAt(c.failingByte);
    const Bytes image = completeImage(3000);
    useImage(image);
    run();
    const Bytes written = cardBytes();
    ASSERT_EQ(written.size(), std::size_t(c.block) * 512);
    EXPECT_TRUE(std::equal(written.begin(), written.end(), image.begin() + 8));
    EXPECT_EQ(ending(),
              (std::vector<std::string>{
                  "message ERROR: image file read error at block " + std::to_string(c.block),
                  "close device", "close image", "panel hidden", "free buffer"}));
    EXPECT_EQ(count("flush"), 0);
  }
  disk.failImageReadAt(-1);
}

// Batches of blocks per write call change how fast the card is written, never
// what the operator sees nor what lands on the card.
TEST(WriteBatches, OperatorSeesTheSameAsWithOneBlockPerWrite) {
  struct Case {
    std::int32_t claimed;           // the header's block count
    std::size_t payload;            // the bytes after the header
    std::int64_t refuseBlock = -1;  // the card's write of it fails
    std::int64_t readFailsAt = -1;  // the image byte whose read fails
  };
  // An image whose file holds every block it claims.
  const auto whole = [](std::int32_t blocks) {
    return Case{.claimed = blocks, .payload = std::size_t(blocks) * 512};
  };
  const Case cases[] = {
      whole(0),
      whole(1),
      whole(99),
      whole(100),
      whole(101),
      whole(250),
      whole(2047),
      whole(2048),
      whole(2049),
      whole(5000),
      // Short images: inside a batch, at a batch's first block, at its last.
      {.claimed = 5000, .payload = 3000 * 512 + 100},
      {.claimed = 5000, .payload = 2048 * 512},
      {.claimed = 5000, .payload = 2047 * 512 + 1},
      {.claimed = 300, .payload = 0},
      // Refused blocks: in the first batch, at the start of the second, in the last.
      {.claimed = 5000, .payload = 5000 * 512, .refuseBlock = 37},
      {.claimed = 5000, .payload = 5000 * 512, .refuseBlock = 2048},
      {.claimed = 5000, .payload = 5000 * 512, .refuseBlock = 4999},
      {.claimed = 5000, .payload = 3000 * 512 + 100, .refuseBlock = 3000},
      // Image reads that fail: inside the first batch, at the second's start.
      {.claimed = 5000, .payload = 5000 * 512, .readFailsAt = 8 + 150 * 512 + 7},
      {.claimed = 5000, .payload = 5000 * 512, .readFailsAt = 8 + 2048 * 512},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.claimed) + " blocks, " + std::to_string(c.payload) +
                 " bytes, refusing " + std::to_string(c.refuseBlock) + ", read failing at " +
                 std::to_string(c.readFailsAt));
    ScratchDir scratch;
    const std::string imagePath = scratch.path("image.S7img");
    const Bytes image = imageBytes(c.claimed, c.claimed - 1236, c.payload);
    writeFile(imagePath, image);

    // What one batch size or the other must give, worked out from the case
    // alone: the blocks up to the first one refused, unreadable or missing
    // (a short one completed with the tail of the block before it, zeros
    // for block 0), and the messages on the way.
    const bool isShort = c.payload < std::size_t(std::max(c.claimed, 0)) * 512;
    const auto shortBlock = std::int32_t(c.payload / 512);
    std::int64_t end = isShort ? shortBlock + 1 : std::max(c.claimed, 0);
    std::vector<std::string> said;
    if (isShort)
      said.push_back("message surprised: unexpected shortness of image file at block " +
                     std::to_string(shortBlock) + " , good luck");
    if (c.refuseBlock >= 0) {
      end = c.refuseBlock;
      said.push_back("message MMC ERROR: error 1117 writing to MMC card.");
    } else if (c.readFailsAt >= 0) {
      end = (c.readFailsAt - 8) / 512;
      said.push_back("message ERROR: image file read error at block " + std::to_string(end));
    } else {
      said.push_back("message Quenvory: done");
    }
    Bytes expected(image.begin() + 8, image.end());
    expected.resize(std::size_t(end) * 512);
    if (isShort && end == shortBlock + 1)
      for (std::size_t k = c.payload % 512; k < 512; ++k)
        expected[std::size_t(shortBlock) * 512 + k] =
            shortBlock == 0 ? 0 : expected[std::size_t(shortBlock - 1) * 512 + k];

    std::vector<std::string> uiCalls[2];
    Bytes cards[2];
    for (int pass = 0; pass < 2; ++pass) {
      disks::SimulatedDiskServices disk;
      disks::SimulatedDrive d;
      d.file = scratch.path("card" + std::to_string(pass) + ".img");
      d.refuseBlock = c.refuseBlock;
      d.refuseError = 1117;
      disk.addDrive("G", d);
      disk.failImageReadAt(c.readFailsAt);
      RecordingUi ui(uiCalls[pass]);
      ui.fileName = imagePath;
      card::WriteOptions options;
      options.batchBlocks = pass == 0 ? 1 : 2048;
      card::runWrite(disk, ui, options);
      cards[pass] = readFile(d.file);
      EXPECT_EQ(disk.openDevices() + disk.openImages() + disk.liveBuffers(), 0);
    }
    EXPECT_EQ(uiCalls[1], uiCalls[0]);
    EXPECT_EQ(cards[1], cards[0]);
    for (int pass = 0; pass < 2; ++pass) {
      SCOPED_TRACE(pass == 0 ? "one block per write" : "2048 blocks per write");
      std::vector<std::string> messages;
      for (const std::string& call : uiCalls[pass])
        if (startsWith(call, "message ")) messages.push_back(call);
      EXPECT_EQ(messages, said);
      EXPECT_EQ(cards[pass].size(), expected.size());
      EXPECT_TRUE(cards[pass] == expected);
    }
  }
}

}  // namespace
