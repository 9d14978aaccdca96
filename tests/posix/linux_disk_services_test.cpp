// The Linux disk services on a loop device: what the card is, its geometry,
// one writer at a time, and what becomes of it after a write (root only;
// skipped elsewhere).
#include "disks/linux_disk_services.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <functional>
#include <memory>

#include "tests/posix/posix_run.h"

namespace {

using namespace testing_support;
using namespace posix_testing;

// A loop device tells its read-only mark, hangs on no MMC bus, holds no
// part of the running system, and has no eject at all; the disk holding
// the root file system is the system's, whatever else it is.
TEST(LoopDeviceServices, WhatTheCardIsAndWhatBecomesOfItAfterAWrite) {
  for (const bool readOnly : {false, true}) {
    SCOPED_TRACE(readOnly ? "read-only" : "writable");
    ScratchDir scratch;
    const std::string backing = scratch.path("card.img");
    writeFile(backing, Bytes(1024 * 1024, 0));
    LoopDevice::Options options;
    options.readOnly = readOnly;
    LoopDevice loop(backing, options);
    ATTACH_DIRECT_OR_SKIP(loop);
    disks::LinuxDiskServices disk;
    card::NativeHandle device = 0;
    ASSERT_TRUE(disk.openDevice(loop.path(), device)) << disk.lastError();
    EXPECT_EQ(disk.writeProtected(device), readOnly);
    EXPECT_EQ(disk.busType(device), card::kBusTypeUnknown);
    EXPECT_FALSE(disk.systemDisk(device));
    EXPECT_FALSE(disk.ejectMedia(device));
    // ... and says it has none, so that a write does not ask again and again.
    EXPECT_EQ(disk.errorKind(disk.lastError()), card::ErrorKind::Unsupported);
    disk.closeDevice(device);
  }
}

TEST(LoopDeviceServices, GeometryFollowsTheDeviceAndOnlyOneWriterAtATime) {
  struct Case {
    unsigned sectorBytes;
    std::size_t fileBytes;
  };
  for (const Case& c : {Case{512, 3 * 1024 * 1024}, Case{4096, 2 * 1024 * 1024}}) {
    SCOPED_TRACE(c.sectorBytes);
    ScratchDir scratch;
    const std::string backing = scratch.path("card.img");
    writeFile(backing, Bytes(c.fileBytes, 0));
    LoopDevice::Options options;
    options.sectorBytes = c.sectorBytes;
    LoopDevice loop(backing, options);
    ATTACH_DIRECT_OR_SKIP(loop);

    disks::LinuxDiskServices disk;
    card::NativeHandle device = 0;
    ASSERT_TRUE(disk.openDevice(loop.path(), device)) << disk.lastError();
    card::DriveGeometry geometry;
    ASSERT_TRUE(disk.driveGeometry(device, geometry));
    // A loop device says it is not removable.
    EXPECT_EQ(geometry.mediaType, card::kFixedMedia);
    EXPECT_EQ(geometry.bytesPerSector, c.sectorBytes);
    std::int64_t length = 0;
    ASSERT_TRUE(disk.deviceLength(device, length));
    EXPECT_EQ(length, std::int64_t(c.fileBytes));

    // At the device's end a transfer stops short: that is a failure with a
    // code, never a quiet partial success.
    const std::size_t run = 2 * c.sectorBytes;
    std::unique_ptr<void, std::function<void(void*)>> buffer(disk.allocateBuffer(run),
                                                             [&](void* b) { disk.freeBuffer(b); });
    std::memset(buffer.get(), 0x5A, run);
    ASSERT_TRUE(disk.seekDevice(device, length - std::int64_t(c.sectorBytes)));
    EXPECT_FALSE(disk.writeDevice(device, buffer.get(), run));
    EXPECT_EQ(disk.lastError(), std::uint32_t(ENOSPC));
    ASSERT_TRUE(disk.seekDevice(device, length - std::int64_t(c.sectorBytes)));
    EXPECT_FALSE(disk.readDevice(device, buffer.get(), run));
    EXPECT_EQ(disk.lastError(), std::uint32_t(EIO));
    buffer.reset();

    // A second writer is refused while the first holds the device.
    card::NativeHandle second = 0;
    EXPECT_FALSE(disk.openDevice(loop.path(), second));
    EXPECT_EQ(disk.lastError(), std::uint32_t(EBUSY));
    disk.closeDevice(device);
    EXPECT_TRUE(disk.openDevice(loop.path(), second));
    disk.closeDevice(second);
  }
}

// A device of 4096-byte sectors takes no 512-byte block: it is refused
// before the image is opened, and nothing on it changes. A file elsewhere
// does not lie on it.
TEST(LoopDeviceServices, RefusesADeviceOfLargerSectorsBeforeWriting) {
  ScratchDir scratch;
  const std::string backing = scratch.path("card.img");
  makeCard(backing, 4096);
  const std::string imagePath = scratch.path("image.S7img");
  writeFile(imagePath, completeImage(20));
  LoopDevice::Options options;
  options.sectorBytes = 4096;
  LoopDevice loop(backing, options);
  ATTACH_DIRECT_OR_SKIP(loop);

  PosixRun run(imagePath);
  card::NativeHandle device = 0;
  ASSERT_TRUE(run.disk.openDevice(loop.path(), device));
  EXPECT_FALSE(run.disk.fileOnDevice(device, imagePath));
  EXPECT_FALSE(card::runWrite(run.disk, run.ui, card::CardDevice(run.disk, device)).done());
  EXPECT_EQ(
      run.ui.messages,
      (std::vector<PosixRun::Message>{{"card sectors of 4096 bytes are not supported", "ERROR"}}));
  run.expectAllReleased();
  loop.detach();
  EXPECT_TRUE(untouchedFrom(readFile(backing), 0));
}

}  // namespace
