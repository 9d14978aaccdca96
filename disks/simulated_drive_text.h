// The simulated drives as the demonstration build reads them from its
// environment: entries separated by ";", settings by ",", for example
//   G=card,file=/tmp/g.img,disk=1,refuse=37,error=1117;H=fixed,file=/tmp/h.img;I=cdrom;J=volume
#pragma once

#include <string>
#include <utility>
#include <vector>

#include "disks/simulated_drive.h"

namespace disks {

// Each drive text with its drive, in the order the text declares them.
using SimulatedDrives = std::vector<std::pair<std::string, SimulatedDrive>>;

// False, with `error` set, when the text cannot be read.
bool parseSimulatedDrives(const std::string& text, SimulatedDrives& drives, std::string& error);

}  // namespace disks
