// Finding and opening the card's disk on Windows: what a drive letter stands
// for, the disk behind it, the system's volumes and where a file lies.
#include <windows.h>
#include <winioctl.h>

#include <cstddef>
#include <cstring>
#include <string>
#include <vector>

#include "disks/utf16.h"
#include "disks/win32_disk_services.h"
#include "disks/win32_volumes.h"
#include "win32/handles.h"

namespace disks {
namespace {

// The card is written and then read back through the same handle to check
// what it holds, so the handle needs both rights: with write access alone
// every read-back fails with access denied.
constexpr DWORD kDeviceAccess = GENERIC_READ | GENERIC_WRITE;
constexpr DWORD kShareReadWrite = FILE_SHARE_READ | FILE_SHARE_WRITE;

HANDLE toHandle(NativeHandle handle) { return reinterpret_cast<HANDLE>(handle); }
NativeHandle toNative(HANDLE handle) { return reinterpret_cast<NativeHandle>(handle); }

using win32::FileHandle;

// The extents of a volume. Room for one first; a volume spanning more disks
// answers ERROR_MORE_DATA with the count, and is asked again with room for
// all. False with the system's error code when it does not answer.
bool volumeExtents(HANDLE volume, std::vector<DiskExtent>& extents, DWORD& error) {
  std::size_t count = 1;
  // Held in 64-bit words: the record holds 64-bit fields.
  std::vector<std::uint64_t> storage;
  for (int attempt = 0; attempt < 4; ++attempt) {
    const std::size_t bytes = offsetof(VOLUME_DISK_EXTENTS, Extents) + count * sizeof(DISK_EXTENT);
    storage.assign((bytes + sizeof(std::uint64_t) - 1) / sizeof(std::uint64_t), 0);
    auto* answer = reinterpret_cast<VOLUME_DISK_EXTENTS*>(storage.data());
    DWORD returned = 0;
    if (DeviceIoControl(volume, IOCTL_VOLUME_GET_VOLUME_DISK_EXTENTS, nullptr, 0, answer,
                        static_cast<DWORD>(bytes), &returned, nullptr)) {
      extents.clear();
      for (DWORD k = 0; k < answer->NumberOfDiskExtents && k < count; ++k) {
        const DISK_EXTENT& extent = answer->Extents[k];
        extents.push_back(
            {extent.DiskNumber, extent.StartingOffset.QuadPart, extent.ExtentLength.QuadPart});
      }
      return true;
    }
    error = GetLastError();
    if (error != ERROR_MORE_DATA || answer->NumberOfDiskExtents <= count) return false;
    count = answer->NumberOfDiskExtents;
  }
  error = ERROR_MORE_DATA;
  return false;
}

// A path that already names its volume: \\?\Volume{...}\... or
// \\?\GLOBALROOT\Device\HarddiskVolume1\...; the volume's name, or empty.
std::wstring namedVolume(const std::wstring& path) {
  static const std::wstring kVolume = L"\\\\?\\Volume{";
  static const std::wstring kDevice = L"\\\\?\\GLOBALROOT\\Device\\HarddiskVolume";
  std::size_t end = std::wstring::npos;
  if (path.compare(0, kVolume.size(), kVolume) == 0) {
    end = path.find(L'}', kVolume.size());
    if (end != std::wstring::npos) ++end;
  } else if (path.compare(0, kDevice.size(), kDevice) == 0) {
    end = path.find(L'\\', kDevice.size());
    if (end == std::wstring::npos) end = path.size();
  }
  return end == std::wstring::npos ? std::wstring() : path.substr(0, end);
}

}  // namespace

win32::FileHandle openForQueries(const std::wstring& path) {
  return FileHandle(
      CreateFileW(path.c_str(), 0, kShareReadWrite, nullptr, OPEN_EXISTING, 0, nullptr));
}

bool deviceNumber(HANDLE handle, StorageDeviceNumber& number) {
  STORAGE_DEVICE_NUMBER answer = {};
  DWORD returned = 0;
  if (!DeviceIoControl(handle, IOCTL_STORAGE_GET_DEVICE_NUMBER, nullptr, 0, &answer, sizeof answer,
                       &returned, nullptr))
    return false;
  number.deviceType = static_cast<std::uint32_t>(answer.DeviceType);
  number.deviceNumber = answer.DeviceNumber;
  number.partitionNumber = answer.PartitionNumber;
  return true;
}

std::vector<std::uint32_t> disksOfVolume(const std::wstring& volume) {
  const FileHandle handle = openForQueries(volume);
  std::vector<DiskExtent> extents;
  DWORD error = 0;
  if (!handle || !volumeExtents(handle.get(), extents, error)) return {};
  std::vector<std::uint32_t> disks;
  for (const DiskExtent& extent : extents) disks.push_back(extent.diskNumber);
  return disks;
}

// The file's own handle knows where it really is, through substituted
// letters, links and folders a volume is mounted on; a path that does not
// open is placed by its mount point instead.
std::wstring volumeOfFile(const std::wstring& path) {
  static const std::wstring kVolumePrefix = L"\\\\?\\Volume{";
  const std::wstring named = namedVolume(path);
  if (!named.empty()) return named;
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

bool Win32DiskServices::queryDosDevice(const std::string& dosName, std::string& target) {
  // The answer is a list of zero-terminated strings; the first one names the
  // device the letter stands for. A network letter's answer names its server
  // and share and can be long: the buffer grows until the answer fits.
  std::vector<char> buffer(MAX_PATH);
  for (;;) {
    const DWORD length =
        QueryDosDeviceA(dosName.c_str(), buffer.data(), static_cast<DWORD>(buffer.size()));
    if (length != 0) {
      target.assign(buffer.data(), strnlen(buffer.data(), length));
      return true;
    }
    const DWORD error = GetLastError();
    // The system's answers are at most 64 Ki characters long.
    if ((error != ERROR_INSUFFICIENT_BUFFER && error != ERROR_MORE_DATA) || buffer.size() >= 65536)
      return failed();
    buffer.assign(buffer.size() * 4, '\0');
  }
}

bool Win32DiskServices::openDevice(const std::string& path, NativeHandle& device) {
  // Without write sharing: no other program can write to the disk during
  // the run, nor can the system mount a half-written partition and write to
  // it. Anyone holding it open for writing already makes this fail with a
  // sharing violation.
  FileHandle handle(CreateFileA(path.c_str(), kDeviceAccess, FILE_SHARE_READ, nullptr,
                                OPEN_EXISTING, 0, nullptr));
  if (!handle) return failed();
  device = toNative(handle.release());
  return true;
}

bool Win32DiskServices::openDeviceShared(const std::string& path, NativeHandle& device) {
  FileHandle handle(CreateFileA(path.c_str(), kDeviceAccess, kShareReadWrite, nullptr,
                                OPEN_EXISTING, 0, nullptr));
  if (!handle) return failed();
  device = toNative(handle.release());
  return true;
}

bool Win32DiskServices::openDiskForQueries(const std::string& path, NativeHandle& disk) {
  FileHandle handle = openForQueries(toUtf16(path));
  if (!handle) return failed();
  disk = toNative(handle.release());
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

void Win32DiskServices::closeVolume(NativeHandle volume) { CloseHandle(toHandle(volume)); }

bool Win32DiskServices::storageDeviceNumber(NativeHandle volume, StorageDeviceNumber& number) {
  return deviceNumber(toHandle(volume), number) || failed();
}

bool Win32DiskServices::volumeDiskExtents(NativeHandle volume, std::vector<DiskExtent>& extents) {
  DWORD error = 0;
  if (volumeExtents(toHandle(volume), extents, error)) return true;
  lastError_ = error;
  return false;
}

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

bool Win32DiskServices::fileOnDevice(NativeHandle device, const std::string& path) {
  StorageDeviceNumber number;
  if (!deviceNumber(toHandle(device), number)) return false;
  const std::wstring volume = volumeOfFile(systemPath(path));
  if (volume.empty()) return false;
  for (const std::uint32_t disk : disksOfVolume(volume))
    if (disk == number.deviceNumber) return true;
  return false;
}

}  // namespace disks
