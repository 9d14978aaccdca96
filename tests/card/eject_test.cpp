// The card's eject after a write that holds the image.
#include <gtest/gtest.h>

#include "tests/card/write_fixture.h"

namespace {

using namespace write_testing;

// A card that holds the image leaves the reader before its volume is
// unlocked, so that the system never gets to mount it, offer to format it or
// write onto it; a card that does not hold the image stays in.
TEST_F(WriteOperation, EjectsTheCardOnlyAfterASuccessfulWriteBeforeItsVolumeIsUnlocked) {
  using D = disks::SimulatedDrive&;
  struct Case {
    const char* name;
    bool verify = true;
    bool eject = true;  // the option
    std::function<void(D)> card = [](D) {};
    bool ejected;
  };
  const Case cases[] = {
      {.name = "done", .ejected = true},
      {.name = "done without the read-back", .verify = false, .ejected = true},
      {.name = "kept in by the option", .eject = false, .ejected = false},
      {.name = "refused block",
       .card =
           [](D d) {
             d.refuseBlock = 200;
             d.refuseError = 1117;
           },
       .ejected = false},
      {.name = "verify failed", .card = [](D d) { d.corruptBlock = 7; }, .ejected = false},
      {.name = "flush failed", .card = [](D d) { d.flushError = 1117; }, .ejected = false},
      {.name = "write-protected", .card = [](D d) { d.writeProtected = true; }, .ejected = false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    journal.clear();
    useCard(c.card);
    const int before = disk.ejects();
    options.verify = c.verify;
    options.eject = c.eject;
    useImage(completeImage(250));
    run();
    EXPECT_EQ(disk.ejects() - before, c.ejected ? 1 : 0);
    if (!c.ejected) continue;
    const auto lastTransfer =
        journal.rend() - std::find_if(journal.rbegin(), journal.rend(), [](const std::string& e) {
          return startsWith(e, "read ") || startsWith(e, "write ");
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
// for a few seconds, and only then is the layout read afresh. A reader that
// cannot eject, and a card that calls itself fixed media, are asked once: a
// built-in slot must not hold every write's "done" back; and the operator's
// stop ends the tries. Whatever the answer, the card holds the image: "done".
TEST_F(WriteOperation, ReadsTheLayoutAfreshOnlyWhenTheCardStayedInItsReader) {
  using D = disks::SimulatedDrive&;
  struct Case {
    const char* name;
    std::function<void(D)> reader;
    int stopAfterPauses = 0;  // the operator stops after that many pauses; 0: never
    int ejects;               // attempts
    bool ejected;
  };
  const Case cases[] = {
      {.name = "out at once", .reader = [](D) {}, .ejects = 1, .ejected = true},
      {.name = "out at the third try",
       .reader = [](D d) { d.ejectRefusals = 2; },
       .ejects = 3,
       .ejected = true},
      // 3 s, 200 ms apart.
      {.name = "kept in",
       .reader = [](D d) { d.ejectRefusals = -1; },
       .ejects = 16,
       .ejected = false},
      {.name = "no eject at all",
       .reader = [](D d) { d.cannotEject = true; },
       .ejects = 1,
       .ejected = false},
      {.name = "the eject's command rejected",
       .reader =
           [](D d) {
             d.ejectRefusals = -1;
             d.ejectError = 1;
           },
       .ejects = 1,
       .ejected = false},
      {.name = "a card of fixed media on the SD bus",
       .reader =
           [](D d) {
             d.kind = Kind::FixedDisk;
             d.busType = card::kBusTypeSd;
           },
       .ejects = 1,
       .ejected = false},
      {.name = "kept in, and the operator stops after 400 ms",
       .reader = [](D d) { d.ejectRefusals = -1; },
       .stopAfterPauses = 2,
       .ejects = 3,
       .ejected = false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    journal.clear();
    ui.messages.clear();
    ui.stopChecks = 0;
    ui.stopAtCheck = 0;
    useCard(c.reader);
    int pauses = 0;
    waitedMs = 0;
    options.lock.wait = [&](std::chrono::milliseconds pause) {
      waitedMs += static_cast<int>(pause.count());
      // The stop comes during the pause: the next question sees it.
      if (++pauses == c.stopAfterPauses) ui.stopAtCheck = ui.stopChecks + 1;
    };
    useImage(completeImage(20));
    const card::Outcome outcome = card::runWrite(disk, ui, options);
    EXPECT_TRUE(outcome.done());
    EXPECT_EQ(outcome.cardEjected, c.ejected);
    EXPECT_EQ(ui.messages, kDoneOnly);
    EXPECT_EQ(count("eject"), c.ejects);
    EXPECT_EQ(waitedMs, (c.ejects - 1) * 200);
    // The window is kept alive between every two tries.
    const auto firstEject = journal.begin() + at("eject");
    EXPECT_GE(std::count(firstEject, journal.end(), "process events"), c.ejects - 1);
    if (c.ejected) {
      EXPECT_EQ(count("update layout"), 0);
    } else {
      EXPECT_LT(lastAt("eject") + 1, at("update layout"));
      EXPECT_LT(at("update layout"), at("close device"));
    }
  }
}

}  // namespace
