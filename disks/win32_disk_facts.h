// What a disk tells of itself on Windows, asked through any handle to it
// (one opened for queries only will do), so that `list` asks the same as a
// run. The answers are read by functions of the answers alone, so that a
// test can give them.
#pragma once

#include <windows.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "card/disk_services.h"

namespace disks {

// What the disk's storage descriptor says: its bus and the reader's names.
struct StorageDescriptor {
  bool answered = false;
  std::uint32_t bus = card::kBusTypeUnknown;
  std::string vendor;
  std::string product;
};
StorageDescriptor storageDescriptor(HANDLE disk);

// One disk as the system's device setup lists it: the disk's number (when
// its device opens and tells it) and its removal policy (when the setup
// keeps one).
struct SetupDisk {
  bool numbered = false;
  std::uint32_t number = 0;
  bool hasPolicy = false;
  std::uint32_t policy = 0;  // CM_REMOVAL_POLICY_...
};
// The removal policy of disk `disk`: its own entry's, Unknown when it has
// none or is not listed.
card::RemovalPolicy removalPolicyOf(std::uint32_t disk, const std::vector<SetupDisk>& listed);
// The device setup's disks, as the system lists them now.
std::vector<SetupDisk> setupDisks();

// Whether a drive layout, as IOCTL_DISK_GET_DRIVE_LAYOUT_EX answers it in
// `size` bytes, holds a partition only a PC's own boot disk holds: an EFI
// system, Microsoft reserved or recovery partition, by its GPT type or its
// MBR type.
bool layoutHoldsBootPartitions(const void* layout, std::size_t size);

// Whether the disk says it is write-protected: a card whose lock switch is
// on.
bool diskWriteProtected(HANDLE disk);

}  // namespace disks
