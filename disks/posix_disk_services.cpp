#include "disks/posix_disk_services.h"

#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>

#include "disks/linux_cards.h"

namespace disks {
namespace {

constexpr std::uint32_t kDefaultSectorBytes = 512;
// Sectors are counted as the usual translated geometry does; only the
// product means anything.
constexpr std::uint32_t kTracksPerCylinder = 255;
constexpr std::uint32_t kSectorsPerTrack = 63;

// Whether a loop device's sysfs node says it reads and writes a plain file.
bool loopOverFile(const std::string& node) {
  std::ifstream in(node + "/loop/backing_file");
  std::string backing;
  if (!std::getline(in, backing) || backing.empty()) return false;
  struct stat info {};
  return ::stat(backing.c_str(), &info) == 0 && S_ISREG(info.st_mode);
}

// Whether the system counts the block device as removable media. A
// partition has no flag of its own; its disk's flag counts.
bool isRemovable(dev_t device, bool loopOverFileIsRemovable) {
  const std::string link =
      "/sys/dev/block/" + std::to_string(major(device)) + ":" + std::to_string(minor(device));
  char* resolved = realpath(link.c_str(), nullptr);
  if (resolved == nullptr) return false;
  const std::string node = resolved;
  std::free(resolved);
  if (loopOverFileIsRemovable && loopOverFile(node)) return true;
  for (const std::string& flag : {node + "/removable", node + "/../removable"}) {
    std::ifstream in(flag);
    int value = 0;
    if (in >> value) return value == 1;
  }
  return false;
}

// The disk a partition belongs to; a device that is no partition is its
// own disk.
dev_t wholeDisk(dev_t device) {
  const std::string node =
      "/sys/dev/block/" + std::to_string(major(device)) + ":" + std::to_string(minor(device));
  std::ifstream partition(node + "/partition");
  if (!partition) return device;
  std::ifstream parent(node + "/../dev");
  unsigned int parentMajor = 0;
  unsigned int parentMinor = 0;
  char colon = 0;
  if (!(parent >> parentMajor >> colon >> parentMinor) || colon != ':') return device;
  return makedev(parentMajor, parentMinor);
}

std::string sysfsNode(dev_t device) {
  const std::string link =
      "/sys/dev/block/" + std::to_string(major(device)) + ":" + std::to_string(minor(device));
  char* resolved = realpath(link.c_str(), nullptr);
  if (resolved == nullptr) return {};
  const std::string node = resolved;
  std::free(resolved);
  return node;
}

}  // namespace

PosixDiskServices::~PosixDiskServices() {
  for (int fd : devices_) ::close(fd);
}

bool PosixDiskServices::fail(int error) {
  error_ = static_cast<std::uint32_t>(error);
  return false;
}

int PosixDiskServices::descriptor(NativeHandle device) {
  if (device > static_cast<NativeHandle>(INT_MAX) ||
      devices_.count(static_cast<int>(device)) == 0) {
    error_ = EBADF;
    return -1;
  }
  return static_cast<int>(device);
}

bool PosixDiskServices::findDevice(const std::string& name, std::string& path) {
  path.clear();
  struct stat info {};
  if (name.empty()) return fail(ENOENT);
  if (::stat(name.c_str(), &info) != 0) return fail(errno);
  if (!S_ISBLK(info.st_mode)) return fail(ENOTBLK);
  path = name;
  return true;
}

bool PosixDiskServices::openDevice(const std::string& path, NativeHandle& device) {
  // O_EXCL claims a block device for this process alone: it is refused
  // (EBUSY) while a file system on the card or one of its partitions is
  // mounted, whose own writes would otherwise mix with the image's.
  int fd = ::open(path.c_str(), O_RDWR | O_DIRECT | O_EXCL | O_CLOEXEC);
  lastOpenDirect_ = true;
  if (fd < 0 && errno == EINVAL) {
    // A file system that cannot do direct I/O at all (tmpfs on older
    // kernels, some network file systems) refuses the flag itself: such a
    // file is written through the page cache instead. Block devices always
    // take direct I/O.
    fd = ::open(path.c_str(), O_RDWR | O_EXCL | O_CLOEXEC);
    lastOpenDirect_ = false;
  }
  if (fd < 0) return fail(errno);
  devices_.insert(fd);
  device = static_cast<NativeHandle>(fd);
  return true;
}

bool PosixDiskServices::driveGeometry(NativeHandle device, DriveGeometry& geometry) {
  const int fd = descriptor(device);
  if (fd < 0) return false;
  struct stat info {};
  if (::fstat(fd, &info) != 0) return fail(errno);
  std::int64_t bytes = 0;
  std::uint32_t sectorBytes = kDefaultSectorBytes;
  std::uint32_t mediaType = kFixedMedia;
  if (S_ISBLK(info.st_mode)) {
    int logical = 0;
    if (::ioctl(fd, BLKSSZGET, &logical) != 0) return fail(errno);
    if (logical > 0) sectorBytes = static_cast<std::uint32_t>(logical);
    if (!deviceLength(device, bytes)) return false;
    if (isRemovable(info.st_rdev, options_.loopOverFileIsRemovable)) mediaType = kRemovableMedia;
  } else if (S_ISREG(info.st_mode)) {
    bytes = info.st_size;
  } else {
    return fail(ENOTTY);
  }
  geometry.mediaType = mediaType;
  geometry.bytesPerSector = sectorBytes;
  geometry.tracksPerCylinder = kTracksPerCylinder;
  geometry.sectorsPerTrack = kSectorsPerTrack;
  geometry.cylinders =
      bytes / (std::int64_t{kTracksPerCylinder} * kSectorsPerTrack * std::int64_t{sectorBytes});
  return true;
}

bool PosixDiskServices::writeDevice(NativeHandle device, const void* data, std::size_t size) {
  const int fd = descriptor(device);
  if (fd < 0) return false;
  const char* next = static_cast<const char*>(data);
  while (size > 0) {
    const ssize_t done = ::write(fd, next, size);
    if (done < 0) {
      if (errno == EINTR) continue;
      return fail(errno);
    }
    // Nothing taken and no error: the device has no room left.
    if (done == 0) return fail(ENOSPC);
    next += done;
    size -= static_cast<std::size_t>(done);
  }
  return true;
}

bool PosixDiskServices::readDevice(NativeHandle device, void* data, std::size_t size) {
  const int fd = descriptor(device);
  if (fd < 0) return false;
  char* next = static_cast<char*>(data);
  while (size > 0) {
    const ssize_t done = ::read(fd, next, size);
    if (done < 0) {
      if (errno == EINTR) continue;
      return fail(errno);
    }
    // The device ended before all the bytes asked for arrived.
    if (done == 0) return fail(EIO);
    next += done;
    size -= static_cast<std::size_t>(done);
  }
  return true;
}

bool PosixDiskServices::seekDevice(NativeHandle device, std::int64_t offset) {
  const int fd = descriptor(device);
  if (fd < 0) return false;
  if (offset < 0) return fail(EINVAL);
  if (::lseek(fd, static_cast<off_t>(offset), SEEK_SET) < 0) return fail(errno);
  return true;
}

bool PosixDiskServices::deviceLength(NativeHandle device, std::int64_t& bytes) {
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

void PosixDiskServices::closeDevice(NativeHandle device) {
  const int fd = descriptor(device);
  if (fd < 0) return;
  devices_.erase(fd);
  // No flush here: a run flushes the card itself once its last block is
  // written (flushDevice), where a failure can still be reported; a second
  // one on close would only cost the device another cache flush.
  ::close(fd);
}

void* PosixDiskServices::allocateBuffer(std::size_t size) {
  void* buffer = buffers_.allocate(size);
  if (buffer == nullptr) error_ = ENOMEM;
  return buffer;
}

void PosixDiskServices::freeBuffer(void* buffer) { buffers_.free(buffer); }

ErrorKind PosixDiskServices::errorKind(std::uint32_t code) {
  switch (code) {
    case EBUSY:
    case EAGAIN:
      return ErrorKind::Busy;
    case ENOMEDIUM:
      return ErrorKind::NotReady;
    case ENOTSUP:
      return ErrorKind::Unsupported;
    default:
      return ErrorKind::Other;
  }
}

bool PosixDiskServices::flushDevice(NativeHandle device) {
  const int fd = descriptor(device);
  if (fd < 0) return false;
  if (::fsync(fd) != 0) return fail(errno);
  return true;
}

void PosixDiskServices::updateLayout(NativeHandle device) {
  const int fd = descriptor(device);
  if (fd < 0) return;
  struct stat info {};
  // A device without partitions, or one whose partitions are busy, refuses;
  // the old layout then stays until the card is put in again.
  if (::fstat(fd, &info) == 0 && S_ISBLK(info.st_mode)) ::ioctl(fd, BLKRRPART);
}

bool PosixDiskServices::fileOnDevice(NativeHandle device, const std::string& path) {
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
  return file.st_dev == card.st_rdev || wholeDisk(file.st_dev) == card.st_rdev;
}

}  // namespace disks

namespace disks {

bool PosixDiskServices::writeProtected(NativeHandle device) {
  const int fd = descriptor(device);
  if (fd < 0) return false;
  struct stat info {};
  int readOnly = 0;
  return ::fstat(fd, &info) == 0 && S_ISBLK(info.st_mode) &&
         ::ioctl(fd, BLKROGET, &readOnly) == 0 && readOnly != 0;
}

std::uint32_t PosixDiskServices::busType(NativeHandle device) {
  const int fd = descriptor(device);
  struct stat info {};
  if (fd < 0 || ::fstat(fd, &info) != 0 || !S_ISBLK(info.st_mode)) return card::kBusTypeUnknown;
  const std::string node = sysfsNode(wholeDisk(info.st_rdev));
  // The MMC host's disks, mmcblk and a number: a built-in reader's SD card
  // or an eMMC chip (not its boot areas, mmcblk0boot0).
  const std::string name = node.substr(node.rfind('/') + 1);
  const std::size_t digits = name.find_first_not_of("0123456789", 6);
  if (name.compare(0, 6, "mmcblk") != 0 || name.size() == 6 || digits != std::string::npos)
    return card::kBusTypeUnknown;
  std::ifstream in(node + "/device/type");
  std::string type;
  return in >> type && type == "SD" ? card::kBusTypeSd : card::kBusTypeMmc;
}

bool PosixDiskServices::systemDisk(NativeHandle device) {
  const int fd = descriptor(device);
  struct stat info {};
  if (fd < 0 || ::fstat(fd, &info) != 0 || !S_ISBLK(info.st_mode)) return false;
  const std::string node = sysfsNode(wholeDisk(info.st_rdev));
  if (node.empty()) return false;
  const std::string name = node.substr(node.rfind('/') + 1);
  // An eMMC chip is the disk such a PC boots from (its boot areas, often its
  // EFI partition): the system's own as much as the disk holding /.
  const SystemPaths paths;
  return holdsSystem(paths, name) || builtIn(paths, name);
}

// Nothing here offers to format a card or writes to one that is not
// mounted: the card stays in the reader.
bool PosixDiskServices::ejectMedia(NativeHandle) { return fail(ENOTSUP); }

}  // namespace disks
