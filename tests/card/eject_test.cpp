// The card's eject after a write that holds the image.
#include <gtest/gtest.h>

#include "tests/card/write_fixture.h"

namespace {

using namespace write_testing;

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

}  // namespace
