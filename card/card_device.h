// From the drive letter the operator names to the card's physical drive.
#pragma once

#include <string>

#include "disk_services.h"
#include "operator_ui.h"
#include "owned.h"

namespace card {

// The longest drive text whose DOS device name (text + ":") fits the 20-byte
// name buffer with its terminating zero.
constexpr std::size_t kMaxDriveText = 18;

// The physical drive path for a device path such as \Device\Harddisk1\DR1,
// or an empty string when the path names no disk number.
std::string physicalDrivePath(const std::string& devicePath);

// Opens the card behind the drive field's text for writing and makes sure it
// holds removable media. On a refusal the operator has been shown why and the
// result is empty, with nothing left open.
CardDevice openCardDevice(DiskServices& disk, OperatorUi& ui);

}  // namespace card
