#include "card/card_device.h"

#include <algorithm>
#include <limits>
#include <thread>

#include "card/image_file.h"
#include "card/messages.h"

namespace card {
namespace {

constexpr const char* kDiveNumber = "Query did not return expected dive number";
// A stop while the card's disk was waited for: the card was never opened.
constexpr const char* kStoppedUnopened = "stopped at block 0, nothing written";

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

// Another try after a busy answer, until the patience is spent or the
// operator asks to stop. The time waited is the pauses' or the clock's,
// whichever is more: a test's clock makes no time pass, slow attempts make
// more.
class Waiting {
 public:
  Waiting(const LockPatience& patience, const std::function<bool()>& beforeWait)
      : patience_(patience), beforeWait_(beforeWait), start_(std::chrono::steady_clock::now()) {}

  // True, after one pause, when another try is worth it.
  bool again() {
    using std::chrono::milliseconds;
    const milliseconds elapsed = std::max(waited_, std::chrono::duration_cast<milliseconds>(
                                                       std::chrono::steady_clock::now() - start_));
    if (elapsed + patience_.pause > patience_.patience) return false;
    if (beforeWait_ && !beforeWait_()) {
      stopped_ = true;
      return false;
    }
    if (patience_.wait)
      patience_.wait(patience_.pause);
    else
      std::this_thread::sleep_for(patience_.pause);
    waited_ += patience_.pause;
    return true;
  }
  bool stopped() const { return stopped_; }

 private:
  const LockPatience& patience_;
  const std::function<bool()>& beforeWait_;
  std::chrono::steady_clock::time_point start_;
  std::chrono::milliseconds waited_{0};
  bool stopped_ = false;
};

// What the waiting says: the status once, then events between tries; false
// when the operator asked to stop.
std::function<bool()> waitingFor(OperatorUi& ui, const std::string& name, bool& waited) {
  return [&ui, name, &waited] {
    if (!waited) ui.showWaiting("waiting for the card at >" + name + " to be free");
    waited = true;
    ui.processEvents();
    return !ui.stopRequested();
  };
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
                         const LockPatience& patience, const std::function<bool()>& beforeWait) {
  release();
  error_ = 0;
  stopped_ = false;
  pageFile_ = false;
  Waiting waiting(patience, beforeWait);
  const auto refused = [&] {
    error_ = letters.lastError();
    const ErrorKind kind = letters.errorKind(error_);
    return kind != ErrorKind::Busy && kind != ErrorKind::InUse;
  };
  for (const std::string& path : volumePaths) {
    NativeHandle handle = 0;
    // Explorer or the virus scanner may hold the volume in a way that
    // excludes a handle that can lock it: the same patience as the lock's.
    while (!letters.openVolume(path, true, handle)) {
      error_ = letters.lastError();
      if (letters.errorKind(error_) != ErrorKind::InUse || !waiting.again()) {
        stopped_ = waiting.stopped();
        release();
        return false;
      }
    }
    Volume volume(letters, handle);
    // Something may still be reading or flushing the card's files, which
    // keeps the volume busy for a while: only that is worth another attempt.
    // A page file is never let go: the volume is the system's own.
    while (!letters.lockVolume(volume.get())) {
      // The lock's answer first: the page-file question has answers of its own.
      const bool refusedOutright = refused();
      pageFile_ = letters.holdsPageFile(volume.get());
      if (refusedOutright || pageFile_ || !waiting.again()) {
        stopped_ = waiting.stopped();
        volume.release();
        release();
        return false;
      }
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
                                         const std::string& status, const std::string& stopText) {
  const std::vector<std::string> paths = volumesOnCard();
  if (paths.empty() || letters_ == nullptr) return std::nullopt;
  bool waited = false;
  const bool locked = volume_.acquire(*letters_, paths, patience, waitingFor(ui, name_, waited));
  if (waited && !status.empty()) ui.setStatus(status);
  if (locked) return std::nullopt;
  if (volume_.stopped())
    return shownOutcome(ui, Ending::Stopped, stopText, kCardErrorCaption, 0, 0);
  if (volume_.pageFile())
    return shownOutcome(ui, Ending::Refused,
                        "your system does not recognize a removable media at >" + name_,
                        kErrorCaption, volume_.error());
  Outcome refusal = shownOutcome(ui, Ending::Refused,
                                 "could not lock the card at >" + name_ +
                                     ", close every program and window that uses it and try again",
                                 kErrorCaption, volume_.error());
  refusal.cardBusy = true;
  return refusal;
}

bool Card::eject(OperatorUi& ui, const LockPatience& patience) {
  if (!device_) return false;
  // A few seconds: a reader busy with the card's last writes lets it go
  // after a moment, and one that cannot eject at all should not hold the
  // closing message for long.
  LockPatience few = patience;
  few.patience = std::min(patience.patience, std::chrono::milliseconds(3000));
  const std::function<bool()> beforeWait = [&ui] {
    ui.processEvents();
    return true;
  };
  Waiting waiting(few, beforeWait);
  CardDevices& devices = device_.services();
  while (!devices.ejectMedia(device_.get())) {
    // A reader, or a system, with no eject at all refuses every time.
    if (devices.errorKind(devices.lastError()) == ErrorKind::Unsupported) return false;
    if (!waiting.again()) return false;
  }
  ejected_ = true;
  return true;
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

enum class LetterAnswer { NoAnswer, NotReady, NoDisk, Disk };

// The disk behind a drive letter: the letter's answer names its disk, or a
// volume that lies on one disk.
LetterAnswer diskOfLetter(DriveLetters& letters, const std::string& driveText,
                          std::int64_t& diskNumber) {
  diskNumber = -1;
  std::string target;
  if (driveText.size() > kMaxDriveText || !letters.queryDosDevice(driveText + ":", target))
    return LetterAnswer::NoAnswer;
  if (namesVolume(target)) {
    bool notReady = false;
    diskNumber = diskOfVolume(letters, "\\\\.\\" + driveText + ":", notReady);
    if (notReady) return LetterAnswer::NotReady;
  } else {
    diskNumber = diskNumberOf(target);
  }
  return diskNumber < 0 ? LetterAnswer::NoDisk : LetterAnswer::Disk;
}

// The card's disk, for the run alone where it can be had: another program
// that holds it open for writing (a second run on the same card, a disk
// tool) is waited for, and only then is the disk opened beside it.
bool openDiskOfCard(CardDevices& devices, OperatorUi& ui, const std::string& driveText,
                    const std::string& path, const LockPatience& patience, NativeHandle& handle,
                    bool& stopped) {
  if (devices.openDevice(path, handle)) return true;
  if (devices.errorKind(devices.lastError()) != ErrorKind::InUse) return false;
  bool waited = false;
  const std::function<bool()> beforeWait = waitingFor(ui, driveText, waited);
  Waiting waiting(patience, beforeWait);
  while (waiting.again()) {
    if (devices.openDevice(path, handle)) return true;
    if (devices.errorKind(devices.lastError()) != ErrorKind::InUse) return false;
  }
  stopped = waiting.stopped();
  return !stopped && devices.openDeviceShared(path, handle);
}

// The card behind a drive letter. Empty, with the refusal shown, when the
// letter leads to no single disk or the disk does not open.
Card openByLetter(DriveLetters& letters, CardDevices& devices, OperatorUi& ui,
                  const std::string& driveText, Outcome& refusal, const LockPatience& patience) {
  std::int64_t diskNumber = -1;
  switch (diskOfLetter(letters, driveText, diskNumber)) {
    case LetterAnswer::NoAnswer:
      refusal = shownOutcome(ui, Ending::Refused, "could not query device", kErrorCaption,
                             driveText.size() > kMaxDriveText ? 0 : letters.lastError());
      return {};
    case LetterAnswer::NotReady:
      refusal = shownOutcome(ui, Ending::Refused, noCardText(driveText), kErrorCaption);
      return {};
    case LetterAnswer::NoDisk:
      refusal = shownOutcome(ui, Ending::Refused, kDiveNumber, kErrorCaption);
      return {};
    case LetterAnswer::Disk:
      break;
  }
  NativeHandle handle = 0;
  bool stopped = false;
  if (!openDiskOfCard(devices, ui, driveText, physicalDriveOf(diskNumber), patience, handle,
                      stopped)) {
    refusal = stopped ? shownOutcome(ui, Ending::Stopped, kStoppedUnopened, kCardErrorCaption, 0, 0)
                      : shownOutcome(ui, Ending::Refused, "MMC drive open error", kErrorCaption,
                                     devices.lastError());
    return {};
  }
  return Card(CardDevice(devices, handle), driveText, "\\\\.\\" + driveText + ":", DriveGeometry{},
              diskNumber, &letters);
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

DiskVerdict judgeDisk(const DiskFacts& facts) {
  if (facts.systemDisk) return DiskVerdict::SystemDisk;
  if (facts.removableMedia) return DiskVerdict::Card;
  if (facts.bus != kBusTypeSd && facts.bus != kBusTypeMmc) return DiskVerdict::NotRemovable;
  const bool removable = facts.removal == RemovalPolicy::OrderlyRemoval ||
                         facts.removal == RemovalPolicy::SurpriseRemoval ||
                         facts.removal == RemovalPolicy::NotKept;
  return removable && !facts.bootPartitions ? DiskVerdict::Card : DiskVerdict::BuiltIn;
}

DiskFacts diskFacts(CardDevices& devices, NativeHandle device, const DriveGeometry& geometry) {
  DiskFacts facts;
  facts.removableMedia = geometry.mediaType == kRemovableMedia;
  facts.bus = devices.busType(device);
  facts.removal = devices.removalPolicy(device);
  facts.bootPartitions = devices.holdsBootPartitions(device);
  facts.systemDisk = devices.systemDisk(device);
  return facts;
}

LetterDisk examineLetter(DriveLetters& letters, CardDevices& devices,
                         const std::string& driveText) {
  LetterDisk found;
  std::int64_t disk = -1;
  const LetterAnswer answer = diskOfLetter(letters, driveText, disk);
  found.noCard = answer == LetterAnswer::NotReady;
  if (answer != LetterAnswer::Disk) return found;
  found.disk = disk;
  NativeHandle handle = 0;
  if (!letters.openDiskForQueries(physicalDriveOf(disk), handle)) return found;
  const CardDevice device(devices, handle);
  DriveGeometry geometry;
  if (!devices.driveGeometry(handle, geometry)) {
    found.noCard = lastFailureIsNotReady(devices);
    return found;
  }
  found.described = true;
  std::int64_t bytes = 0;
  if (devices.deviceLength(handle, bytes)) found.bytes = bytes;
  found.verdict = judgeDisk(diskFacts(devices, handle, geometry));
  return found;
}

Card openCard(DiskServices& disk, OperatorUi& ui, Outcome& refusal, const LockPatience& patience) {
  const std::string driveText = ui.driveText();
  CardDevices& devices = disk.devices();
  Card card;
  if (DriveLetters* letters = disk.driveLetters()) {
    card = openByLetter(*letters, devices, ui, driveText, refusal, patience);
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
