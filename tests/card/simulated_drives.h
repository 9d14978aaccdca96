// The drives the tests of the card's open and of the card rule declare.
#pragma once

#include <functional>
#include <string>
#include <utility>

#include "disks/simulated_disk_services.h"

namespace card_testing {

using Kind = disks::SimulatedDrive::Kind;

// A drive of `kind` whose letter answers `devicePath` (its disk's own
// path when empty), on disk `number`.
inline disks::SimulatedDrive drive(Kind kind, std::string devicePath = "",
                                   std::string number = "1") {
  disks::SimulatedDrive d;
  d.kind = kind;
  d.devicePath = std::move(devicePath);
  d.diskNumber = std::move(number);
  return d;
}

// A card behind a volume on disk 3, changed by `change`.
inline disks::SimulatedDrive volumeCard(std::function<void(disks::SimulatedDrive&)> change) {
  disks::SimulatedDrive d = drive(Kind::VolumeCard, "", "3");
  change(d);
  return d;
}

}  // namespace card_testing
