#include "disks/simulated_disk_services.h"

#include <cstdlib>
#include <cstring>

#include "disks/image_files.h"

namespace disks {
namespace {

constexpr std::uint32_t kErrorFileNotFound = 2;
constexpr std::uint32_t kErrorInvalidFunction = 1;
constexpr std::uint32_t kErrorInvalidHandle = 6;
constexpr std::uint32_t kErrorNotReady = 21;
constexpr std::uint32_t kErrorNotSupported = 50;
constexpr std::uint32_t kErrorReadFault = 30;
constexpr std::uint32_t kErrorWriteProtect = 19;
constexpr std::uint32_t kErrorNoSystemResources = 1450;
constexpr std::uint32_t kErrorSharingViolation = 32;

}  // namespace

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

SimulatedDrive* SimulatedDiskServices::diskAt(const std::string& path) {
  for (auto& entry : drives_) {
    SimulatedDrive& drive = entry.second;
    if (drive.kind == SimulatedDrive::Kind::CdRom) continue;
    if (path == "\\\\.\\PHYSICALDRIVE" + drive.diskNumber) return &drive;
  }
  return nullptr;
}

bool SimulatedDiskServices::openDisk(SimulatedDrive& drive, NativeHandle& device) {
  std::FILE* file = drive.openFails ? nullptr : openUtf8(drive.file, "r+b");
  if (file == nullptr && !drive.openFails) file = openUtf8(drive.file, "w+b");
  if (file == nullptr) {
    lastError_ = kErrorFileNotFound;
    return false;
  }
  device = nextHandle_++;
  devices_[device] = OpenDevice{&drive, file, 0};
  return true;
}

bool SimulatedDiskServices::openDevice(const std::string& path, NativeHandle& device) {
  record("open device " + path);
  SimulatedDrive* drive = diskAt(path);
  if (drive == nullptr) {
    lastError_ = kErrorFileNotFound;
    return false;
  }
  if (drive->exclusiveOpenRefusals != 0) {
    if (drive->exclusiveOpenRefusals > 0) --drive->exclusiveOpenRefusals;
    lastError_ = kErrorSharingViolation;
    return false;
  }
  return openDisk(*drive, device);
}

bool SimulatedDiskServices::openDeviceShared(const std::string& path, NativeHandle& device) {
  record("open device shared " + path);
  SimulatedDrive* drive = diskAt(path);
  if (drive == nullptr) {
    lastError_ = kErrorFileNotFound;
    return false;
  }
  return openDisk(*drive, device);
}

bool SimulatedDiskServices::openDiskForQueries(const std::string& path, NativeHandle& disk) {
  record("open disk " + path);
  SimulatedDrive* drive = diskAt(path);
  if (drive == nullptr || drive->openFails) {
    lastError_ = kErrorFileNotFound;
    return false;
  }
  // Nothing of its contents is read through it.
  disk = nextHandle_++;
  devices_[disk] = OpenDevice{drive, nullptr, 0};
  return true;
}

bool SimulatedDiskServices::driveGeometry(NativeHandle device, DriveGeometry& geometry) {
  record("geometry");
  const auto found = devices_.find(device);
  if (found == devices_.end() || found->second.drive->geometryFails) {
    lastError_ = kErrorInvalidFunction;
    return false;
  }
  const SimulatedDrive& drive = *found->second.drive;
  if (drive.notReady) {
    lastError_ = kErrorNotReady;
    return false;
  }
  geometry = DriveGeometry{};
  geometry.mediaType =
      drive.kind == SimulatedDrive::Kind::FixedDisk ? kFixedMedia : kRemovableMedia;
  // Whole cylinders only, as real geometry rounds down.
  geometry.cylinders = drive.blocks / 32;
  geometry.tracksPerCylinder = 1;
  geometry.sectorsPerTrack = 32;
  geometry.bytesPerSector = drive.sectorBytes;
  return true;
}

bool SimulatedDiskServices::tooLarge(const SimulatedDrive& drive, std::size_t size) {
  if (drive.largestTransfer <= 0 || std::int64_t(size) <= drive.largestTransfer * 512) return false;
  lastError_ = kErrorNoSystemResources;
  return true;
}

bool SimulatedDiskServices::writeDevice(NativeHandle device, const void* data, std::size_t size) {
  const auto found = devices_.find(device);
  if (found == devices_.end()) {
    lastError_ = kErrorInvalidHandle;
    return false;
  }
  OpenDevice& open = found->second;
  record("write " + std::to_string(open.position / 512) + " +" + std::to_string(size));
  if (tooLarge(*open.drive, size)) return false;
  const std::int64_t end = open.position + static_cast<std::int64_t>(size);
  if (end > open.drive->blocks * 512) {
    lastError_ = 27;  // the sector is not found: past the card's end
    return false;
  }
  if (open.drive->writeProtected) {
    lastError_ = kErrorWriteProtect;
    return false;
  }
  const std::int64_t refused = open.drive->refuseBlock;
  if (refused >= 0 && refused * 512 < open.position + static_cast<std::int64_t>(size) &&
      (refused + 1) * 512 > open.position) {
    lastError_ = open.drive->refuseError;
    return false;
  }
  if (!seekTo(open.file, open.position) || std::fwrite(data, 1, size, open.file) != size ||
      std::fflush(open.file) != 0) {
    lastError_ = kErrorInvalidFunction;
    return false;
  }
  open.position += static_cast<std::int64_t>(size);
  return true;
}

void SimulatedDiskServices::closeDevice(NativeHandle device) {
  record("close device");
  const auto found = devices_.find(device);
  if (found == devices_.end()) return;
  if (found->second.file != nullptr) std::fclose(found->second.file);
  devices_.erase(found);
}

bool SimulatedDiskServices::seekDevice(NativeHandle device, std::int64_t offset) {
  record("seek " + std::to_string(offset));
  const auto found = devices_.find(device);
  if (found == devices_.end() || offset < 0) {
    lastError_ = kErrorInvalidHandle;
    return false;
  }
  found->second.position = offset;
  return true;
}

bool SimulatedDiskServices::readDevice(NativeHandle device, void* data, std::size_t size) {
  const auto found = devices_.find(device);
  if (found == devices_.end()) {
    lastError_ = kErrorInvalidHandle;
    return false;
  }
  OpenDevice& open = found->second;
  record("read " + std::to_string(open.position / 512) + " +" + std::to_string(size));
  std::memset(data, 0, size);
  if (tooLarge(*open.drive, size)) return false;
  if (!seekTo(open.file, open.position)) {
    lastError_ = kErrorInvalidFunction;
    return false;
  }
  const auto covers = [&](std::int64_t block) {
    return block >= 0 && block * 512 >= open.position &&
           block * 512 < open.position + static_cast<std::int64_t>(size);
  };
  if (open.drive->readFails || covers(open.drive->unreadableBlock)) {
    lastError_ = open.drive->refuseError;
    return false;
  }
  std::fread(data, 1, size, open.file);
  const std::int64_t corrupt = open.drive->corruptBlock;
  if (covers(corrupt))
    static_cast<unsigned char*>(data)[corrupt * 512 - open.position + 17] ^= 0x40;
  // A card that does not hold still: each read after the first finds the
  // block otherwise.
  const std::int64_t changing = open.drive->changingBlock;
  if (covers(changing)) {
    const int reads = ++changingReads_[open.drive];
    if (reads > 1)
      static_cast<unsigned char*>(data)[changing * 512 - open.position + 100] ^=
          static_cast<unsigned char>(reads);
  }
  open.position += static_cast<std::int64_t>(size);
  return true;
}

bool SimulatedDiskServices::deviceLength(NativeHandle device, std::int64_t& bytes) {
  record("length");
  const auto found = devices_.find(device);
  if (found == devices_.end() || found->second.drive->lengthFails) {
    lastError_ = kErrorInvalidFunction;
    return false;
  }
  bytes = found->second.drive->blocks * 512;
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
    lastError_ = 5;  // access denied
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

bool SimulatedDiskServices::openImage(const std::string& path, NativeHandle& file) {
  record("open image");
  return images_.open(path, file);
}

std::size_t SimulatedDiskServices::readImage(NativeHandle file, void* data, std::size_t size) {
  failedReads_.erase(file);
  const std::int64_t position = images_.position(file);
  if (failImageReadAt_ < 0 || position < 0 ||
      position + static_cast<std::int64_t>(size) <= failImageReadAt_)
    return images_.read(file, data, size);
  // The bytes before the bad one arrive, then the read fails.
  const std::size_t before =
      position < failImageReadAt_ ? static_cast<std::size_t>(failImageReadAt_ - position) : 0;
  const std::size_t arrived = before > 0 ? images_.read(file, data, before) : 0;
  failedReads_.insert(file);
  lastError_ = kErrorReadFault;
  return arrived;
}

bool SimulatedDiskServices::imageReadFailed(NativeHandle file) {
  return failedReads_.count(file) != 0 || images_.failed(file);
}

bool SimulatedDiskServices::seekImage(NativeHandle file, std::int64_t offset) {
  return images_.seek(file, offset);
}

void SimulatedDiskServices::closeImage(NativeHandle file) {
  record("close image");
  failedReads_.erase(file);
  images_.close(file);
}

bool SimulatedDiskServices::createBackup(const std::string& targetPath, std::string& temporaryPath,
                                         NativeHandle& file) {
  record("create target");
  if (!backups_.create(targetPath, temporaryPath, file)) {
    lastError_ = backups_.error();
    return false;
  }
  backupLengths_[file] = 0;
  return true;
}

bool SimulatedDiskServices::writeBackup(NativeHandle file, const void* data, std::size_t size) {
  const auto length = backupLengths_.find(file);
  if (backupWriteError_ != 0 && length != backupLengths_.end() &&
      failBackupByte_ >= length->second &&
      failBackupByte_ < length->second + static_cast<std::int64_t>(size)) {
    record("write target refused");
    lastError_ = backupWriteError_;
    return false;
  }
  if (!backups_.write(file, data, size)) {
    lastError_ = backups_.error();
    return false;
  }
  if (length != backupLengths_.end()) length->second += static_cast<std::int64_t>(size);
  return true;
}

bool SimulatedDiskServices::finishBackup(NativeHandle file) {
  record("finish target");
  backupLengths_.erase(file);
  const bool finished = backups_.finish(file);
  if (!finished) lastError_ = backups_.error();
  if (finished && backupFlushError_ != 0) lastError_ = backupFlushError_;
  return finished && backupFlushError_ == 0;
}

void SimulatedDiskServices::closeBackup(NativeHandle file) {
  record("close target");
  backupLengths_.erase(file);
  backups_.close(file);
}

bool SimulatedDiskServices::placeBackup(const std::string& temporaryPath,
                                        const std::string& targetPath) {
  record("place target");
  if (backupPlaceError_ != 0) {
    lastError_ = backupPlaceError_;
    return false;
  }
  if (!backups_.place(temporaryPath, targetPath)) {
    lastError_ = backups_.error();
    return false;
  }
  return true;
}

void SimulatedDiskServices::removeBackup(const std::string& temporaryPath) {
  record("remove target");
  backups_.remove(temporaryPath);
}

void* SimulatedDiskServices::allocateBuffer(std::size_t size) {
  record("allocate buffer");
  return failAllocation_ ? nullptr : buffers_.allocate(size);
}

void SimulatedDiskServices::freeBuffer(void* buffer) {
  record("free buffer");
  buffers_.free(buffer);
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
    case 5:   // access denied
    case 33:  // lock violation
      return ErrorKind::Busy;
    case kErrorSharingViolation:
      return ErrorKind::InUse;
    case kErrorNotReady:
    case 1112:  // no media in the drive
      return ErrorKind::NotReady;
    case kErrorNotSupported:
      return ErrorKind::Unsupported;
    default:
      return ErrorKind::Other;
  }
}

bool SimulatedDiskServices::flushDevice(NativeHandle device) {
  record("flush");
  const auto found = devices_.find(device);
  if (found == devices_.end()) {
    lastError_ = kErrorInvalidHandle;
    return false;
  }
  if (found->second.drive->flushError != 0) {
    lastError_ = found->second.drive->flushError;
    return false;
  }
  return true;
}

void SimulatedDiskServices::updateLayout(NativeHandle device) {
  if (devices_.count(device) != 0) record("update layout");
}

bool SimulatedDiskServices::fileOnDevice(NativeHandle device, const std::string& path) {
  const auto found = devices_.find(device);
  if (found == devices_.end()) return false;
  // Every letter on the card's disk is a volume of the card.
  const std::string& disk = found->second.drive->diskNumber;
  for (const auto& entry : drives_) {
    const SimulatedDrive& drive = entry.second;
    if (drive.diskNumber == disk && !drive.folder.empty() &&
        path.compare(0, drive.folder.size(), drive.folder) == 0)
      return true;
  }
  return false;
}

}  // namespace disks

namespace disks {

bool SimulatedDiskServices::writeProtected(NativeHandle device) {
  record("writable?");
  const auto found = devices_.find(device);
  return found != devices_.end() && found->second.drive->writeProtected;
}

std::uint32_t SimulatedDiskServices::busType(NativeHandle device) {
  const auto found = devices_.find(device);
  return found == devices_.end() ? card::kBusTypeUnknown : found->second.drive->busType;
}

bool SimulatedDiskServices::systemDisk(NativeHandle device) {
  const auto found = devices_.find(device);
  return found != devices_.end() &&
         (found->second.drive->systemDisk || found->second.drive->pageFile);
}

card::RemovalPolicy SimulatedDiskServices::removalPolicy(NativeHandle device) {
  const auto found = devices_.find(device);
  return found == devices_.end() ? card::RemovalPolicy::Unknown
                                 : found->second.drive->removalPolicy;
}

bool SimulatedDiskServices::holdsBootPartitions(NativeHandle device) {
  const auto found = devices_.find(device);
  return found != devices_.end() && found->second.drive->bootPartitions;
}

bool SimulatedDiskServices::ejectMedia(NativeHandle device) {
  const auto found = devices_.find(device);
  if (found == devices_.end()) {
    lastError_ = kErrorInvalidHandle;
    return false;
  }
  record("eject");
  if (found->second.drive->cannotEject) {
    lastError_ = kErrorNotSupported;
    return false;
  }
  int& refusals = found->second.drive->ejectRefusals;
  if (refusals != 0) {
    if (refusals > 0) --refusals;
    lastError_ = kErrorInvalidFunction;
    return false;
  }
  ++ejects_;
  return true;
}

}  // namespace disks
