// The card's volumes: every one locked around every block and released in
// order, only a busy one tried again, an image on the card refused.
#include <gtest/gtest.h>

#include <filesystem>

#include "tests/card/write_fixture.h"

namespace {

using namespace write_testing;

// The volume behind the letter is held locked from before the first block
// until after the card device is closed, whichever way the run ends.
TEST_F(WriteOperation, HoldsTheVolumeLockedAroundEveryBlock) {
  struct Case {
    const char* name;
    std::function<void(WriteOperation&)> arrange;
    const char* lastMessage;
  };
  const Case cases[] = {
      {"completion", [](WriteOperation& t) { t.useImage(completeImage(250)); }, "done"},
      {"short image",
       [](WriteOperation& t) { t.useImage(imageBytes(300, 300 - 1236, 512 * 120 + 3)); }, "done"},
      {"refused block",
       [](WriteOperation& t) {
         t.useCard([](disks::SimulatedDrive& d) {
           d.refuseBlock = 200;
           d.refuseError = 1117;
         });
         t.useImage(completeImage(250));
       },
       "error 1117 writing to MMC card."},
      {"no memory",
       [](WriteOperation& t) {
         t.disk.failAllocation(true);
         t.useImage(completeImage(250));
       },
       "not enough memory for the block buffer"},
      {"verify failed",
       [](WriteOperation& t) {
         t.useCard([](disks::SimulatedDrive& d) { d.corruptBlock = 7; });
         t.useImage(completeImage(250));
       },
       "verify failed at block 7"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    journal.clear();
    ui.messages.clear();
    disk.failAllocation(false);
    c.arrange(*this);
    run();
    EXPECT_EQ(ui.messages.back().first, c.lastMessage);
    const auto firstWrite =
        std::find_if(journal.begin(), journal.end(),
                     [](const std::string& e) { return startsWith(e, "write "); }) -
        journal.begin();
    EXPECT_LT(at("lock volume"), at("dismount volume"));
    EXPECT_LT(at("dismount volume"), firstWrite);
    EXPECT_LT(at("dismount volume"), at("allocate buffer"));
    // A card that left its reader has no layout to read afresh.
    if (at("eject") == std::ptrdiff_t(journal.size())) {
      EXPECT_LT(at("update layout"), at("close device"));
    }
    EXPECT_LT(at("close device"), at("unlock volume"));
    EXPECT_LT(at("unlock volume"), lastAt("close volume"));
    EXPECT_EQ(count("open volume \\\\.\\G: exclusive"), 1);
    EXPECT_EQ(count("unlock volume"), 1);
    EXPECT_EQ(disk.lockedVolumes(), 0);
  }
}

TEST_F(WriteOperation, RefusesACardItCannotLockBeforeWritingAnything) {
  useCard([](disks::SimulatedDrive& d) { d.lockRefusals = -1; });
  useImage(completeImage(250));
  run();
  EXPECT_TRUE(cardBytes().empty());
  EXPECT_EQ(count("lock volume"), 76);  // 15 s, 200 ms apart
  EXPECT_EQ(ending(),
            (std::vector<std::string>{"message ERROR: could not lock the card at >G, close every "
                                      "program and window that uses it and try again",
                                      "close image", "close device"}));
}

TEST_F(WriteOperation, LocksACardThatComesFreeAfterAFewAttempts) {
  useCard([](disks::SimulatedDrive& d) { d.lockRefusals = 2; });
  const Bytes image = completeImage(10);
  useImage(image);
  run();
  EXPECT_EQ(cardBytes(), payloadOf(image));
  EXPECT_EQ(count("lock volume"), 3);
}

TEST_F(WriteOperation, LockRefusalNamesTheCardBeingWrittenWhateverTheFieldShowsMeanwhile) {
  // The operator types another letter while the run processes events after
  // the status text; the refusal that follows still names G.
  useCard([](disks::SimulatedDrive& d) { d.lockRefusals = -1; });
  useImage(completeImage(20));
  ui.onProcessEvents = [&] { ui.drive = "K"; };
  run();
  EXPECT_EQ(ui.messages.back().first,
            "could not lock the card at >G, close every program and window that uses it and try "
            "again");
  EXPECT_TRUE(cardBytes().empty());
}

TEST_F(CardWithTwoVolumes, LocksEveryVolumeOfTheCardRetryingOnlyWhileOneIsBusy) {
  struct Case {
    const char* name;
    int refusals;         // of H's lock; -1: for good
    std::uint32_t error;  // the refusals' error
    int attemptsOnH;      // lock attempts on H
    bool written;
  };
  const Case cases[] = {
      {.name = "both free", .refusals = 0, .error = 5, .attemptsOnH = 1, .written = true},
      {.name = "busy twice, then free",
       .refusals = 2,
       .error = 5,
       .attemptsOnH = 3,
       .written = true},
      {.name = "sharing violation, then free",
       .refusals = 1,
       .error = 32,
       .attemptsOnH = 2,
       .written = true},
      {.name = "busy for good", .refusals = -1, .error = 33, .attemptsOnH = 76, .written = false},
      {.name = "refused for another reason",
       .refusals = -1,
       .error = 1,
       .attemptsOnH = 1,
       .written = false},
      {.name = "not ready", .refusals = -1, .error = 21, .attemptsOnH = 1, .written = false},
  };
  const std::string g = "\\\\.\\G:", h = "\\\\.\\H:";
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    startCase();
    changeVolume("H", [&](disks::SimulatedDrive& d) {
      d.lockRefusals = c.refusals;
      d.lockError = c.error;
    });
    const int gBefore = disk.lockAttempts(g), hBefore = disk.lockAttempts(h);
    const int gUnlocks = disk.unlocks(g);
    const Bytes image = completeImage(300);
    useImage(image);
    run();
    EXPECT_EQ(disk.lockAttempts(g) - gBefore, 1);
    EXPECT_EQ(disk.lockAttempts(h) - hBefore, c.attemptsOnH);
    // G was locked first and is unlocked again either way.
    EXPECT_EQ(disk.unlocks(g) - gUnlocks, 1);
    // Neither the other card nor the CD-ROM drive is locked.
    EXPECT_EQ(disk.lockAttempts("\\\\.\\J:") + disk.lockAttempts("\\\\.\\I:"), 0);
    EXPECT_EQ(disk.lockedVolumes(), 0);
    if (c.written) {
      EXPECT_EQ(cardBytes(), payloadOf(image));
      EXPECT_EQ(ui.messages, kDoneOnly);
    } else {
      EXPECT_TRUE(cardBytes().empty());
      EXPECT_EQ(ending(), (std::vector<std::string>{
                              "message ERROR: could not lock the card at >G, close every program "
                              "and window that uses it and try again",
                              "close image", "close device"}));
    }
    EXPECT_TRUE(readFile(otherCard).empty());
  }
}

TEST_F(CardWithTwoVolumes, RefusesAnImageThatLiesOnTheCardBeforeLockingOrWriting) {
  struct Case {
    const char* name;
    const char* folderOf;  // the letter whose volume holds the image's folder
    bool refused;
  };
  const Case cases[] = {
      {"on the letter's own volume", "G", true},
      {"on the card's other volume", "H", true},
      {"on another card", "J", false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    startCase();
    const std::string folder = scratch.path(std::string("mounted-") + c.folderOf + "/");
    changeVolume(c.folderOf, [&](disks::SimulatedDrive& d) {
      if (std::string(c.folderOf) == "J") {
        d.file = otherCard;
        d.diskNumber = "2";
      }
      d.folder = folder;
    });
    std::filesystem::create_directories(folder);
    const Bytes image = completeImage(20);
    writeFile(folder + "image.S7img", image);
    ui.fileName = folder + "image.S7img";
    run();
    if (c.refused) {
      EXPECT_TRUE(cardBytes().empty());
      EXPECT_EQ(count("lock volume"), 0);
      EXPECT_EQ(ending(), (std::vector<std::string>{"message ERROR: image file is on the card at "
                                                    ">G, copy it to another drive first",
                                                    "close image", "close device"}));
    } else {
      EXPECT_EQ(cardBytes(), payloadOf(image));
    }
    changeVolume(c.folderOf, [&](disks::SimulatedDrive& d) {
      if (std::string(c.folderOf) == "J") {
        d.file = otherCard;
        d.diskNumber = "2";
      }
    });
  }
}

// A volume holding a page file is the system's: its lock is refused at once,
// however busy the refusal says it is.
TEST(VolumeLock, RefusesAVolumeHoldingAPageFileAtOnce) {
  ScratchDir scratch;
  disks::SimulatedDiskServices disk;
  disks::SimulatedDrive d;
  d.file = scratch.path("card.img");
  d.pageFile = true;
  disk.addDrive("G", d);
  card::LockPatience patience;
  int pauses = 0;
  patience.wait = [&](std::chrono::milliseconds) { ++pauses; };
  card::VolumeLock lock;
  EXPECT_FALSE(lock.acquire(disk, "\\\\.\\G:", patience));
  EXPECT_TRUE(lock.pageFile());
  EXPECT_EQ(disk.lockAttempts("\\\\.\\G:"), 1);
  EXPECT_EQ(pauses, 0);
  EXPECT_EQ(disk.openVolumes(), 0);
}

}  // namespace
