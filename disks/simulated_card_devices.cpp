// The simulated card devices: a card's disk is a file, read and written as
// its sectors would be, with the refusals a real reader can answer.
#include <cstdio>
#include <cstring>

#include "disks/image_files.h"
#include "disks/simulated_disk_services.h"
#include "disks/simulated_error_codes.h"

namespace disks {

using namespace simulated;

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
    lastError_ = kErrorSectorNotFound;  // past the card's end
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
  SimulatedDrive& drive = *found->second.drive;
  if (drive.cannotEject) {
    lastError_ = kErrorNotSupported;
    return false;
  }
  // The reader takes the eject, and then says it still holds the card.
  if (drive.kind == SimulatedDrive::Kind::FixedDisk) {
    lastError_ = kErrorBusy;
    return false;
  }
  int& refusals = drive.ejectRefusals;
  if (refusals != 0) {
    if (refusals > 0) --refusals;
    lastError_ = drive.ejectError;
    return false;
  }
  ++ejects_;
  return true;
}

}  // namespace disks
