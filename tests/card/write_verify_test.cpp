// The write's flush and read-back: the card itself read, what differs named.
#include <gtest/gtest.h>

#include "tests/card/write_fixture.h"

namespace {

using namespace write_testing;

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

}  // namespace
