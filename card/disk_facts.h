// What the system tells of a disk, and what that makes it to the card
// writer: a card, or a disk that is never written.
#pragma once

#include <cstdint>
#include <string>

#include "card/disk_services.h"

namespace card {

// What the system tells of a disk that decides whether it is a card.
struct DiskFacts {
  bool removableMedia = false;  // its geometry says removable media
  std::uint32_t bus = kBusTypeUnknown;
  RemovalPolicy removal = RemovalPolicy::Unknown;
  bool bootPartitions = false;  // an EFI system, Microsoft reserved or recovery partition
  bool systemDisk = false;      // CardDevices::systemDisk
};

// What a disk is to the card writer.
enum class DiskVerdict {
  Card,
  NotRemovable,    // a fixed disk that is no reader's card
  BuiltIn,         // on the SD or MMC bus, but built into the PC (an eMMC)
  BootPartitions,  // on the SD or MMC bus and expected to be removed, but it
                   // holds a PC's boot partitions
  SystemDisk,      // the disk the running system lives on
};

// Whether a disk counts as a card: never the disk the running system lives
// on, whatever it reports; then removable media; or a disk on the SD or MMC
// bus (some readers call their card fixed) that its system expects to be
// removed and that holds none of a PC's boot partitions: a laptop's eMMC is
// on that bus too.
DiskVerdict judgeDisk(const DiskFacts& facts);

// The facts of the disk open as `device` (for a run, or for queries only).
DiskFacts diskFacts(CardDevices& devices, NativeHandle device, const DriveGeometry& geometry);

inline bool countsAsCard(CardDevices& devices, NativeHandle device, const DriveGeometry& geometry) {
  return judgeDisk(diskFacts(devices, device, geometry)) == DiskVerdict::Card;
}

// The refusal of a card whose sectors are not 512 bytes long, or an empty
// text for one whose sectors are.
std::string sectorSizeRefusal(const DriveGeometry& geometry);

}  // namespace card
