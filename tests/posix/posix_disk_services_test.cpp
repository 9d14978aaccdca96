// The POSIX disk services on plain files, which anyone may open: transfers in
// place, their failures with the system's codes, the image and backup files,
// and a whole write onto a file.
#include "disks/posix_disk_services.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <functional>
#include <memory>

#include "tests/posix/posix_run.h"

namespace {

using namespace testing_support;
using namespace posix_testing;

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

// Each buffer comes zero, whatever the buffers before it held.
TEST_F(PosixServicesOnAFile, EveryBlockBufferComesZero) {
  expectEveryBlockBufferComesZero(disk);
  EXPECT_EQ(disk.liveBuffers(), 0);
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

}  // namespace
