// The real Win32 disk services, run under Wine in the test prefix, where
//   G: is a floppy-type drive: \Device\Harddisk1, whose physical drive opens
//      but reports fixed media and refuses writes,
//   H: a hard-disk-type drive: a volume, \Device\HarddiskVolumeN,
//   I: a cdrom-type drive: \Device\CdRom0,
//   Q: no drive at all.
// Wine has no raw disk, so the refusals are tried on the letters and the
// handle calls on plain files.
#include "disks/win32_disk_services.h"

#include <gtest/gtest.h>
#include <windows.h>
#include <winioctl.h>

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "card/card_device.h"
#include "card/write_run.h"
#include "disks/cards.h"
#include "tests/support/test_support.h"

namespace {

using testing_support::completeImage;
using testing_support::patternByte;
using testing_support::readFile;
using testing_support::RecordingUi;
using testing_support::ScratchDir;
using testing_support::writeFile;

constexpr std::size_t kBlock = 512;

// The handle value the system gives the next open. The system hands out the
// lowest free slot, so a run that leaves a handle open moves it; Wine does
// not count a process's handles (GetProcessHandleCount answers 0).
HANDLE nextHandle() {
  const HANDLE probe = CreateEventA(nullptr, FALSE, FALSE, nullptr);
  CloseHandle(probe);
  return probe;
}

std::vector<std::uint8_t> patternBlocks(std::int64_t first, std::int64_t count) {
  std::vector<std::uint8_t> bytes;
  for (std::int64_t block = first; block < first + count; ++block)
    for (std::size_t k = 0; k < kBlock; ++k) bytes.push_back(patternByte(block, k));
  return bytes;
}

struct LetterCase {
  const char* letter;
  bool mapped;
  const char* targetPrefix;  // what the letter stands for, up to its number
  const char* message;
};

// Every letter of the test prefix is refused before anything is written, with
// nothing left open, even though a complete image has been chosen.
TEST(Win32DiskServices, RefusesEveryLetterThatIsNotARemovableCard) {
  const LetterCase cases[] = {
      {"Q", false, "", "could not query device"},
      {"G", true, "\\Device\\Harddisk1", "your system does not recognize a removable media at >G"},
      {"H", true, "\\Device\\HarddiskVolume", "Query did not return expected dive number"},
      {"I", true, "\\Device\\CdRom0", "Query did not return expected dive number"},
  };
  ScratchDir scratch;
  const std::string image = scratch.path("card.S7img");
  writeFile(image, completeImage(4));
  for (const LetterCase& c : cases) {
    SCOPED_TRACE(c.letter);
    disks::Win32DiskServices disk;

    std::string target;
    ASSERT_EQ(disk.queryDosDevice(std::string(c.letter) + ":", target), c.mapped);
    if (c.mapped) {
      EXPECT_EQ(target.rfind(c.targetPrefix, 0), 0u) << target;
    } else {
      EXPECT_EQ(disk.lastError(), static_cast<std::uint32_t>(ERROR_FILE_NOT_FOUND));
    }

    std::vector<std::string> journal;
    RecordingUi ui(journal);
    ui.drive = c.letter;
    ui.fileName = image;
    const HANDLE next = nextHandle();
    card::runWrite(disk, ui);
    EXPECT_EQ(nextHandle(), next) << "a handle was left open";
    EXPECT_EQ(journal, std::vector<std::string>{std::string("message ERROR: ") + c.message});
  }
}

// What the system itself says of a letter's volume, asked with its own calls
// rather than the services under test: the disk that holds the whole volume
// and that both answers name alike, or -1.
long diskOfVolume(const std::string& letter) {
  const std::string path = "\\\\.\\" + letter + ":";
  const HANDLE volume = CreateFileA(path.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                    OPEN_EXISTING, 0, nullptr);
  if (volume == INVALID_HANDLE_VALUE) return -1;
  STORAGE_DEVICE_NUMBER number{};
  DWORD returned = 0;
  const bool numbered = DeviceIoControl(volume, IOCTL_STORAGE_GET_DEVICE_NUMBER, nullptr, 0,
                                        &number, sizeof number, &returned, nullptr) != FALSE;
  // Room for several extents, so that a volume on more than one disk shows
  // as such rather than as a failure.
  std::vector<std::uint64_t> storage(64, 0);
  auto* extents = reinterpret_cast<VOLUME_DISK_EXTENTS*>(storage.data());
  const bool located =
      DeviceIoControl(volume, IOCTL_VOLUME_GET_VOLUME_DISK_EXTENTS, nullptr, 0, extents,
                      DWORD(storage.size() * sizeof storage[0]), &returned, nullptr) != FALSE;
  CloseHandle(volume);
  if (!numbered || !located || number.DeviceType != FILE_DEVICE_DISK ||
      extents->NumberOfDiskExtents != 1 || extents->Extents[0].DiskNumber != number.DeviceNumber)
    return -1;
  return long(number.DeviceNumber);
}

// Whether physical drive `disk` holds removable media, asked directly.
bool removableDisk(long disk) {
  const std::string path = "\\\\.\\PHYSICALDRIVE" + std::to_string(disk);
  const HANDLE drive = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                   nullptr, OPEN_EXISTING, 0, nullptr);
  if (drive == INVALID_HANDLE_VALUE) return false;
  DISK_GEOMETRY geometry{};
  DWORD returned = 0;
  const bool answered = DeviceIoControl(drive, IOCTL_DISK_GET_DRIVE_GEOMETRY, nullptr, 0, &geometry,
                                        sizeof geometry, &returned, nullptr) != FALSE;
  CloseHandle(drive);
  return answered && geometry.MediaType == RemovableMedia;
}

// A letter that answers with a volume reaches the disk that both of its
// volume's answers name, or is refused: never another disk. Whatever Wine
// answers for its hard-disk-type letters (c:, h: and z: in the test prefix),
// the outcome expected is decided by the system's own answers, asked
// directly, never by the code under test.
TEST(Win32DiskServices, VolumeLettersReachTheirOwnDiskOrNone) {
  for (const std::string letter : {"C", "H", "Z"}) {
    SCOPED_TRACE(letter);
    disks::Win32DiskServices disk;
    std::string target;
    ASSERT_TRUE(disk.queryDosDevice(letter + ":", target));
    ASSERT_EQ(target.rfind("\\Device\\HarddiskVolume", 0), 0u) << target;

    const long expectedDisk = diskOfVolume(letter);
    std::vector<std::string> journal;
    RecordingUi ui(journal);
    ui.drive = letter;
    const HANDLE next = nextHandle();
    card::Card cardDevice = card::openCard(disk, ui);
    if (expectedDisk == -1) {
      EXPECT_FALSE(cardDevice);
      EXPECT_EQ(journal, std::vector<std::string>{
                             "message ERROR: Query did not return expected dive number"});
    } else if (!removableDisk(expectedDisk)) {
      EXPECT_FALSE(cardDevice);
      EXPECT_EQ(
          journal,
          std::vector<std::string>{
              "message ERROR: your system does not recognize a removable media at >" + letter});
    } else {
      // Resolved: the open drive must be the volume's own disk.
      ASSERT_TRUE(cardDevice) << ::testing::PrintToString(journal);
      EXPECT_TRUE(journal.empty());
      STORAGE_DEVICE_NUMBER opened{};
      DWORD returned = 0;
      ASSERT_TRUE(DeviceIoControl(reinterpret_cast<HANDLE>(cardDevice.device()),
                                  IOCTL_STORAGE_GET_DEVICE_NUMBER, nullptr, 0, &opened,
                                  sizeof opened, &returned, nullptr));
      EXPECT_EQ(long(opened.DeviceNumber), expectedDisk);
      cardDevice.release();
    }
    EXPECT_EQ(nextHandle(), next) << "a handle was left open";
  }
}

// The card's volume as a run holds it, through the real calls: opened for
// locking, locked, dismounted, and on release unlocked and closed. Wine takes
// every lock (it keeps no one out, so the exclusion cannot be shown here) and
// refuses the dismount as not supported, which a run does not stop for.
TEST(Win32DiskServices, HardDiskTypeVolumeLocksAndUnlocks_WineNeitherExcludesNorDismounts) {
  disks::Win32DiskServices disk;
  card::NativeHandle volume = 0;
  ASSERT_TRUE(disk.openVolume("\\\\.\\H:", true, volume)) << disk.lastError();
  EXPECT_TRUE(disk.lockVolume(volume)) << disk.lastError();
  EXPECT_FALSE(disk.dismountVolume(volume));
  EXPECT_EQ(disk.lastError(), static_cast<std::uint32_t>(ERROR_NOT_SUPPORTED));
  EXPECT_TRUE(disk.unlockVolume(volume)) << disk.lastError();
  disk.closeVolume(volume);

  // The same through the card writer's own lock: held open until released,
  // then nothing left open.
  const HANDLE next = nextHandle();
  card::VolumeLock lock;
  card::LockPatience once;  // one attempt, no waiting
  once.patience = std::chrono::milliseconds(0);
  ASSERT_TRUE(lock.acquire(disk, "\\\\.\\H:", once));
  EXPECT_NE(nextHandle(), next) << "the locked volume is not held open";
  lock.release();
  EXPECT_EQ(nextHandle(), next) << "a handle was left open";

  // A letter with nothing behind it has no volume to lock, and says why.
  EXPECT_FALSE(lock.acquire(disk, "\\\\.\\Q:", once));
  EXPECT_EQ(disk.lastError(), static_cast<std::uint32_t>(ERROR_FILE_NOT_FOUND));
  EXPECT_EQ(lock.error(), static_cast<std::uint32_t>(ERROR_FILE_NOT_FOUND));
  EXPECT_EQ(nextHandle(), next) << "a handle was left open";
}

// Where a volume lies, through the real call, against the system's own
// answer. Wine answers every volume with no extents at all, so the second ask
// that a volume on several disks needs (after ERROR_MORE_DATA) cannot be
// reached here.
TEST(Win32DiskServices, VolumeExtentsAsTheSystemAnswers_WineGivesNoneSoNoSecondAsk) {
  disks::Win32DiskServices disk;
  card::NativeHandle volume = 0;
  ASSERT_TRUE(disk.openVolume("\\\\.\\H:", false, volume)) << disk.lastError();
  std::vector<card::DiskExtent> extents{card::DiskExtent{}};  // replaced, not added to
  ASSERT_TRUE(disk.volumeDiskExtents(volume, extents)) << disk.lastError();

  VOLUME_DISK_EXTENTS answer{};
  DWORD returned = 0;
  ASSERT_TRUE(DeviceIoControl(reinterpret_cast<HANDLE>(volume),
                              IOCTL_VOLUME_GET_VOLUME_DISK_EXTENTS, nullptr, 0, &answer,
                              sizeof answer, &returned, nullptr));
  EXPECT_EQ(answer.NumberOfDiskExtents, 0u) << "Wine now names the disks: test the second ask";
  EXPECT_EQ(extents.size(), std::size_t(answer.NumberOfDiskExtents));
  disk.closeVolume(volume);
}

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

// Which failures are worth another attempt at a lock, and which say that the
// reader is empty.
TEST(Win32DiskServices, ErrorKinds) {
  disks::Win32DiskServices disk;
  const std::pair<DWORD, card::ErrorKind> cases[] = {
      {ERROR_ACCESS_DENIED, card::ErrorKind::Busy},
      {ERROR_SHARING_VIOLATION, card::ErrorKind::InUse},
      {ERROR_LOCK_VIOLATION, card::ErrorKind::Busy},
      {ERROR_NOT_READY, card::ErrorKind::NotReady},
      {ERROR_NO_MEDIA_IN_DRIVE, card::ErrorKind::NotReady},
      {ERROR_INVALID_FUNCTION, card::ErrorKind::Other},
      {ERROR_WRITE_PROTECT, card::ErrorKind::Other},
      {ERROR_FILE_NOT_FOUND, card::ErrorKind::Other},
  };
  for (const auto& c : cases) EXPECT_EQ(disk.errorKind(c.first), c.second) << c.first;
}

// Every volume the system lists is named so that it opens as a volume, not
// as its root folder.
TEST(Win32DiskServices, ListsVolumesByNamesThatOpenForQueries) {
  disks::Win32DiskServices disk;
  std::vector<std::string> volumes;
  ASSERT_TRUE(disk.listVolumes(volumes)) << disk.lastError();
  ASSERT_FALSE(volumes.empty());
  int opened = 0;
  for (const std::string& path : volumes) {
    SCOPED_TRACE(path);
    EXPECT_EQ(path.rfind("\\\\?\\Volume{", 0), 0u);
    EXPECT_NE(path.back(), '\\');
    card::NativeHandle volume = 0;
    if (disk.openVolume(path, false, volume)) {
      ++opened;
      disk.closeVolume(volume);
    }
  }
  EXPECT_GT(opened, 0);
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

// What a card is and what becomes of it after a write, through the real
// calls: a plain file takes writes, hangs on no bus, is no system disk and
// cannot be ejected, and stays whole when asked to be. Wine's floppy-type
// disk answers the same but for its bus (SCSI: no card reader's, so it
// stays a fixed disk that is refused); whether a real reader's lock switch, its SD bus, the
// system's own disk and a real eject answer as they should needs a real
// Windows.
TEST(Win32DiskServices, ProtectionBusSystemDiskAndEjectOnAFileAndWinesDisk) {
  ScratchDir scratch;
  const std::string path = scratch.path("card.img");
  writeFile(path, patternBlocks(0, 2));
  disks::Win32DiskServices disk;
  for (const std::string& name : {path, std::string("\\\\.\\PHYSICALDRIVE1")}) {
    SCOPED_TRACE(name);
    card::NativeHandle device = 0;
    ASSERT_TRUE(disk.openDevice(name, device)) << disk.lastError();
    EXPECT_FALSE(disk.writeProtected(device));
    const std::uint32_t bus = disk.busType(device);
    if (name == path) {
      EXPECT_EQ(bus, card::kBusTypeUnknown);
    }
    EXPECT_NE(bus, card::kBusTypeSd);
    EXPECT_NE(bus, card::kBusTypeMmc);
    EXPECT_FALSE(disk.systemDisk(device));
    EXPECT_FALSE(disk.ejectMedia(device));
    EXPECT_NE(disk.lastError(), 0u);
    disk.closeDevice(device);
  }
  EXPECT_EQ(readFile(path), patternBlocks(0, 2));
}

// Wine gives no disk number for a plain file, and for its floppy-type disk a
// number but no volume that says which disk it lies on (its volumes answer
// "not supported" to the extents), so no file can be placed on them: the
// check must then let the run go on rather than refuse every image. The
// check on a real card's disk needs a real Windows.
TEST(Win32DiskServices, FileOnDeviceIsFalseWhereWineCannotTellTheDisk) {
  ScratchDir scratch;
  const std::string path = scratch.path("card.img");
  writeFile(path, std::vector<std::uint8_t>(kBlock, 0));
  disks::Win32DiskServices disk;
  card::NativeHandle device = 0;
  ASSERT_TRUE(disk.openDevice(path, device));
  EXPECT_FALSE(disk.fileOnDevice(device, path));
  EXPECT_FALSE(disk.fileOnDevice(device, scratch.path("not yet made\\image.S7img")));
  disk.closeDevice(device);

  ASSERT_TRUE(disk.openDevice("\\\\.\\PHYSICALDRIVE1", device));
  const HANDLE next = nextHandle();
  EXPECT_FALSE(disk.fileOnDevice(device, path));
  // On the floppy-type letter itself, a file still to be made.
  EXPECT_FALSE(disk.fileOnDevice(device, "g:\\new folder\\image.S7img"));
  EXPECT_EQ(nextHandle(), next) << "a handle was left open";
  disk.closeDevice(device);
}

// The card's volumes are found by their extents; Wine's volumes answer none
// (extents "not supported"), so no volume is found on the floppy-type disk 1
// and the card falls back to its letter's own volume, as before every volume
// was looked for. Locking them all needs a real Windows with a card.
TEST(Win32DiskServices, VolumesOnCardFallBackToTheLettersOwnWhereWineGivesNoExtents) {
  disks::Win32DiskServices disk;
  card::NativeHandle device = 0;
  ASSERT_TRUE(disk.openDevice("\\\\.\\PHYSICALDRIVE1", device));
  card::DriveGeometry geometry;
  const card::Card onDisk1(card::CardDevice(disk, device), "G", "\\\\.\\G:", geometry, 1);
  EXPECT_EQ(onDisk1.volumesOnCard(), std::vector<std::string>{"\\\\.\\G:"});
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

namespace {

// The disk of a run is had for the run alone: another handle open for
// writing, even one that lets others write, makes that open fail with a
// sharing violation, and only then does the open beside it succeed.
TEST(Win32DiskServices, OpensTheDiskForItselfOnlyWhenNobodyElseWritesToIt) {
  ScratchDir scratch;
  const std::string path = scratch.path("card.img");
  writeFile(path, patternBlocks(0, 2));
  disks::Win32DiskServices disk;
  card::NativeHandle alone = 0;
  ASSERT_TRUE(disk.openDevice(path, alone)) << disk.lastError();
  disk.closeDevice(alone);

  const HANDLE other =
      CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                  nullptr, OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(other, INVALID_HANDLE_VALUE);
  EXPECT_FALSE(disk.openDevice(path, alone));
  EXPECT_EQ(disk.lastError(), static_cast<std::uint32_t>(ERROR_SHARING_VIOLATION));
  EXPECT_EQ(disk.errorKind(disk.lastError()), card::ErrorKind::InUse);
  card::NativeHandle beside = 0;
  ASSERT_TRUE(disk.openDeviceShared(path, beside)) << disk.lastError();
  disk.closeDevice(beside);
  CloseHandle(other);
}

// What the card rule asks of a disk, through a handle opened for queries
// only, as `list` asks it. Wine's floppy-type disk is a fixed disk on no
// reader's bus, with no removal policy, boot partition or system on it: no
// card, and the command line names no built-in or system disk for it.
TEST(Win32DiskServices, TheCardRuleAsksWhatWinesDiskAnswers) {
  disks::Win32DiskServices disk;
  card::NativeHandle handle = 0;
  ASSERT_TRUE(disk.openDiskForQueries("\\\\.\\PHYSICALDRIVE1", handle)) << disk.lastError();
  card::DriveGeometry geometry;
  ASSERT_TRUE(disk.driveGeometry(handle, geometry));
  const card::DiskFacts facts = card::diskFacts(disk, handle, geometry);
  EXPECT_FALSE(facts.removableMedia);
  EXPECT_FALSE(facts.bootPartitions);
  EXPECT_FALSE(facts.systemDisk);
  EXPECT_EQ(card::judgeDisk(facts), card::DiskVerdict::NotRemovable);
  disk.closeDevice(handle);

  const card::LetterDisk g = card::examineLetter(disk, disk, "G");
  EXPECT_EQ(g.disk, 1);
  EXPECT_TRUE(g.described);
  EXPECT_EQ(g.verdict, card::DiskVerdict::NotRemovable);
  EXPECT_GT(g.bytes, 0);
  // A CD-ROM's letter leads to no disk at all.
  EXPECT_EQ(card::examineLetter(disk, disk, "I").disk, -1);
  EXPECT_EQ(disks::cardRefusal("G", {}), "");
}

}  // namespace
