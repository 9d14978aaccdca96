// From the drive letter the operator names to the card's physical drive.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <utility>

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

// The open card and what a run holds with it: the device, the drive text it
// was opened with and, once locked, its volume. The volume lock outlives the
// device: the device is closed first, then the volume unlocked.
class Card {
 public:
  Card() = default;
  // A card opened by the drive text `name`; `volumePath` is the letter's
  // volume (\\.\G:), empty where there is none to lock.
  Card(CardDevice device, std::string name, std::string volumePath, DriveGeometry geometry)
      : device_(std::move(device)),
        name_(std::move(name)),
        volumePath_(std::move(volumePath)),
        geometry_(geometry) {}

  explicit operator bool() const { return static_cast<bool>(device_); }
  NativeHandle device() const { return device_.get(); }
  // The drive text the card was opened with, whatever the window shows now.
  const std::string& name() const { return name_; }

  // The card's size in 512-byte blocks: its length as the system reports it,
  // or else what its geometry multiplies out to.
  std::int64_t blocks() const;

  // Locks the card's volume for the rest of the run. When it cannot be
  // locked the operator is told why and false returned; the card stays open
  // for the caller to release in its order.
  bool lockVolume(OperatorUi& ui, std::chrono::milliseconds pause);

  // Whether the file at `path` (UTF-8) lies on this card, where writing the
  // card would pull it from under the run. When it does, the operator is told
  // "image file is on the card at >G, copy it to another drive first".
  bool holdsFile(OperatorUi& ui, const std::string& path);

  void release() {
    device_.release();
    volume_.release();
  }

 private:
  CardDevice device_;
  std::string name_;
  std::string volumePath_;
  DriveGeometry geometry_;
  VolumeLock volume_;
};

// Opens the card behind the drive field's text for writing and makes sure it
// holds removable media. On a refusal the operator has been shown why and the
// result is empty, with nothing left open.
Card openCardDevice(DiskServices& disk, OperatorUi& ui);

}  // namespace card
