#include "card/compare_run.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <functional>

#include "card/write_run.h"
#include "disks/simulated_disk_services.h"
#include "tests/support/test_support.h"

namespace {

using namespace testing_support;
using Bytes = std::vector<std::uint8_t>;

Bytes payloadOf(const Bytes& image) { return Bytes(image.begin() + 8, image.end()); }

// One comparison of a simulated card on G with an image chosen beforehand.
class CompareOperation : public ::testing::Test {
 public:
  CompareOperation() : disk(&journal), ui(journal) {
    disks::SimulatedDrive drive;
    drive.file = cardPath;
    drive.blocks = 6000;
    disk.addDrive("G", drive);
  }

  void useImage(const Bytes& bytes) {
    writeFile(imagePath, bytes);
    ui.fileName = imagePath;
  }

  bool run() {
    const Bytes before = readFile(cardPath);
    const int ejects = disk.ejects();
    const bool matches = card::runCompare(disk, ui, options).done();
    // Nothing stays open, and nothing is written to the card or locked.
    EXPECT_EQ(disk.openDevices(), 0);
    EXPECT_EQ(disk.openImages(), 0);
    EXPECT_EQ(disk.liveBuffers(), 0);
    EXPECT_EQ(readFile(cardPath), before);
    EXPECT_EQ(disk.ejects(), ejects);
    for (const std::string& e : journal) {
      EXPECT_NE(e.rfind("write ", 0), 0u) << e;
      EXPECT_NE(e, "lock volume");
    }
    return matches;
  }

  std::vector<std::string> ending() const {
    std::vector<std::string> kept;
    for (const std::string& e : journal)
      if (e.rfind("message", 0) == 0 || e == "close device" || e == "close image" ||
          e == "free buffer" || e == "panel hidden")
        kept.push_back(e);
    return kept;
  }

  ScratchDir scratch;
  std::string cardPath = scratch.path("card-G.img");
  std::string imagePath = scratch.path("image.S7img");
  std::vector<std::string> journal;
  disks::SimulatedDiskServices disk;
  RecordingUi ui;
  card::CompareOptions options;
};

TEST_F(CompareOperation, ACardHoldingTheImageMatches) {
  const Bytes image = completeImage(250);
  useImage(image);
  Bytes cardBytes = payloadOf(image);
  cardBytes.resize(cardBytes.size() + 512 * 3, 0x5A);  // what lies after the image is not looked at
  writeFile(cardPath, cardBytes);
  EXPECT_TRUE(run());
  EXPECT_EQ(ui.positions, (std::vector<int>{0, 40, 80}));
  EXPECT_EQ(ending(),
            (std::vector<std::string>{"free buffer", "panel hidden", "close image", "close device",
                                      "message Quenvory: card matches image"}));
  std::vector<std::string> statuses;
  for (const std::string& e : journal)
    if (e.rfind("status ", 0) == 0) statuses.push_back(e);
  EXPECT_EQ(statuses, (std::vector<std::string>{"status 250 block image - comparing",
                                                "status 250 block image"}));
}

TEST_F(CompareOperation, AWriteProtectedCardIsComparedAsAnyOther) {
  disks::SimulatedDrive locked;
  locked.file = cardPath;
  locked.blocks = 6000;
  locked.writeProtected = true;
  disk.addDrive("G", locked);
  const Bytes image = completeImage(250);
  useImage(image);
  writeFile(cardPath, payloadOf(image));
  EXPECT_TRUE(run());
  EXPECT_EQ(ui.messages.back().first, "card matches image");
}

TEST_F(CompareOperation, NamesTheFirstBlockThatDiffers) {
  const std::int32_t blocks = 5000;
  const Bytes image = completeImage(blocks);
  useImage(image);
  // First block, inside the first batch, the first and the last block of the
  // second batch, the image's last block; and with batches of one block.
  for (const std::int32_t batchBlocks : {2048, 1}) {
    for (const std::int32_t differing : {0, 37, 2047, 2048, 4999}) {
      SCOPED_TRACE(std::to_string(differing) + ", batches of " + std::to_string(batchBlocks));
      journal.clear();
      ui.messages.clear();
      options.batchBlocks = batchBlocks;
      Bytes cardBytes = payloadOf(image);
      cardBytes[std::size_t(differing) * 512 + 511] ^= 1;
      cardBytes[std::size_t(blocks - 1) * 512] ^= 1;  // a later difference is not the one named
      writeFile(cardPath, cardBytes);
      EXPECT_FALSE(run());
      EXPECT_EQ(ending(), (std::vector<std::string>{
                              "message MMC ERROR: card differs from image at block " +
                                  std::to_string(differing),
                              "close device", "close image", "panel hidden", "free buffer"}));
    }
  }
}

// What writing a short image puts on a card: its blocks, then the short
// one, whose missing bytes keep the tail of the block before it (zeros for
// block 0, which has none).
Bytes cardAfterShortWrite(const Bytes& image, std::int32_t shortBlock) {
  Bytes card(image.begin() + 8, image.end());
  const std::size_t start = std::size_t(shortBlock) * 512;
  const std::size_t arrived = card.size() - start;
  card.resize(start + 512);
  for (std::size_t k = arrived; k < 512; ++k)
    card[start + k] = shortBlock == 0 ? 0 : card[start - 512 + k];
  return card;
}

// A short image is compared with what writing it put on the card: the
// comparison completes its last block as the write does, whatever its
// batches.
TEST_F(CompareOperation, AShortImageMatchesTheCardItWasWrittenTo) {
  struct Case {
    const char* name;
    std::int32_t claimed;
    std::size_t payload;
    std::int32_t shortBlock;
  };
  const Case cases[] = {
      {"inside a block", 1000, 600 * 512 + 256, 600},
      {"on a block boundary", 1000, 600 * 512, 600},
      {"at a batch's first block", 5000, 2048 * 512 + 3, 2048},
      {"inside block 0", 10, 100, 0},
  };
  for (const Case& c : cases) {
    for (const std::int32_t batchBlocks : {2048, 7}) {
      SCOPED_TRACE(std::string(c.name) + ", batches of " + std::to_string(batchBlocks));
      std::remove(cardPath.c_str());
      const Bytes image = imageBytes(c.claimed, c.claimed - 1236, c.payload);
      useImage(image);
      writeFile(cardPath, cardAfterShortWrite(image, c.shortBlock));
      journal.clear();
      ui.messages.clear();
      ui.positions.clear();
      options.batchBlocks = batchBlocks;
      EXPECT_TRUE(run());
      const std::string warning = "unexpected shortness of image file at block " +
                                  std::to_string(c.shortBlock) + " , good luck";
      EXPECT_EQ(ui.messages, (std::vector<std::pair<std::string, std::string>>{
                                 {warning, "surprised"}, {"card matches image", "Quenvory"}}));
      if (c.shortBlock >= 100) {
        EXPECT_EQ(ui.positions.back(), 100);
      }

      // The same short image against a card whose completed tail differs.
      Bytes cardBytes = readFile(cardPath);
      cardBytes[std::size_t(c.shortBlock) * 512 + 511] ^= 1;
      writeFile(cardPath, cardBytes);
      journal.clear();
      ui.messages.clear();
      EXPECT_FALSE(run());
      EXPECT_EQ(ui.messages.back().first,
                "card differs from image at block " + std::to_string(c.shortBlock));
    }
  }
}

TEST_F(CompareOperation, RefusalsAndReadErrors) {
  struct Case {
    const char* name;
    std::function<void(CompareOperation&)> arrange;
    std::vector<std::string> ending;
  };
  const Case cases[] = {
      {"no file and the dialog cancelled",
       [](CompareOperation& t) { t.ui.fileName.clear(); },
       {"message ERROR: no image file selected", "close device"}},
      {"image does not open",
       [](CompareOperation& t) { t.ui.fileName = t.scratch.path("missing.S7img"); },
       {"message ERROR: image file does not open", "close device"}},
      {"header refused",
       [](CompareOperation& t) { t.useImage(imageBytes(100, -1134, 512 * 100)); },
       {"message ERROR: this is V0.9 Image File, use with V0.9", "close image", "close device"}},
      {"image larger than the card",
       [](CompareOperation& t) { t.useImage(completeImage(6001)); },
       {"message ERROR: image of 6001 blocks does not fit on card of 6000 blocks", "close image",
        "close device"}},
      {"no memory",
       [](CompareOperation& t) { t.disk.failAllocation(true); },
       {"message ERROR: not enough memory for the block buffer", "close image", "close device"}},
      {"card read error",
       [](CompareOperation& t) {
         disks::SimulatedDrive d;
         d.file = t.cardPath;
         d.blocks = 6000;
         d.unreadableBlock = 2100;
         d.refuseError = 23;
         t.disk.addDrive("G", d);
       },
       {"message MMC ERROR: error 23 reading MMC card.", "close device", "close image",
        "panel hidden", "free buffer"}},
      {"image read error",
       [](CompareOperation& t) { t.disk.failImageReadAt(8 + 512 * 2100 + 10); },
       {"message ERROR: image file read error at block 2100", "close device", "close image",
        "panel hidden", "free buffer"}},
      {"drive refused",
       [](CompareOperation& t) { t.ui.drive = "Q"; },
       {"message ERROR: could not query device"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    journal.clear();
    ui.messages.clear();
    ui.drive = "G";
    disk.failAllocation(false);
    disk.failImageReadAt(-1);
    const Bytes image = completeImage(3000);
    useImage(image);
    writeFile(cardPath, payloadOf(image));
    c.arrange(*this);
    EXPECT_FALSE(run());
    EXPECT_EQ(ending(), c.ending);
  }
}

TEST_F(CompareOperation, AsksForAFileOnlyWhenNoneIsChosen) {
  const Bytes image = completeImage(3);
  writeFile(imagePath, image);
  writeFile(cardPath, payloadOf(image));
  ui.dialogAnswer = imagePath;
  EXPECT_TRUE(run());
  EXPECT_EQ(std::count(journal.begin(), journal.end(), "ask for file"), 1);
  journal.clear();
  EXPECT_TRUE(run());
  EXPECT_EQ(std::count(journal.begin(), journal.end(), "ask for file"), 0);
}

}  // namespace
