#include "disks/posix_disk_services.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>

namespace disks {

PosixDiskServices::~PosixDiskServices() {
  for (const auto& device : devices_) ::close(device.first);
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

std::string PosixDiskServices::pathOf(NativeHandle device) const {
  if (device > static_cast<NativeHandle>(INT_MAX)) return {};
  const auto found = devices_.find(static_cast<int>(device));
  return found == devices_.end() ? std::string() : found->second;
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
  devices_[fd] = path;
  device = static_cast<NativeHandle>(fd);
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

bool PosixDiskServices::ejectMedia(NativeHandle) { return fail(ENOTSUP); }

}  // namespace disks
