#include "card/disk_facts.h"

#include "card/image_file.h"

namespace card {

DiskVerdict judgeDisk(const DiskFacts& facts) {
  if (facts.systemDisk) return DiskVerdict::SystemDisk;
  if (facts.removableMedia) return DiskVerdict::Card;
  if (facts.bus != kBusTypeSd && facts.bus != kBusTypeMmc) return DiskVerdict::NotRemovable;
  const bool removable = facts.removal == RemovalPolicy::OrderlyRemoval ||
                         facts.removal == RemovalPolicy::SurpriseRemoval ||
                         facts.removal == RemovalPolicy::NotKept;
  if (!removable) return DiskVerdict::BuiltIn;
  // A card that once held a bootable image looks like this too: refused all
  // the same, for what was found rather than as a disk built into the PC.
  return facts.bootPartitions ? DiskVerdict::BootPartitions : DiskVerdict::Card;
}

DiskFacts diskFacts(CardDevices& devices, NativeHandle device, const DriveGeometry& geometry) {
  DiskFacts facts;
  facts.removableMedia = geometry.mediaType == kRemovableMedia;
  facts.bus = devices.busType(device);
  facts.removal = devices.removalPolicy(device);
  facts.bootPartitions = devices.holdsBootPartitions(device);
  facts.systemDisk = devices.systemDisk(device);
  return facts;
}

std::string sectorSizeRefusal(const DriveGeometry& geometry) {
  if (geometry.bytesPerSector == kBlockSize) return {};
  return "card sectors of " + std::to_string(geometry.bytesPerSector) + " bytes are not supported";
}

}  // namespace card
