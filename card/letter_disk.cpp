#include "card/letter_disk.h"

#include <limits>
#include <vector>

namespace card {
namespace {

// A disk open for queries only, closed as the card's device is.
using QueryDisk = Owned<CardDevices, NativeHandle, &CardDevices::closeDevice>;

// Today's systems answer a card reader's letter with its volume, whose
// number says nothing about the disk. Ask the volume which disk it lives on,
// and accept only a disk that holds the whole volume and that both answers
// name alike; anything else is no disk number at all (-1). A reader with no
// card in it answers that it is not ready, and `notReady` tells so.
std::int64_t diskOfVolume(DriveLetters& letters, const std::string& volumePath, bool& notReady) {
  notReady = false;
  NativeHandle handle = 0;
  if (!letters.openVolume(volumePath, false, handle)) {
    notReady = lastFailureIsNotReady(letters);
    return -1;
  }
  const Volume volume(letters, handle);
  StorageDeviceNumber number;
  std::vector<DiskExtent> extents;
  if (!letters.storageDeviceNumber(volume.get(), number)) {
    notReady = lastFailureIsNotReady(letters);
    return -1;
  }
  if (number.deviceType != kFileDeviceDisk) return -1;
  if (!letters.volumeDiskExtents(volume.get(), extents)) {
    notReady = lastFailureIsNotReady(letters);
    return -1;
  }
  if (extents.size() != 1 || extents[0].diskNumber != number.deviceNumber) return -1;
  return number.deviceNumber;
}

}  // namespace

std::int64_t diskNumberOf(const std::string& devicePath) {
  static const std::string kDisk = "\\Device\\Harddisk";
  if (devicePath.compare(0, kDisk.size(), kDisk) != 0) return -1;
  std::size_t end = kDisk.size();
  // Every digit counts: \Device\Harddisk12 is disk 12, never disk 1.
  std::int64_t number = 0;
  while (end < devicePath.size() && devicePath[end] >= '0' && devicePath[end] <= '9') {
    number = number * 10 + (devicePath[end] - '0');
    // More than the system can number: no disk of ours.
    if (number > std::numeric_limits<std::uint32_t>::max()) return -1;
    ++end;
  }
  if (end == kDisk.size()) return -1;
  if (end < devicePath.size() && devicePath[end] != '\\') return -1;
  return number;
}

std::string physicalDriveOf(std::int64_t diskNumber) {
  return "\\\\.\\PHYSICALDRIVE" + std::to_string(diskNumber);
}

std::string physicalDrivePath(const std::string& devicePath) {
  const std::int64_t number = diskNumberOf(devicePath);
  return number < 0 ? std::string() : physicalDriveOf(number);
}

bool namesVolume(const std::string& devicePath) {
  static const std::string kVolume = "\\Device\\HarddiskVolume";
  return devicePath.compare(0, kVolume.size(), kVolume) == 0;
}

bool volumeLiesOnDisk(DriveLetters& letters, const std::string& volumePath,
                      std::int64_t diskNumber) {
  NativeHandle handle = 0;
  if (!letters.openVolume(volumePath, false, handle)) return false;
  const Volume volume(letters, handle);
  std::vector<DiskExtent> extents;
  if (!letters.volumeDiskExtents(volume.get(), extents)) return false;
  for (const DiskExtent& extent : extents)
    if (extent.diskNumber == diskNumber) return true;
  return false;
}

LetterAnswer diskOfLetter(DriveLetters& letters, const std::string& driveText,
                          std::int64_t& diskNumber) {
  diskNumber = -1;
  std::string target;
  if (driveText.size() > kMaxDriveText || !letters.queryDosDevice(driveText + ":", target))
    return LetterAnswer::NoAnswer;
  if (namesVolume(target)) {
    bool notReady = false;
    diskNumber = diskOfVolume(letters, "\\\\.\\" + driveText + ":", notReady);
    if (notReady) return LetterAnswer::NotReady;
  } else {
    diskNumber = diskNumberOf(target);
  }
  return diskNumber < 0 ? LetterAnswer::NoDisk : LetterAnswer::Disk;
}

LetterDisk examineLetter(DriveLetters& letters, CardDevices& devices,
                         const std::string& driveText) {
  LetterDisk found;
  std::int64_t disk = -1;
  const LetterAnswer answer = diskOfLetter(letters, driveText, disk);
  found.noCard = answer == LetterAnswer::NotReady;
  if (answer != LetterAnswer::Disk) return found;
  found.disk = disk;
  NativeHandle handle = 0;
  if (!letters.openDiskForQueries(physicalDriveOf(disk), handle)) return found;
  const QueryDisk queried(devices, handle);
  DriveGeometry geometry;
  if (!devices.driveGeometry(handle, geometry)) {
    found.noCard = lastFailureIsNotReady(devices);
    return found;
  }
  found.described = true;
  std::int64_t bytes = 0;
  if (devices.deviceLength(handle, bytes)) found.bytes = bytes;
  found.verdict = judgeDisk(diskFacts(devices, handle, geometry));
  return found;
}

}  // namespace card
