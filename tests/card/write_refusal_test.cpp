// What a write refuses before its first block: no file, an image that does
// not open or fit, a header refused, a write-protected card, sectors that
// are not 512 bytes.
#include <gtest/gtest.h>

#include "tests/card/write_fixture.h"

namespace {

using namespace write_testing;

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
    startCase();
    useImage(completeImage(5));
    ui.drive = "G";
    disk.failAllocation(false);
    c.arrange(*this);
    const card::Outcome outcome = run();
    EXPECT_EQ(outcome.about, c.about);
    EXPECT_EQ(outcome.blocksWritten, 0);
    EXPECT_EQ(ending(), c.ending);
    EXPECT_EQ(count("open image"), c.imageLookedAt ? 1 : 0);
    EXPECT_TRUE(cardBytes().empty());
    EXPECT_EQ(count("message Quenvory: done"), 0);
  }
}

TEST_F(WriteOperation, AsksForAFileOnlyWhenNoneIsChosen) {
  const Bytes image = completeImage(3);
  writeFile(imagePath, image);
  ui.fileName.clear();
  ui.dialogAnswer = imagePath;
  run();
  EXPECT_EQ(cardBytes(), payloadOf(image));
  EXPECT_EQ(count("ask for file"), 1);

  journal.clear();
  run();  // the file is chosen now: no dialog
  EXPECT_EQ(count("ask for file"), 0);
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

// The card's lock switch is found before anything is asked or written, so the
// operator learns why at once rather than from an error code at block 0.
TEST_F(WriteOperation, RefusesAWriteProtectedCardBeforeAnythingElse) {
  useCard([](disks::SimulatedDrive& d) { d.writeProtected = true; });
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

TEST_F(WriteOperation, RefusesAnImageLargerThanTheCard) {
  struct Case {
    const char* name;
    std::int64_t cardBlocks;
    bool lengthFails;  // the size then comes from whole cylinders of 32 sectors
    std::int32_t imageBlocks;
    const char* refusal;  // nullptr: written
  };
  const Case cases[] = {
      {.name = "exactly full",
       .cardBlocks = 300,
       .lengthFails = false,
       .imageBlocks = 300,
       .refusal = nullptr},
      {.name = "one block too many",
       .cardBlocks = 300,
       .lengthFails = false,
       .imageBlocks = 301,
       .refusal = "image of 301 blocks does not fit on card of 300 blocks"},
      {.name = "geometry, fits",
       .cardBlocks = 330,
       .lengthFails = true,
       .imageBlocks = 320,
       .refusal = nullptr},
      {.name = "geometry, rounded down",
       .cardBlocks = 330,
       .lengthFails = true,
       .imageBlocks = 321,
       .refusal = "image of 321 blocks does not fit on card of 320 blocks"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    startCase();
    useCard([&](disks::SimulatedDrive& d) {
      d.blocks = c.cardBlocks;
      d.lengthFails = c.lengthFails;
    });
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
      EXPECT_EQ(count("lock volume"), 0);
    }
  }
}

TEST_F(WriteOperation, RefusesACardOfOtherThan512ByteSectorsOpenedByItsPath) {
  useCard([](disks::SimulatedDrive& d) { d.sectorBytes = 4096; });
  useImage(completeImage(20));
  card::NativeHandle handle = 0;
  ASSERT_TRUE(disk.openDevice("\\\\.\\PHYSICALDRIVE1", handle));
  EXPECT_FALSE(card::runWrite(disk, ui, card::CardDevice(disk, handle), options).done());
  EXPECT_EQ(ui.messages, (Messages{{"card sectors of 4096 bytes are not supported", "ERROR"}}));
  EXPECT_EQ(disk.openDevices(), 0);
  EXPECT_EQ(count("open image"), 0);
  EXPECT_TRUE(cardBytes().empty());
}

}  // namespace
