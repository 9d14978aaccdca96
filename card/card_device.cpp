#include "card/card_device.h"

#include <algorithm>
#include <limits>
#include <thread>

#include "card/image_file.h"
#include "card/messages.h"

namespace card {
namespace {

constexpr const char* kDiveNumber = "Query did not return expected dive number";

template <typename Services>
bool lastFailureIsNotReady(Services& services) {
  return services.errorKind(services.lastError()) == ErrorKind::NotReady;
}

// Today's systems answer a card reader's letter with its volume, whose
// number says nothing about the disk. Ask the volume which disk it lives on,
// and accept only a disk that holds the whole volume and that both answers
// name alike; anything else is no disk number at all (-1). A reader with no
// card in it answers that it is not ready, and `notReady` tells so.
std::int64_t diskOfVolume(DriveLetters& letters, const std::string& volumePath, bool& notReady) {
  notReady = false;
  NativeHandle handle = 0;
  if (!letters.openVolume(volumePath, false, handle)) {
    notReady = lastFailureIsNotReady(letters);
    return -1;
  }
  const Volume volume(letters, handle);
  StorageDeviceNumber number;
  std::vector<DiskExtent> extents;
  if (!letters.storageDeviceNumber(volume.get(), number)) {
    notReady = lastFailureIsNotReady(letters);
    return -1;
  }
  if (number.deviceType != kFileDeviceDisk) return -1;
  if (!letters.volumeDiskExtents(volume.get(), extents)) {
    notReady = lastFailureIsNotReady(letters);
    return -1;
  }
  if (extents.size() != 1 || extents[0].diskNumber != number.deviceNumber) return -1;
  return number.deviceNumber;
}

// Whether a volume has any of its extents on disk `diskNumber`. A volume
// that cannot be asked (a drive with nothing in it, a network volume) lies
// on no disk the card writer knows of.
bool volumeLiesOnDisk(DriveLetters& letters, const std::string& volumePath,
                      std::int64_t diskNumber) {
  NativeHandle handle = 0;
  if (!letters.openVolume(volumePath, false, handle)) return false;
  const Volume volume(letters, handle);
  std::vector<DiskExtent> extents;
  if (!letters.volumeDiskExtents(volume.get(), extents)) return false;
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

bool VolumeLock::acquire(DriveLetters& letters, const std::vector<std::string>& volumePaths,
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
    if (!letters.openVolume(path, true, handle)) {
      error_ = letters.lastError();
      release();
      return false;
    }
    Volume volume(letters, handle);
    // Something may still be reading or flushing the card's files, which
    // keeps the volume busy for a while: only that is worth another attempt.
    for (;;) {
      if (letters.lockVolume(volume.get())) break;
      error_ = letters.lastError();
      const milliseconds elapsed = std::max(waited, std::chrono::duration_cast<milliseconds>(
                                                        std::chrono::steady_clock::now() - start));
      if (letters.errorKind(error_) != ErrorKind::Busy ||
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
    letters.dismountVolume(volume.get());
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
  if (device_ && letters_ != nullptr && disk_ >= 0 && letters_->listVolumes(all)) {
    for (const std::string& path : all)
      if (volumeLiesOnDisk(*letters_, path, disk_)) onCard.push_back(path);
  }
  if (onCard.empty() && !volumePath_.empty()) onCard.push_back(volumePath_);
  return onCard;
}

std::optional<Outcome> Card::lockVolumes(OperatorUi& ui, const LockPatience& patience,
                                         const std::string& status) {
  const std::vector<std::string> paths = volumesOnCard();
  if (paths.empty() || letters_ == nullptr) return std::nullopt;
  bool waited = false;
  const auto beforeWait = [&] {
    if (!waited) ui.showWaiting("waiting for the card at >" + name_ + " to be free");
    waited = true;
    ui.processEvents();
  };
  const bool locked = volume_.acquire(*letters_, paths, patience, beforeWait);
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

namespace {

// The card behind a drive letter: the letter's answer names its disk, or a
// volume that lies on one disk. Empty, with the refusal shown, otherwise.
Card openByLetter(DriveLetters& letters, CardDevices& devices, OperatorUi& ui,
                  const std::string& driveText, Outcome& refusal) {
  std::string target;
  if (driveText.size() > kMaxDriveText || !letters.queryDosDevice(driveText + ":", target)) {
    const std::uint32_t error = driveText.size() > kMaxDriveText ? 0 : letters.lastError();
    refusal = shownOutcome(ui, Ending::Refused, "could not query device", kErrorCaption, error);
    return {};
  }
  const std::string volumePath = "\\\\.\\" + driveText + ":";
  std::int64_t diskNumber = -1;
  if (namesVolume(target)) {
    bool notReady = false;
    diskNumber = diskOfVolume(letters, volumePath, notReady);
    if (notReady) {
      refusal = shownOutcome(ui, Ending::Refused, noCardText(driveText), kErrorCaption);
      return {};
    }
  } else {
    diskNumber = diskNumberOf(target);
  }
  if (diskNumber < 0) {
    refusal = shownOutcome(ui, Ending::Refused, kDiveNumber, kErrorCaption);
    return {};
  }
  NativeHandle handle = 0;
  if (!devices.openDevice(physicalDriveOf(diskNumber), handle)) {
    refusal = shownOutcome(ui, Ending::Refused, "MMC drive open error", kErrorCaption,
                           devices.lastError());
    return {};
  }
  return Card(CardDevice(devices, handle), driveText, volumePath, DriveGeometry{}, diskNumber,
              &letters);
}

// A card named by its device's own path: opened as named, with no volume
// to lock and no disk number (the device is claimed for the run alone).
Card openByPath(DevicePaths& paths, CardDevices& devices, OperatorUi& ui, const std::string& name,
                Outcome& refusal) {
  std::string path;
  if (!paths.findDevice(name, path)) {
    refusal = shownOutcome(ui, Ending::Refused, "could not query device", kErrorCaption,
                           paths.lastError());
    return {};
  }
  NativeHandle handle = 0;
  if (!devices.openDevice(path, handle)) {
    refusal = shownOutcome(ui, Ending::Refused, "MMC drive open error", kErrorCaption,
                           devices.lastError());
    return {};
  }
  return Card(CardDevice(devices, handle), name, {}, DriveGeometry{});
}

}  // namespace

bool countsAsCard(CardDevices& devices, NativeHandle device, const DriveGeometry& geometry) {
  if (devices.systemDisk(device)) return false;
  if (geometry.mediaType == kRemovableMedia) return true;
  const std::uint32_t bus = devices.busType(device);
  return bus == kBusTypeSd || bus == kBusTypeMmc;
}

Card openCard(DiskServices& disk, OperatorUi& ui, Outcome& refusal) {
  const std::string driveText = ui.driveText();
  CardDevices& devices = disk.devices();
  Card card;
  if (DriveLetters* letters = disk.driveLetters()) {
    card = openByLetter(*letters, devices, ui, driveText, refusal);
  } else if (DevicePaths* paths = disk.devicePaths()) {
    card = openByPath(*paths, devices, ui, driveText, refusal);
  } else {
    refusal = shownOutcome(ui, Ending::Refused, "could not query device", kErrorCaption);
  }
  if (!card) return card;
  DriveGeometry geometry;
  if (!devices.driveGeometry(card.device(), geometry)) {
    refusal = shownOutcome(ui, Ending::Refused,
                           lastFailureIsNotReady(devices) ? noCardText(driveText)
                                                          : "IOCTL_DISK_GET_DRIVE_GEOMETRY failed",
                           kErrorCaption, devices.lastError());
    card.closeUnused();
    return {};
  }
  if (!countsAsCard(devices, card.device(), geometry)) {
    refusal = shownOutcome(ui, Ending::Refused,
                           "your system does not recognize a removable media at >" + ui.driveText(),
                           kErrorCaption);
    card.closeUnused();
    return {};
  }
  // The card is written in 512-byte blocks: a card of larger sectors would
  // refuse the first block that is not a whole sector, part-way through.
  const std::string sectors = sectorSizeRefusal(geometry);
  if (!sectors.empty()) {
    refusal = shownOutcome(ui, Ending::Refused, sectors, kErrorCaption);
    card.closeUnused();
    return {};
  }
  card.setGeometry(geometry);
  return card;
}

Card cardOfDevice(CardDevices& devices, OperatorUi& ui, CardDevice device, Outcome& refusal) {
  DriveGeometry geometry;
  if (device && devices.driveGeometry(device.get(), geometry)) {
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
