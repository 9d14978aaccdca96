#include "win32_disk_services.h"

#include <windows.h>
#include <winioctl.h>

#include <cstddef>
#include <cstring>
#include <utility>

namespace card {
namespace {

// The card is written and then read back through the same handle to check
// what it holds, so the handle needs both rights: with write access alone
// every read-back fails with access denied.
constexpr DWORD kDeviceAccess = GENERIC_READ | GENERIC_WRITE;
constexpr DWORD kShareReadWrite = FILE_SHARE_READ | FILE_SHARE_WRITE;
// The system's answer for a drive name is copied into this many bytes.
constexpr DWORD kDeviceTargetBytes = 100;

HANDLE toHandle(NativeHandle handle) { return reinterpret_cast<HANDLE>(handle); }
NativeHandle toNative(HANDLE handle) { return reinterpret_cast<NativeHandle>(handle); }

// A file handle owned while it is being set up here, before it is handed to
// the card writer. Empty is INVALID_HANDLE_VALUE, as CreateFile answers.
class FileHandle {
 public:
  explicit FileHandle(HANDLE handle) : handle_(handle) {}
  FileHandle(const FileHandle&) = delete;
  FileHandle& operator=(const FileHandle&) = delete;
  ~FileHandle() {
    if (handle_ != INVALID_HANDLE_VALUE) CloseHandle(handle_);
  }
  explicit operator bool() const { return handle_ != INVALID_HANDLE_VALUE; }
  HANDLE get() const { return handle_; }
  HANDLE release() { return std::exchange(handle_, INVALID_HANDLE_VALUE); }

 private:
  HANDLE handle_;
};

// An ioctl with neither input nor output: the volume's lock, dismount and
// unlock.
bool controlWithoutData(HANDLE handle, DWORD code) {
  DWORD returned = 0;
  return DeviceIoControl(handle, code, nullptr, 0, nullptr, 0, &returned, nullptr) != 0;
}

}  // namespace

bool Win32DiskServices::failed() {
  lastError_ = GetLastError();
  return false;
}

bool Win32DiskServices::queryDosDevice(const std::string& dosName, std::string& target) {
  char buffer[kDeviceTargetBytes] = {};
  if (QueryDosDeviceA(dosName.c_str(), buffer, kDeviceTargetBytes) == 0) return failed();
  // The answer is a list of zero-terminated strings; the first one names the
  // device the letter stands for.
  target.assign(buffer, strnlen(buffer, sizeof buffer));
  return true;
}

bool Win32DiskServices::openDevice(const std::string& path, NativeHandle& device) {
  FileHandle handle(CreateFileA(path.c_str(), kDeviceAccess, kShareReadWrite, nullptr,
                                OPEN_EXISTING, 0, nullptr));
  if (!handle) return failed();
  device = toNative(handle.release());
  return true;
}

bool Win32DiskServices::driveGeometry(NativeHandle device, DriveGeometry& geometry) {
  DISK_GEOMETRY answer = {};
  DWORD returned = 0;
  if (!DeviceIoControl(toHandle(device), IOCTL_DISK_GET_DRIVE_GEOMETRY, nullptr, 0, &answer,
                       sizeof answer, &returned, nullptr))
    return failed();
  geometry.cylinders = answer.Cylinders.QuadPart;
  geometry.mediaType = static_cast<std::uint32_t>(answer.MediaType);
  geometry.tracksPerCylinder = answer.TracksPerCylinder;
  geometry.sectorsPerTrack = answer.SectorsPerTrack;
  geometry.bytesPerSector = answer.BytesPerSector;
  return true;
}

bool Win32DiskServices::writeDevice(NativeHandle device, const void* data, std::size_t size) {
  if (size > MAXDWORD) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return failed();
  }
  // A disk takes a write whole or fails it: the success flag is the answer.
  DWORD written = 0;
  if (!WriteFile(toHandle(device), data, static_cast<DWORD>(size), &written, nullptr))
    return failed();
  return true;
}

void Win32DiskServices::closeDevice(NativeHandle device) { CloseHandle(toHandle(device)); }

bool Win32DiskServices::seekDevice(NativeHandle device, std::int64_t offset) {
  LARGE_INTEGER distance;
  distance.QuadPart = offset;
  if (!SetFilePointerEx(toHandle(device), distance, nullptr, FILE_BEGIN)) return failed();
  return true;
}

bool Win32DiskServices::readDevice(NativeHandle device, void* data, std::size_t size) {
  if (size > MAXDWORD) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return failed();
  }
  DWORD read = 0;
  if (!ReadFile(toHandle(device), data, static_cast<DWORD>(size), &read, nullptr)) return failed();
  // Fewer bytes than asked means the end of the device came first.
  if (read != size) {
    lastError_ = ERROR_HANDLE_EOF;
    return false;
  }
  return true;
}

bool Win32DiskServices::deviceLength(NativeHandle device, std::int64_t& bytes) {
  GET_LENGTH_INFORMATION length = {};
  DWORD returned = 0;
  if (DeviceIoControl(toHandle(device), IOCTL_DISK_GET_LENGTH_INFO, nullptr, 0, &length,
                      sizeof length, &returned, nullptr)) {
    bytes = length.Length.QuadPart;
    return true;
  }
  // A plain file has no disk ioctls but a size.
  LARGE_INTEGER size;
  if (!GetFileSizeEx(toHandle(device), &size)) return failed();
  bytes = size.QuadPart;
  return true;
}

bool Win32DiskServices::openVolume(const std::string& path, bool exclusive, NativeHandle& volume) {
  // No access at all is enough to ask a volume what it is; locking and
  // dismounting it take read and write access.
  const DWORD access = exclusive ? GENERIC_READ | GENERIC_WRITE : 0;
  FileHandle handle(
      CreateFileA(path.c_str(), access, kShareReadWrite, nullptr, OPEN_EXISTING, 0, nullptr));
  if (!handle) return failed();
  volume = toNative(handle.release());
  return true;
}

bool Win32DiskServices::storageDeviceNumber(NativeHandle volume, StorageDeviceNumber& number) {
  STORAGE_DEVICE_NUMBER answer = {};
  DWORD returned = 0;
  if (!DeviceIoControl(toHandle(volume), IOCTL_STORAGE_GET_DEVICE_NUMBER, nullptr, 0, &answer,
                       sizeof answer, &returned, nullptr))
    return failed();
  number.deviceType = static_cast<std::uint32_t>(answer.DeviceType);
  number.deviceNumber = answer.DeviceNumber;
  number.partitionNumber = answer.PartitionNumber;
  return true;
}

bool Win32DiskServices::volumeDiskExtents(NativeHandle volume, std::vector<DiskExtent>& extents) {
  // Room for one extent first; a volume spanning more disks answers
  // ERROR_MORE_DATA with the count, and is asked again with room for all.
  std::size_t count = 1;
  // Held in 64-bit words: the record holds 64-bit fields.
  std::vector<std::uint64_t> storage;
  for (int attempt = 0; attempt < 4; ++attempt) {
    const std::size_t bytes = offsetof(VOLUME_DISK_EXTENTS, Extents) + count * sizeof(DISK_EXTENT);
    storage.assign((bytes + sizeof(std::uint64_t) - 1) / sizeof(std::uint64_t), 0);
    auto* answer = reinterpret_cast<VOLUME_DISK_EXTENTS*>(storage.data());
    DWORD returned = 0;
    if (DeviceIoControl(toHandle(volume), IOCTL_VOLUME_GET_VOLUME_DISK_EXTENTS, nullptr, 0, answer,
                        static_cast<DWORD>(bytes), &returned, nullptr)) {
      extents.clear();
      for (DWORD k = 0; k < answer->NumberOfDiskExtents && k < count; ++k) {
        const DISK_EXTENT& extent = answer->Extents[k];
        extents.push_back(
            {extent.DiskNumber, extent.StartingOffset.QuadPart, extent.ExtentLength.QuadPart});
      }
      return true;
    }
    const DWORD error = GetLastError();
    if (error != ERROR_MORE_DATA || answer->NumberOfDiskExtents <= count) {
      lastError_ = error;
      return false;
    }
    count = answer->NumberOfDiskExtents;
  }
  lastError_ = ERROR_MORE_DATA;
  return false;
}

bool Win32DiskServices::lockVolume(NativeHandle volume) {
  return controlWithoutData(toHandle(volume), FSCTL_LOCK_VOLUME) || failed();
}

bool Win32DiskServices::dismountVolume(NativeHandle volume) {
  return controlWithoutData(toHandle(volume), FSCTL_DISMOUNT_VOLUME) || failed();
}

bool Win32DiskServices::unlockVolume(NativeHandle volume) {
  return controlWithoutData(toHandle(volume), FSCTL_UNLOCK_VOLUME) || failed();
}

void Win32DiskServices::closeVolume(NativeHandle volume) { CloseHandle(toHandle(volume)); }

bool Win32DiskServices::openImage(const std::string& path, NativeHandle& file) {
  return images_.open(path, file) || failed();
}

std::size_t Win32DiskServices::readImage(NativeHandle file, void* data, std::size_t size) {
  return images_.read(file, data, size);
}

bool Win32DiskServices::seekImage(NativeHandle file, std::int64_t offset) {
  return images_.seek(file, offset);
}

void Win32DiskServices::closeImage(NativeHandle file) { images_.close(file); }

void* Win32DiskServices::allocateBuffer(std::size_t size) {
  void* buffer = buffers_.allocate(size);
  if (buffer == nullptr) lastError_ = ERROR_NOT_ENOUGH_MEMORY;
  return buffer;
}

void Win32DiskServices::freeBuffer(void* buffer) { buffers_.free(buffer); }

}  // namespace card
