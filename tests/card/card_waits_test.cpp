// The waits for a card that another program holds: its disk, its volumes
// and their locks, on one patience, each ended by a stop.
#include <gtest/gtest.h>

#include <filesystem>
#include <functional>

#include "card/backup_run.h"
#include "card/compare_run.h"
#include "tests/card/write_fixture.h"

namespace {

using namespace write_testing;

const char* const kCouldNotLock =
    "could not lock the card at >G, close every program and window that uses it and try again";
const char* const kWaitingStatus = "status waiting for the card at >G to be free";
const char* const kExclusiveOpen = "open device \\\\.\\PHYSICALDRIVE1";
const char* const kSharedOpen = "open device shared \\\\.\\PHYSICALDRIVE1";

// Right after a card goes in, the system's indexer and virus scanner keep its
// volume busy for seconds: the lock waits up to 15 s for it, saying so and
// keeping the window alive, and refuses only then.
TEST_F(WriteOperation, WaitsUpToFifteenSecondsForABusyCard) {
  struct Case {
    const char* name;
    int openRefusals = 0;  // the volume held open by another program, 200 ms apart
    int refusals = 0;      // the lock's, 200 ms apart; -1: for good
    std::uint32_t error = 5;
    bool written;
    int attempts;  // of the lock
    int waitedMs;
  };
  const Case cases[] = {
      {.name = "free at once", .written = true, .attempts = 1, .waitedMs = 0},
      {.name = "busy for 14 s", .refusals = 70, .written = true, .attempts = 71, .waitedMs = 14000},
      {.name = "busy for 15 s",
       .refusals = 75,
       .error = 32,
       .written = true,
       .attempts = 76,
       .waitedMs = 15000},
      {.name = "busy for good",
       .refusals = -1,
       .written = false,
       .attempts = 76,
       .waitedMs = 15000},
      {.name = "refused for another reason",
       .refusals = -1,
       .error = 1,
       .written = false,
       .attempts = 1,
       .waitedMs = 0},
      {.name = "held open for 10 s",
       .openRefusals = 50,
       .written = true,
       .attempts = 1,
       .waitedMs = 10000},
      {.name = "held open for good",
       .openRefusals = -1,
       .written = false,
       .attempts = 0,
       .waitedMs = 15000},
      // One patience for the open and the lock together.
      {.name = "held open for 8 s, then busy for 8 s",
       .openRefusals = 40,
       .refusals = 40,
       .written = false,
       .attempts = 36,
       .waitedMs = 15000},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    startCase();
    useCard([&](disks::SimulatedDrive& d) {
      d.lockRefusals = c.refusals;
      d.lockError = c.error;
      d.volumeOpenRefusals = c.openRefusals;
    });
    const int attemptsBefore = disk.lockAttempts("\\\\.\\G:");
    countWaits();
    const Bytes image = completeImage(20);
    useImage(image);
    run();
    EXPECT_EQ(disk.lockAttempts("\\\\.\\G:") - attemptsBefore, c.attempts);
    EXPECT_EQ(waitedMs, c.waitedMs);
    // The window is kept alive between every two attempts.
    const auto firstLock = journal.begin() + at("lock volume");
    EXPECT_GE(std::count(firstLock, journal.end(), "process events"), c.attempts - 1);
    std::vector<std::string> statuses;
    for (const std::string& e : journal)
      if (startsWith(e, "status ")) statuses.push_back(e);
    std::vector<std::string> expected = {"status 20 block image"};
    if (c.waitedMs > 0) expected.insert(expected.end(), {kWaitingStatus, "status 20 block image"});
    if (c.written) {
      EXPECT_EQ(cardBytes(), payloadOf(image));
      EXPECT_EQ(ui.messages.back().first, "done");
    } else {
      EXPECT_TRUE(cardBytes().empty());
      EXPECT_EQ(ui.messages.back().first, kCouldNotLock);
    }
    // Written cards go on to the read-back's status.
    statuses.resize(std::min(statuses.size(), expected.size()));
    EXPECT_EQ(statuses, expected);
  }
}

// The card's disk is had for the run alone when it can be: another program
// that holds it open for writing is waited for, within the lock's patience,
// and only then is the disk opened beside it.
TEST_F(WriteOperation, OpensTheCardForItselfFirstThenBesideAnotherWriter) {
  struct Case {
    const char* name;
    int refusals;  // of the open for the run alone, 200 ms apart; -1: for good
    int exclusiveOpens;
    bool shared;
    int waitedMs;
  };
  const Case cases[] = {
      {.name = "free at once", .refusals = 0, .exclusiveOpens = 1, .shared = false, .waitedMs = 0},
      {.name = "free after 1 s",
       .refusals = 5,
       .exclusiveOpens = 6,
       .shared = false,
       .waitedMs = 1000},
      {.name = "held for good",
       .refusals = -1,
       .exclusiveOpens = 76,
       .shared = true,
       .waitedMs = 15000},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    startCase();
    useCard([&](disks::SimulatedDrive& d) { d.exclusiveOpenRefusals = c.refusals; });
    countWaits();
    const Bytes image = completeImage(20);
    useImage(image);
    run();
    EXPECT_EQ(cardBytes(), payloadOf(image));
    EXPECT_EQ(ui.messages, kDoneOnly);
    EXPECT_EQ(count(kExclusiveOpen), c.exclusiveOpens);
    EXPECT_EQ(count(kSharedOpen), c.shared ? 1 : 0);
    EXPECT_EQ(waitedMs, c.waitedMs);
    if (c.waitedMs > 0) {
      EXPECT_NE(at(kWaitingStatus), std::ptrdiff_t(journal.size()));
    }
  }
}

// The help promises 15 s: the disk's wait, each volume's open and its lock
// draw on one patience, never one each. A stop while the disk is waited for
// ends the run at once, before the disk is opened beside the other program.
TEST_F(WriteOperation, WaitsFifteenSecondsInAllForTheDiskItsVolumeAndItsLock) {
  struct Case {
    const char* name;
    int diskHeld = 0;     // opens for the run alone refused, 200 ms apart; -1: for good
    int volumeHeld = 0;   // the volume's opens refused, 200 ms apart
    int volumeBusy = 0;   // its locks refused, 200 ms apart
    int stopAtCheck = 0;  // the operator's stop, at that question; 0: none
    int waitedMs;
    int exclusiveOpens;
    bool shared = false;
    int lockAttempts;
    const char* closing;
  };
  const char* const stopped = "stopped at block 0, nothing written";
  const Case cases[] = {
      {.name = "disk held 5 s, then free",
       .diskHeld = 25,
       .waitedMs = 5000,
       .exclusiveOpens = 26,
       .lockAttempts = 1,
       .closing = "done"},
      {.name = "disk held 4 s, volume held open 4 s, then busy 4 s",
       .diskHeld = 20,
       .volumeHeld = 20,
       .volumeBusy = 20,
       .waitedMs = 12000,
       .exclusiveOpens = 21,
       .lockAttempts = 21,
       .closing = "done"},
      {.name = "disk held 10 s, then the volume busy 10 s",
       .diskHeld = 50,
       .volumeBusy = 50,
       .waitedMs = 15000,
       .exclusiveOpens = 51,
       .lockAttempts = 26,
       .closing = kCouldNotLock},
      {.name = "disk held 6 s, then the volume held open 10 s",
       .diskHeld = 30,
       .volumeHeld = 50,
       .waitedMs = 15000,
       .exclusiveOpens = 31,
       .lockAttempts = 0,
       .closing = kCouldNotLock},
      // The disk is then opened beside its other writer, with nothing left
      // of the patience: the busy volume is asked once.
      {.name = "disk held for good, then the volume busy",
       .diskHeld = -1,
       .volumeBusy = 3,
       .waitedMs = 15000,
       .exclusiveOpens = 76,
       .shared = true,
       .lockAttempts = 1,
       .closing = kCouldNotLock},
      {.name = "a stop at once while the disk is held",
       .diskHeld = -1,
       .stopAtCheck = 1,
       .waitedMs = 0,
       .exclusiveOpens = 1,
       .lockAttempts = 0,
       .closing = stopped},
      {.name = "a stop after 400 ms of the disk's wait",
       .diskHeld = -1,
       .stopAtCheck = 3,
       .waitedMs = 400,
       .exclusiveOpens = 3,
       .lockAttempts = 0,
       .closing = stopped},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    startCase();
    useCard([&](disks::SimulatedDrive& d) {
      d.exclusiveOpenRefusals = c.diskHeld;
      d.volumeOpenRefusals = c.volumeHeld;
      d.lockRefusals = c.volumeBusy;
    });
    writeFile(cardPath, Bytes(512 * 64, 0x5A));
    const int lockAttemptsBefore = disk.lockAttempts("\\\\.\\G:");
    countWaits();
    ui.stopChecks = 0;
    ui.stopAtCheck = c.stopAtCheck;
    const Bytes image = completeImage(20);
    useImage(image);
    const card::Outcome outcome = run();
    EXPECT_EQ(waitedMs, c.waitedMs);
    EXPECT_EQ(count(kExclusiveOpen), c.exclusiveOpens);
    EXPECT_EQ(count(kSharedOpen), c.shared ? 1 : 0);
    EXPECT_EQ(disk.lockAttempts("\\\\.\\G:") - lockAttemptsBefore, c.lockAttempts);
    ASSERT_FALSE(ui.messages.empty());
    EXPECT_EQ(ui.messages.back().first, c.closing);
    if (c.closing == stopped) {
      EXPECT_EQ(outcome.ending, card::Ending::Stopped);
      EXPECT_EQ(ui.messages.size(), 1u);
      // The image was never looked at.
      EXPECT_EQ(count("open image"), 0);
    }
    // The card holds what it held, the image over it where it was written.
    Bytes held(512 * 64, 0x5A);
    if (c.closing == std::string("done")) {
      const Bytes payload = payloadOf(image);
      std::copy(payload.begin(), payload.end(), held.begin());
    }
    EXPECT_EQ(cardBytes(), held);
  }
}

// The card is waited for 15 s in all, however many volumes it has.
TEST_F(CardWithTwoVolumes, WaitsFifteenSecondsInAllForEveryVolume) {
  changeVolume("G", [](disks::SimulatedDrive& d) { d.lockRefusals = 50; });
  changeVolume("H", [](disks::SimulatedDrive& d) { d.lockRefusals = 50; });
  countWaits();
  useImage(completeImage(30));
  run();
  EXPECT_EQ(disk.lockAttempts("\\\\.\\G:"), 51);
  EXPECT_EQ(disk.lockAttempts("\\\\.\\H:"), 26);
  EXPECT_EQ(waitedMs, 15000);
  EXPECT_TRUE(cardBytes().empty());
}

// A stop asked for while the card's volume is waited for ends the run at
// once: nothing was written, and the card still holds what it held.
TEST_F(WriteOperation, AStopDuringTheWaitForTheCardEndsTheRunWithinOneTry) {
  useCard([](disks::SimulatedDrive& d) { d.lockRefusals = -1; });
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
  EXPECT_EQ(ui.messages, (Messages{{"stopped at block 0, nothing written", "MMC ERROR"}}));
  EXPECT_EQ(cardBytes(), Bytes(512 * 64, 0x5A));
  EXPECT_EQ(disk.openDevices(), 0);
  EXPECT_EQ(disk.openVolumes(), 0);
  EXPECT_EQ(disk.openImages(), 0);
}

// A stop while the card's disk is held by another program ends each kind of
// run at once in its own words: a backup keeps no file, a compare names its
// block, a write says nothing was written.
TEST_F(WriteOperation, AStopDuringTheDisksWaitEndsEachRunInItsOwnWords) {
  struct Case {
    const char* name;
    std::function<card::Outcome()> run;
    const char* closing;
  };
  const std::string backupPath = scratch.path("backup.S7img");
  const Case cases[] = {
      {.name = "write",
       .run = [&] { return card::runWrite(disk, ui, options); },
       .closing = "stopped at block 0, nothing written"},
      {.name = "backup",
       .run = [&] { return card::runBackup(disk, ui, backupPath, options); },
       .closing = "stopped at block 0, no backup was kept"},
      {.name = "compare",
       .run = [&] { return card::runCompare(disk, ui, options); },
       .closing = "stopped at block 0"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    startCase();
    useCard([](disks::SimulatedDrive& d) { d.exclusiveOpenRefusals = -1; });
    writeFile(cardPath, Bytes(512 * 64, 0x5A));
    useImage(completeImage(20));
    countWaits();
    ui.stopChecks = 0;
    ui.stopAtCheck = 1;
    const card::Outcome outcome = c.run();
    EXPECT_EQ(outcome.ending, card::Ending::Stopped);
    EXPECT_EQ(ui.messages, (Messages{{c.closing, "MMC ERROR"}}));
    EXPECT_EQ(count(kSharedOpen), 0);
    EXPECT_FALSE(std::filesystem::exists(backupPath));
    EXPECT_EQ(cardBytes(), Bytes(512 * 64, 0x5A));
    EXPECT_EQ(disk.openDevices(), 0);
    EXPECT_EQ(disk.openImages(), 0);
  }
}

}  // namespace
