#include "disks/simulated_drive_text.h"

#include <cstdlib>
#include <sstream>

namespace disks {
namespace {

std::vector<std::string> split(const std::string& text, char separator) {
  std::vector<std::string> parts;
  std::istringstream stream(text);
  std::string part;
  while (std::getline(stream, part, separator))
    if (!part.empty()) parts.push_back(part);
  return parts;
}

}  // namespace

bool parseSimulatedDrives(const std::string& text, SimulatedDrives& drives, std::string& error) {
  drives.clear();
  for (const std::string& entry : split(text, ';')) {
    const std::size_t equals = entry.find('=');
    if (equals == std::string::npos || equals == 0) {
      error = "a drive needs a letter: " + entry;
      return false;
    }
    const std::string letter = entry.substr(0, equals);
    const std::vector<std::string> fields = split(entry.substr(equals + 1), ',');
    SimulatedDrive drive;
    for (std::size_t k = 0; k < fields.size(); ++k) {
      const std::string& field = fields[k];
      const std::size_t at = field.find('=');
      const std::string key = field.substr(0, at);
      const std::string value = at == std::string::npos ? "" : field.substr(at + 1);
      if (k == 0 && at == std::string::npos) {
        if (key == "card")
          drive.kind = SimulatedDrive::Kind::RemovableCard;
        else if (key == "fixed")
          drive.kind = SimulatedDrive::Kind::FixedDisk;
        else if (key == "cdrom")
          drive.kind = SimulatedDrive::Kind::CdRom;
        else if (key == "volume")
          drive.kind = SimulatedDrive::Kind::VolumeCard;
        else {
          error = "unknown kind of drive: " + key;
          return false;
        }
      } else if (key == "file") {
        drive.file = value;
      } else if (key == "disk") {
        drive.diskNumber = value;
      } else if (key == "device") {
        drive.devicePath = value;
      } else if (key == "blocks") {
        drive.blocks = std::strtoll(value.c_str(), nullptr, 10);
      } else if (key == "locked") {
        drive.lockRefusals = -1;
      } else if (key == "notready") {
        drive.notReady = true;
      } else if (key == "sectors") {
        drive.sectorBytes = static_cast<std::uint32_t>(std::strtoul(value.c_str(), nullptr, 10));
      } else if (key == "protected") {
        drive.writeProtected = true;
      } else if (key == "system") {
        drive.systemDisk = true;
      } else if (key == "bus") {
        if (value == "sd")
          drive.busType = card::kBusTypeSd;
        else if (value == "mmc")
          drive.busType = card::kBusTypeMmc;
        else if (value == "sata")
          drive.busType = card::kBusTypeSata;
        else {
          error = "unknown bus: " + value;
          return false;
        }
      } else if (key == "removal") {
        if (value == "surprise")
          drive.removalPolicy = card::RemovalPolicy::SurpriseRemoval;
        else if (value == "orderly")
          drive.removalPolicy = card::RemovalPolicy::OrderlyRemoval;
        else if (value == "none")
          drive.removalPolicy = card::RemovalPolicy::ExpectNoRemoval;
        else if (value == "unknown")
          drive.removalPolicy = card::RemovalPolicy::Unknown;
        else {
          error = "unknown removal policy: " + value;
          return false;
        }
      } else if (key == "efi") {
        drive.bootPartitions = true;
      } else if (key == "noeject") {
        drive.cannotEject = true;
      } else if (key == "pagefile") {
        drive.pageFile = true;
      } else if (key == "folder") {
        drive.folder = value;
      } else if (key == "unreadable") {
        drive.unreadableBlock = std::strtoll(value.c_str(), nullptr, 10);
      } else if (key == "changing") {
        drive.changingBlock = std::strtoll(value.c_str(), nullptr, 10);
      } else if (key == "refuse") {
        drive.refuseBlock = std::strtoll(value.c_str(), nullptr, 10);
      } else if (key == "error") {
        drive.refuseError = static_cast<std::uint32_t>(std::strtoul(value.c_str(), nullptr, 10));
      } else {
        error = "unknown setting: " + field;
        return false;
      }
    }
    drives.emplace_back(letter, drive);
  }
  return true;
}

}  // namespace disks
