// From the drive letter the operator names to the card's physical drive.
#pragma once

#include <chrono>
#include <string>

#include "disk_services.h"
#include "operator_ui.h"
#include "owned.h"

namespace card {

// The longest drive text whose DOS device name (text + ":") fits the 20-byte
// name buffer with its terminating zero.
constexpr std::size_t kMaxDriveText = 18;

// The physical drive path for a device path such as \Device\Harddisk1\DR1,
// or an empty string when the path names no disk number.
std::string physicalDrivePath(const std::string& devicePath);

// True for a device path that names a volume (\Device\HarddiskVolumeN)
// rather than a disk.
bool namesVolume(const std::string& devicePath);

// The letter's volume, locked and dismounted for the length of a run so that
// the system lets raw writes into its sectors. Unlocked and closed on release.
class VolumeLock {
 public:
  VolumeLock() = default;
  VolumeLock(VolumeLock&&) = default;
  VolumeLock& operator=(VolumeLock&& other) noexcept {
    if (this != &other) {
      release();
      volume_ = std::move(other.volume_);
    }
    return *this;
  }
  ~VolumeLock() { release(); }

  // Locks (retrying a few times, `pause` apart) and dismounts the volume.
  // False when it cannot be locked; nothing is left open then.
  bool acquire(DiskServices& disk, const std::string& volumePath, std::chrono::milliseconds pause);
  void release();

 private:
  using Volume = Owned<NativeHandle, &DiskServices::closeVolume>;
  Volume volume_;
};

// The open card and what a run holds with it. The volume lock outlives the
// device: the device is closed first, then the volume unlocked.
struct Card {
  VolumeLock volume;
  CardDevice device;
  std::string volumePath;  // \\.\G: for drive G; empty where there is none
  DriveGeometry geometry;

  explicit operator bool() const { return static_cast<bool>(device); }
  void release() {
    device.release();
    volume.release();
  }
};

// Opens the card behind the drive field's text for writing and makes sure it
// holds removable media. On a refusal the operator has been shown why and the
// result is empty, with nothing left open.
Card openCardDevice(DiskServices& disk, OperatorUi& ui);

}  // namespace card
