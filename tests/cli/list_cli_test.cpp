// list on standard output, as a script reads it. On loop devices (root
// only; skipped, saying why, elsewhere).
#include <gtest/gtest.h>

#include <algorithm>
#include <sstream>
#include <string>
#include <vector>

#include "tests/cli/cli_runner.h"
#include "tests/cli/loop_card.h"
#include "tests/support/attach_or_skip.h"

namespace {

using namespace testing_support;

// A card that refuses writes (here a loop device attached read-only, as the
// kernel marks a card whose lock switch is on) is marked before a write is
// tried.
TEST(ListCli, ListShowsTheCardsOnStandardOutputAndWhichRefuseWrites) {
  ScratchDir scratch;
  LoopCard card(scratch, "listed.img", 256);
  ATTACH_OR_SKIP(*card.loop);
  const std::string lockedFile = scratch.path("locked.img");
  writeFile(lockedFile, Bytes(256 * kBlock, kUntouched));
  LoopDevice::Options readOnly;
  readOnly.readOnly = true;
  LoopDevice locked(lockedFile, readOnly);
  ATTACH_OR_SKIP(locked);
  const CliResult result = runCli({"list"});
  EXPECT_EQ(result.status, 0);
  EXPECT_EQ(result.errors, "");
  // Columns set apart by two spaces or more; a script reads them so.
  std::vector<std::string> rows;
  std::stringstream lines(result.output);
  for (std::string line; std::getline(lines, line);) {
    std::string row;
    for (std::size_t k = 0; k < line.size();) {
      const std::size_t run = line.find_first_not_of(' ', k) == std::string::npos
                                  ? line.size() - k
                                  : line.find_first_not_of(' ', k) - k;
      if (run >= 2) {
        row += '|';
        k += run;
      } else {
        row += line[k++];
      }
    }
    rows.push_back(row);
  }
  ASSERT_FALSE(rows.empty());
  EXPECT_EQ(rows[0], "TARGET|DISK|SIZE|WRITES|VENDOR|PRODUCT|IN USE");
  for (const std::string& row :
       {card.loop->path() + "|loop over " + card.backing + "|128.0 KiB|yes|loop|listed.img",
        locked.path() + "|loop over " + lockedFile + "|128.0 KiB|write-protected|loop|locked.img"})
    EXPECT_NE(std::find(rows.begin(), rows.end(), row), rows.end()) << row << "\n" << result.output;
}

}  // namespace
