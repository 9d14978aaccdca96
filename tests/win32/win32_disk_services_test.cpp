// The card's blocks through the real Win32 calls: written, read back and
// flushed on plain files and Wine's floppy-type disk, and the image and backup
// files beside them.
#include "disks/win32_disk_services.h"

#include <gtest/gtest.h>
#include <windows.h>
#include <winioctl.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "tests/win32/win32_disk_test_support.h"

namespace {

using testing_support::expectEveryBlockBufferComesZero;
using testing_support::readFile;
using testing_support::ScratchDir;
using testing_support::writeFile;
using win32_disk_test::kBlock;
using win32_disk_test::patternBlocks;

// The floppy-type disk's length, as a run asks it before the first block.
// Wine answers neither the disk's length nor a size for it, so the run falls
// back on the geometry (tested with simulated disks); here the failure must
// carry a code.
TEST(Win32DiskServices, FloppyTypeDiskLength_WineAnswersOnlyTheExtendedGeometrysSize) {
  disks::Win32DiskServices disk;
  card::NativeHandle device = 0;
  ASSERT_TRUE(disk.openDevice("\\\\.\\PHYSICALDRIVE1", device)) << disk.lastError();
  GET_LENGTH_INFORMATION length{};
  DWORD returned = 0;
  EXPECT_FALSE(DeviceIoControl(reinterpret_cast<HANDLE>(device), IOCTL_DISK_GET_LENGTH_INFO,
                               nullptr, 0, &length, sizeof length, &returned, nullptr))
      << "Wine now answers the length: expect it from the services";
  // A disk opened for queries only tells no length on Windows either: its
  // extended geometry's size stands in.
  DISK_GEOMETRY_EX geometry{};
  ASSERT_TRUE(DeviceIoControl(reinterpret_cast<HANDLE>(device), IOCTL_DISK_GET_DRIVE_GEOMETRY_EX,
                              nullptr, 0, &geometry, sizeof geometry, &returned, nullptr));
  std::int64_t bytes = -1;
  EXPECT_TRUE(disk.deviceLength(device, bytes));
  EXPECT_EQ(bytes, geometry.DiskSize.QuadPart);
  disk.closeDevice(device);
}

// What the floppy-type drive's physical drive does under Wine: the refusal
// above rests on it.
TEST(Win32DiskServices, FloppyTypeDriveIsAFixedDiskThatRefusesWrites) {
  disks::Win32DiskServices disk;
  card::NativeHandle device = 0;
  ASSERT_TRUE(disk.openDevice("\\\\.\\PHYSICALDRIVE1", device));
  card::DriveGeometry geometry;
  ASSERT_TRUE(disk.driveGeometry(device, geometry));
  EXPECT_EQ(geometry.mediaType, card::kFixedMedia);
  EXPECT_EQ(geometry.bytesPerSector, kBlock);
  const std::vector<std::uint8_t> block = patternBlocks(0, 1);
  EXPECT_FALSE(disk.writeDevice(device, block.data(), block.size()));
  EXPECT_NE(disk.lastError(), 0u);
  disk.closeDevice(device);

  EXPECT_FALSE(disk.openDevice("\\\\.\\PHYSICALDRIVE7", device));
  EXPECT_EQ(disk.lastError(), static_cast<std::uint32_t>(ERROR_FILE_NOT_FOUND));
}

// The handle calls on a plain file: blocks land at 512 times their number,
// whether written one by one or several in one call, after a seek or not, and
// read back through the same handle.
TEST(Win32DiskServices, DeviceCallsPutEveryBlockAtItsOffset) {
  ScratchDir scratch;
  const std::string path = scratch.path("card.img");
  writeFile(path, std::vector<std::uint8_t>(8 * kBlock, 0));

  disks::Win32DiskServices disk;
  void* buffer = disk.allocateBuffer(4 * kBlock);
  ASSERT_NE(buffer, nullptr);
  // Unbuffered disk writes need a buffer on a sector boundary.
  EXPECT_EQ(reinterpret_cast<std::uintptr_t>(buffer) % kBlock, 0u);

  card::NativeHandle device = 0;
  ASSERT_TRUE(disk.openDevice(path, device));
  // Blocks 0 to 3 in one call, from the block buffer; then block 6 and 5,
  // each after a seek; block 4 by the position the previous write left.
  const std::vector<std::uint8_t> first = patternBlocks(0, 4);
  std::copy(first.begin(), first.end(), static_cast<std::uint8_t*>(buffer));
  EXPECT_TRUE(disk.writeDevice(device, buffer, first.size()));
  EXPECT_TRUE(disk.seekDevice(device, 6 * kBlock));
  EXPECT_TRUE(disk.writeDevice(device, patternBlocks(6, 1).data(), kBlock));
  EXPECT_TRUE(disk.seekDevice(device, 4 * kBlock));
  EXPECT_TRUE(disk.writeDevice(device, patternBlocks(4, 1).data(), kBlock));
  EXPECT_TRUE(disk.writeDevice(device, patternBlocks(5, 1).data(), kBlock));

  std::int64_t length = 0;
  EXPECT_TRUE(disk.deviceLength(device, length));
  EXPECT_EQ(length, static_cast<std::int64_t>(8 * kBlock));

  // Read back through the card's own handle, as the check after a write does.
  std::vector<std::uint8_t> back(2 * kBlock);
  ASSERT_TRUE(disk.seekDevice(device, 3 * kBlock));
  ASSERT_TRUE(disk.readDevice(device, back.data(), back.size())) << disk.lastError();
  EXPECT_EQ(back, patternBlocks(3, 2));
  // Past the end there are not that many bytes: a failure, not a short read.
  ASSERT_TRUE(disk.seekDevice(device, 7 * kBlock));
  EXPECT_FALSE(disk.readDevice(device, back.data(), back.size()));
  EXPECT_NE(disk.lastError(), 0u);
  disk.closeDevice(device);
  disk.freeBuffer(buffer);

  std::vector<std::uint8_t> expected = patternBlocks(0, 7);
  expected.resize(8 * kBlock, 0);
  EXPECT_EQ(readFile(path), expected);
}

// A failed call keeps its own error code, whatever the system's last error
// becomes afterwards.
// Each buffer comes zero, whatever the buffers before it held.
TEST(Win32DiskServices, EveryBlockBufferComesZero) {
  disks::Win32DiskServices disk;
  expectEveryBlockBufferComesZero(disk);
}

TEST(Win32DiskServices, FailedWritesKeepTheirErrorCode) {
  ScratchDir scratch;
  const std::string path = scratch.path("card.img");
  writeFile(path, std::vector<std::uint8_t>(kBlock, 0));
  const std::vector<std::uint8_t> block = patternBlocks(0, 1);

  disks::Win32DiskServices disk;
  struct Case {
    const char* name;
    bool readOnly;  // opened without write access rather than closed
    DWORD error;
  };
  const Case cases[] = {
      {"handle without write access", true, ERROR_ACCESS_DENIED},
      {"closed handle", false, ERROR_INVALID_HANDLE},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    card::NativeHandle handle = 0;
    if (c.readOnly) {
      // A volume handle opened for queries has no access rights at all.
      ASSERT_TRUE(disk.openVolume(path, false, handle));
    } else {
      ASSERT_TRUE(disk.openDevice(path, handle));
      disk.closeDevice(handle);
    }
    EXPECT_FALSE(disk.writeDevice(handle, block.data(), block.size()));
    SetLastError(ERROR_SUCCESS);
    EXPECT_EQ(disk.lastError(), static_cast<std::uint32_t>(c.error));
    if (c.readOnly) disk.closeVolume(handle);
  }
  EXPECT_EQ(readFile(path), std::vector<std::uint8_t>(kBlock, 0));
}

// The image file opens by its UTF-8 name, also outside the ANSI code page,
// and reads from any offset.
TEST(Win32DiskServices, ImageFileByUtf8Name) {
  ScratchDir scratch;
  const std::string path = scratch.path("\xE5\x8D\xA1 \xC3\xA9.S7img");  // "卡 é.S7img"
  const std::vector<std::uint8_t> bytes = patternBlocks(0, 3);
  {
    std::ofstream out(std::filesystem::u8path(path), std::ios::binary);
    out.write(reinterpret_cast<const char*>(bytes.data()),
              static_cast<std::streamsize>(bytes.size()));
  }
  disks::Win32DiskServices disk;
  card::NativeHandle file = 0;
  ASSERT_TRUE(disk.files().openImage(path, file));
  std::vector<std::uint8_t> back(2 * kBlock);
  ASSERT_TRUE(disk.files().seekImage(file, kBlock));
  EXPECT_EQ(disk.files().readImage(file, back.data(), back.size()), back.size());
  EXPECT_EQ(back, patternBlocks(1, 2));
  // The end of the file: what is there, and then nothing.
  ASSERT_TRUE(disk.files().seekImage(file, 2 * kBlock + 100));
  EXPECT_EQ(disk.files().readImage(file, back.data(), back.size()), kBlock - 100);
  EXPECT_EQ(disk.files().readImage(file, back.data(), back.size()), 0u);
  disk.files().closeImage(file);

  EXPECT_FALSE(disk.files().openImage(scratch.path("missing.S7img"), file));
}

// The flush and the new layout on a plain file, which is all Wine offers:
// the flush succeeds and what was written is there; the layout request is
// refused quietly and the handle still works.
TEST(Win32DiskServices, FlushAndLayoutRequestOnAPlainFile) {
  ScratchDir scratch;
  const std::string path = scratch.path("card.img");
  writeFile(path, std::vector<std::uint8_t>(2 * kBlock, 0));
  disks::Win32DiskServices disk;
  card::NativeHandle device = 0;
  ASSERT_TRUE(disk.openDevice(path, device));
  ASSERT_TRUE(disk.writeDevice(device, patternBlocks(0, 2).data(), 2 * kBlock));
  EXPECT_TRUE(disk.flushDevice(device)) << disk.lastError();
  disk.updateLayout(device);
  std::vector<std::uint8_t> back(kBlock);
  ASSERT_TRUE(disk.seekDevice(device, kBlock));
  EXPECT_TRUE(disk.readDevice(device, back.data(), back.size()));
  EXPECT_EQ(back, patternBlocks(1, 1));
  disk.closeDevice(device);
  EXPECT_EQ(readFile(path), patternBlocks(0, 2));

  // A handle that is gone cannot be flushed, and says why.
  EXPECT_FALSE(disk.flushDevice(device));
  EXPECT_EQ(disk.lastError(), static_cast<std::uint32_t>(ERROR_INVALID_HANDLE));
}

// The end of the image file is no read error; a handle that was never open
// is one.
TEST(Win32DiskServices, TheImageEndIsNoReadError) {
  ScratchDir scratch;
  const std::string path = scratch.path("image.S7img");
  writeFile(path, patternBlocks(0, 1));
  disks::Win32DiskServices disk;
  card::NativeHandle file = 0;
  ASSERT_TRUE(disk.files().openImage(path, file));
  std::vector<std::uint8_t> back(2 * kBlock);
  EXPECT_EQ(disk.files().readImage(file, back.data(), back.size()), kBlock);
  EXPECT_FALSE(disk.files().imageReadFailed(file));
  EXPECT_EQ(disk.files().readImage(file, back.data(), back.size()), 0u);
  EXPECT_FALSE(disk.files().imageReadFailed(file));
  disk.files().closeImage(file);
  EXPECT_TRUE(disk.files().imageReadFailed(file));
}

// The backup's file under a UTF-8 name outside the ANSI code page: written
// beside its target, put over an earlier file of that name in one step, or
// removed.
TEST(Win32DiskServices, TargetFileTakesItsNameOnlyWhenPutInPlace) {
  ScratchDir scratch;
  const std::string target = scratch.path("\xE5\x8D\xA1 \xC3\xA9.S7img");  // "卡 é.S7img"
  const std::filesystem::path targetName = std::filesystem::u8path(target);
  const std::vector<std::uint8_t> earlier(100, 0xAB), backup = patternBlocks(0, 3);
  const auto write = [](const std::filesystem::path& name, const std::vector<std::uint8_t>& bytes) {
    std::ofstream out(name, std::ios::binary);
    out.write(reinterpret_cast<const char*>(bytes.data()),
              static_cast<std::streamsize>(bytes.size()));
  };
  const auto read = [](const std::filesystem::path& name) {
    std::ifstream in(name, std::ios::binary);
    return std::vector<std::uint8_t>(std::istreambuf_iterator<char>(in), {});
  };
  write(targetName, earlier);

  disks::Win32DiskServices disk;
  card::NativeHandle kept = 0, dropped = 0;
  std::string keptPath, droppedPath;
  ASSERT_TRUE(disk.files().createBackup(target, keptPath, kept)) << disk.files().lastError();
  EXPECT_EQ(keptPath, target + ".partial");
  ASSERT_TRUE(disk.files().createBackup(target, droppedPath, dropped));
  EXPECT_EQ(droppedPath, target + ".partial1");
  ASSERT_TRUE(disk.files().writeBackup(kept, backup.data(), backup.size()));
  ASSERT_TRUE(disk.files().finishBackup(kept));
  EXPECT_EQ(read(targetName), earlier);
  ASSERT_TRUE(disk.files().placeBackup(keptPath, target)) << disk.files().lastError();
  EXPECT_EQ(read(targetName), backup);

  ASSERT_TRUE(disk.files().writeBackup(dropped, backup.data(), backup.size()));
  disk.files().closeBackup(dropped);
  disk.files().removeBackup(droppedPath);
  EXPECT_FALSE(std::filesystem::exists(std::filesystem::u8path(keptPath)));
  EXPECT_FALSE(std::filesystem::exists(std::filesystem::u8path(droppedPath)));

  EXPECT_FALSE(disk.files().createBackup(scratch.path("missing/backup.S7img"), keptPath, kept));
  EXPECT_EQ(disk.files().lastError(), std::uint32_t(ERROR_PATH_NOT_FOUND));
  EXPECT_FALSE(disk.files().writeBackup(kept, backup.data(), backup.size()));
  EXPECT_EQ(disk.files().lastError(), std::uint32_t(ERROR_INVALID_HANDLE));
}

}  // namespace
