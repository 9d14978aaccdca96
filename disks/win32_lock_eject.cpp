// Holding the card for a run on Windows and letting it go: its volumes'
// lock, dismount and unlock, and the eject afterwards; and which failures
// are worth another try.
#include "disks/win32_lock_eject.h"

#include <windows.h>
#include <winioctl.h>

#include "disks/win32_disk_services.h"

namespace disks {
namespace {

HANDLE toHandle(NativeHandle handle) { return reinterpret_cast<HANDLE>(handle); }

// An ioctl with neither input nor output: the volume's lock, dismount and
// unlock, the eject and the reader's check for its card.
bool controlWithoutData(HANDLE handle, DWORD code) {
  DWORD returned = 0;
  return DeviceIoControl(handle, code, nullptr, 0, nullptr, 0, &returned, nullptr) != 0;
}

}  // namespace

std::uint32_t ejectError(const EjectAnswers& answers) {
  if (answers.ejectError != 0) return answers.ejectError;
  switch (answers.checkError) {
    // The reader's own word that its card is out. A reader that is gone has
    // let it go with itself.
    case ERROR_NOT_READY:
    case ERROR_NO_MEDIA_IN_DRIVE:
    case ERROR_DEVICE_NOT_CONNECTED:
      return 0;
    case 0:
      // Still there. A reader may take the eject and keep the card for a
      // moment, worth another look; a card that calls itself fixed media
      // stays for as long as it is in the slot, however often it is asked:
      // this reader has no eject that shows.
      return answers.fixedMedia ? ERROR_NOT_SUPPORTED : ERROR_BUSY;
    default:
      return answers.checkError;
  }
}

bool Win32DiskServices::lockVolume(NativeHandle volume) {
  return controlWithoutData(toHandle(volume), FSCTL_LOCK_VOLUME) || failed();
}

bool Win32DiskServices::dismountVolume(NativeHandle volume) {
  return controlWithoutData(toHandle(volume), FSCTL_DISMOUNT_VOLUME) || failed();
}

bool Win32DiskServices::unlockVolume(NativeHandle volume) {
  return controlWithoutData(toHandle(volume), FSCTL_UNLOCK_VOLUME) || failed();
}

bool Win32DiskServices::ejectMedia(NativeHandle device) {
  const HANDLE handle = toHandle(device);
  EjectAnswers answers;
  DriveGeometry geometry;
  answers.fixedMedia = driveGeometry(device, geometry) && geometry.mediaType == kFixedMedia;
  // A reader whose card was held in (by this or another program) must let
  // it go first; the eject then takes the card, never the reader itself.
  PREVENT_MEDIA_REMOVAL allow = {};
  allow.PreventMediaRemoval = FALSE;
  DWORD returned = 0;
  DeviceIoControl(handle, IOCTL_STORAGE_MEDIA_REMOVAL, &allow, sizeof allow, nullptr, 0, &returned,
                  nullptr);
  if (!controlWithoutData(handle, IOCTL_STORAGE_EJECT_MEDIA)) answers.ejectError = GetLastError();
  // Some readers take the eject and keep the card: the reader is asked.
  if (answers.ejectError == 0 && !controlWithoutData(handle, IOCTL_STORAGE_CHECK_VERIFY2))
    answers.checkError = GetLastError();
  lastError_ = ejectError(answers);
  return lastError_ == 0;
}

ErrorKind Win32DiskServices::errorKind(std::uint32_t code) {
  switch (code) {
    case ERROR_ACCESS_DENIED:
    case ERROR_LOCK_VIOLATION:
      return ErrorKind::Busy;
    case ERROR_SHARING_VIOLATION:
      return ErrorKind::InUse;
    case ERROR_NOT_READY:
    case ERROR_NO_MEDIA_IN_DRIVE:
      return ErrorKind::NotReady;
    // A device that cannot do what was asked at all: a reader that rejects
    // the eject's command answers with an invalid function.
    case ERROR_NOT_SUPPORTED:
    case ERROR_INVALID_FUNCTION:
      return ErrorKind::Unsupported;
    default:
      return ErrorKind::Other;
  }
}

}  // namespace disks
