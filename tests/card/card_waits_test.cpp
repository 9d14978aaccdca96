// The waits for a card that another program holds: its disk, its volumes
// and their locks, on one patience, each ended by a stop.
#include <gtest/gtest.h>

#include "tests/card/write_fixture.h"

namespace {

using namespace write_testing;

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

}  // namespace
