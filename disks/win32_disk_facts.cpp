// The facts about a disk on Windows: its geometry, its bus and reader, its
// removal policy, its partitions' types, its lock switch, and whether it is
// one of the system's own.
#include "disks/win32_disk_facts.h"

#include <windows.h>
// After windows.h, which they need.
#include <cfgmgr32.h>
#include <setupapi.h>
#include <winioctl.h>

#include <cstddef>
#include <cstring>

#include "disks/win32_disk_services.h"
#include "disks/win32_system.h"
#include "disks/win32_volumes.h"
#include "win32/device_list.h"

namespace disks {
namespace {

HANDLE toHandle(NativeHandle handle) { return reinterpret_cast<HANDLE>(handle); }

std::string trimmed(std::string text) {
  while (!text.empty() && (text.back() == ' ' || text.back() == '\0')) text.pop_back();
  std::size_t first = 0;
  while (first < text.size() && text[first] == ' ') ++first;
  return text.substr(first);
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

bool bootPartition(const PARTITION_INFORMATION_EX& partition) {
  if (partition.PartitionStyle == PARTITION_STYLE_GPT) {
    const GUID& type = partition.Gpt.PartitionType;
    return sameGuid(type, kEfiSystemPartition) || sameGuid(type, kMicrosoftReservedPartition) ||
           sameGuid(type, kRecoveryPartition);
  }
  if (partition.PartitionStyle == PARTITION_STYLE_MBR) {
    const BYTE type = partition.Mbr.PartitionType;
    return type == kMbrEfiSystem || type == kMbrRecovery;
  }
  return false;
}

}  // namespace

StorageDescriptor storageDescriptor(HANDLE disk) {
  StorageDescriptor found;
  STORAGE_PROPERTY_QUERY query = {};
  query.PropertyId = StorageDeviceProperty;
  query.QueryType = PropertyStandardQuery;
  // Held in 64-bit words: the descriptor's fields are aligned.
  std::uint64_t storage[128] = {};
  DWORD returned = 0;
  if (!DeviceIoControl(disk, IOCTL_STORAGE_QUERY_PROPERTY, &query, sizeof query, storage,
                       sizeof storage, &returned, nullptr))
    return found;
  const auto* descriptor = reinterpret_cast<const STORAGE_DEVICE_DESCRIPTOR*>(storage);
  if (returned >= offsetof(STORAGE_DEVICE_DESCRIPTOR, BusType) + sizeof(STORAGE_BUS_TYPE)) {
    found.answered = true;
    found.bus = static_cast<std::uint32_t>(descriptor->BusType);
  }
  if (returned < sizeof(STORAGE_DEVICE_DESCRIPTOR)) return found;
  const char* bytes = reinterpret_cast<const char*>(storage);
  auto text = [&](DWORD offset) {
    if (offset == 0 || offset >= returned) return std::string();
    return trimmed(std::string(bytes + offset, strnlen(bytes + offset, returned - offset)));
  };
  found.vendor = text(descriptor->VendorIdOffset);
  found.product = text(descriptor->ProductIdOffset);
  return found;
}

card::RemovalPolicy removalPolicyOf(std::uint32_t disk, const std::vector<SetupDisk>& listed) {
  for (const SetupDisk& entry : listed) {
    if (!entry.numbered || entry.number != disk) continue;
    if (!entry.hasPolicy) return card::RemovalPolicy::Unknown;
    switch (entry.policy) {
      case CM_REMOVAL_POLICY_EXPECT_NO_REMOVAL:
        return card::RemovalPolicy::ExpectNoRemoval;
      case CM_REMOVAL_POLICY_EXPECT_ORDERLY_REMOVAL:
        return card::RemovalPolicy::OrderlyRemoval;
      case CM_REMOVAL_POLICY_EXPECT_SURPRISE_REMOVAL:
        return card::RemovalPolicy::SurpriseRemoval;
      default:
        return card::RemovalPolicy::Unknown;
    }
  }
  return card::RemovalPolicy::Unknown;
}

std::vector<SetupDisk> setupDisks() {
  std::vector<SetupDisk> listed;
  const win32::DeviceList set(SetupDiGetClassDevsW(&kDiskInterface, nullptr, nullptr,
                                                   DIGCF_PRESENT | DIGCF_DEVICEINTERFACE));
  if (!set) return listed;
  SP_DEVICE_INTERFACE_DATA face = {};
  face.cbSize = sizeof face;
  for (DWORD k = 0; SetupDiEnumDeviceInterfaces(set.get(), nullptr, &kDiskInterface, k, &face);
       ++k) {
    DWORD bytes = 0;
    SetupDiGetDeviceInterfaceDetailW(set.get(), &face, nullptr, 0, &bytes, nullptr);
    if (bytes < sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W)) continue;
    // Held in 64-bit words: the record's size field is followed by text.
    std::vector<std::uint64_t> storage(bytes / sizeof(std::uint64_t) + 1);
    auto* detail = reinterpret_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_W*>(storage.data());
    detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W);
    SP_DEVINFO_DATA node = {};
    node.cbSize = sizeof node;
    if (!SetupDiGetDeviceInterfaceDetailW(set.get(), &face, detail, bytes, nullptr, &node))
      continue;
    SetupDisk entry;
    StorageDeviceNumber number;
    const win32::FileHandle device = openForQueries(detail->DevicePath);
    if (device && deviceNumber(device.get(), number)) {
      entry.numbered = true;
      entry.number = number.deviceNumber;
    }
    DWORD value = 0;
    DWORD type = 0;
    entry.hasPolicy =
        SetupDiGetDeviceRegistryPropertyW(set.get(), &node, SPDRP_REMOVAL_POLICY, &type,
                                          reinterpret_cast<BYTE*>(&value), sizeof value, nullptr) &&
        type == REG_DWORD;
    entry.policy = value;
    listed.push_back(entry);
  }
  return listed;
}

bool layoutHoldsBootPartitions(const void* layout, std::size_t size) {
  const std::size_t head = offsetof(DRIVE_LAYOUT_INFORMATION_EX, PartitionEntry);
  if (layout == nullptr || size < head) return false;
  const auto* answer = static_cast<const DRIVE_LAYOUT_INFORMATION_EX*>(layout);
  // Only the entries the answer holds, whatever its count says.
  const std::size_t room = (size - head) / sizeof(PARTITION_INFORMATION_EX);
  for (std::size_t k = 0; k < answer->PartitionCount && k < room; ++k)
    if (bootPartition(answer->PartitionEntry[k])) return true;
  return false;
}

bool diskWriteProtected(HANDLE disk) {
  DWORD returned = 0;
  if (DeviceIoControl(disk, IOCTL_DISK_IS_WRITABLE, nullptr, 0, nullptr, 0, &returned, nullptr))
    return false;
  // Only the system's own word counts: a plain file or an old driver that
  // does not know the question takes writes as before.
  return GetLastError() == ERROR_WRITE_PROTECT;
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

std::uint32_t Win32DiskServices::busType(NativeHandle device) {
  return storageDescriptor(toHandle(device)).bus;
}

card::RemovalPolicy Win32DiskServices::removalPolicy(NativeHandle device) {
  StorageDeviceNumber number;
  if (!deviceNumber(toHandle(device), number)) return card::RemovalPolicy::Unknown;
  return removalPolicyOf(number.deviceNumber, setupDisks());
}

bool Win32DiskServices::holdsBootPartitions(NativeHandle device) {
  // Room for the partitions of any disk; a larger layout answers that the
  // room is too small, and is asked again with more.
  for (DWORD count = 128; count <= 4096; count *= 4) {
    const std::size_t bytes = offsetof(DRIVE_LAYOUT_INFORMATION_EX, PartitionEntry) +
                              count * sizeof(PARTITION_INFORMATION_EX);
    // Held in 64-bit words: the layout's fields are aligned.
    std::vector<std::uint64_t> storage(bytes / sizeof(std::uint64_t) + 1);
    DWORD returned = 0;
    if (DeviceIoControl(toHandle(device), IOCTL_DISK_GET_DRIVE_LAYOUT_EX, nullptr, 0,
                        storage.data(), static_cast<DWORD>(bytes), &returned, nullptr))
      return layoutHoldsBootPartitions(storage.data(), returned);
    if (GetLastError() != ERROR_INSUFFICIENT_BUFFER) return false;
  }
  return false;
}

bool Win32DiskServices::writeProtected(NativeHandle device) {
  return diskWriteProtected(toHandle(device));
}

bool Win32DiskServices::systemDisk(NativeHandle device) {
  // A device that cannot say which disk it is has no system volume on it
  // that the card writer could find either.
  StorageDeviceNumber number;
  return deviceNumber(toHandle(device), number) && runningSystemDisks().holds(number.deviceNumber);
}

bool Win32DiskServices::holdsPageFile(NativeHandle volume) {
  // The lock's refusal stays the error to tell.
  const std::uint32_t error = lastError_;
  std::vector<DiskExtent> extents;
  const bool answered = volumeDiskExtents(volume, extents);
  lastError_ = error;
  if (!answered) return false;
  for (const DiskExtent& extent : extents)
    if (runningSystemDisks().pageFiles.count(extent.diskNumber) != 0) return true;
  return false;
}

}  // namespace disks
