// The card writer's types that the disk services answer in, named here once
// for the whole of disks/.
#pragma once

#include "card/disk_services.h"

namespace disks {

using card::CardDevices;
using card::DevicePaths;
using card::DiskExtent;
using card::DiskServices;
using card::DriveGeometry;
using card::DriveLetters;
using card::ErrorKind;
using card::ImageFiles;
using card::kFileDeviceCdRom;
using card::kFileDeviceDisk;
using card::kFixedMedia;
using card::kRemovableMedia;
using card::NativeHandle;
using card::StorageDeviceNumber;

}  // namespace disks
