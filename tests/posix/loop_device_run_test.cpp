// The card writer's whole runs on a real block device: a loop device with
// direct I/O (root only; skipped elsewhere).
#include <gtest/gtest.h>

#include <cerrno>
#include <filesystem>

#include "card/backup_run.h"
#include "tests/posix/posix_run.h"

namespace {

using namespace testing_support;
using namespace posix_testing;

class LoopDeviceRun : public ::testing::TestWithParam<bool> {
 protected:
  ScratchDir scratch;
  std::string backingPath = scratch.path("card.img");
  std::string imagePath = scratch.path("image.S7img");
};

TEST_P(LoopDeviceRun, ImageWrittenThroughTheDeviceLandsAtItsOffsets) {
  // Two runs and a part, so that a run boundary is crossed.
  const Bytes image = completeImage(4500);
  writeFile(imagePath, image);
  makeCard(backingPath, 6000);
  LoopDevice loop(backingPath);
  ATTACH_DIRECT_OR_SKIP(loop);

  PosixRun run(imagePath);
  ASSERT_TRUE(run.run(loop.path(), GetParam())) << run.disk.lastError();
  EXPECT_TRUE(run.disk.lastOpenDirect());
  ASSERT_EQ(run.ui.messages, (std::vector<PosixRun::Message>{{"done", "Quenvory"}}));
  run.expectAllReleased();

  loop.detach();
  const Bytes card = readFile(backingPath);
  ASSERT_EQ(card.size(), 6000 * kBlock);
  EXPECT_EQ(matchingBlocks(card, payloadOf(image)), 4500u);
  EXPECT_TRUE(untouchedFrom(card, 4500));
}

// A backup of the device through direct I/O: the whole device, twice, into
// an image of its size, in whole and in uneven batches.
TEST(LoopDeviceBackup, DeviceIsReadIntoAnImageOfItsSize) {
  ScratchDir scratch;
  const std::string backingPath = scratch.path("card.img");
  const Bytes image = completeImage(4500);
  writeFile(backingPath, payloadOf(image));
  LoopDevice loop(backingPath);
  ATTACH_DIRECT_OR_SKIP(loop);

  for (const std::int32_t batchBlocks : {2048, 7}) {
    SCOPED_TRACE(batchBlocks);
    std::vector<std::string> journal;
    RecordingUi ui(journal);
    disks::LinuxDiskServices disk;
    card::NativeHandle handle = 0;
    ASSERT_TRUE(disk.openDevice(loop.path(), handle)) << disk.lastError();
    card::BackupOptions options;
    options.batchBlocks = batchBlocks;
    const std::string target = scratch.path("backup.S7img");
    EXPECT_TRUE(
        card::runBackup(disk, ui,
                        card::Card(card::CardDevice(disk, handle), {}, {}, card::DriveGeometry{}),
                        target, options)
            .done());
    EXPECT_EQ(ui.messages, (std::vector<PosixRun::Message>{{"done", "Quenvory"}}));
    EXPECT_EQ(disk.openDevices(), 0);
    EXPECT_EQ(disk.openBackups(), 0);
    EXPECT_EQ(disk.liveBuffers(), 0);
    EXPECT_EQ(readFile(target), image);
  }
}

TEST_P(LoopDeviceRun, ShortImageCompletesItsLastBlockWithTheTailBeforeIt) {
  // The header claims 1000 blocks; 600 and a half arrive.
  const Bytes image = imageBytes(1000, 1000 - 1236, 600 * kBlock + 256);
  writeFile(imagePath, image);
  makeCard(backingPath, 1200);
  LoopDevice loop(backingPath);
  ATTACH_DIRECT_OR_SKIP(loop);

  PosixRun run(imagePath);
  ASSERT_TRUE(run.run(loop.path(), GetParam())) << run.disk.lastError();
  EXPECT_EQ(run.ui.messages,
            (std::vector<PosixRun::Message>{
                {"unexpected shortness of image file at block 600 , good luck", "surprised"},
                {"done", "Quenvory"}}));
  // The short block brings the bar to its end (the read-back then runs it
  // again from 0).
  EXPECT_NE(std::find(run.ui.positions.begin(), run.ui.positions.end(), 100),
            run.ui.positions.end());
  run.expectAllReleased();

  loop.detach();
  const Bytes card = readFile(backingPath);
  const Bytes payload = payloadOf(image);
  EXPECT_EQ(matchingBlocks(card, payload), 600u);
  Bytes block600(payload.begin() + 600 * kBlock, payload.end());
  block600.insert(block600.end(), payload.begin() + 599 * kBlock + 256,
                  payload.begin() + 600 * kBlock);
  EXPECT_EQ(Bytes(card.begin() + 600 * kBlock, card.begin() + 601 * kBlock), block600);
  EXPECT_TRUE(untouchedFrom(card, 601));
}

TEST_P(LoopDeviceRun, ReadOnlyDeviceIsRefusedBeforeAnythingIsWritten) {
  writeFile(imagePath, completeImage(300));
  makeCard(backingPath, 400);
  LoopDevice::Options readOnly;
  readOnly.readOnly = true;
  LoopDevice loop(backingPath, readOnly);
  ATTACH_DIRECT_OR_SKIP(loop);

  PosixRun run(imagePath);
  // The device opens for writing, but says it refuses writes.
  ASSERT_TRUE(run.run(loop.path(), GetParam())) << run.disk.lastError();
  EXPECT_EQ(run.ui.messages,
            (std::vector<PosixRun::Message>{{"the card is write-protected", "ERROR"}}));
  run.expectAllReleased();

  loop.detach();
  EXPECT_TRUE(untouchedFrom(readFile(backingPath), 0));
}

TEST_P(LoopDeviceRun, RefusalPartWayKeepsTheBlocksWrittenBeforeIt) {
  const Bytes image = completeImage(5000);
  writeFile(imagePath, image);
  makeCard(backingPath, 5000);
  LoopDevice loop(backingPath);
  ATTACH_DIRECT_OR_SKIP(loop);

  PosixRun run(imagePath);
  // The card turns read-only at the first progress update, with blocks
  // already on it and the device open for writing.
  bool turned = false;
  run.ui.onProcessEvents = [&] {
    if (!turned && !run.ui.positions.empty() && run.ui.positions.back() > 0)
      turned = loop.setReadOnly(true);
  };
  ASSERT_TRUE(run.run(loop.path(), GetParam())) << run.disk.lastError();
  ASSERT_TRUE(turned);
  EXPECT_EQ(run.ui.messages, (std::vector<PosixRun::Message>{{errorMessage(EPERM), "MMC ERROR"}}));
  run.expectAllReleased();

  loop.detach();
  const Bytes card = readFile(backingPath);
  const std::size_t kept = matchingBlocks(card, payloadOf(image));
  EXPECT_GE(kept, 100u);
  EXPECT_LT(kept, 5000u);
  EXPECT_TRUE(untouchedFrom(card, kept)) << "blocks written after the refusal at " << kept;
}

TEST_P(LoopDeviceRun, ImageLargerThanTheDeviceWritesNothing) {
  writeFile(imagePath, completeImage(300));
  makeCard(backingPath, 256);
  LoopDevice loop(backingPath);
  ATTACH_DIRECT_OR_SKIP(loop);

  PosixRun run(imagePath);
  ASSERT_TRUE(run.run(loop.path(), GetParam())) << run.disk.lastError();
  EXPECT_EQ(run.ui.messages,
            (std::vector<PosixRun::Message>{
                {"image of 300 blocks does not fit on card of 256 blocks", "ERROR"}}));
  run.expectAllReleased();

  loop.detach();
  EXPECT_TRUE(untouchedFrom(readFile(backingPath), 0));
}

INSTANTIATE_TEST_SUITE_P(Posix, LoopDeviceRun, ::testing::Bool(), verifyName);

}  // namespace
