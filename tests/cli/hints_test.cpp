// What the command line adds after a run that did not end well: a hint
// chosen by the outcome's ending and error code, never by its words.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <string>

#include "card/outcome.h"
#include "cli/platform.h"

namespace {

card::Outcome outcome(card::Ending ending, std::uint32_t code, bool busy = false) {
  card::Outcome o;
  o.ending = ending;
  o.systemError = code;
  o.cardBusy = busy;
  return o;
}

TEST(Hints, NameTheCommonCausesByTheirCode) {
  using card::Ending;
  const std::string protectedCard = "the card refuses writes";
  const std::string gone = "the card reader is gone";
  const std::string noCard = "there is no card in the reader";
  struct Case {
    const char* name;
    card::Outcome outcome;
    std::string begins;  // "" for no hint
  };
  const Case cases[] = {
      {"a write refused by a read-only card", outcome(Ending::Failed, EPERM), protectedCard},
      {"a read-only file system", outcome(Ending::Failed, EROFS), protectedCard},
      {"the reader unplugged part-way", outcome(Ending::Failed, ENODEV), gone},
      {"the reader's device gone", outcome(Ending::Refused, ENXIO), gone},
      {"no card in the reader", outcome(Ending::Refused, ENOMEDIUM), noCard},
      {"the card pulled out part-way", outcome(Ending::Failed, ENOMEDIUM), noCard},
      {"a card that differs", outcome(Ending::Failed, 0), ""},
      {"any other error", outcome(Ending::Failed, EIO), ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string hint = cli::hintFor(c.outcome, "/dev/loop0");
    if (c.begins.empty())
      EXPECT_EQ(hint, "");
    else
      EXPECT_EQ(hint.compare(0, c.begins.size(), c.begins), 0) << hint;
  }
}

TEST(Hints, ADeviceThatDoesNotOpenAsksForRootOnlyWhereRootIsMissing) {
  const std::string hint = cli::hintFor(outcome(card::Ending::Refused, EACCES), "/dev/sdb");
  if (::geteuid() == 0)
    EXPECT_EQ(hint, "");
  else
    EXPECT_EQ(hint,
              "/dev/sdb: Permission denied: a card's device opens for root (or the disk group): "
              "try sudo");
}

}  // namespace
