#include "disks/win32_disk_services.h"

#include <windows.h>
// After windows.h, which it needs.
#include <cfgmgr32.h>
#include <setupapi.h>
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
  // No access rights: enough to ask a disk what it is, and no administrator
  // needed.
  FileHandle handle(
      CreateFileA(path.c_str(), 0, kShareReadWrite, nullptr, OPEN_EXISTING, 0, nullptr));
  if (!handle) return failed();
  disk = toNative(handle.release());
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
  // A disk opened for queries only may not tell its length (that takes read
  // access); its extended geometry holds its size all the same.
  DISK_GEOMETRY_EX geometry = {};
  if (DeviceIoControl(toHandle(device), IOCTL_DISK_GET_DRIVE_GEOMETRY_EX, nullptr, 0, &geometry,
                      sizeof geometry, &returned, nullptr)) {
    bytes = geometry.DiskSize.QuadPart;
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
    case ERROR_LOCK_VIOLATION:
      return ErrorKind::Busy;
    case ERROR_SHARING_VIOLATION:
      return ErrorKind::InUse;
    case ERROR_NOT_READY:
    case ERROR_NO_MEDIA_IN_DRIVE:
      return ErrorKind::NotReady;
    case ERROR_NOT_SUPPORTED:
      return ErrorKind::Unsupported;
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
  const std::wstring volume = volumeOfFile(systemPath(path));
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

// Whether a file is there. A page file in use opens for nobody, so its
// attributes are refused with a sharing violation: that means it is there.
bool fileExists(const std::wstring& path) {
  if (GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES) return true;
  return GetLastError() == ERROR_SHARING_VIOLATION;
}

// A string value of the local machine's registry; empty when there is none.
// A list of strings (REG_MULTI_SZ) comes with its strings apart.
std::vector<std::wstring> machineStrings(const wchar_t* key, const wchar_t* value) {
  DWORD bytes = 0;
  const DWORD types = RRF_RT_REG_SZ | RRF_RT_REG_MULTI_SZ;
  if (RegGetValueW(HKEY_LOCAL_MACHINE, key, value, types, nullptr, nullptr, &bytes) !=
          ERROR_SUCCESS ||
      bytes == 0)
    return {};
  std::vector<wchar_t> text(bytes / sizeof(wchar_t) + 2, L'\0');
  bytes = static_cast<DWORD>((text.size() - 2) * sizeof(wchar_t));
  if (RegGetValueW(HKEY_LOCAL_MACHINE, key, value, types, nullptr, text.data(), &bytes) !=
      ERROR_SUCCESS)
    return {};
  std::vector<std::wstring> strings;
  for (std::size_t at = 0; at < text.size() && text[at] != L'\0';) {
    strings.emplace_back(text.data() + at);
    at += strings.back().size() + 1;
  }
  return strings;
}

// Whether any volume on the disk holds a page file: at its root, where the
// system keeps them, or wherever the system says it put one.
bool pageFileOnDisk(DWORD disk) {
  for (std::wstring file :
       machineStrings(L"SYSTEM\\CurrentControlSet\\Control\\Session Manager\\Memory Management",
                      L"ExistingPageFiles")) {
    // \??\C:\pagefile.sys: a path in the system's own name space.
    if (file.compare(0, 4, L"\\??\\") == 0) file.erase(0, 4);
    const std::wstring volume = volumeOfFile(file);
    if (!volume.empty() && volumeOnDisk(volume, disk)) return true;
  }
  wchar_t name[MAX_PATH + 1] = {};
  const win32::VolumeSearch search(FindFirstVolumeW(name, MAX_PATH + 1));
  if (!search) return false;
  do {
    std::wstring volume = name;
    if (!volume.empty() && volume.back() == L'\\') volume.pop_back();
    if (!volumeOnDisk(volume, disk)) continue;
    for (const wchar_t* file : {L"\\pagefile.sys", L"\\swapfile.sys"})
      if (fileExists(volume + file)) return true;
  } while (FindNextVolumeW(search.get(), name, MAX_PATH + 1));
  return false;
}

// Whether the partition the firmware started the system from (the EFI
// system partition, or the active partition of an older PC) lies on the
// disk: the system names it by its device (\Device\HarddiskVolume1).
bool systemPartitionOnDisk(DWORD disk) {
  for (const std::wstring& device : machineStrings(L"SYSTEM\\Setup", L"SystemPartition"))
    if (!device.empty() && device[0] == L'\\' && volumeOnDisk(L"\\\\?\\GLOBALROOT" + device, disk))
      return true;
  return false;
}

// The disk's number, asked through any handle to it.
bool diskNumber(HANDLE disk, DWORD& number) {
  STORAGE_DEVICE_NUMBER device = {};
  DWORD returned = 0;
  if (!DeviceIoControl(disk, IOCTL_STORAGE_GET_DEVICE_NUMBER, nullptr, 0, &device, sizeof device,
                       &returned, nullptr))
    return false;
  number = device.DeviceNumber;
  return true;
}

// The disks' device interfaces, as the system's device setup lists them.
constexpr GUID kDiskInterface = {
    0x53f56307, 0xb6bf, 0x11d0, {0x94, 0xf2, 0x00, 0xa0, 0xc9, 0x1e, 0xfb, 0x8b}};

// The partition types only a PC's own boot disk holds.
constexpr GUID kEfiSystemPartition = {
    0xc12a7328, 0xf81f, 0x11d2, {0xba, 0x4b, 0x00, 0xa0, 0xc9, 0x3e, 0xc9, 0x3b}};
constexpr GUID kMicrosoftReservedPartition = {
    0xe3c9e316, 0x0b5c, 0x4db8, {0x81, 0x7d, 0xf9, 0x2d, 0xf0, 0x02, 0x15, 0xae}};
constexpr GUID kRecoveryPartition = {
    0xde94bba4, 0x06d1, 0x4d40, {0xa1, 0x6d, 0xbf, 0xd5, 0x01, 0x79, 0xd6, 0xac}};
constexpr BYTE kMbrEfiSystem = 0xEF;
constexpr BYTE kMbrRecovery = 0x27;

bool sameGuid(const GUID& a, const GUID& b) { return std::memcmp(&a, &b, sizeof a) == 0; }

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
  return systemVolumeOnDisk(number) || systemPartitionOnDisk(number) || pageFileOnDisk(number);
}

card::RemovalPolicy diskRemovalPolicy(void* disk) {
  DWORD number = 0;
  if (!diskNumber(static_cast<HANDLE>(disk), number)) return card::RemovalPolicy::Unknown;
  const HDEVINFO set = SetupDiGetClassDevsW(&kDiskInterface, nullptr, nullptr,
                                            DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
  if (set == INVALID_HANDLE_VALUE) return card::RemovalPolicy::Unknown;
  card::RemovalPolicy policy = card::RemovalPolicy::Unknown;
  SP_DEVICE_INTERFACE_DATA face = {};
  face.cbSize = sizeof face;
  for (DWORD k = 0; SetupDiEnumDeviceInterfaces(set, nullptr, &kDiskInterface, k, &face); ++k) {
    DWORD bytes = 0;
    SetupDiGetDeviceInterfaceDetailW(set, &face, nullptr, 0, &bytes, nullptr);
    if (bytes < sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W)) continue;
    // Held in 64-bit words: the record's size field is followed by text.
    std::vector<std::uint64_t> storage(bytes / sizeof(std::uint64_t) + 1);
    auto* detail = reinterpret_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_W*>(storage.data());
    detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W);
    SP_DEVINFO_DATA node = {};
    node.cbSize = sizeof node;
    if (!SetupDiGetDeviceInterfaceDetailW(set, &face, detail, bytes, nullptr, &node)) continue;
    const FileHandle other(
        CreateFileW(detail->DevicePath, 0, kShareReadWrite, nullptr, OPEN_EXISTING, 0, nullptr));
    DWORD otherNumber = 0;
    if (!other || !diskNumber(other.get(), otherNumber) || otherNumber != number) continue;
    DWORD value = 0;
    DWORD type = 0;
    if (SetupDiGetDeviceRegistryPropertyW(set, &node, SPDRP_REMOVAL_POLICY, &type,
                                          reinterpret_cast<BYTE*>(&value), sizeof value, nullptr) &&
        type == REG_DWORD) {
      switch (value) {
        case CM_REMOVAL_POLICY_EXPECT_NO_REMOVAL:
          policy = card::RemovalPolicy::ExpectNoRemoval;
          break;
        case CM_REMOVAL_POLICY_EXPECT_ORDERLY_REMOVAL:
          policy = card::RemovalPolicy::OrderlyRemoval;
          break;
        case CM_REMOVAL_POLICY_EXPECT_SURPRISE_REMOVAL:
          policy = card::RemovalPolicy::SurpriseRemoval;
          break;
        default:
          break;
      }
    }
    break;
  }
  SetupDiDestroyDeviceInfoList(set);
  return policy;
}

bool diskHoldsBootPartitions(void* disk) {
  // Room for the partitions of any disk; a larger layout answers that the
  // room is too small, and is asked again with more.
  for (DWORD count = 128; count <= 4096; count *= 4) {
    const std::size_t bytes = offsetof(DRIVE_LAYOUT_INFORMATION_EX, PartitionEntry) +
                              count * sizeof(PARTITION_INFORMATION_EX);
    std::vector<std::uint64_t> storage(bytes / sizeof(std::uint64_t) + 1);
    auto* layout = reinterpret_cast<DRIVE_LAYOUT_INFORMATION_EX*>(storage.data());
    DWORD returned = 0;
    if (!DeviceIoControl(static_cast<HANDLE>(disk), IOCTL_DISK_GET_DRIVE_LAYOUT_EX, nullptr, 0,
                         layout, static_cast<DWORD>(bytes), &returned, nullptr)) {
      if (GetLastError() == ERROR_INSUFFICIENT_BUFFER) continue;
      return false;
    }
    for (DWORD k = 0; k < layout->PartitionCount && k < count; ++k) {
      const PARTITION_INFORMATION_EX& partition = layout->PartitionEntry[k];
      if (partition.PartitionStyle == PARTITION_STYLE_GPT) {
        const GUID& type = partition.Gpt.PartitionType;
        if (sameGuid(type, kEfiSystemPartition) || sameGuid(type, kMicrosoftReservedPartition) ||
            sameGuid(type, kRecoveryPartition))
          return true;
      } else if (partition.PartitionStyle == PARTITION_STYLE_MBR) {
        const BYTE type = partition.Mbr.PartitionType;
        if (type == kMbrEfiSystem || type == kMbrRecovery) return true;
      }
    }
    return false;
  }
  return false;
}

bool Win32DiskServices::holdsPageFile(NativeHandle volume) {
  std::vector<DiskExtent> extents;
  const std::uint32_t error = lastError_;
  if (!volumeDiskExtents(volume, extents)) {
    lastError_ = error;
    return false;
  }
  for (const DiskExtent& extent : extents)
    if (pageFileOnDisk(extent.diskNumber)) return true;
  return false;
}

card::RemovalPolicy Win32DiskServices::removalPolicy(NativeHandle device) {
  return diskRemovalPolicy(toHandle(device));
}

bool Win32DiskServices::holdsBootPartitions(NativeHandle device) {
  return diskHoldsBootPartitions(toHandle(device));
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
  if (!controlWithoutData(toHandle(device), IOCTL_STORAGE_EJECT_MEDIA)) return failed();
  // The reader's own word that its card is out: some take the eject and keep
  // the card. A reader that is gone has let it go with itself.
  if (controlWithoutData(toHandle(device), IOCTL_STORAGE_CHECK_VERIFY2)) {
    lastError_ = ERROR_BUSY;
    return false;
  }
  const DWORD error = GetLastError();
  if (error == ERROR_NOT_READY || error == ERROR_NO_MEDIA_IN_DRIVE ||
      error == ERROR_DEVICE_NOT_CONNECTED)
    return true;
  lastError_ = error;
  return false;
}

}  // namespace disks
