#include "disks/linux_disk_services.h"

#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>

#include <cerrno>
#include <fstream>

#include "disks/linux_card_rule.h"

namespace disks {
namespace {

constexpr std::uint32_t kDefaultSectorBytes = 512;
// Sectors are counted as the usual translated geometry does; only the
// product means anything.
constexpr std::uint32_t kTracksPerCylinder = 255;
constexpr std::uint32_t kSectorsPerTrack = 63;

// The disk a partition belongs to; a device that is no partition is its
// own disk.
dev_t wholeDisk(const std::string& sys, dev_t device) {
  const std::string node =
      sys + "/dev/block/" + std::to_string(major(device)) + ":" + std::to_string(minor(device));
  std::ifstream partition(node + "/partition");
  if (!partition) return device;
  std::ifstream parent(node + "/../dev");
  unsigned int parentMajor = 0;
  unsigned int parentMinor = 0;
  char colon = 0;
  if (!(parent >> parentMajor >> colon >> parentMinor) || colon != ':') return device;
  return makedev(parentMajor, parentMinor);
}

}  // namespace

const LinuxSystem& LinuxDiskServices::system() {
  if (!system_) system_ = thisSystem();
  return *system_;
}

std::string LinuxDiskServices::diskOf(NativeHandle device) {
  const std::string name = system().blockNameOf(pathOf(device));
  const std::string partOf = system().diskOfPartition(name);
  return partOf.empty() ? name : partOf;
}

card::DiskFacts LinuxDiskServices::factsOf(NativeHandle device) {
  const std::string disk = diskOf(device);
  if (disk.empty()) return {};
  return coreFacts(system(), disk, options_.loopOverFileIsRemovable);
}

bool LinuxDiskServices::driveGeometry(NativeHandle device, DriveGeometry& geometry) {
  const int fd = descriptor(device);
  if (fd < 0) return false;
  struct stat info {};
  if (::fstat(fd, &info) != 0) return fail(errno);
  std::int64_t bytes = 0;
  std::uint32_t sectorBytes = kDefaultSectorBytes;
  if (S_ISBLK(info.st_mode)) {
    int logical = 0;
    if (::ioctl(fd, BLKSSZGET, &logical) != 0) return fail(errno);
    if (logical > 0) sectorBytes = static_cast<std::uint32_t>(logical);
    if (!deviceLength(device, bytes)) return false;
  } else if (S_ISREG(info.st_mode)) {
    bytes = info.st_size;
  } else {
    return fail(ENOTTY);
  }
  geometry.mediaType = factsOf(device).removableMedia ? kRemovableMedia : kFixedMedia;
  geometry.bytesPerSector = sectorBytes;
  geometry.tracksPerCylinder = kTracksPerCylinder;
  geometry.sectorsPerTrack = kSectorsPerTrack;
  geometry.cylinders =
      bytes / (std::int64_t{kTracksPerCylinder} * kSectorsPerTrack * std::int64_t{sectorBytes});
  return true;
}

bool LinuxDiskServices::deviceLength(NativeHandle device, std::int64_t& bytes) {
  const int fd = descriptor(device);
  if (fd < 0) return false;
  struct stat info {};
  if (::fstat(fd, &info) != 0) return fail(errno);
  if (S_ISBLK(info.st_mode)) {
    std::uint64_t size = 0;
    if (::ioctl(fd, BLKGETSIZE64, &size) != 0) return fail(errno);
    bytes = static_cast<std::int64_t>(size);
    return true;
  }
  if (S_ISREG(info.st_mode)) {
    bytes = info.st_size;
    return true;
  }
  return fail(ENOTTY);
}

ErrorKind LinuxDiskServices::errorKind(std::uint32_t code) {
  if (code == ENOMEDIUM) return ErrorKind::NotReady;
  return PosixDiskServices::errorKind(code);
}

void LinuxDiskServices::updateLayout(NativeHandle device) {
  const int fd = descriptor(device);
  if (fd < 0) return;
  struct stat info {};
  // A device without partitions, or one whose partitions are busy, refuses;
  // the old layout then stays until the card is put in again.
  if (::fstat(fd, &info) == 0 && S_ISBLK(info.st_mode)) ::ioctl(fd, BLKRRPART);
}

bool LinuxDiskServices::fileOnDevice(NativeHandle device, const std::string& path) {
  const int fd = descriptor(device);
  if (fd < 0) return false;
  struct stat card {};
  struct stat file {};
  if (::fstat(fd, &card) != 0) return false;
  // A file still to be made lies where the nearest folder that exists does.
  std::string place = path;
  while (::stat(place.empty() ? "." : place.c_str(), &file) != 0) {
    if (place.empty() || place == "/") return false;
    const std::size_t slash = place.find_last_of('/');
    if (slash == std::string::npos)
      place.clear();
    else
      place = slash == 0 ? "/" : place.substr(0, slash);
  }
  // A card that is a plain file holds no files; the image can only be that
  // very file.
  if (S_ISREG(card.st_mode)) return file.st_dev == card.st_dev && file.st_ino == card.st_ino;
  if (!S_ISBLK(card.st_mode)) return false;
  return file.st_dev == card.st_rdev ||
         wholeDisk(system().paths().sys, file.st_dev) == card.st_rdev;
}

bool LinuxDiskServices::writeProtected(NativeHandle device) {
  const int fd = descriptor(device);
  if (fd < 0) return false;
  struct stat info {};
  int readOnly = 0;
  return ::fstat(fd, &info) == 0 && S_ISBLK(info.st_mode) &&
         ::ioctl(fd, BLKROGET, &readOnly) == 0 && readOnly != 0;
}

std::uint32_t LinuxDiskServices::busType(NativeHandle device) {
  if (descriptor(device) < 0) return card::kBusTypeUnknown;
  return factsOf(device).bus;
}

bool LinuxDiskServices::systemDisk(NativeHandle device) {
  if (descriptor(device) < 0) return false;
  return factsOf(device).systemDisk;
}

card::RemovalPolicy LinuxDiskServices::removalPolicy(NativeHandle device) {
  if (descriptor(device) < 0) return card::RemovalPolicy::NotKept;
  return factsOf(device).removal;
}

}  // namespace disks
