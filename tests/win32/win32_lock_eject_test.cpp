// Holding the card and letting it go through the real Win32 calls: the
// volume's lock, which failures are worth another try, and what a reader's
// answers to an eject make of it.
#include "disks/win32_lock_eject.h"

#include <gtest/gtest.h>
#include <windows.h>
#include <winioctl.h>

#include <chrono>
#include <cstdint>
#include <utility>

#include "card/card_device.h"
#include "disks/win32_disk_services.h"
#include "tests/win32/win32_disk_test_support.h"

namespace {

using win32_disk_test::kBlock;
using win32_disk_test::nextHandle;
using win32_disk_test::patternBlocks;

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
      // A reader without an eject: asked once, not for seconds.
      {ERROR_NOT_SUPPORTED, card::ErrorKind::Unsupported},
      {ERROR_INVALID_FUNCTION, card::ErrorKind::Unsupported},
      {ERROR_WRITE_PROTECT, card::ErrorKind::Other},
      {ERROR_FILE_NOT_FOUND, card::ErrorKind::Other},
  };
  for (const auto& c : cases) EXPECT_EQ(disk.errorKind(c.first), c.second) << c.first;
}

}  // namespace
