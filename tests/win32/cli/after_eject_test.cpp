// What the command line says after a write's `done` about the card in its
// reader: out, or still in with the system about to offer to format it.
#include <gtest/gtest.h>

#include <string>

#include "card/outcome.h"
#include "cli/platform.h"

namespace {

TEST(AfterEject, SaysWhetherTheCardLeftItsReader) {
  struct Case {
    const char* name;
    card::Ending ending;
    bool ejected;
    std::string said;
  };
  const Case cases[] = {
      {"ejected", card::Ending::Done, true, "the card can be taken out of the reader at G:"},
      {"still in", card::Ending::Done, false,
       "the card is still in the reader at G: take it out; if Windows offers to format it, "
       "choose Cancel"},
      {"failed", card::Ending::Failed, false, ""},
      {"stopped", card::Ending::Stopped, false, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    card::Outcome outcome;
    outcome.ending = c.ending;
    outcome.cardEjected = c.ejected;
    EXPECT_EQ(cli::afterEject(outcome, "G"), c.said);
  }
}

}  // namespace
