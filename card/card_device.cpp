#include "card/card_device.h"

#include <algorithm>
#include <limits>
#include <thread>

#include "card/image_file.h"
#include "card/messages.h"

namespace card {
namespace {

constexpr const char* kDiveNumber = "Query did not return expected dive number";

using QueryVolume = Owned<NativeHandle, &DiskServices::closeVolume>;

bool lastFailureIsNotReady(DiskServices& disk) {
  return disk.errorKind(disk.lastError()) == ErrorKind::NotReady;
}

// Today's systems answer a card reader's letter with its volume, whose
// number says nothing about the disk. Ask the volume which disk it lives on,
// and accept only a disk that holds the whole volume and that both answers
// name alike; anything else is no disk number at all (-1). A reader with no
// card in it answers that it is not ready, and `notReady` tells so.
std::int64_t diskOfVolume(DiskServices& disk, const std::string& volumePath, bool& notReady) {
  notReady = false;
  NativeHandle handle = 0;
  if (!disk.openVolume(volumePath, false, handle)) {
    notReady = lastFailureIsNotReady(disk);
    return -1;
  }
  const QueryVolume volume(disk, handle);
  StorageDeviceNumber number;
  std::vector<DiskExtent> extents;
  if (!disk.storageDeviceNumber(volume.get(), number)) {
    notReady = lastFailureIsNotReady(disk);
    return -1;
  }
  if (number.deviceType != kFileDeviceDisk) return -1;
  if (!disk.volumeDiskExtents(volume.get(), extents)) {
    notReady = lastFailureIsNotReady(disk);
    return -1;
  }
  if (extents.size() != 1 || extents[0].diskNumber != number.deviceNumber) return -1;
  return number.deviceNumber;
}

// Whether a volume has any of its extents on disk `diskNumber`. A volume
// that cannot be asked (a drive with nothing in it, a network volume) lies
// on no disk the card writer knows of.
bool volumeLiesOnDisk(DiskServices& disk, const std::string& volumePath, std::int64_t diskNumber) {
  NativeHandle handle = 0;
  if (!disk.openVolume(volumePath, false, handle)) return false;
  const QueryVolume volume(disk, handle);
  std::vector<DiskExtent> extents;
  if (!disk.volumeDiskExtents(volume.get(), extents)) return false;
  for (const DiskExtent& extent : extents)
    if (extent.diskNumber == diskNumber) return true;
  return false;
}

std::string physicalDriveOf(std::int64_t diskNumber) {
  return "\\\\.\\PHYSICALDRIVE" + std::to_string(diskNumber);
}

std::string noCardText(const std::string& driveText) {
  return "no card in the reader at >" + driveText;
}

}  // namespace

std::int64_t diskNumberOf(const std::string& devicePath) {
  static const std::string kDisk = "\\Device\\Harddisk";
  if (devicePath.compare(0, kDisk.size(), kDisk) != 0) return -1;
  std::size_t end = kDisk.size();
  // Every digit counts: \Device\Harddisk12 is disk 12, never disk 1.
  std::int64_t number = 0;
  while (end < devicePath.size() && devicePath[end] >= '0' && devicePath[end] <= '9') {
    number = number * 10 + (devicePath[end] - '0');
    // More than the system can number: no disk of ours.
    if (number > std::numeric_limits<std::uint32_t>::max()) return -1;
    ++end;
  }
  if (end == kDisk.size()) return -1;
  if (end < devicePath.size() && devicePath[end] != '\\') return -1;
  return number;
}

std::string physicalDrivePath(const std::string& devicePath) {
  const std::int64_t number = diskNumberOf(devicePath);
  return number < 0 ? std::string() : physicalDriveOf(number);
}

bool namesVolume(const std::string& devicePath) {
  static const std::string kVolume = "\\Device\\HarddiskVolume";
  return devicePath.compare(0, kVolume.size(), kVolume) == 0;
}

std::string sectorSizeRefusal(const DriveGeometry& geometry) {
  if (geometry.bytesPerSector == kBlockSize) return {};
  return "card sectors of " + std::to_string(geometry.bytesPerSector) + " bytes are not supported";
}

bool VolumeLock::acquire(DiskServices& disk, const std::vector<std::string>& volumePaths,
                         const LockPatience& patience, const std::function<void()>& beforeWait) {
  using std::chrono::milliseconds;
  release();
  error_ = 0;
  // The time waited is the pauses' or the clock's, whichever is more: a
  // test's clock makes no time pass, slow lock attempts make more.
  const auto start = std::chrono::steady_clock::now();
  milliseconds waited{0};
  for (const std::string& path : volumePaths) {
    NativeHandle handle = 0;
    if (!disk.openVolume(path, true, handle)) {
      error_ = disk.lastError();
      release();
      return false;
    }
    Volume volume(disk, handle);
    // Something may still be reading or flushing the card's files, which
    // keeps the volume busy for a while: only that is worth another attempt.
    for (;;) {
      if (disk.lockVolume(volume.get())) break;
      error_ = disk.lastError();
      const milliseconds elapsed = std::max(waited, std::chrono::duration_cast<milliseconds>(
                                                        std::chrono::steady_clock::now() - start));
      if (disk.errorKind(error_) != ErrorKind::Busy ||
          elapsed + patience.pause > patience.patience) {
        volume.release();
        release();
        return false;
      }
      if (beforeWait) beforeWait();
      if (patience.wait)
        patience.wait(patience.pause);
      else
        std::this_thread::sleep_for(patience.pause);
      waited += patience.pause;
    }
    // A locked volume already admits raw writes; dismounting makes the system
    // read the card afresh afterwards, so its failure is no reason to stop.
    disk.dismountVolume(volume.get());
    volumes_.push_back(std::move(volume));
  }
  return true;
}

void VolumeLock::release() {
  while (!volumes_.empty()) {
    Volume& volume = volumes_.back();
    volume.services().unlockVolume(volume.get());
    volume.release();
    volumes_.pop_back();
  }
}

std::int64_t Card::blocks() const {
  std::int64_t bytes = 0;
  if (!device_.services().deviceLength(device_.get(), bytes)) {
    const DriveGeometry& g = geometry_;
    bytes = g.cylinders * g.tracksPerCylinder * g.sectorsPerTrack * g.bytesPerSector;
  }
  return bytes / std::int64_t(kBlockSize);
}

std::vector<std::string> Card::volumesOnCard() const {
  std::vector<std::string> onCard;
  std::vector<std::string> all;
  if (device_ && disk_ >= 0 && device_.services().listVolumes(all)) {
    for (const std::string& path : all)
      if (volumeLiesOnDisk(device_.services(), path, disk_)) onCard.push_back(path);
  }
  if (onCard.empty() && !volumePath_.empty()) onCard.push_back(volumePath_);
  return onCard;
}

std::optional<Outcome> Card::lockVolumes(OperatorUi& ui, const LockPatience& patience,
                                         const std::string& status) {
  const std::vector<std::string> paths = volumesOnCard();
  if (paths.empty()) return std::nullopt;
  bool waited = false;
  const auto beforeWait = [&] {
    if (!waited) ui.setStatus("waiting for the card at >" + name_ + " to be free");
    waited = true;
    ui.processEvents();
  };
  const bool locked = volume_.acquire(device_.services(), paths, patience, beforeWait);
  if (waited && !status.empty()) ui.setStatus(status);
  if (locked) return std::nullopt;
  Outcome refusal = shownOutcome(ui, Ending::Refused,
                                 "could not lock the card at >" + name_ +
                                     ", close every program and window that uses it and try again",
                                 kErrorCaption, volume_.error());
  refusal.cardBusy = true;
  return refusal;
}

std::optional<Outcome> Card::refuseWriteProtected(OperatorUi& ui) {
  if (!device_ || !device_.services().writeProtected(device_.get())) return std::nullopt;
  const std::string card = name_.empty() ? "the card" : "the card at >" + name_;
  return shownOutcome(ui, Ending::Refused, card + " is write-protected", kErrorCaption);
}

std::optional<Outcome> Card::refuseFileOnCard(OperatorUi& ui, const std::string& path) {
  if (!device_ || !device_.services().fileOnDevice(device_.get(), path)) return std::nullopt;
  return shownOutcome(ui, Ending::Refused,
                      "image file is on the card at >" + name_ + ", copy it to another drive first",
                      kErrorCaption);
}

bool countsAsCard(DiskServices& disk, NativeHandle device, const DriveGeometry& geometry) {
  if (disk.systemDisk(device)) return false;
  if (geometry.mediaType == kRemovableMedia) return true;
  const std::uint32_t bus = disk.busType(device);
  return bus == kBusTypeSd || bus == kBusTypeMmc;
}

Card openCard(DiskServices& disk, OperatorUi& ui, Outcome& refusal) {
  const std::string driveText = ui.driveText();
  std::string target;
  if (driveText.size() > kMaxDriveText || !disk.queryDosDevice(driveText + ":", target)) {
    refusal = shownOutcome(ui, Ending::Refused, "could not query device", kErrorCaption);
    return {};
  }
  // A system without drive letters names the card by its device's path and
  // answers the lookup with that path: the card is opened as named, with no
  // volume to lock and no disk number (the device is claimed for the run
  // alone).
  const bool namedByPath = target.compare(0, 1, "/") == 0;
  const std::string volumePath = namedByPath ? std::string() : "\\\\.\\" + driveText + ":";
  std::int64_t diskNumber = -1;
  if (namedByPath) {
    // Nothing to look up.
  } else if (namesVolume(target)) {
    bool notReady = false;
    diskNumber = diskOfVolume(disk, volumePath, notReady);
    if (notReady) {
      refusal = shownOutcome(ui, Ending::Refused, noCardText(driveText), kErrorCaption);
      return {};
    }
  } else {
    diskNumber = diskNumberOf(target);
  }
  if (!namedByPath && diskNumber < 0) {
    refusal = shownOutcome(ui, Ending::Refused, kDiveNumber, kErrorCaption);
    return {};
  }
  NativeHandle handle = 0;
  if (!disk.openDevice(namedByPath ? target : physicalDriveOf(diskNumber), handle)) {
    refusal =
        shownOutcome(ui, Ending::Refused, "MMC drive open error", kErrorCaption, disk.lastError());
    return {};
  }
  CardDevice device(disk, handle);
  DriveGeometry geometry;
  if (!disk.driveGeometry(device.get(), geometry)) {
    refusal = shownOutcome(ui, Ending::Refused,
                           lastFailureIsNotReady(disk) ? noCardText(driveText)
                                                       : "IOCTL_DISK_GET_DRIVE_GEOMETRY failed",
                           kErrorCaption);
    device.release();
    return {};
  }
  if (!countsAsCard(disk, device.get(), geometry)) {
    refusal = shownOutcome(ui, Ending::Refused,
                           "your system does not recognize a removable media at >" + ui.driveText(),
                           kErrorCaption);
    device.release();
    return {};
  }
  // The card is written in 512-byte blocks: a card of larger sectors would
  // refuse the first block that is not a whole sector, part-way through.
  const std::string sectors = sectorSizeRefusal(geometry);
  if (!sectors.empty()) {
    refusal = shownOutcome(ui, Ending::Refused, sectors, kErrorCaption);
    device.release();
    return {};
  }
  return Card(std::move(device), driveText, volumePath, geometry, diskNumber);
}

Card cardOfDevice(DiskServices& disk, OperatorUi& ui, CardDevice device, Outcome& refusal) {
  DriveGeometry geometry;
  if (device && disk.driveGeometry(device.get(), geometry)) {
    const std::string sectors = sectorSizeRefusal(geometry);
    if (!sectors.empty()) {
      refusal = shownOutcome(ui, Ending::Refused, sectors, kErrorCaption);
      device.release();
      return {};
    }
  } else {
    geometry = DriveGeometry{};
  }
  return Card(std::move(device), {}, {}, geometry);
}

}  // namespace card
