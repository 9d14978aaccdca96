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

using win32_disk_test::nextHandle;

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

namespace {

// What a reader's answers to an eject make of it, and whether the card
// writer tries again: a reader with no eject, or a card that calls itself
// fixed media and so never shows as gone, is asked once; a reader that
// takes the eject and keeps the card a moment is asked again.
TEST(Win32Eject, ReadersAnswersMakeTheEjectsOutcome) {
  struct Case {
    const char* name;
    disks::EjectAnswers answers;
    std::uint32_t error;  // 0: the card is out
    card::ErrorKind kind;
  };
  const Case cases[] = {
      {"taken, the reader is empty", {0, ERROR_NOT_READY, false}, 0, card::ErrorKind::Other},
      {"taken, no media", {0, ERROR_NO_MEDIA_IN_DRIVE, false}, 0, card::ErrorKind::Other},
      {"taken, the reader is gone",
       {0, ERROR_DEVICE_NOT_CONNECTED, false},
       0,
       card::ErrorKind::Other},
      {"taken, the card kept for now", {0, 0, false}, ERROR_BUSY, card::ErrorKind::Other},
      {"taken, a fixed-media card stays",
       {0, 0, true},
       ERROR_NOT_SUPPORTED,
       card::ErrorKind::Unsupported},
      {"no eject: not supported",
       {ERROR_NOT_SUPPORTED, 0, false},
       ERROR_NOT_SUPPORTED,
       card::ErrorKind::Unsupported},
      {"no eject: invalid function",
       {ERROR_INVALID_FUNCTION, 0, true},
       ERROR_INVALID_FUNCTION,
       card::ErrorKind::Unsupported},
      {"refused while busy",
       {ERROR_ACCESS_DENIED, 0, false},
       ERROR_ACCESS_DENIED,
       card::ErrorKind::Busy},
      {"taken, the check is not known",
       {0, ERROR_INVALID_FUNCTION, false},
       ERROR_INVALID_FUNCTION,
       card::ErrorKind::Unsupported},
  };
  disks::Win32DiskServices disk;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::uint32_t error = disks::ejectError(c.answers);
    EXPECT_EQ(error, c.error);
    if (error != 0) {
      EXPECT_EQ(disk.errorKind(error), c.kind);
    }
  }
}

}  // namespace
