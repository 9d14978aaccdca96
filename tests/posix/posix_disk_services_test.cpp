// The card writer against Linux devices: the POSIX disk services on plain
// files (anyone), and the whole write with its read-back on a real block
// device, a loop device with direct I/O (root only; skipped elsewhere).
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <memory>

#include "card/backup_run.h"
#include "card/owned.h"
#include "card/write_run.h"
#include "disks/linux_disk_services.h"
#include "tests/support/attach_or_skip.h"
#include "tests/support/loop_device.h"
#include "tests/support/test_support.h"

namespace {

using namespace testing_support;
using Bytes = std::vector<std::uint8_t>;

constexpr std::size_t kBlock = 512;
constexpr std::uint8_t kUntouched = 0xEE;

std::string errorMessage(int error) {
  return "error " + std::to_string(error) + " writing to MMC card.";
}

// The image's payload: everything after the header.
Bytes payloadOf(const Bytes& image) { return Bytes(image.begin() + 8, image.end()); }

// A card's contents before a run: every byte marked, so that a write to the
// wrong place, or one too many, shows.
void makeCard(const std::string& path, std::size_t blocks) {
  writeFile(path, Bytes(blocks * kBlock, kUntouched));
}

// How many leading blocks of `card` equal those of `payload`.
std::size_t matchingBlocks(const Bytes& card, const Bytes& payload) {
  std::size_t blocks = 0;
  while ((blocks + 1) * kBlock <= std::min(card.size(), payload.size()) &&
         std::memcmp(card.data() + blocks * kBlock, payload.data() + blocks * kBlock, kBlock) == 0)
    ++blocks;
  return blocks;
}

bool untouchedFrom(const Bytes& card, std::size_t block) {
  for (std::size_t k = block * kBlock; k < card.size(); ++k)
    if (card[k] != kUntouched) return false;
  return true;
}

// One write of an image through the POSIX services onto a device or file
// opened by its path, as the write path does after the card was opened.
class PosixRun {
 public:
  explicit PosixRun(const std::string& imagePath) : ui(journal) { ui.fileName = imagePath; }

  // False (with nothing run) when the device does not open.
  bool run(const std::string& devicePath, bool verify) {
    card::NativeHandle handle = 0;
    if (!disk.openDevice(devicePath, handle)) return false;
    card::WriteOptions options;
    options.verify = verify;
    card::runWrite(disk, ui, card::CardDevice(disk, handle), options);
    return true;
  }

  void expectAllReleased() const {
    EXPECT_EQ(disk.openDevices(), 0);
    EXPECT_EQ(disk.openImages(), 0);
    EXPECT_EQ(disk.liveBuffers(), 0);
  }

  using Message = std::pair<std::string, std::string>;
  std::vector<std::string> journal;
  RecordingUi ui;
  disks::LinuxDiskServices disk;
};

std::string verifyName(const ::testing::TestParamInfo<bool>& info) {
  return info.param ? "WriteAndVerify" : "WriteOnly";
}

// ---- The services on plain files: no root needed ----

class PosixServicesOnAFile : public ::testing::Test {
 protected:
  ScratchDir scratch;
  std::string cardPath = scratch.path("card.img");
  disks::LinuxDiskServices disk;
};

TEST_F(PosixServicesOnAFile, SeeksWritesAndReadsWholeSectorsInPlace) {
  const Bytes before = payloadOf(imageBytes(0, 0, 64 * kBlock));
  writeFile(cardPath, before);
  card::NativeHandle device = 0;
  ASSERT_TRUE(disk.openDevice(cardPath, device)) << disk.lastError();

  card::DriveGeometry geometry;
  ASSERT_TRUE(disk.driveGeometry(device, geometry));
  EXPECT_EQ(geometry.mediaType, card::kFixedMedia);
  EXPECT_EQ(geometry.bytesPerSector, 512u);
  std::int64_t length = 0;
  ASSERT_TRUE(disk.deviceLength(device, length));
  EXPECT_EQ(length, std::int64_t(before.size()));

  auto* buffer = static_cast<std::uint8_t*>(disk.allocateBuffer(4 * kBlock));
  ASSERT_NE(buffer, nullptr);
  EXPECT_EQ(reinterpret_cast<std::uintptr_t>(buffer) % 4096, 0u);

  // Read sector 10 and 11, write them to 3 and 4: the position moves with
  // every transfer and a seek sets it.
  ASSERT_TRUE(disk.seekDevice(device, 10 * kBlock));
  ASSERT_TRUE(disk.readDevice(device, buffer, 2 * kBlock));
  EXPECT_EQ(0, std::memcmp(buffer, before.data() + 10 * kBlock, 2 * kBlock));
  ASSERT_TRUE(disk.readDevice(device, buffer + 2 * kBlock, kBlock));
  EXPECT_EQ(0, std::memcmp(buffer + 2 * kBlock, before.data() + 12 * kBlock, kBlock));
  ASSERT_TRUE(disk.seekDevice(device, 3 * kBlock));
  ASSERT_TRUE(disk.writeDevice(device, buffer, 2 * kBlock));

  // Reading past the end is an error, not a quiet short count.
  ASSERT_TRUE(disk.seekDevice(device, length - std::int64_t(kBlock)));
  EXPECT_FALSE(disk.readDevice(device, buffer, 2 * kBlock));
  EXPECT_EQ(disk.lastError(), std::uint32_t(EIO));

  disk.freeBuffer(buffer);
  disk.closeDevice(device);
  EXPECT_EQ(disk.openDevices(), 0);
  EXPECT_EQ(disk.liveBuffers(), 0);

  Bytes expected = before;
  std::memcpy(expected.data() + 3 * kBlock, before.data() + 10 * kBlock, 2 * kBlock);
  EXPECT_EQ(readFile(cardPath), expected);
}

TEST_F(PosixServicesOnAFile, FailuresCarryTheSystemErrorCode) {
  writeFile(cardPath, Bytes(8 * kBlock, 0));
  struct Case {
    const char* what;
    std::function<bool()> call;
    int error;
  };
  card::NativeHandle device = 0;
  ASSERT_TRUE(disk.openDevice(cardPath, device));
  // Whether this open got direct I/O: the failed opens below change the answer.
  const bool direct = disk.lastOpenDirect();
  card::NativeHandle unknown = device + 100;
  std::unique_ptr<void, std::function<void(void*)>> buffer(disk.allocateBuffer(kBlock),
                                                           [this](void* b) { disk.freeBuffer(b); });
  card::NativeHandle ignored = 0;
  std::string target;
  const Case cases[] = {
      {"missing device", [&] { return disk.openDevice(scratch.path("none"), ignored); }, ENOENT},
      {"directory as device", [&] { return disk.openDevice(scratch.path(""), ignored); }, EISDIR},
      {"write through a handle never opened",
       [&] { return disk.writeDevice(unknown, buffer.get(), kBlock); }, EBADF},
      {"seek before the start", [&] { return disk.seekDevice(device, -512); }, EINVAL},
      {"no device at a path", [&] { return disk.findDevice(scratch.path("none"), target); },
       ENOENT},
      {"a plain file is no card's device",
       [&] { return disk.findDevice(scratch.path("card.img"), target); }, ENOTBLK},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_FALSE(c.call());
    EXPECT_EQ(disk.lastError(), std::uint32_t(c.error));
  }
  EXPECT_FALSE(disk.files().openImage(scratch.path("none.S7img"), ignored));
  EXPECT_EQ(disk.files().lastError(), std::uint32_t(ENOENT));
  // No drive letters or volumes here: a card is named by its device's path.
  EXPECT_EQ(disk.driveLetters(), nullptr);
  // Direct I/O takes only buffers aligned to the sector; the refusal is the
  // system's own and arrives with its code.
  if (direct) {
    auto* misaligned = static_cast<std::uint8_t*>(buffer.get()) + 1;
    EXPECT_FALSE(disk.writeDevice(device, misaligned, kBlock - 1));
    EXPECT_EQ(disk.lastError(), std::uint32_t(EINVAL));
  }
  disk.closeDevice(device);
  // A second close of the same handle does nothing: the descriptor number
  // may already belong to something else.
  disk.closeDevice(device);
  EXPECT_EQ(disk.openDevices(), 0);
}

TEST_F(PosixServicesOnAFile, ImageFileReadsWhatArrivesAndSeeks) {
  const std::string imagePath = scratch.path("short.S7img");
  const Bytes image = imageBytes(3, 3 - 1236, 2 * kBlock + 100);
  writeFile(imagePath, image);
  card::NativeHandle file = 0;
  ASSERT_TRUE(disk.files().openImage(imagePath, file));
  Bytes block(kBlock);
  EXPECT_EQ(disk.files().readImage(file, block.data(), 8), 8u);
  ASSERT_TRUE(disk.files().seekImage(file, 8 + 2 * kBlock));
  EXPECT_EQ(disk.files().readImage(file, block.data(), kBlock), 100u);
  EXPECT_EQ(0, std::memcmp(block.data(), image.data() + 8 + 2 * kBlock, 100));
  EXPECT_EQ(disk.files().readImage(file, block.data(), kBlock), 0u);
  disk.files().closeImage(file);
  EXPECT_EQ(disk.openImages(), 0);
}

// A read that fails is told from the end of the file: a folder opens as a
// stream but every read of it fails.
TEST_F(PosixServicesOnAFile, ImageReadErrorIsToldFromTheEndOfTheFile) {
  const std::string imagePath = scratch.path("image.S7img");
  writeFile(imagePath, Bytes(kBlock, 1));
  Bytes block(2 * kBlock);
  card::NativeHandle file = 0;
  ASSERT_TRUE(disk.files().openImage(imagePath, file));
  EXPECT_EQ(disk.files().readImage(file, block.data(), block.size()), kBlock);
  EXPECT_FALSE(disk.files().imageReadFailed(file));
  disk.files().closeImage(file);

  const std::string folder = scratch.path("folder.S7img");
  std::filesystem::create_directory(folder);
  if (!disk.files().openImage(folder, file)) GTEST_SKIP() << "this C library does not open folders";
  EXPECT_EQ(disk.files().readImage(file, block.data(), block.size()), 0u);
  EXPECT_TRUE(disk.files().imageReadFailed(file));
  disk.files().closeImage(file);
}

TEST_F(PosixServicesOnAFile, FlushLayoutAndWhereAFileLies) {
  makeCard(cardPath, 4);
  card::NativeHandle device = 0;
  ASSERT_TRUE(disk.openDevice(cardPath, device));
  EXPECT_TRUE(disk.flushDevice(device));
  disk.updateLayout(device);  // no partitions on a plain file: nothing to do
  // A card that is a plain file holds no file but itself.
  EXPECT_TRUE(disk.fileOnDevice(device, cardPath));
  const std::string other = scratch.path("image.S7img");
  writeFile(other, Bytes(kBlock, 1));
  EXPECT_FALSE(disk.fileOnDevice(device, other));
  EXPECT_FALSE(disk.fileOnDevice(device, scratch.path("not yet/made.S7img")));
  disk.closeDevice(device);
  EXPECT_FALSE(disk.flushDevice(device));
  EXPECT_EQ(disk.lastError(), std::uint32_t(EBADF));

  const std::pair<int, card::ErrorKind> kinds[] = {{EBUSY, card::ErrorKind::Busy},
                                                   {ENOMEDIUM, card::ErrorKind::NotReady},
                                                   {EIO, card::ErrorKind::Other},
                                                   {EACCES, card::ErrorKind::Other}};
  for (const auto& k : kinds) EXPECT_EQ(disk.errorKind(std::uint32_t(k.first)), k.second);
}

// The backup's file: a new temporary file beside its target, which takes
// the target's name only when put in place, and is gone when removed.
TEST_F(PosixServicesOnAFile, TargetFileTakesItsNameOnlyWhenPutInPlace) {
  const std::string target = scratch.path("backup.S7img");
  const Bytes earlier(100, 0xAB), backup = completeImage(3);
  writeFile(target, earlier);

  card::NativeHandle kept = 0, dropped = 0;
  std::string keptPath, droppedPath;
  ASSERT_TRUE(disk.files().createBackup(target, keptPath, kept)) << disk.files().lastError();
  EXPECT_EQ(keptPath, target + ".partial");
  // A second one beside it never takes the first one's name.
  ASSERT_TRUE(disk.files().createBackup(target, droppedPath, dropped));
  EXPECT_EQ(droppedPath, target + ".partial1");
  EXPECT_EQ(disk.openBackups(), 2);

  ASSERT_TRUE(disk.files().writeBackup(kept, backup.data(), 8));
  ASSERT_TRUE(disk.files().writeBackup(kept, backup.data() + 8, backup.size() - 8));
  ASSERT_TRUE(disk.files().finishBackup(kept));
  EXPECT_EQ(readFile(target), earlier);
  ASSERT_TRUE(disk.files().placeBackup(keptPath, target));
  EXPECT_EQ(readFile(target), backup);

  ASSERT_TRUE(disk.files().writeBackup(dropped, backup.data(), backup.size()));
  disk.files().closeBackup(dropped);
  disk.files().removeBackup(droppedPath);
  EXPECT_EQ(disk.openBackups(), 0);
  EXPECT_FALSE(std::filesystem::exists(keptPath));
  EXPECT_FALSE(std::filesystem::exists(droppedPath));
  EXPECT_EQ(readFile(target), backup);

  // Failures carry the system's code.
  EXPECT_FALSE(disk.files().createBackup(scratch.path("missing/backup.S7img"), keptPath, kept));
  EXPECT_EQ(disk.files().lastError(), std::uint32_t(ENOENT));
  EXPECT_FALSE(disk.files().writeBackup(kept, backup.data(), 8));
  EXPECT_EQ(disk.files().lastError(), std::uint32_t(EBADF));
  EXPECT_FALSE(disk.files().placeBackup(scratch.path("gone.partial"), target));
  EXPECT_EQ(disk.files().lastError(), std::uint32_t(ENOENT));
}

class PosixWriteOntoAFile : public PosixServicesOnAFile,
                            public ::testing::WithParamInterface<bool> {};

TEST_P(PosixWriteOntoAFile, WholeImageLandsAtItsOffsetsAndEndsWithDone) {
  const std::string imagePath = scratch.path("image.S7img");
  const Bytes image = completeImage(2100);
  writeFile(imagePath, image);
  makeCard(cardPath, 2200);

  PosixRun run(imagePath);
  ASSERT_TRUE(run.run(cardPath, GetParam())) << run.disk.lastError();

  ASSERT_EQ(run.ui.messages, (std::vector<PosixRun::Message>{{"done", "Quenvory"}}));
  run.expectAllReleased();
  const Bytes card = readFile(cardPath);
  ASSERT_EQ(card.size(), 2200 * kBlock);
  EXPECT_EQ(matchingBlocks(card, payloadOf(image)), 2100u);
  EXPECT_TRUE(untouchedFrom(card, 2100));
}

INSTANTIATE_TEST_SUITE_P(Posix, PosixWriteOntoAFile, ::testing::Bool(), verifyName);

// ---- A real block device: a loop device with direct I/O ----

// A loop device as ATTACH_OR_SKIP wants it, and asked for direct I/O, which
// every device must then have.
#define ATTACH_DIRECT_OR_SKIP(loop)                                                              \
  do {                                                                                           \
    ATTACH_OR_SKIP(loop);                                                                        \
    ASSERT_TRUE((loop).directIo()) << (loop).path() << " reads its file through the page cache"; \
  } while (0)

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
