#include "card/write_run.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <limits>

#include "disks/simulated_disk_services.h"
#include "tests/support/test_support.h"

namespace {

using namespace testing_support;
using Bytes = std::vector<std::uint8_t>;

// One run against a simulated card on G, with the image chosen beforehand.
class WriteOperation : public ::testing::Test {
 public:
  WriteOperation() : disk(&journal), ui(journal) {
    disks::SimulatedDrive card;
    card.file = cardPath;
    disk.addDrive("G", card);
    options.lock.wait = [](std::chrono::milliseconds) {};
  }

  void useImage(const Bytes& bytes) {
    writeFile(imagePath, bytes);
    ui.fileName = imagePath;
  }

  card::Outcome run() {
    const card::Outcome outcome = card::runWrite(disk, ui, options);
    // Whatever the path, nothing stays open.
    EXPECT_EQ(disk.openDevices(), 0);
    EXPECT_EQ(disk.openVolumes(), 0);
    EXPECT_EQ(disk.openImages(), 0);
    EXPECT_EQ(disk.liveBuffers(), 0);
    // One buffer for the whole run, whatever its length.
    EXPECT_LE(std::count(journal.begin(), journal.end(), "allocate buffer"), 1);
    for (int position : ui.positions) {
      EXPECT_GE(position, 0);
      EXPECT_LE(position, 100);
    }
    return outcome;
  }

  // The releases and what the operator was shown, in order.
  std::vector<std::string> ending() const {
    std::vector<std::string> kept;
    for (const std::string& e : journal)
      if (e.rfind("message", 0) == 0 || e == "close device" || e == "close image" ||
          e == "free buffer" || e == "panel hidden")
        kept.push_back(e);
    return kept;
  }

  Bytes cardBytes() const { return readFile(cardPath); }

  // The status text the run left in the window.
  std::string lastStatus() const {
    const auto found = std::find_if(journal.rbegin(), journal.rend(), [](const std::string& e) {
      return e.rfind("status ", 0) == 0;
    });
    return found == journal.rend() ? std::string() : *found;
  }

  ScratchDir scratch;
  std::string cardPath = scratch.path("card-G.img");
  std::string imagePath = scratch.path("image.S7img");
  std::vector<std::string> journal;
  disks::SimulatedDiskServices disk;
  RecordingUi ui;
  card::WriteOptions options;
};

Bytes payloadOf(const Bytes& image) { return Bytes(image.begin() + 8, image.end()); }

// What a run that ends well shows: "done", and nothing before it.
const std::vector<std::pair<std::string, std::string>> kDoneOnly = {{"done", "Quenvory"}};

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
  const auto status = std::find(journal.begin(), journal.end(), "status 250 block image");
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
    journal.clear();
    ui.positions.clear();
    ui.messages.clear();
    // A fresh card for each count: what one case wrote must not stand in for
    // what the next one writes.
    std::remove(cardPath.c_str());
    useImage(completeImage(c.first));
    run();
    EXPECT_EQ(ui.positions, c.second);
    const auto shown = std::count(journal.begin(), journal.end(), "panel shown");
    EXPECT_EQ(shown, static_cast<long>(c.second.size()) - 1);
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
      {"ends on a boundary", 10, 5 * 512, 6, 4 * 512},
      {"ends inside block 0", 3, 100, 1, 0},
      {"nothing after the header", 3, 0, 1, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    journal.clear();
    ui.messages.clear();
    std::remove(cardPath.c_str());
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

TEST_F(WriteOperation, RefusedBlockStopsTheRunKeepsWhatWasWrittenAndReleasesEverything) {
  disks::SimulatedDrive refusing;
  refusing.file = cardPath;
  refusing.refuseBlock = 37;
  refusing.refuseError = 1117;
  disk.addDrive("G", refusing);
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

TEST_F(WriteOperation, RefusalsBeforeTheFirstBlock) {
  // `about`: what a front end names beside the message (the image file for
  // the image's own faults, the card otherwise).
  using card::About;
  struct Case {
    const char* name;
    std::function<void(WriteOperation&)> arrange;
    std::vector<std::string> ending;
    bool imageLookedAt;
    About about;
  };
  const Case cases[] = {
      {"no file and the dialog cancelled",
       [](WriteOperation& t) { t.ui.fileName.clear(); },
       {"message ERROR: no image file selected", "close device"},
       false,
       About::Card},
      {"image does not open",
       [](WriteOperation& t) { t.ui.fileName = t.scratch.path("missing.S7img"); },
       {"message ERROR: image file does not open", "close device"},
       true,
       About::ImageFile},
      {"header refused",
       [](WriteOperation& t) { t.useImage(imageBytes(100, -1134, 512 * 100)); },
       {"message ERROR: this is V0.9 Image File, use with V0.9", "close image", "close device"},
       true,
       About::ImageFile},
      {"no memory for the buffer",
       [](WriteOperation& t) {
         t.useImage(completeImage(5));
         t.disk.failAllocation(true);
       },
       {"message ERROR: not enough memory for the block buffer", "close image", "close device"},
       true,
       About::Card},
      {"drive refused",
       [](WriteOperation& t) { t.ui.drive = "Q"; },
       {"message ERROR: could not query device"},
       false,
       About::Card},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    journal.clear();
    std::remove(cardPath.c_str());
    useImage(completeImage(5));
    ui.drive = "G";
    disk.failAllocation(false);
    c.arrange(*this);
    const card::Outcome outcome = run();
    EXPECT_EQ(outcome.about, c.about);
    EXPECT_EQ(outcome.blocksWritten, 0);
    EXPECT_EQ(ending(), c.ending);
    EXPECT_EQ(std::count(journal.begin(), journal.end(), "open image"), c.imageLookedAt ? 1 : 0);
    EXPECT_TRUE(cardBytes().empty());
    EXPECT_EQ(std::find(journal.begin(), journal.end(), "message Quenvory: done"), journal.end());
  }
}

TEST_F(WriteOperation, AsksForAFileOnlyWhenNoneIsChosen) {
  const Bytes image = completeImage(3);
  writeFile(imagePath, image);
  ui.fileName.clear();
  ui.dialogAnswer = imagePath;
  run();
  EXPECT_EQ(cardBytes(), payloadOf(image));
  EXPECT_EQ(std::count(journal.begin(), journal.end(), "ask for file"), 1);

  journal.clear();
  run();  // the file is chosen now: no dialog
  EXPECT_EQ(std::count(journal.begin(), journal.end(), "ask for file"), 0);
}

TEST_F(WriteOperation, HeaderIsCheckedAfterTheWindowIsRepaintedAndTheBarReset) {
  useImage(imageBytes(100, 0, 512));
  run();
  EXPECT_EQ(withoutTransfers(journal),
            (std::vector<std::string>{"query G:", "open device \\\\.\\PHYSICALDRIVE1", "geometry",
                                      "writable?", "open image", "repaint window", "progress 0",
                                      "message ERROR: image header failed (iCheck & iLastBlock)",
                                      "close image", "update layout", "close device"}));
}

TEST_F(WriteOperation, NothingToWriteStillEndsWithDone) {
  for (std::int32_t count : {0, -5}) {
    SCOPED_TRACE(count);
    journal.clear();
    ui.messages.clear();
    std::remove(cardPath.c_str());
    useImage(imageBytes(count, count - 1236, 512 * 3));
    run();
    EXPECT_TRUE(cardBytes().empty());
    EXPECT_EQ(std::count(journal.begin(), journal.end(), "panel shown"), 0);
    EXPECT_EQ(ui.messages, kDoneOnly);
  }
}

TEST_F(WriteOperation, ProgressOfAHugeClaimedCountStaysInRange) {
  // A claim near the largest count with a short file: the last update comes
  // at the short block with the index set to the count, and 100 x that must
  // not wrap.
  const std::int32_t max = std::numeric_limits<std::int32_t>::max();
  disks::SimulatedDrive huge;
  huge.file = cardPath;
  huge.blocks = std::int64_t{max} + 1;
  disk.addDrive("G", huge);
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

}  // namespace

namespace {

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
         disks::SimulatedDrive d;
         d.file = t.cardPath;
         d.refuseBlock = 200;
         d.refuseError = 1117;
         t.disk.addDrive("G", d);
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
         disks::SimulatedDrive d;
         d.file = t.cardPath;
         d.corruptBlock = 7;
         t.disk.addDrive("G", d);
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
    const auto at = [&](const std::string& entry) {
      return std::find(journal.begin(), journal.end(), entry) - journal.begin();
    };
    const auto firstWrite =
        std::find_if(journal.begin(), journal.end(),
                     [](const std::string& e) { return e.rfind("write ", 0) == 0; }) -
        journal.begin();
    EXPECT_LT(at("lock volume"), at("dismount volume"));
    EXPECT_LT(at("dismount volume"), firstWrite);
    EXPECT_LT(at("dismount volume"), at("allocate buffer"));
    const auto lastAt = [&](const std::string& entry) {
      return journal.rend() - std::find(journal.rbegin(), journal.rend(), entry) - 1;
    };
    // A card that left its reader has no layout to read afresh.
    if (at("eject") == std::ptrdiff_t(journal.size())) {
      EXPECT_LT(at("update layout"), at("close device"));
    }
    EXPECT_LT(at("close device"), at("unlock volume"));
    EXPECT_LT(at("unlock volume"), lastAt("close volume"));
    EXPECT_EQ(std::count(journal.begin(), journal.end(), "open volume \\\\.\\G: exclusive"), 1);
    EXPECT_EQ(std::count(journal.begin(), journal.end(), "unlock volume"), 1);
    EXPECT_EQ(disk.lockedVolumes(), 0);
  }
}

// A card that holds the image leaves the reader before its volume is
// unlocked, so that the system never gets to mount it, offer to format it or
// write onto it; a card that does not hold the image stays in.
TEST_F(WriteOperation, EjectsTheCardOnlyAfterASuccessfulWriteBeforeItsVolumeIsUnlocked) {
  struct Case {
    const char* name;
    bool verify;
    bool eject;  // the option
    disks::SimulatedDrive drive;
    bool ejected;
  };
  disks::SimulatedDrive plain;
  plain.file = cardPath;
  disks::SimulatedDrive refusing = plain;
  refusing.refuseBlock = 200;
  refusing.refuseError = 1117;
  disks::SimulatedDrive corrupting = plain;
  corrupting.corruptBlock = 7;
  disks::SimulatedDrive flushFails = plain;
  flushFails.flushError = 1117;
  disks::SimulatedDrive protectedCard = plain;
  protectedCard.writeProtected = true;
  const Case cases[] = {
      {"done", true, true, plain, true},
      {"done without the read-back", false, true, plain, true},
      {"kept in by the option", true, false, plain, false},
      {"refused block", true, true, refusing, false},
      {"verify failed", true, true, corrupting, false},
      {"flush failed", true, true, flushFails, false},
      {"write-protected", true, true, protectedCard, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    journal.clear();
    disk.addDrive("G", c.drive);
    const int before = disk.ejects();
    options.verify = c.verify;
    options.eject = c.eject;
    useImage(completeImage(250));
    run();
    EXPECT_EQ(disk.ejects() - before, c.ejected ? 1 : 0);
    if (!c.ejected) continue;
    const auto at = [&](const std::string& entry) {
      return std::find(journal.begin(), journal.end(), entry) - journal.begin();
    };
    const auto lastTransfer =
        journal.rend() - std::find_if(journal.rbegin(), journal.rend(), [](const std::string& e) {
          return e.rfind("read ", 0) == 0 || e.rfind("write ", 0) == 0;
        });
    EXPECT_LT(lastTransfer, at("eject"));
    EXPECT_LT(at("flush"), at("eject"));
    EXPECT_LT(at("eject"), at("close device"));
    EXPECT_LT(at("eject"), at("unlock volume"));
    EXPECT_LT(at("eject"), at("message Quenvory: done"));
  }
}

// Right after a card goes in, the system's indexer and virus scanner keep its
// volume busy for seconds: the lock waits up to 15 s for it, saying so and
// keeping the window alive, and refuses only then.
TEST_F(WriteOperation, WaitsUpToFifteenSecondsForABusyCard) {
  struct Case {
    const char* name;
    int openRefusals;  // the volume held open by another program, 200 ms apart
    int refusals;      // 200 ms apart; -1: for good
    std::uint32_t error;
    bool written;
    int attempts;
    int waitedMs;
  };
  const Case cases[] = {
      {"free at once", 0, 0, 5, true, 1, 0},
      {"busy for 14 s", 0, 70, 5, true, 71, 14000},
      {"busy for 15 s", 0, 75, 32, true, 76, 15000},
      {"busy for good", 0, -1, 5, false, 76, 15000},
      {"refused for another reason", 0, -1, 1, false, 1, 0},
      {"held open for 10 s", 50, 0, 5, true, 1, 10000},
      {"held open for good", -1, 0, 5, false, 0, 15000},
      // One patience for the open and the lock together.
      {"held open for 8 s, then busy for 8 s", 40, 40, 5, false, 36, 15000},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    journal.clear();
    ui.messages.clear();
    std::remove(cardPath.c_str());
    disks::SimulatedDrive d;
    d.file = cardPath;
    d.lockRefusals = c.refusals;
    d.lockError = c.error;
    d.volumeOpenRefusals = c.openRefusals;
    disk.addDrive("G", d);
    const int attemptsBefore = disk.lockAttempts("\\\\.\\G:");
    int waitedMs = 0;
    options.lock.wait = [&](std::chrono::milliseconds pause) {
      waitedMs += static_cast<int>(pause.count());
    };
    const Bytes image = completeImage(20);
    useImage(image);
    run();
    EXPECT_EQ(disk.lockAttempts("\\\\.\\G:") - attemptsBefore, c.attempts);
    EXPECT_EQ(waitedMs, c.waitedMs);
    // The window is kept alive between every two attempts.
    const auto firstLock = std::find(journal.begin(), journal.end(), "lock volume");
    EXPECT_GE(std::count(firstLock, journal.end(), "process events"), c.attempts - 1);
    std::vector<std::string> statuses;
    for (const std::string& e : journal)
      if (e.rfind("status ", 0) == 0) statuses.push_back(e);
    std::vector<std::string> expected = {"status 20 block image"};
    if (c.waitedMs > 0)
      expected.insert(expected.end(),
                      {"status waiting for the card at >G to be free", "status 20 block image"});
    if (c.written) {
      EXPECT_EQ(cardBytes(), payloadOf(image));
      EXPECT_EQ(ui.messages.back().first, "done");
    } else {
      EXPECT_TRUE(cardBytes().empty());
      EXPECT_EQ(ui.messages.back().first,
                "could not lock the card at >G, close every program and window that uses it and "
                "try again");
    }
    // Written cards go on to the read-back's status.
    statuses.resize(std::min(statuses.size(), expected.size()));
    EXPECT_EQ(statuses, expected);
  }
}

// A stop asked for while the card's volume is waited for ends the run at
// once: nothing was written, and the card still holds what it held.
TEST_F(WriteOperation, AStopDuringTheWaitForTheCardEndsTheRunWithinOneTry) {
  disks::SimulatedDrive busy;
  busy.file = cardPath;
  busy.lockRefusals = -1;
  disk.addDrive("G", busy);
  writeFile(cardPath, Bytes(512 * 64, 0x5A));
  useImage(completeImage(20));
  int pauses = 0;
  options.lock.wait = [&](std::chrono::milliseconds) { ++pauses; };
  ui.stopAtCheck = 1;
  const card::Outcome outcome = card::runWrite(disk, ui, options);
  EXPECT_EQ(outcome.ending, card::Ending::Stopped);
  EXPECT_EQ(outcome.block, 0);
  EXPECT_EQ(disk.lockAttempts("\\\\.\\G:"), 1);
  EXPECT_EQ(pauses, 0);
  EXPECT_EQ(ui.messages, (std::vector<std::pair<std::string, std::string>>{
                             {"stopped at block 0, nothing written", "MMC ERROR"}}));
  EXPECT_EQ(cardBytes(), Bytes(512 * 64, 0x5A));
  EXPECT_EQ(disk.openDevices(), 0);
  EXPECT_EQ(disk.openVolumes(), 0);
  EXPECT_EQ(disk.openImages(), 0);
}

// After a card left its reader, asking the reader about its layout would
// start the card again, and the system would mount it or offer to format it:
// no layout is read afresh then. A reader that keeps the card is asked again
// for a few seconds, and only then is the layout read afresh.
TEST_F(WriteOperation, ReadsTheLayoutAfreshOnlyWhenTheCardStayedInItsReader) {
  struct Case {
    const char* name;
    int ejectRefusals;
    bool cannotEject;
    int ejects;  // attempts
    bool ejected;
  };
  const Case cases[] = {
      {"out at once", 0, false, 1, true},
      {"out at the third try", 2, false, 3, true},
      {"kept in", -1, false, 16, false},       // 3 s, 200 ms apart
      {"no eject at all", 0, true, 1, false},  // asked once, never waited for
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    journal.clear();
    ui.messages.clear();
    disks::SimulatedDrive d;
    d.file = cardPath;
    d.ejectRefusals = c.ejectRefusals;
    d.cannotEject = c.cannotEject;
    disk.addDrive("G", d);
    int waitedMs = 0;
    options.lock.wait = [&](std::chrono::milliseconds pause) {
      waitedMs += static_cast<int>(pause.count());
    };
    useImage(completeImage(20));
    const card::Outcome outcome = card::runWrite(disk, ui, options);
    EXPECT_TRUE(outcome.done());
    EXPECT_EQ(outcome.cardEjected, c.ejected);
    EXPECT_EQ(ui.messages, kDoneOnly);
    EXPECT_EQ(std::count(journal.begin(), journal.end(), "eject"), c.ejects);
    EXPECT_EQ(waitedMs, (c.ejects - 1) * 200);
    // The window is kept alive between every two tries.
    const auto firstEject = std::find(journal.begin(), journal.end(), "eject");
    EXPECT_GE(std::count(firstEject, journal.end(), "process events"), c.ejects - 1);
    const auto at = [&](const std::string& entry) {
      return std::find(journal.begin(), journal.end(), entry) - journal.begin();
    };
    const auto lastEject = journal.rend() - std::find(journal.rbegin(), journal.rend(), "eject");
    if (c.ejected) {
      EXPECT_EQ(std::count(journal.begin(), journal.end(), "update layout"), 0);
    } else {
      EXPECT_LT(lastEject, at("update layout"));
      EXPECT_LT(at("update layout"), at("close device"));
    }
  }
}

// The card's disk is had for the run alone when it can be: another program
// that holds it open for writing is waited for, within the lock's patience,
// and only then is the disk opened beside it.
TEST_F(WriteOperation, OpensTheCardForItselfFirstThenBesideAnotherWriter) {
  struct Case {
    const char* name;
    int refusals;
    int exclusiveOpens;
    bool shared;
    int waitedMs;
  };
  const Case cases[] = {
      {"free at once", 0, 1, false, 0},
      {"free after 1 s", 5, 6, false, 1000},
      {"held for good", -1, 76, true, 15000},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    journal.clear();
    ui.messages.clear();
    std::remove(cardPath.c_str());
    disks::SimulatedDrive d;
    d.file = cardPath;
    d.exclusiveOpenRefusals = c.refusals;
    disk.addDrive("G", d);
    int waitedMs = 0;
    options.lock.wait = [&](std::chrono::milliseconds pause) {
      waitedMs += static_cast<int>(pause.count());
    };
    const Bytes image = completeImage(20);
    useImage(image);
    run();
    EXPECT_EQ(cardBytes(), payloadOf(image));
    EXPECT_EQ(ui.messages, kDoneOnly);
    EXPECT_EQ(std::count(journal.begin(), journal.end(), "open device \\\\.\\PHYSICALDRIVE1"),
              c.exclusiveOpens);
    EXPECT_EQ(
        std::count(journal.begin(), journal.end(), "open device shared \\\\.\\PHYSICALDRIVE1"),
        c.shared ? 1 : 0);
    EXPECT_EQ(waitedMs, c.waitedMs);
    if (c.waitedMs > 0) {
      EXPECT_NE(
          std::find(journal.begin(), journal.end(), "status waiting for the card at >G to be free"),
          journal.end());
    }
  }
}

// The card's lock switch is found before anything is asked or written, so the
// operator learns why at once rather than from an error code at block 0.
TEST_F(WriteOperation, RefusesAWriteProtectedCardBeforeAnythingElse) {
  disks::SimulatedDrive d;
  d.file = cardPath;
  d.writeProtected = true;
  disk.addDrive("G", d);
  ui.fileName.clear();
  ui.dialogAnswer = imagePath;
  writeFile(imagePath, completeImage(20));
  run();
  EXPECT_EQ(
      withoutTransfers(journal),
      (std::vector<std::string>{"query G:", "open device \\\\.\\PHYSICALDRIVE1", "geometry",
                                "writable?", "message ERROR: the card at >G is write-protected",
                                "update layout", "close device"}));
  EXPECT_TRUE(cardBytes().empty());
}

TEST_F(WriteOperation, RefusesACardItCannotLockBeforeWritingAnything) {
  disks::SimulatedDrive busy;
  busy.file = cardPath;
  busy.lockRefusals = -1;
  disk.addDrive("G", busy);
  useImage(completeImage(250));
  run();
  EXPECT_TRUE(cardBytes().empty());
  EXPECT_EQ(std::count(journal.begin(), journal.end(), "lock volume"), 76);  // 15 s, 200 ms apart
  EXPECT_EQ(ending(),
            (std::vector<std::string>{"message ERROR: could not lock the card at >G, close every "
                                      "program and window that uses it and try again",
                                      "close image", "close device"}));
}

TEST_F(WriteOperation, LocksACardThatComesFreeAfterAFewAttempts) {
  disks::SimulatedDrive flushing;
  flushing.file = cardPath;
  flushing.lockRefusals = 2;
  disk.addDrive("G", flushing);
  const Bytes image = completeImage(10);
  useImage(image);
  run();
  EXPECT_EQ(cardBytes(), payloadOf(image));
  EXPECT_EQ(std::count(journal.begin(), journal.end(), "lock volume"), 3);
}

TEST_F(WriteOperation, RefusesAnImageLargerThanTheCard) {
  struct Case {
    const char* name;
    std::int64_t cardBlocks;
    bool lengthFails;  // the size then comes from whole cylinders of 32 sectors
    std::int32_t imageBlocks;
    const char* refusal;  // nullptr: written
  };
  const Case cases[] = {
      {"exactly full", 300, false, 300, nullptr},
      {"one block too many", 300, false, 301,
       "image of 301 blocks does not fit on card of 300 blocks"},
      {"geometry, fits", 330, true, 320, nullptr},
      {"geometry, rounded down", 330, true, 321,
       "image of 321 blocks does not fit on card of 320 blocks"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    journal.clear();
    ui.messages.clear();
    std::remove(cardPath.c_str());
    disks::SimulatedDrive small;
    small.file = cardPath;
    small.blocks = c.cardBlocks;
    small.lengthFails = c.lengthFails;
    disk.addDrive("G", small);
    const Bytes image = completeImage(c.imageBlocks);
    useImage(image);
    run();
    if (c.refusal == nullptr) {
      EXPECT_EQ(cardBytes(), payloadOf(image));
      EXPECT_EQ(ui.messages, kDoneOnly);
    } else {
      EXPECT_TRUE(cardBytes().empty());
      EXPECT_EQ(ending(), (std::vector<std::string>{std::string("message ERROR: ") + c.refusal,
                                                    "close image", "close device"}));
      EXPECT_EQ(std::count(journal.begin(), journal.end(), "lock volume"), 0);
    }
  }
}

TEST_F(WriteOperation, ReadsTheCardBackAndReportsWhatDiffers) {
  struct Case {
    const char* name;
    std::int64_t corruptBlock;
    bool readFails;
    const char* message;
    const char* caption;
  };
  const Case cases[] = {
      {"match", -1, false, "done", "Quenvory"},
      {"block 0 differs", 0, false, "verify failed at block 0", "MMC ERROR"},
      {"block in the second run differs", 2100, false, "verify failed at block 2100", "MMC ERROR"},
      {"last block differs", 2999, false, "verify failed at block 2999", "MMC ERROR"},
      {"card cannot be read", -1, true, "error 23 reading MMC card.", "MMC ERROR"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    journal.clear();
    ui.messages.clear();
    disks::SimulatedDrive d;
    d.file = cardPath;
    d.corruptBlock = c.corruptBlock;
    d.readFails = c.readFails;
    d.refuseError = 23;
    disk.addDrive("G", d);
    useImage(completeImage(3000));
    const card::Outcome outcome = run();
    // Every block went out before the read-back, whatever it found.
    EXPECT_EQ(outcome.blocksWritten, 3000);
    ASSERT_EQ(ui.messages.size(), 1u);
    EXPECT_EQ(ui.messages[0], std::make_pair(std::string(c.message), std::string(c.caption)));
    EXPECT_EQ(std::count(journal.begin(), journal.end(), "status 3000 block image - verifying"), 1);
    if (c.caption == std::string("MMC ERROR"))
      EXPECT_EQ(ending(), (std::vector<std::string>{std::string("message MMC ERROR: ") + c.message,
                                                    "close device", "close image", "panel hidden",
                                                    "free buffer"}));
    else
      EXPECT_EQ(lastStatus(), "status 3000 block image");  // the mark is gone
  }
}

TEST_F(WriteOperation, ReadsBackOnlyWhenSomethingWasWrittenAndAsked) {
  const std::pair<std::int32_t, bool> cases[] = {{0, true}, {5, false}};
  for (const auto& c : cases) {
    SCOPED_TRACE(std::to_string(c.first) + (c.second ? " blocks, read-back asked" : " blocks"));
    journal.clear();
    ui.messages.clear();
    options.verify = c.second;
    useImage(completeImage(c.first));
    run();
    EXPECT_EQ(std::count_if(journal.begin(), journal.end(),
                            [](const std::string& e) { return e.rfind("read ", 0) == 0; }),
              0);
    EXPECT_EQ(ui.messages, kDoneOnly);
  }
}

// Batches of blocks per write call change how fast the card is written, never
// what the operator sees nor what lands on the card.
TEST(WriteBatches, OperatorSeesTheSameAsWithOneBlockPerWrite) {
  struct Case {
    std::int32_t claimed;
    std::size_t payload;
    std::int64_t refuseBlock;
    std::int64_t readFailsAt = -1;  // the image byte whose read fails
  };
  const Case cases[] = {
      {0, 0, -1},
      {1, 512, -1},
      {99, 99 * 512, -1},
      {100, 100 * 512, -1},
      {101, 101 * 512, -1},
      {250, 250 * 512, -1},
      {2047, 2047 * 512, -1},
      {2048, 2048 * 512, -1},
      {2049, 2049 * 512, -1},
      {5000, 5000 * 512, -1},
      // Short images: inside a batch, at a batch's first block, at its last.
      {5000, 3000 * 512 + 100, -1},
      {5000, 2048 * 512, -1},
      {5000, 2047 * 512 + 1, -1},
      {300, 0, -1},
      // Refused blocks: in the first batch, at the start of the second, in the last.
      {5000, 5000 * 512, 37},
      {5000, 5000 * 512, 2048},
      {5000, 5000 * 512, 4999},
      {5000, 3000 * 512 + 100, 3000},
      // Image reads that fail: inside the first batch, at the second's start.
      {5000, 5000 * 512, -1, 8 + 150 * 512 + 7},
      {5000, 5000 * 512, -1, 8 + 2048 * 512},
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
        if (call.rfind("message ", 0) == 0) messages.push_back(call);
      EXPECT_EQ(messages, said);
      EXPECT_EQ(cards[pass].size(), expected.size());
      EXPECT_TRUE(cards[pass] == expected);
    }
  }
}

}  // namespace

namespace {

using Kind = disks::SimulatedDrive::Kind;

// A card on disk 1 mounted twice, as today's systems mount every partition
// of a removable card: G and, under its own letter, H. J is another card, on
// disk 2, and I a CD-ROM drive; neither may be touched.
class CardWithTwoVolumes : public WriteOperation {
 public:
  CardWithTwoVolumes() {
    changeVolume("H", [](disks::SimulatedDrive&) {});
    disks::SimulatedDrive other;
    other.file = otherCard;
    other.diskNumber = "2";
    disk.addDrive("J", other);
    disks::SimulatedDrive cdrom;
    cdrom.kind = Kind::CdRom;
    disk.addDrive("I", cdrom);
  }

  void changeVolume(const std::string& letter,
                    const std::function<void(disks::SimulatedDrive&)>& change) {
    disks::SimulatedDrive d = letter == "H" ? secondVolume() : disks::SimulatedDrive{};
    d.file = cardPath;
    change(d);
    disk.addDrive(letter, d);
  }

  static disks::SimulatedDrive secondVolume() {
    disks::SimulatedDrive d;
    d.kind = Kind::VolumeCard;
    d.volumeNumber = "9";
    return d;
  }

  std::string otherCard = scratch.path("card-J.img");
};

// The card is waited for 15 s in all, however many volumes it has.
TEST_F(CardWithTwoVolumes, WaitsFifteenSecondsInAllForEveryVolume) {
  changeVolume("G", [](disks::SimulatedDrive& d) { d.lockRefusals = 50; });
  changeVolume("H", [](disks::SimulatedDrive& d) { d.lockRefusals = 50; });
  int waitedMs = 0;
  options.lock.wait = [&](std::chrono::milliseconds pause) {
    waitedMs += static_cast<int>(pause.count());
  };
  useImage(completeImage(30));
  run();
  EXPECT_EQ(disk.lockAttempts("\\\\.\\G:"), 51);
  EXPECT_EQ(disk.lockAttempts("\\\\.\\H:"), 26);
  EXPECT_EQ(waitedMs, 15000);
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
      {"both free", 0, 5, 1, true},
      {"busy twice, then free", 2, 5, 3, true},
      {"sharing violation, then free", 1, 32, 2, true},
      {"busy for good", -1, 33, 76, false},
      {"refused for another reason", -1, 1, 1, false},
      {"not ready", -1, 21, 1, false},
  };
  const std::string g = "\\\\.\\G:", h = "\\\\.\\H:";
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    journal.clear();
    ui.messages.clear();
    std::remove(cardPath.c_str());
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
    journal.clear();
    ui.messages.clear();
    std::remove(cardPath.c_str());
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
      EXPECT_EQ(std::count(journal.begin(), journal.end(), "lock volume"), 0);
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

TEST_F(WriteOperation, LockRefusalNamesTheCardBeingWrittenWhateverTheFieldShowsMeanwhile) {
  // The operator types another letter while the run processes events after
  // the status text; the refusal that follows still names G.
  disks::SimulatedDrive d;
  d.file = cardPath;
  d.lockRefusals = -1;
  disk.addDrive("G", d);
  useImage(completeImage(20));
  ui.onProcessEvents = [&] { ui.drive = "K"; };
  run();
  EXPECT_EQ(ui.messages.back().first,
            "could not lock the card at >G, close every program and window that uses it and try "
            "again");
  EXPECT_TRUE(cardBytes().empty());
}

TEST_F(WriteOperation, AFailedFlushIsAFailedWriteAndNothingIsReadBack) {
  disks::SimulatedDrive d;
  d.file = cardPath;
  d.flushError = 1117;
  disk.addDrive("G", d);
  const Bytes image = completeImage(300);
  useImage(image);
  run();
  // Every block went out before the flush was asked for.
  EXPECT_EQ(cardBytes(), payloadOf(image));
  EXPECT_EQ(ending(), (std::vector<std::string>{
                          "message MMC ERROR: error 1117 writing to MMC card.", "close device",
                          "close image", "panel hidden", "free buffer"}));
  const auto flush = std::find(journal.begin(), journal.end(), "flush");
  ASSERT_NE(flush, journal.end());
  EXPECT_EQ(std::find_if(journal.begin(), journal.end(),
                         [](const std::string& e) { return e.rfind("read ", 0) == 0; }),
            journal.end());
}

TEST_F(WriteOperation, FlushesTheCardAfterTheLastBlockAndBeforeTheReadBack) {
  const Bytes image = completeImage(3000);
  useImage(image);
  run();
  const auto isWrite = [](const std::string& e) { return e.rfind("write ", 0) == 0; };
  const auto isRead = [](const std::string& e) { return e.rfind("read ", 0) == 0; };
  const auto lastWrite = std::find_if(journal.rbegin(), journal.rend(), isWrite).base() - 1;
  const auto flush = std::find(journal.begin(), journal.end(), "flush");
  const auto firstRead = std::find_if(journal.begin(), journal.end(), isRead);
  ASSERT_NE(flush, journal.end());
  EXPECT_LT(lastWrite, flush);
  EXPECT_LT(flush, firstRead);
  EXPECT_EQ(std::count(journal.begin(), journal.end(), "flush"), 1);
  EXPECT_EQ(ui.messages, kDoneOnly);
}

// A read that fails is not the end of the file: the blocks before the bad
// one are on the card, as with one block per write, and the run stops there.
TEST_F(WriteOperation, AnImageReadErrorStopsTheRunWhereTheEndOfTheFileWouldNot) {
  const std::pair<std::int64_t, std::int32_t> cases[] = {
      {8, 0},                    // the first byte of block 0
      {8 + 512 * 37 + 100, 37},  // inside block 37
      {8 + 512 * 2048, 2048},    // the first block of the second batch
      {8 + 512 * 2999 + 511, 2999},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.second);
    journal.clear();
    ui.messages.clear();
    std::remove(cardPath.c_str());
    disk.failImageReadAt(c.first);
    const Bytes image = completeImage(3000);
    useImage(image);
    run();
    const Bytes written = cardBytes();
    ASSERT_EQ(written.size(), std::size_t(c.second) * 512);
    EXPECT_TRUE(std::equal(written.begin(), written.end(), image.begin() + 8));
    EXPECT_EQ(ending(),
              (std::vector<std::string>{
                  "message ERROR: image file read error at block " + std::to_string(c.second),
                  "close device", "close image", "panel hidden", "free buffer"}));
    EXPECT_EQ(std::count(journal.begin(), journal.end(), "flush"), 0);
  }
  disk.failImageReadAt(-1);
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
    if (e->rfind("write ", 0) == 0) (e < warning ? before : after).push_back(*e);
  EXPECT_EQ(before, (std::vector<std::string>{"write 0 +1048576", "write 2048 +487424"}));
  EXPECT_EQ(after, (std::vector<std::string>{"write 3000 +512"}));
  EXPECT_EQ(ui.messages,
            (std::vector<std::pair<std::string, std::string>>{
                {"unexpected shortness of image file at block 3000 , good luck", "surprised"},
                {"done", "Quenvory"}}));
}

TEST_F(WriteOperation, RefusesACardOfOtherThan512ByteSectorsOpenedByItsPath) {
  disks::SimulatedDrive d;
  d.file = cardPath;
  d.sectorBytes = 4096;
  disk.addDrive("G", d);
  useImage(completeImage(20));
  card::NativeHandle handle = 0;
  ASSERT_TRUE(disk.openDevice("\\\\.\\PHYSICALDRIVE1", handle));
  EXPECT_FALSE(card::runWrite(disk, ui, card::CardDevice(disk, handle), options).done());
  EXPECT_EQ(ui.messages, (std::vector<std::pair<std::string, std::string>>{
                             {"card sectors of 4096 bytes are not supported", "ERROR"}}));
  EXPECT_EQ(disk.openDevices(), 0);
  EXPECT_EQ(std::count(journal.begin(), journal.end(), "open image"), 0);
  EXPECT_TRUE(cardBytes().empty());
}

}  // namespace
