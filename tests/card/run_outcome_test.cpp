// What every run kind shares: the outcome it returns, a stop asked for
// between batches, and a reader that refuses transfers larger than it takes.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "card/backup_run.h"
#include "card/compare_run.h"
#include "card/write_run.h"
#include "disks/simulated_disk_services.h"
#include "tests/support/test_support.h"

namespace {

using namespace testing_support;
using Bytes = std::vector<std::uint8_t>;
using Messages = std::vector<std::pair<std::string, std::string>>;

Bytes payloadOf(const Bytes& image) { return Bytes(image.begin() + 8, image.end()); }

// A card on G and an image, for one run or a few in a row.
struct Rig {
  Rig() : disk(&journal), ui(journal) {
    drive.file = cardPath;
    drive.blocks = 6000;
    options.lock.wait = [](std::chrono::milliseconds) {};
  }

  void useDrive() { disk.addDrive("G", drive); }
  void useImage(const Bytes& bytes) {
    writeFile(imagePath, bytes);
    ui.fileName = imagePath;
  }
  void useCard(const Bytes& bytes) { writeFile(cardPath, bytes); }

  card::Outcome write() { return checked(card::runWrite(disk, ui, options)); }
  card::Outcome backup() { return checked(card::runBackup(disk, ui, backupPath, options)); }
  card::Outcome compare() { return checked(card::runCompare(disk, ui, options)); }

  // Whatever the ending, nothing stays open, and the outcome's message is
  // the last one the operator was shown.
  card::Outcome checked(const card::Outcome& outcome) {
    EXPECT_EQ(disk.openDevices(), 0);
    EXPECT_EQ(disk.openVolumes(), 0);
    EXPECT_EQ(disk.openImages(), 0);
    EXPECT_EQ(disk.openBackups(), 0);
    EXPECT_EQ(disk.liveBuffers(), 0);
    if (!ui.messages.empty()) {
      EXPECT_EQ(outcome.text, ui.messages.back().first);
      EXPECT_EQ(outcome.caption, ui.messages.back().second);
    }
    return outcome;
  }

  // The card's transfers of one kind ("read " or "write ") in the journal,
  // each as "BLOCK +BYTES".
  std::vector<std::string> transfers(const std::string& kind) const {
    std::vector<std::string> found;
    for (const std::string& e : journal)
      if (e.rfind(kind, 0) == 0) found.push_back(e.substr(kind.size()));
    return found;
  }

  std::vector<std::string> ending() const {
    std::vector<std::string> kept;
    for (const std::string& e : journal)
      if (e.rfind("message", 0) == 0 || e == "close device" || e == "close image" ||
          e == "free buffer" || e == "panel hidden" || e == "unlock volume" ||
          e.rfind("remove ", 0) == 0)
        kept.push_back(e);
    return kept;
  }

  ScratchDir scratch;
  std::string cardPath = scratch.path("card-G.img");
  std::string imagePath = scratch.path("image.S7img");
  std::string backupPath = scratch.path("backup.S7img");
  std::vector<std::string> journal;
  disks::SimulatedDrive drive;
  disks::SimulatedDiskServices disk;
  RecordingUi ui;
  card::WriteOptions options;
};

class RunOutcome : public ::testing::Test, public Rig {};

TEST_F(RunOutcome, EachEndingIsGivenWithItsErrorBlockAndStatus) {
  struct Case {
    const char* name;
    std::function<void(Rig&)> arrange;
    std::function<card::Outcome(Rig&)> run;
    card::Ending ending;
    std::uint32_t systemError = 0;
    std::int64_t block = -1;  // where it ended; -1: at no block
    const char* status;
  };
  const Bytes image = completeImage(300);
  const Case cases[] = {
      {.name = "write done",
       .arrange = [](Rig&) {},
       .run = &Rig::write,
       .ending = card::Ending::Done,
       .status = "300 block image"},
      {.name = "write onto a fixed disk",
       .arrange = [](Rig& t) { t.drive.kind = disks::SimulatedDrive::Kind::FixedDisk; },
       .run = &Rig::write,
       .ending = card::Ending::Refused,
       .status = ""},
      {.name = "write with a header refused",
       .arrange = [](Rig& t) { t.useImage(imageBytes(100, 0, 512)); },
       .run = &Rig::write,
       .ending = card::Ending::Refused,
       .status = ""},
      {.name = "write refused at block 37",
       .arrange =
           [](Rig& t) {
             t.drive.refuseBlock = 37;
             t.drive.refuseError = 1167;
           },
       .run = &Rig::write,
       .ending = card::Ending::Failed,
       .systemError = 1167,
       .block = 37,
       .status = "300 block image"},
      {.name = "read-back unreadable at block 250",
       .arrange =
           [](Rig& t) {
             t.drive.unreadableBlock = 250;
             t.drive.refuseError = 23;
           },
       .run = &Rig::write,
       .ending = card::Ending::Failed,
       .systemError = 23,
       .block = 250,
       .status = "300 block image"},
      {.name = "compare differs at block 5",
       .arrange =
           [&](Rig& t) {
             Bytes card = payloadOf(image);
             card[5 * 512] ^= 0xFF;
             t.useCard(card);
           },
       .run = &Rig::compare,
       .ending = card::Ending::Failed,
       .block = 5,
       .status = "300 block image"},
      {.name = "compare matches",
       .arrange = [&](Rig& t) { t.useCard(payloadOf(image)); },
       .run = &Rig::compare,
       .ending = card::Ending::Done,
       .status = "300 block image"},
      {.name = "backup of a card that changes at block 4000",
       .arrange =
           [](Rig& t) {
             t.useCard(Bytes(6000 * 512, 0x11));
             t.drive.changingBlock = 4000;
           },
       .run = &Rig::backup,
       .ending = card::Ending::Failed,
       .block = 4000,
       .status = "6000 block card"},
      {.name = "backup that cannot lock the card",
       .arrange =
           [](Rig& t) {
             t.useCard(Bytes(6000 * 512, 0x11));
             t.drive.lockRefusals = -1;
             t.drive.lockError = 5;
           },
       .run = &Rig::backup,
       .ending = card::Ending::Refused,
       .systemError = 5,
       .status = ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Rig t;
    t.useImage(image);
    c.arrange(t);
    t.useDrive();
    const card::Outcome outcome = c.run(t);
    EXPECT_EQ(outcome.ending, c.ending);
    EXPECT_EQ(outcome.done(), c.ending == card::Ending::Done);
    EXPECT_EQ(outcome.systemError, c.systemError);
    EXPECT_EQ(outcome.block, c.block);
    EXPECT_EQ(outcome.status, c.status);
    ASSERT_EQ(t.ui.messages.size(), 1u);
  }
}

// Each pass over the blocks is announced with its bytes and those of the
// passes the run still makes after it, and says when it went through all its
// blocks: a front end then tells the speed, the time left for the whole run
// and the pass's end, without reading a status text.
TEST_F(RunOutcome, EachPassIsAnnouncedWithItsBytesThoseStillToComeAndItsEnd) {
  using Sizes = std::vector<std::int64_t>;
  constexpr std::int64_t kImage = 300 * 512;
  constexpr std::int64_t kCard = 6000 * 512;
  struct Case {
    const char* name;
    std::function<void(Rig&)> arrange;
    card::Outcome (Rig::*run)();
    Sizes passes;
    Sizes bytesAfter;
    int finished;
  };
  const Case cases[] = {
      {"write and read back", [](Rig&) {}, &Rig::write, {kImage, kImage}, {kImage, 0}, 2},
      {"write alone", [](Rig& t) { t.options.verify = false; }, &Rig::write, {kImage}, {0}, 1},
      {"compare",
       [](Rig& t) { t.useCard(payloadOf(completeImage(300))); },
       &Rig::compare,
       {kImage},
       {0},
       1},
      {"backup, read twice", [](Rig&) {}, &Rig::backup, {kCard, kCard}, {kCard, 0}, 2},
      // A pass that ends early never finishes.
      {"read-back differs",
       [](Rig& t) { t.drive.corruptBlock = 250; },
       &Rig::write,
       {kImage, kImage},
       {kImage, 0},
       1},
      {"write fails",
       [](Rig& t) {
         t.drive.refuseBlock = 250;
         t.drive.refuseError = 1167;
       },
       &Rig::write,
       {kImage},
       {kImage},
       0},
      {"write stopped", [](Rig& t) { t.ui.stopAtCheck = 2; }, &Rig::write, {kImage}, {kImage}, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Rig t;
    t.options.batchBlocks = 100;
    t.useImage(completeImage(300));
    c.arrange(t);
    t.useDrive();
    (t.*c.run)();
    EXPECT_EQ(t.ui.passes, c.passes);
    EXPECT_EQ(t.ui.bytesAfter, c.bytesAfter);
    EXPECT_EQ(t.ui.passesFinished, c.finished);
  }
}

// The operator asks the run to stop while the third batch of 100 blocks is
// under way: that batch completes, then the run ends the normal way.
TEST_F(RunOutcome, AStopEndsTheRunAfterTheBatchInFlightAndReleasesAsAFailureDoes) {
  options.batchBlocks = 100;
  const Bytes image = completeImage(1000);
  useImage(image);
  useCard(Bytes(6000 * 512, 0x11));
  useDrive();
  ui.stopAtCheck = 4;  // asked before batches 0, 100, 200, then before 300

  const card::Outcome written = write();
  EXPECT_EQ(written.ending, card::Ending::Stopped);
  EXPECT_EQ(written.block, 300);
  EXPECT_EQ(ui.messages,
            (Messages{{"stopped at block 300, the card does not hold the image", "MMC ERROR"}}));
  // The blocks before the stop are on the card, nothing after them.
  const Bytes onCard = readFile(cardPath);
  const Bytes payload = payloadOf(image);
  EXPECT_TRUE(std::equal(payload.begin(), payload.begin() + 300 * 512, onCard.begin()));
  EXPECT_EQ(onCard[300 * 512], 0x11);
  EXPECT_EQ(ending(),
            (std::vector<std::string>{
                "message MMC ERROR: stopped at block 300, the card does not hold the image",
                "close device", "unlock volume", "close image", "panel hidden", "free buffer"}));
  EXPECT_EQ(std::count(journal.begin(), journal.end(), "update layout"), 1);

  // A backup stopped keeps no file, temporary or not, and leaves an earlier
  // file of the chosen name as it was.
  journal.clear();
  ui.messages.clear();
  ui.stopChecks = 0;
  writeFile(backupPath, Bytes{1, 2, 3});
  const card::Outcome backedUp = backup();
  EXPECT_EQ(backedUp.ending, card::Ending::Stopped);
  EXPECT_EQ(ui.messages, (Messages{{"stopped at block 300, no backup was kept", "MMC ERROR"}}));
  // It stopped in its reading pass: the card was read once, up to the batch
  // in flight, and never read a second time.
  EXPECT_EQ(transfers("read "), (std::vector<std::string>{"0 +51200", "100 +51200", "200 +51200"}));
  EXPECT_EQ(readFile(backupPath), (Bytes{1, 2, 3}));
  for (const auto& entry : std::filesystem::directory_iterator(scratch.path("")))
    EXPECT_EQ(entry.path().string().find(".partial"), std::string::npos) << entry.path();

  journal.clear();
  ui.messages.clear();
  ui.stopChecks = 0;
  const card::Outcome compared = compare();
  EXPECT_EQ(compared.ending, card::Ending::Stopped);
  EXPECT_EQ(ui.messages, (Messages{{"stopped at block 300", "MMC ERROR"}}));
}

// A reader that refuses transfers of more than 100 blocks takes them one
// batch size smaller: every run kind ends as with batches of one block.
TEST_F(RunOutcome, AReaderThatTakesOnlySmallTransfersIsWrittenReadAndCompared) {
  const Bytes image = completeImage(1000);
  struct Result {
    Messages messages;
    std::vector<int> positions;
    Bytes card;
  };
  auto runAll = [&](std::int32_t batchBlocks, std::int64_t largest) {
    Rig t;
    t.drive.largestTransfer = largest;
    t.options.batchBlocks = batchBlocks;
    t.useImage(image);
    t.useDrive();
    Result result;
    EXPECT_TRUE(t.write().done());
    EXPECT_TRUE(t.compare().done());
    EXPECT_TRUE(t.backup().done());
    result.messages = t.ui.messages;
    result.positions = t.ui.positions;
    result.card = readFile(t.cardPath);
    // The backup: the card's 6000 blocks, the image's 1000 first.
    const Bytes backup = readFile(t.backupPath);
    EXPECT_EQ(backup.size(), 8u + 6000u * 512);
    EXPECT_TRUE(std::equal(image.begin() + 8, image.end(), backup.begin() + 8));
    return result;
  };
  const Result oneByOne = runAll(1, 0);
  const Result halved = runAll(2048, 100);
  EXPECT_EQ(halved.messages, oneByOne.messages);
  EXPECT_EQ(halved.positions, oneByOne.positions);
  EXPECT_EQ(halved.card, oneByOne.card);
  EXPECT_EQ(
      halved.messages,
      (Messages{{"done", "Quenvory"}, {"card matches image", "Quenvory"}, {"done", "Quenvory"}}));
}

// A reader that refuses the batch size refuses it once in a run, not once in
// every batch: the smaller size it took is kept for the batches after, and
// for the run's second pass.
TEST_F(RunOutcome, AReaderRefusesTheBatchSizeOnceInARunNotInEveryBatch) {
  struct Case {
    const char* name;
    std::function<card::Outcome(Rig&)> run;
    int refusedWrites;
    int refusedReads;
  };
  // Batches of 256 blocks to a reader that takes 100 at most: 256 and 128
  // are refused, 64 taken.
  const Case cases[] = {
      {.name = "write and its read-back",
       .run = [](Rig& t) { return t.write(); },
       .refusedWrites = 2,
       .refusedReads = 2},
      {.name = "compare",
       .run = [](Rig& t) { return t.compare(); },
       .refusedWrites = 0,
       .refusedReads = 2},
      {.name = "backup, read twice",
       .run = [](Rig& t) { return t.backup(); },
       .refusedWrites = 0,
       .refusedReads = 2},
  };
  const Bytes image = completeImage(1000);
  Bytes card = payloadOf(image);
  card.resize(6000 * 512);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Rig t;
    t.options.batchBlocks = 256;
    t.drive.largestTransfer = 100;
    t.useImage(image);
    t.useCard(card);
    t.useDrive();
    EXPECT_TRUE(c.run(t).done()) << t.ui.messages.back().first;
    const auto refused = [&](const std::string& kind) {
      const std::vector<std::string> all = t.transfers(kind);
      return std::count_if(all.begin(), all.end(), [](const std::string& transfer) {
        return std::stol(transfer.substr(transfer.find('+') + 1)) > 100 * 512;
      });
    };
    EXPECT_EQ(refused("write "), c.refusedWrites);
    EXPECT_EQ(refused("read "), c.refusedReads);
  }
}

// A block that fails on its own still ends the write there, with its own
// error, however large the batch it was part of.
TEST_F(RunOutcome, ABlockThatFailsAloneEndsTheRunWithItsOwnError) {
  for (const std::int32_t batchBlocks : {2048, 7, 1}) {
    SCOPED_TRACE(batchBlocks);
    Rig t;
    t.drive.refuseBlock = 37;
    t.drive.refuseError = 1167;
    t.drive.largestTransfer = 5;
    t.options.batchBlocks = batchBlocks;
    t.useImage(completeImage(300));
    t.useDrive();
    const card::Outcome outcome = t.write();
    EXPECT_EQ(t.ui.messages, (Messages{{"error 1167 writing to MMC card.", "MMC ERROR"}}));
    EXPECT_EQ(outcome.block, 37);
    EXPECT_EQ(readFile(t.cardPath).size(), 37u * 512);
  }
}

}  // namespace
