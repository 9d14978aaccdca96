// Finding and opening the card's disk through the real Win32 calls: what a
// letter stands for, the disk behind it, the system's volumes, where a file
// lies, and the disk had for a run alone.
#include <gtest/gtest.h>
#include <windows.h>
#include <winioctl.h>

#include <chrono>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "card/card_device.h"
#include "card/write_run.h"
#include "disks/cards.h"
#include "disks/win32_disk_services.h"
#include "disks/win32_volumes.h"
#include "tests/win32/win32_disk_test_support.h"

namespace {

using testing_support::completeImage;
using testing_support::RecordingUi;
using testing_support::ScratchDir;
using testing_support::writeFile;
using win32_disk_test::kBlock;
using win32_disk_test::nextHandle;
using win32_disk_test::patternBlocks;

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

// A path that names its volume by the volume's own name (as a page file on a
// volume without a letter is named) lies on that volume, whether the file
// opens or not: a page file in use opens for nobody.
TEST(Win32DiskServices, VolumeOfAFileNamedByItsVolume) {
  const std::pair<std::wstring, std::wstring> cases[] = {
      {L"\\\\?\\Volume{00000000-0000-0000-0000-000000000001}\\pagefile.sys",
       L"\\\\?\\Volume{00000000-0000-0000-0000-000000000001}"},
      {L"\\\\?\\GLOBALROOT\\Device\\HarddiskVolume3\\pagefile.sys",
       L"\\\\?\\GLOBALROOT\\Device\\HarddiskVolume3"},
      {L"\\\\?\\GLOBALROOT\\Device\\HarddiskVolume3",
       L"\\\\?\\GLOBALROOT\\Device\\HarddiskVolume3"},
  };
  for (const auto& [path, volume] : cases) EXPECT_EQ(disks::volumeOfFile(path), volume);
}

}  // namespace
