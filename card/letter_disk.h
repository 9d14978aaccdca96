// From the drive letter the operator names to the disk behind it, as the
// system answers for the letter and its volume.
#pragma once

#include <cstdint>
#include <string>

#include "card/disk_facts.h"
#include "card/disk_services.h"
#include "card/owned.h"

namespace card {

// The longest drive text whose DOS device name (text + ":") fits the 20-byte
// name buffer with its terminating zero.
constexpr std::size_t kMaxDriveText = 18;

// The physical drive path for a device path such as \Device\Harddisk1\DR1,
// or an empty string when the path names no disk number.
std::string physicalDrivePath(const std::string& devicePath);

// The disk number in a device path that names a disk: \Device\Harddisk,
// its digits, then a backslash or the end. -1 for any other answer, however
// much "Harddisk" it contains (\??\C:\Harddisk1 is a folder, not disk 1).
std::int64_t diskNumberOf(const std::string& devicePath);

// True for a device path that names a volume (\Device\HarddiskVolumeN)
// rather than a disk.
bool namesVolume(const std::string& devicePath);

// The path a disk of that number opens by (\\.\PHYSICALDRIVE1).
std::string physicalDriveOf(std::int64_t diskNumber);

// One of the system's volumes, open for a query or locked for a run.
using Volume = Owned<DriveLetters, NativeHandle, &DriveLetters::closeVolume>;

// What a letter's answer leads to: nothing (the lookup failed), a reader
// with no card in it, something that is no single disk, or a disk.
enum class LetterAnswer { NoAnswer, NotReady, NoDisk, Disk };

// The disk behind a drive letter: the letter's answer names its disk, or a
// volume that lies on one disk; `diskNumber` is -1 unless it is a disk.
LetterAnswer diskOfLetter(DriveLetters& letters, const std::string& driveText,
                          std::int64_t& diskNumber);

// Whether a volume has any of its extents on disk `diskNumber`. A volume
// that cannot be asked (a drive with nothing in it, a network volume) lies
// on no disk the card writer knows of.
bool volumeLiesOnDisk(DriveLetters& letters, const std::string& volumePath,
                      std::int64_t diskNumber);

// True when the last failed call of `services` said that the drive is not
// ready: a reader with no card in it.
template <typename Services>
bool lastFailureIsNotReady(Services& services) {
  return services.errorKind(services.lastError()) == ErrorKind::NotReady;
}

// What a drive letter leads to, found the way a run's open finds it: `list`
// shows the letter as a card only when a run would take it.
struct LetterDisk {
  std::int64_t disk = -1;  // the disk's number; -1 when the letter names no single disk
  bool noCard = false;     // the reader answers that it holds no card
  bool described = false;  // the disk answered what it is (its geometry)
  std::int64_t bytes = -1;
  DiskVerdict verdict = DiskVerdict::NotRemovable;
};
LetterDisk examineLetter(DriveLetters& letters, CardDevices& devices, const std::string& driveText);

}  // namespace card
