#include "card/backup_run.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <limits>

#include "card/image_file.h"
#include "disks/simulated_disk_services.h"
#include "tests/support/test_support.h"

namespace {

using namespace testing_support;
using Bytes = std::vector<std::uint8_t>;

Bytes payloadOf(const Bytes& image) { return Bytes(image.begin() + 8, image.end()); }

// One backup of a simulated card on G into a file of the scratch folder.
class ReadOperation : public ::testing::Test {
 public:
  ReadOperation() : disk(&journal), ui(journal) {
    useCard(card());
    options.lock.wait = [](std::chrono::milliseconds) {};
  }

  // A card of `blocks` blocks holding the test pattern.
  disks::SimulatedDrive card(std::int64_t blocks = 300) {
    disks::SimulatedDrive drive;
    drive.file = cardPath;
    drive.blocks = blocks;
    return drive;
  }
  void useCard(const disks::SimulatedDrive& drive) {
    if (drive.blocks <= 100000)
      writeFile(cardPath, payloadOf(completeImage(static_cast<std::int32_t>(drive.blocks))));
    disk.addDrive("G", drive);
  }

  // `succeeds`: whether the test expects the run to end with its backup in
  // place; the files left beside the card follow from it, not from what the
  // run says.
  bool run(bool succeeds) {
    const bool earlier = std::filesystem::exists(targetPath);
    const bool done = card::runBackup(disk, ui, targetPath, options).done();
    // Whatever the path, nothing stays open and no temporary file is left.
    EXPECT_EQ(disk.openDevices(), 0);
    EXPECT_EQ(disk.openVolumes(), 0);
    EXPECT_EQ(disk.openImages(), 0);
    EXPECT_EQ(disk.openBackups(), 0);
    EXPECT_EQ(disk.liveBuffers(), 0);
    // A backup leaves the card where it is.
    EXPECT_EQ(disk.ejects(), 0);
    const std::vector<std::string> expected =
        succeeds || earlier ? std::vector<std::string>{"card-G.img", "backup.S7img"}
                            : std::vector<std::string>{"card-G.img"};
    EXPECT_EQ(filesInScratch(), expected);
    EXPECT_LE(count("allocate buffer"), 1);
    return done;
  }

  std::vector<std::string> filesInScratch() const {
    std::vector<std::string> names;
    for (const auto& entry :
         std::filesystem::directory_iterator(std::filesystem::path(cardPath).parent_path()))
      names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end(), std::greater<std::string>());
    return names;
  }

  // The releases and what the operator was shown, in order.
  std::vector<std::string> ending() const {
    std::vector<std::string> kept;
    for (const std::string& e : journal)
      if (e.rfind("message", 0) == 0 || e == "close device" || e == "close target" ||
          e == "finish target" || e == "place target" || e == "remove target" ||
          e == "free buffer" || e == "panel hidden")
        kept.push_back(e);
    return kept;
  }
  long count(const std::string& entry) const {
    return std::count(journal.begin(), journal.end(), entry);
  }
  long reads() const {
    return std::count_if(journal.begin(), journal.end(),
                         [](const std::string& e) { return e.rfind("read ", 0) == 0; });
  }

  ScratchDir scratch;
  std::string cardPath = scratch.path("card-G.img");
  std::string targetPath = scratch.path("backup.S7img");
  std::vector<std::string> journal;
  disks::SimulatedDiskServices disk;
  RecordingUi ui;
  card::BackupOptions options;
};

TEST_F(ReadOperation, WritesAnImageOfTheWholeCardThatTheWriteAccepts) {
  struct Case {
    std::int64_t cardBlocks;
    std::int32_t batchBlocks;
  };
  const Case cases[] = {{300, 2048}, {300, 1}, {300, 128}, {4097, 2048}, {1, 2048}, {0, 2048}};
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.cardBlocks) + " blocks, batches of " +
                 std::to_string(c.batchBlocks));
    journal.clear();
    ui.messages.clear();
    std::filesystem::remove(targetPath);
    useCard(card(c.cardBlocks));
    options.batchBlocks = c.batchBlocks;
    EXPECT_TRUE(run(true));
    // The header the card's size gives, then every block in order: the
    // pattern gives each block its own bytes.
    const Bytes backup = readFile(targetPath);
    EXPECT_EQ(backup, completeImage(static_cast<std::int32_t>(c.cardBlocks)));
    card::NativeHandle handle = 0;
    ASSERT_TRUE(disk.openImage(targetPath, handle));
    const card::HeaderCheck header = card::readHeader(card::ImageFile(disk, handle));
    EXPECT_TRUE(header.accepted);
    EXPECT_EQ(header.blockCount, c.cardBlocks);
    EXPECT_EQ(ui.messages,
              (std::vector<std::pair<std::string, std::string>>{{"done", "Quenvory"}}));
  }
}

TEST_F(ReadOperation, ReadsTwiceShowingProgressAndStatusAsTheWriteDoes) {
  useCard(card(250));
  EXPECT_TRUE(run(true));
  EXPECT_EQ(ui.positions, (std::vector<int>{0, 40, 80, 0, 40, 80}));
  std::vector<std::string> statuses;
  for (const std::string& e : journal)
    if (e.rfind("status ", 0) == 0) statuses.push_back(e);
  EXPECT_EQ(statuses, (std::vector<std::string>{"status 250 block card - reading",
                                                "status 250 block card - verifying",
                                                "status 250 block card"}));
  // The file is whole and flushed before the second pass, in its place only
  // after it, and the card is released before "done".
  EXPECT_EQ(ending(),
            (std::vector<std::string>{"finish target", "free buffer", "panel hidden",
                                      "place target", "close device", "message Quenvory: done"}));
  EXPECT_EQ(reads(), 2);
  // Locked before the first read, unlocked after the card is closed.
  const auto at = [&](const std::string& entry) {
    return std::find(journal.begin(), journal.end(), entry) - journal.begin();
  };
  EXPECT_LT(at("lock volume"), at("create target"));
  EXPECT_LT(at("close device"), at("unlock volume"));
}

TEST_F(ReadOperation, ReplacesAnEarlierFileOnlyWhenTheNewOneIsWhole) {
  writeFile(targetPath, Bytes(777, 0xAB));
  EXPECT_TRUE(run(true));
  EXPECT_EQ(readFile(targetPath), completeImage(300));
}

// Every failure leaves no file under the chosen name, or the earlier file of
// that name as it was, and never says "done".
TEST_F(ReadOperation, FailuresKeepNothingAndTouchNothing) {
  struct Case {
    const char* name;
    std::function<void(ReadOperation&)> arrange;
    std::vector<std::string> ending;
  };
  const Case cases[] = {
      {"card changes between the two reads",
       [](ReadOperation& t) {
         disks::SimulatedDrive d = t.card(3000);
         d.changingBlock = 2100;
         t.useCard(d);
       },
       {"finish target", "message MMC ERROR: card changed while it was read, at block 2100",
        "close device", "remove target", "panel hidden", "free buffer"}},
      {"card read error",
       [](ReadOperation& t) {
         disks::SimulatedDrive d = t.card(3000);
         d.unreadableBlock = 2100;
         d.refuseError = 23;
         t.useCard(d);
       },
       {"message MMC ERROR: error 23 reading MMC card.", "close device", "close target",
        "remove target", "panel hidden", "free buffer"}},
      {"header write refused",
       [](ReadOperation& t) { t.disk.failBackupWrite(0, 112); },
       {"message ERROR: error 112 writing image file.", "close device", "close target",
        "remove target", "panel hidden", "free buffer"}},
      {"block write refused",
       [](ReadOperation& t) { t.disk.failBackupWrite(8 + 512 * 150, 112); },
       {"message ERROR: error 112 writing image file.", "close device", "close target",
        "remove target", "panel hidden", "free buffer"}},
      {"flush fails",
       [](ReadOperation& t) { t.disk.failBackupFlush(1117); },
       {"finish target", "message ERROR: error 1117 writing image file.", "close device",
        "remove target", "panel hidden", "free buffer"}},
      {"cannot be put in place",
       [](ReadOperation& t) { t.disk.failBackupPlace(5); },
       {"finish target", "free buffer", "panel hidden", "place target",
        "message ERROR: error 5 writing image file.", "close device", "remove target"}},
      {"file does not read back",
       [](ReadOperation& t) { t.disk.failImageReadAt(8 + 512 * 150 + 3); },
       {"finish target", "message ERROR: image file read error at block 150", "close device",
        "remove target", "panel hidden", "free buffer"}},
      {"no memory",
       [](ReadOperation& t) { t.disk.failAllocation(true); },
       {"message ERROR: not enough memory for the block buffer", "close device", "close target",
        "remove target"}},
  };
  for (const bool earlierFile : {false, true}) {
    for (const Case& c : cases) {
      SCOPED_TRACE(std::string(c.name) + (earlierFile ? ", over an earlier file" : ""));
      journal.clear();
      ui.messages.clear();
      disk.failAllocation(false);
      disk.failBackupWrite(-1, 0);
      disk.failBackupFlush(0);
      disk.failBackupPlace(0);
      disk.failImageReadAt(-1);
      useCard(card());
      std::filesystem::remove(targetPath);
      const Bytes earlier(777, 0xAB);
      if (earlierFile) writeFile(targetPath, earlier);
      c.arrange(*this);
      EXPECT_FALSE(run(false));
      EXPECT_EQ(ending(), c.ending);
      EXPECT_EQ(std::filesystem::exists(targetPath), earlierFile);
      if (earlierFile) {
        EXPECT_EQ(readFile(targetPath), earlier);
      }
      EXPECT_EQ(count("place target"), c.name == std::string("cannot be put in place") ? 1 : 0);
    }
  }
}

// A file that cannot be put in its place fails the run after the card was
// read whole: a failure of the file, never a refusal of the card, so that no
// hint about the card's rights follows it.
TEST_F(ReadOperation, AFileThatCannotBePutInPlaceFailsTheRunAsTheFilesFault) {
  disk.failBackupPlace(5);
  const card::Outcome outcome = card::runBackup(disk, ui, targetPath, options);
  EXPECT_EQ(outcome.ending, card::Ending::Failed);
  EXPECT_EQ(outcome.systemError, 5u);
  EXPECT_EQ(outcome.about, card::About::BackupFile);
  EXPECT_FALSE(std::filesystem::exists(targetPath));
}

// A stop asked for while the card's volume is waited for ends the backup at
// once, with no file made.
TEST_F(ReadOperation, AStopDuringTheWaitForTheCardEndsTheRunWithinOneTry) {
  disks::SimulatedDrive busy = card();
  busy.lockRefusals = -1;
  useCard(busy);
  ui.stopAtCheck = 1;
  const card::Outcome outcome = card::runBackup(disk, ui, targetPath, options);
  EXPECT_EQ(outcome.ending, card::Ending::Stopped);
  EXPECT_EQ(disk.lockAttempts("\\\\.\\G:"), 1);
  EXPECT_EQ(ui.messages, (std::vector<std::pair<std::string, std::string>>{
                             {"stopped at block 0, no backup was kept", "MMC ERROR"}}));
  EXPECT_EQ(count("create target"), 0);
  EXPECT_EQ(filesInScratch(), std::vector<std::string>{"card-G.img"});
}

// Refusals before anything is read: no file is made and the card is not read.
TEST_F(ReadOperation, RefusalsBeforeTheFirstRead) {
  struct Case {
    const char* name;
    std::function<void(ReadOperation&)> arrange;
    std::string message;
    bool locked;  // whether the card's volume was locked before the refusal
  };
  const std::int64_t tooLarge = std::int64_t{std::numeric_limits<std::int32_t>::max()} + 1;
  const Case cases[] = {
      {"card too large for the header's count",
       [&](ReadOperation& t) { t.useCard(t.card(tooLarge)); },
       "message ERROR: card of 2147483648 blocks is too large for an image file", false},
      {"target on the card",
       [](ReadOperation& t) {
         disks::SimulatedDrive d = t.card();
         d.folder = t.scratch.path("mounted card");
         t.useCard(d);
         t.targetPath = t.scratch.path("mounted card/backup.S7img");
       },
       "message ERROR: image file is on the card at >G, copy it to another drive first", false},
      {"folder that does not exist",
       [](ReadOperation& t) { t.targetPath = t.scratch.path("missing/backup.S7img"); },
       "message ERROR: error 2 writing image file.", true},
      {"drive refused", [](ReadOperation& t) { t.ui.drive = "Q"; },
       "message ERROR: could not query device", false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    journal.clear();
    ui.messages.clear();
    ui.drive = "G";
    targetPath = scratch.path("backup.S7img");
    useCard(card());
    c.arrange(*this);
    EXPECT_FALSE(run(false));
    ASSERT_EQ(ui.messages.size(), 1u);
    EXPECT_EQ("message " + ui.messages[0].second + ": " + ui.messages[0].first, c.message);
    EXPECT_EQ(reads(), 0);
    EXPECT_EQ(count("allocate buffer"), 0);
    EXPECT_EQ(disk.lockedVolumes(), 0);
    EXPECT_EQ(count("lock volume") > 0, c.locked);
  }
  // The largest count a header holds is still read.
  useCard(card(std::numeric_limits<std::int32_t>::max()));
  ui.drive = "G";
  targetPath = scratch.path("backup.S7img");
  journal.clear();
  ui.messages.clear();
  options.batchBlocks = 1;
  disk.failBackupWrite(8 + 512 * 3, 112);  // stop it after three blocks
  EXPECT_FALSE(run(false));
  EXPECT_EQ(ui.messages.back().first, "error 112 writing image file.");
}

TEST_F(ReadOperation, AWriteProtectedCardIsReadAsAnyOther) {
  disks::SimulatedDrive locked = card();
  locked.writeProtected = true;
  useCard(locked);
  EXPECT_TRUE(run(true));
  EXPECT_EQ(ui.messages.back().first, "done");
  EXPECT_EQ(payloadOf(readFile(targetPath)), readFile(cardPath));
}

TEST_F(ReadOperation, ACardThatCannotBeLockedIsNotRead) {
  disks::SimulatedDrive busy = card();
  busy.lockRefusals = -1;
  useCard(busy);
  EXPECT_FALSE(run(false));
  ASSERT_EQ(ui.messages.size(), 1u);
  EXPECT_EQ(ui.messages[0].second, "ERROR");
  EXPECT_EQ(reads(), 0);
  EXPECT_EQ(count("create target"), 0);
}

}  // namespace
