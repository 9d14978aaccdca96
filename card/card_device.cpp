#include "card_device.h"

#include <thread>

#include "image_file.h"
#include "messages.h"

namespace card {
namespace {

constexpr const char* kDiveNumber = "Query did not return expected dive number";

// Today's systems answer a card reader's letter with its volume, whose
// number says nothing about the disk. Ask the volume which disk it lives on,
// and accept only a disk that holds the whole volume and that both answers
// name alike; anything else is no disk number at all.
std::string physicalDriveOfVolume(DiskServices& disk, const std::string& volumePath) {
  NativeHandle handle = 0;
  if (!disk.openVolume(volumePath, false, handle)) return {};
  const Owned<NativeHandle, &DiskServices::closeVolume> volume(disk, handle);
  StorageDeviceNumber number;
  std::vector<DiskExtent> extents;
  if (!disk.storageDeviceNumber(volume.get(), number) || number.deviceType != kFileDeviceDisk ||
      !disk.volumeDiskExtents(volume.get(), extents) || extents.size() != 1 ||
      extents[0].diskNumber != number.deviceNumber)
    return {};
  return "\\\\.\\PHYSICALDRIVE" + std::to_string(number.deviceNumber);
}

}  // namespace

std::string physicalDrivePath(const std::string& devicePath) {
  static const std::string kMarker = "Harddisk";
  const std::size_t at = devicePath.find(kMarker);
  if (at == std::string::npos) return {};
  // Every digit counts: \Device\Harddisk12 is disk 12, never disk 1.
  std::size_t end = at + kMarker.size();
  while (end < devicePath.size() && devicePath[end] >= '0' && devicePath[end] <= '9') ++end;
  const std::string number = devicePath.substr(at + kMarker.size(), end - at - kMarker.size());
  if (number.empty()) return {};
  return "\\\\.\\PHYSICALDRIVE" + number;
}

bool namesVolume(const std::string& devicePath) {
  static const std::string kVolume = "\\Device\\HarddiskVolume";
  return devicePath.compare(0, kVolume.size(), kVolume) == 0;
}

bool VolumeLock::acquire(DiskServices& disk, const std::string& volumePath,
                         std::chrono::milliseconds pause) {
  release();
  NativeHandle handle = 0;
  if (!disk.openVolume(volumePath, true, handle)) return false;
  Volume volume(disk, handle);
  // Something may still be flushing the card's files: try a few times.
  constexpr int kAttempts = 5;
  bool locked = false;
  for (int attempt = 0; attempt < kAttempts && !locked; ++attempt) {
    if (attempt > 0) std::this_thread::sleep_for(pause);
    locked = disk.lockVolume(volume.get());
  }
  if (!locked) return false;
  // A locked volume already admits raw writes; dismounting makes the system
  // read the card afresh afterwards, so its failure is no reason to stop.
  disk.dismountVolume(volume.get());
  volume_ = std::move(volume);
  return true;
}

void VolumeLock::release() {
  if (!volume_) return;
  volume_.services().unlockVolume(volume_.get());
  volume_.release();
}

std::int64_t Card::blocks() const {
  std::int64_t bytes = 0;
  if (!device_.services().deviceLength(device_.get(), bytes)) {
    const DriveGeometry& g = geometry_;
    bytes = g.cylinders * g.tracksPerCylinder * g.sectorsPerTrack * g.bytesPerSector;
  }
  return bytes / std::int64_t(kBlockSize);
}

bool Card::lockVolume(OperatorUi& ui, std::chrono::milliseconds pause) {
  if (volumePath_.empty() || volume_.acquire(device_.services(), volumePath_, pause)) return true;
  ui.showMessage("could not lock the card at >" + name_ +
                     ", close every program and window that uses it and try again",
                 kErrorCaption);
  return false;
}

bool Card::holdsFile(OperatorUi&, const std::string&) {
  // Not yet asked of the system: every file counts as lying elsewhere.
  return false;
}

Card openCardDevice(DiskServices& disk, OperatorUi& ui) {
  const std::string driveText = ui.driveText();
  std::string target;
  if (driveText.size() > kMaxDriveText || !disk.queryDosDevice(driveText + ":", target)) {
    ui.showMessage("could not query device", kErrorCaption);
    return {};
  }
  const std::string volumePath = "\\\\.\\" + driveText + ":";
  const std::string path =
      namesVolume(target) ? physicalDriveOfVolume(disk, volumePath) : physicalDrivePath(target);
  if (path.empty()) {
    ui.showMessage(kDiveNumber, kErrorCaption);
    return {};
  }
  NativeHandle handle = 0;
  if (!disk.openDevice(path, handle)) {
    ui.showMessage("MMC drive open error", kErrorCaption);
    return {};
  }
  CardDevice device(disk, handle);
  DriveGeometry geometry;
  if (!disk.driveGeometry(device.get(), geometry)) {
    ui.showMessage("IOCTL_DISK_GET_DRIVE_GEOMETRY failed", kErrorCaption);
    device.release();
    return {};
  }
  if (geometry.mediaType != kRemovableMedia) {
    ui.showMessage("your system does not recognize a removable media at >" + ui.driveText(),
                   kErrorCaption);
    device.release();
    return {};
  }
  return Card(std::move(device), driveText, volumePath, geometry);
}

}  // namespace card
