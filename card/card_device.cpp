#include "card_device.h"

#include "messages.h"

namespace card {

std::string physicalDrivePath(const std::string& devicePath) {
  static const std::string kMarker = "Harddisk";
  const std::size_t at = devicePath.find(kMarker);
  if (at == std::string::npos) return {};
  // Every digit counts: \Device\Harddisk12 is disk 12, never disk 1.
  std::size_t end = at + kMarker.size();
  while (end < devicePath.size() && devicePath[end] >= '0' && devicePath[end] <= '9') ++end;
  const std::string number = devicePath.substr(at + kMarker.size(), end - at - kMarker.size());
  if (number.empty()) return {};
  return "\\\\.\\PHYSICALDRIVE" + number;
}

CardDevice openCardDevice(DiskServices& disk, OperatorUi& ui) {
  const std::string driveText = ui.driveText();
  std::string target;
  if (driveText.size() > kMaxDriveText || !disk.queryDosDevice(driveText + ":", target)) {
    ui.showMessage("could not query device", kErrorCaption);
    return {};
  }
  const std::string path = physicalDrivePath(target);
  if (path.empty()) {
    ui.showMessage("Query did not return expected dive number", kErrorCaption);
    return {};
  }
  NativeHandle handle = 0;
  if (!disk.openDevice(path, handle)) {
    ui.showMessage("MMC drive open error", kErrorCaption);
    return {};
  }
  CardDevice device(disk, handle);
  DriveGeometry geometry;
  if (!disk.driveGeometry(device.get(), geometry)) {
    ui.showMessage("IOCTL_DISK_GET_DRIVE_GEOMETRY failed", kErrorCaption);
    device.release();
    return {};
  }
  if (geometry.mediaType != kRemovableMedia) {
    ui.showMessage("your system does not recognize a removable media at >" + ui.driveText(),
                   kErrorCaption);
    device.release();
    return {};
  }
  return device;
}

}  // namespace card
