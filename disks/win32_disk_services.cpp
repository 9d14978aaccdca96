#include "disks/win32_disk_services.h"

#include <windows.h>
#include <winioctl.h>

#include <cstddef>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "disks/utf16.h"
#include "win32/handles.h"

namespace disks {
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
// the card writer.
using win32::FileHandle;

// An ioctl with neither input nor output: the volume's lock, dismount and
// unlock.
bool controlWithoutData(HANDLE handle, DWORD code) {
  DWORD returned = 0;
  return DeviceIoControl(handle, code, nullptr, 0, nullptr, 0, &returned, nullptr) != 0;
}

// The disks a volume has extents on, asked through a handle opened for
// queries only. `volume` is a volume's name without its trailing backslash
// (\\?\Volume{...}).
bool volumeOnDisk(const std::wstring& volume, DWORD disk) {
  FileHandle handle(
      CreateFileW(volume.c_str(), 0, kShareReadWrite, nullptr, OPEN_EXISTING, 0, nullptr));
  if (!handle) return false;
  // A volume on more disks than this is no card's.
  constexpr DWORD kMostExtents = 32;
  std::vector<std::uint64_t> storage(
      (offsetof(VOLUME_DISK_EXTENTS, Extents) + kMostExtents * sizeof(DISK_EXTENT)) /
          sizeof(std::uint64_t) +
      1);
  auto* answer = reinterpret_cast<VOLUME_DISK_EXTENTS*>(storage.data());
  DWORD returned = 0;
  if (!DeviceIoControl(handle.get(), IOCTL_VOLUME_GET_VOLUME_DISK_EXTENTS, nullptr, 0, answer,
                       static_cast<DWORD>(storage.size() * sizeof(std::uint64_t)), &returned,
                       nullptr))
    return false;
  for (DWORD k = 0; k < answer->NumberOfDiskExtents && k < kMostExtents; ++k)
    if (answer->Extents[k].DiskNumber == disk) return true;
  return false;
}

// The name of the volume a file lies on (\\?\Volume{...}, no trailing
// backslash), or empty. The file's own handle knows where it really is,
// through substituted letters, links and folders a volume is mounted on;
// a path that does not open is placed by its mount point instead.
std::wstring volumeOfFile(const std::wstring& path) {
  static const std::wstring kVolumePrefix = L"\\\\?\\Volume{";
  // A file still to be made lies where the nearest folder that exists does.
  std::wstring place = path;
  FileHandle file;
  for (;;) {
    file.reset(CreateFileW(place.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                           nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
    const std::size_t slash = place.find_last_of(L"\\/");
    if (file || slash == std::wstring::npos || slash + 1 == place.size()) break;
    // Up to the folder above; a drive's root keeps its backslash.
    place.resize(slash == 0 || place[slash - 1] == L':' ? slash + 1 : slash);
  }
  if (file) {
    std::wstring name(MAX_PATH, L'\0');
    for (int attempt = 0; attempt < 2; ++attempt) {
      const DWORD length =
          GetFinalPathNameByHandleW(file.get(), &name[0], static_cast<DWORD>(name.size()),
                                    FILE_NAME_NORMALIZED | VOLUME_NAME_GUID);
      if (length == 0) break;
      if (length >= name.size()) {
        name.resize(length + 1);
        continue;
      }
      name.resize(length);
      const std::size_t end = name.find(L'\\', kVolumePrefix.size());
      if (name.compare(0, kVolumePrefix.size(), kVolumePrefix) == 0 && end != std::wstring::npos)
        return name.substr(0, end);
      break;
    }
  }
  std::wstring mountPoint(MAX_PATH + 1, L'\0');
  if (!GetVolumePathNameW(place.c_str(), &mountPoint[0], static_cast<DWORD>(mountPoint.size())))
    return {};
  mountPoint.resize(wcslen(mountPoint.c_str()));
  wchar_t volume[MAX_PATH + 1] = {};
  if (!GetVolumeNameForVolumeMountPointW(mountPoint.c_str(), volume, MAX_PATH + 1)) return {};
  std::wstring name = volume;
  if (!name.empty() && name.back() == L'\\') name.pop_back();
  return name;
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

void* Win32DiskServices::allocateBuffer(std::size_t size) {
  void* buffer = buffers_.allocate(size);
  if (buffer == nullptr) lastError_ = ERROR_NOT_ENOUGH_MEMORY;
  return buffer;
}

void Win32DiskServices::freeBuffer(void* buffer) { buffers_.free(buffer); }

bool Win32DiskServices::listVolumes(std::vector<std::string>& paths) {
  paths.clear();
  wchar_t name[MAX_PATH + 1] = {};
  const win32::VolumeSearch search(FindFirstVolumeW(name, MAX_PATH + 1));
  if (!search) return failed();
  do {
    // A volume's name ends in a backslash, which would open its root folder
    // rather than the volume itself.
    std::wstring path = name;
    if (!path.empty() && path.back() == L'\\') path.pop_back();
    paths.push_back(toUtf8(path));
  } while (FindNextVolumeW(search.get(), name, MAX_PATH + 1));
  const DWORD error = GetLastError();
  if (error != ERROR_NO_MORE_FILES) {
    lastError_ = error;
    return false;
  }
  return true;
}

ErrorKind Win32DiskServices::errorKind(std::uint32_t code) {
  switch (code) {
    case ERROR_ACCESS_DENIED:
    case ERROR_SHARING_VIOLATION:
    case ERROR_LOCK_VIOLATION:
      return ErrorKind::Busy;
    case ERROR_NOT_READY:
    case ERROR_NO_MEDIA_IN_DRIVE:
      return ErrorKind::NotReady;
    default:
      return ErrorKind::Other;
  }
}

bool Win32DiskServices::flushDevice(NativeHandle device) {
  return FlushFileBuffers(toHandle(device)) != 0 || failed();
}

void Win32DiskServices::updateLayout(NativeHandle device) {
  // The system then shows the card's new partitions without the card being
  // put in again; a plain file or an old driver refuses, which changes
  // nothing.
  controlWithoutData(toHandle(device), IOCTL_DISK_UPDATE_PROPERTIES);
}

bool Win32DiskServices::fileOnDevice(NativeHandle device, const std::string& path) {
  STORAGE_DEVICE_NUMBER number = {};
  DWORD returned = 0;
  if (!DeviceIoControl(toHandle(device), IOCTL_STORAGE_GET_DEVICE_NUMBER, nullptr, 0, &number,
                       sizeof number, &returned, nullptr))
    return false;
  const std::wstring volume = volumeOfFile(toUtf16(path));
  return !volume.empty() && volumeOnDisk(volume, number.DeviceNumber);
}

}  // namespace disks

namespace disks {
namespace {

// Whether the Windows folder or the system drive lies on the disk.
bool systemVolumeOnDisk(DWORD disk) {
  wchar_t folder[MAX_PATH + 1] = {};
  // The Windows folder and the drive the system started from.
  const UINT length = GetSystemWindowsDirectoryW(folder, MAX_PATH + 1);
  if (length > 0 && length <= MAX_PATH) {
    const std::wstring volume = volumeOfFile(folder);
    if (!volume.empty() && volumeOnDisk(volume, disk)) return true;
  }
  wchar_t drive[MAX_PATH + 1] = {};
  const DWORD driveLength = GetEnvironmentVariableW(L"SystemDrive", drive, MAX_PATH + 1);
  if (driveLength > 0 && driveLength <= MAX_PATH) {
    const std::wstring volume = volumeOfFile(std::wstring(drive) + L"\\");
    if (!volume.empty() && volumeOnDisk(volume, disk)) return true;
  }
  return false;
}

// Whether any volume on the disk holds a page file at its root, where the
// system keeps them.
bool pageFileOnDisk(DWORD disk) {
  wchar_t name[MAX_PATH + 1] = {};
  const HANDLE search = FindFirstVolumeW(name, MAX_PATH + 1);
  if (search == INVALID_HANDLE_VALUE) return false;
  bool found = false;
  do {
    std::wstring volume = name;
    if (!volume.empty() && volume.back() == L'\\') volume.pop_back();
    if (!volumeOnDisk(volume, disk)) continue;
    for (const wchar_t* file : {L"\\pagefile.sys", L"\\swapfile.sys"})
      if (GetFileAttributesW((volume + file).c_str()) != INVALID_FILE_ATTRIBUTES) found = true;
  } while (!found && FindNextVolumeW(search, name, MAX_PATH + 1));
  FindVolumeClose(search);
  return found;
}

}  // namespace

std::uint32_t diskBusType(void* disk) {
  STORAGE_PROPERTY_QUERY query = {};
  query.PropertyId = StorageDeviceProperty;
  query.QueryType = PropertyStandardQuery;
  // Held in 64-bit words: the descriptor's fields are aligned.
  std::uint64_t storage[128] = {};
  DWORD returned = 0;
  if (!DeviceIoControl(static_cast<HANDLE>(disk), IOCTL_STORAGE_QUERY_PROPERTY, &query,
                       sizeof query, storage, sizeof storage, &returned, nullptr) ||
      returned < offsetof(STORAGE_DEVICE_DESCRIPTOR, BusType) + sizeof(STORAGE_BUS_TYPE))
    return card::kBusTypeUnknown;
  return static_cast<std::uint32_t>(
      reinterpret_cast<const STORAGE_DEVICE_DESCRIPTOR*>(storage)->BusType);
}

bool diskHoldsSystem(std::uint32_t number) {
  return systemVolumeOnDisk(number) || pageFileOnDisk(number);
}

bool diskWriteProtected(void* disk) {
  DWORD returned = 0;
  if (DeviceIoControl(static_cast<HANDLE>(disk), IOCTL_DISK_IS_WRITABLE, nullptr, 0, nullptr, 0,
                      &returned, nullptr))
    return false;
  // Only the system's own word counts: a plain file or an old driver that
  // does not know the question takes writes as before.
  return GetLastError() == ERROR_WRITE_PROTECT;
}

bool Win32DiskServices::writeProtected(NativeHandle device) {
  return diskWriteProtected(toHandle(device));
}

std::uint32_t Win32DiskServices::busType(NativeHandle device) {
  return diskBusType(toHandle(device));
}

bool Win32DiskServices::systemDisk(NativeHandle device) {
  STORAGE_DEVICE_NUMBER number = {};
  DWORD returned = 0;
  // A device that cannot say which disk it is has no system volume on it
  // that the card writer could find either.
  if (!DeviceIoControl(toHandle(device), IOCTL_STORAGE_GET_DEVICE_NUMBER, nullptr, 0, &number,
                       sizeof number, &returned, nullptr))
    return false;
  return diskHoldsSystem(number.DeviceNumber);
}

bool Win32DiskServices::ejectMedia(NativeHandle device) {
  // A reader whose card was held in (by this or another program) must let
  // it go first; the eject then takes the card, never the reader itself.
  PREVENT_MEDIA_REMOVAL allow = {};
  allow.PreventMediaRemoval = FALSE;
  DWORD returned = 0;
  DeviceIoControl(toHandle(device), IOCTL_STORAGE_MEDIA_REMOVAL, &allow, sizeof allow, nullptr, 0,
                  &returned, nullptr);
  return controlWithoutData(toHandle(device), IOCTL_STORAGE_EJECT_MEDIA) || failed();
}

}  // namespace disks
