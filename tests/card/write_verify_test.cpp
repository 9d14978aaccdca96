// The write's flush and read-back: the card itself read, what differs named.
#include <gtest/gtest.h>

#include "tests/card/write_fixture.h"

namespace {

using namespace write_testing;

TEST_F(WriteOperation, ReadsTheCardBackAndReportsWhatDiffers) {
  struct Case {
    const char* name;
    std::int64_t corruptBlock = -1;  // reads back altered
    bool readFails = false;
    const char* message;
    const char* caption;
  };
  const Case cases[] = {
      {.name = "match", .message = "done", .caption = "Quenvory"},
      {.name = "block 0 differs",
       .corruptBlock = 0,
       .message = "verify failed at block 0",
       .caption = "MMC ERROR"},
      {.name = "block in the second run differs",
       .corruptBlock = 2100,
       .message = "verify failed at block 2100",
       .caption = "MMC ERROR"},
      {.name = "last block differs",
       .corruptBlock = 2999,
       .message = "verify failed at block 2999",
       .caption = "MMC ERROR"},
      {.name = "card cannot be read",
       .readFails = true,
       .message = "error 23 reading MMC card.",
       .caption = "MMC ERROR"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    startCase();
    useCard([&](disks::SimulatedDrive& d) {
      d.corruptBlock = c.corruptBlock;
      d.readFails = c.readFails;
      d.refuseError = 23;
    });
    useImage(completeImage(3000));
    const card::Outcome outcome = run();
    // Every block went out before the read-back, whatever it found.
    EXPECT_EQ(outcome.blocksWritten, 3000);
    ASSERT_EQ(ui.messages.size(), 1u);
    EXPECT_EQ(ui.messages[0], std::make_pair(std::string(c.message), std::string(c.caption)));
    EXPECT_EQ(count("status 3000 block image - verifying"), 1);
    if (c.caption == std::string("MMC ERROR"))
      EXPECT_EQ(ending(), (std::vector<std::string>{std::string("message MMC ERROR: ") + c.message,
                                                    "close device", "close image", "panel hidden",
                                                    "free buffer"}));
    else
      EXPECT_EQ(lastStatus(), "status 3000 block image");  // the mark is gone
  }
}

TEST_F(WriteOperation, ReadsBackOnlyWhenSomethingWasWrittenAndAsked) {
  struct Case {
    std::int32_t blocks;
    bool verify;
  };
  const Case cases[] = {{.blocks = 0, .verify = true}, {.blocks = 5, .verify = false}};
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.blocks) + (c.verify ? " blocks, read-back asked" : " blocks"));
    journal.clear();
    ui.messages.clear();
    options.verify = c.verify;
    useImage(completeImage(c.blocks));
    run();
    EXPECT_EQ(std::count_if(journal.begin(), journal.end(),
                            [](const std::string& e) { return startsWith(e, "read "); }),
              0);
    EXPECT_EQ(ui.messages, kDoneOnly);
  }
}

TEST_F(WriteOperation, AFailedFlushIsAFailedWriteAndNothingIsReadBack) {
  useCard([](disks::SimulatedDrive& d) { d.flushError = 1117; });
  const Bytes image = completeImage(300);
  useImage(image);
  run();
  // Every block went out before the flush was asked for.
  EXPECT_EQ(cardBytes(), payloadOf(image));
  EXPECT_EQ(ending(), (std::vector<std::string>{
                          "message MMC ERROR: error 1117 writing to MMC card.", "close device",
                          "close image", "panel hidden", "free buffer"}));
  ASSERT_NE(at("flush"), std::ptrdiff_t(journal.size()));
  EXPECT_EQ(std::find_if(journal.begin(), journal.end(),
                         [](const std::string& e) { return startsWith(e, "read "); }),
            journal.end());
}

TEST_F(WriteOperation, FlushesTheCardAfterTheLastBlockAndBeforeTheReadBack) {
  const Bytes image = completeImage(3000);
  useImage(image);
  run();
  const auto isWrite = [](const std::string& e) { return startsWith(e, "write "); };
  const auto isRead = [](const std::string& e) { return startsWith(e, "read "); };
  const auto lastWrite = std::find_if(journal.rbegin(), journal.rend(), isWrite).base() - 1;
  const auto flush = std::find(journal.begin(), journal.end(), "flush");
  const auto firstRead = std::find_if(journal.begin(), journal.end(), isRead);
  ASSERT_NE(flush, journal.end());
  EXPECT_LT(lastWrite, flush);
  EXPECT_LT(flush, firstRead);
  EXPECT_EQ(count("flush"), 1);
  EXPECT_EQ(ui.messages, kDoneOnly);
}

}  // namespace
