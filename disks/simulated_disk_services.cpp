// The simulated services' drive letters and volumes, and what they share:
// the journal, the declared drives, the error codes' meaning.
#include "disks/simulated_disk_services.h"

#include <cstdio>
#include <cstdlib>

#include "disks/image_files.h"
#include "disks/simulated_error_codes.h"

namespace disks {

using namespace simulated;

SimulatedDiskServices::~SimulatedDiskServices() {
  for (auto& entry : devices_)
    if (entry.second.file != nullptr) std::fclose(entry.second.file);
}

void SimulatedDiskServices::record(const std::string& entry) {
  if (journal_ != nullptr) journal_->push_back(entry);
}

void SimulatedDiskServices::addDrive(const std::string& driveText, SimulatedDrive drive) {
  SimulatedDrive& declared = drives_[driveText];
  declared = std::move(drive);
  changingReads_.erase(&declared);
}

std::string SimulatedDiskServices::devicePathOf(const SimulatedDrive& drive) const {
  if (!drive.devicePath.empty()) return drive.devicePath;
  switch (drive.kind) {
    case SimulatedDrive::Kind::CdRom:
      return "\\Device\\CdRom0";
    case SimulatedDrive::Kind::VolumeCard:
      return "\\Device\\HarddiskVolume" + drive.volumeNumber;
    default:
      return "\\Device\\Harddisk" + drive.diskNumber + "\\DR" + drive.diskNumber;
  }
}

bool SimulatedDiskServices::queryDosDevice(const std::string& dosName, std::string& target) {
  record("query " + dosName);
  if (dosName.empty() || dosName.back() != ':') return false;
  const auto found = drives_.find(dosName.substr(0, dosName.size() - 1));
  if (found == drives_.end()) {
    lastError_ = kErrorFileNotFound;
    return false;
  }
  target = devicePathOf(found->second);
  return true;
}

std::int64_t SimulatedDiskServices::volumeDiskNumber(const SimulatedDrive& drive) const {
  return drive.volumeDeviceNumber >= 0 ? drive.volumeDeviceNumber
                                       : std::strtoll(drive.diskNumber.c_str(), nullptr, 10);
}

int SimulatedDiskServices::lockedVolumes() const {
  int locked = 0;
  for (const auto& entry : volumes_) locked += entry.second.locked ? 1 : 0;
  return locked;
}

int SimulatedDiskServices::lockAttempts(const std::string& path) const {
  const auto found = lockAttempts_.find(path);
  return found == lockAttempts_.end() ? 0 : found->second;
}

int SimulatedDiskServices::unlocks(const std::string& path) const {
  const auto found = unlocks_.find(path);
  return found == unlocks_.end() ? 0 : found->second;
}

bool SimulatedDiskServices::openVolume(const std::string& path, bool exclusive,
                                       NativeHandle& volume) {
  record("open volume " + path + (exclusive ? " exclusive" : " query"));
  static const std::string kPrefix = "\\\\.\\";
  const bool wellFormed = path.size() > kPrefix.size() + 1 &&
                          path.compare(0, kPrefix.size(), kPrefix) == 0 && path.back() == ':';
  const auto found =
      wellFormed ? drives_.find(path.substr(kPrefix.size(), path.size() - kPrefix.size() - 1))
                 : drives_.end();
  if (found == drives_.end() || found->second.volumeOpenFails) {
    lastError_ = kErrorFileNotFound;
    return false;
  }
  int& refusals = found->second.volumeOpenRefusals;
  if (exclusive && refusals != 0) {
    if (refusals > 0) --refusals;
    lastError_ = kErrorSharingViolation;
    return false;
  }
  volume = nextHandle_++;
  volumes_[volume] = OpenVolume{&found->second, path, exclusive, false};
  return true;
}

bool SimulatedDiskServices::storageDeviceNumber(NativeHandle volume, StorageDeviceNumber& number) {
  record("device number");
  const auto found = volumes_.find(volume);
  if (found == volumes_.end() || found->second.drive->deviceNumberFails) {
    lastError_ = kErrorInvalidFunction;
    return false;
  }
  if (found->second.drive->notReady) {
    lastError_ = kErrorNotReady;
    return false;
  }
  const SimulatedDrive& drive = *found->second.drive;
  number.deviceType =
      drive.kind == SimulatedDrive::Kind::CdRom ? kFileDeviceCdRom : drive.volumeDeviceType;
  number.deviceNumber = static_cast<std::uint32_t>(volumeDiskNumber(drive));
  number.partitionNumber = 1;
  return true;
}

bool SimulatedDiskServices::volumeDiskExtents(NativeHandle volume,
                                              std::vector<DiskExtent>& extents) {
  record("extents");
  const auto found = volumes_.find(volume);
  // A CD-ROM's volume lies on no disk.
  if (found == volumes_.end() || found->second.drive->extentsFails ||
      found->second.drive->kind == SimulatedDrive::Kind::CdRom) {
    lastError_ = kErrorInvalidFunction;
    return false;
  }
  const SimulatedDrive& drive = *found->second.drive;
  if (drive.notReady) {
    lastError_ = kErrorNotReady;
    return false;
  }
  extents.clear();
  std::vector<std::uint32_t> disks = drive.volumeExtents;
  if (disks.empty()) disks.push_back(static_cast<std::uint32_t>(volumeDiskNumber(drive)));
  for (std::uint32_t disk : disks)
    extents.push_back(DiskExtent{disk, 2048 * 512, drive.blocks * 512});
  return true;
}

bool SimulatedDiskServices::lockVolume(NativeHandle volume) {
  record("lock volume");
  const auto found = volumes_.find(volume);
  if (found != volumes_.end()) ++lockAttempts_[found->second.path];
  if (found == volumes_.end() || !found->second.exclusive) {
    lastError_ = kErrorAccessDenied;
    return false;
  }
  if (found->second.drive->pageFile) {
    lastError_ = found->second.drive->lockError;
    return false;
  }
  int& refusals = found->second.drive->lockRefusals;
  if (refusals != 0) {
    if (refusals > 0) --refusals;
    lastError_ = found->second.drive->lockError;
    return false;
  }
  found->second.locked = true;
  return true;
}

bool SimulatedDiskServices::holdsPageFile(NativeHandle volume) {
  const auto found = volumes_.find(volume);
  return found != volumes_.end() && found->second.drive->pageFile;
}

bool SimulatedDiskServices::dismountVolume(NativeHandle volume) {
  record("dismount volume");
  const auto found = volumes_.find(volume);
  return found != volumes_.end() && found->second.locked;
}

bool SimulatedDiskServices::unlockVolume(NativeHandle volume) {
  record("unlock volume");
  const auto found = volumes_.find(volume);
  if (found != volumes_.end()) ++unlocks_[found->second.path];
  if (found == volumes_.end() || !found->second.locked) return false;
  found->second.locked = false;
  return true;
}

void SimulatedDiskServices::closeVolume(NativeHandle volume) {
  record("close volume");
  volumes_.erase(volume);
}

bool SimulatedDiskServices::listVolumes(std::vector<std::string>& paths) {
  record("list volumes");
  paths.clear();
  for (const auto& entry : drives_) paths.push_back("\\\\.\\" + entry.first + ":");
  return true;
}

// The codes a Windows system answers with.
ErrorKind SimulatedDiskServices::errorKind(std::uint32_t code) {
  switch (code) {
    case kErrorAccessDenied:
    case kErrorLockViolation:
      return ErrorKind::Busy;
    case kErrorSharingViolation:
      return ErrorKind::InUse;
    case kErrorNotReady:
    case kErrorNoMediaInDrive:
      return ErrorKind::NotReady;
    // A reader that rejects a command it does not know answers the first.
    case kErrorInvalidFunction:
    case kErrorNotSupported:
      return ErrorKind::Unsupported;
    default:
      return ErrorKind::Other;
  }
}

}  // namespace disks
