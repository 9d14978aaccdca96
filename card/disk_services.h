// The narrow interfaces between the card writer and the platform: the raw
// card device, the drive letters and volumes of a system that has them, and
// the image and backup files. The card writer never calls the platform any
// other way, so a run can be replayed against simulated disks.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace card {

// An open platform handle (a Win32 HANDLE, a FILE*, ...), opaque to the card
// writer. Whether it is open is told by the call that produced it.
using NativeHandle = std::uintptr_t;

// The drive geometry record as the system returns it.
struct DriveGeometry {
  std::int64_t cylinders = 0;
  std::uint32_t mediaType = 0;
  std::uint32_t tracksPerCylinder = 0;
  std::uint32_t sectorsPerTrack = 0;
  std::uint32_t bytesPerSector = 0;
};

constexpr std::uint32_t kRemovableMedia = 11;
constexpr std::uint32_t kFixedMedia = 12;

// Which device a volume is, as the system numbers it.
struct StorageDeviceNumber {
  std::uint32_t deviceType = 0;
  std::uint32_t deviceNumber = 0;
  std::uint32_t partitionNumber = 0;
};

// The bus a disk hangs on, as the system names it: a card reader that calls
// its card fixed media still says so by its bus.
constexpr std::uint32_t kBusTypeUnknown = 0x00;
constexpr std::uint32_t kBusTypeSata = 0x0B;
constexpr std::uint32_t kBusTypeSd = 0x0C;
constexpr std::uint32_t kBusTypeMmc = 0x0D;

constexpr std::uint32_t kFileDeviceCdRom = 0x02;
constexpr std::uint32_t kFileDeviceDisk = 0x07;

// One stretch of a volume on a physical disk.
struct DiskExtent {
  std::uint32_t diskNumber = 0;
  std::int64_t startingOffset = 0;
  std::int64_t length = 0;
};

// How the system expects a disk's device to leave it, as it keeps the
// device's removal policy: a disk soldered in or screwed into the PC says it
// expects no removal, a card reader's card that it may go at any time.
enum class RemovalPolicy {
  Unknown,          // the system keeps one but did not tell it
  ExpectNoRemoval,  // built into the PC
  OrderlyRemoval,   // removed after the system is told
  SurpriseRemoval,  // removed at any time
  NotKept,          // the system keeps no such word (Linux): the bus alone tells
};

// What a failed call's error code means to the card writer: a volume that is
// busy now may come free in a moment; a device or volume that another
// program holds open in a way that excludes ours (a sharing violation) too;
// a drive that is not ready has no card in it; anything else is final.
// Unsupported: the device cannot do what was asked at all (a reader, or a
// system, that has no eject), so asking again cannot help.
enum class ErrorKind { Other, Busy, InUse, NotReady, Unsupported };

// The card's raw device, and the block buffer that goes to and from it.
class CardDevices {
 public:
  virtual ~CardDevices() = default;

  // Opens a card's device by its path (\\.\PHYSICALDRIVE1, /dev/sdb) for
  // writing and reading, claimed for the run; its position starts at byte 0.
  // No other program may write to the device meanwhile where the system
  // can promise that; a device that some other handle holds open for writing
  // fails with a busy error.
  virtual bool openDevice(const std::string& path, NativeHandle& device) = 0;
  // The same, letting handles that others hold for writing stay; for a
  // device that stayed busy however long it was waited for. Where the system
  // has no such difference, the plain open.
  virtual bool openDeviceShared(const std::string& path, NativeHandle& device) {
    return openDevice(path, device);
  }
  virtual bool driveGeometry(NativeHandle device, DriveGeometry& geometry) = 0;
  // The device's length in bytes.
  virtual bool deviceLength(NativeHandle device, std::int64_t& bytes) = 0;
  // Moves the device's position to a byte offset from its start.
  virtual bool seekDevice(NativeHandle device, std::int64_t offset) = 0;
  // Writes `size` bytes at the device's current position.
  virtual bool writeDevice(NativeHandle device, const void* data, std::size_t size) = 0;
  // Reads exactly `size` bytes at the device's current position.
  virtual bool readDevice(NativeHandle device, void* data, std::size_t size) = 0;
  // Makes what was written to the device reach the card itself, out of any
  // cache on the way, so that reading it back reads the card.
  virtual bool flushDevice(NativeHandle device) = 0;
  // Asks the system to read the card's partitions afresh after it has been
  // written; nothing is ejected, and a refusal changes nothing.
  virtual void updateLayout(NativeHandle device) = 0;
  virtual void closeDevice(NativeHandle device) = 0;

  // True when the file at `path` (UTF-8) lies on the disk that `device` is
  // open on, or on one of its partitions; false when it lies elsewhere or
  // the system cannot tell.
  virtual bool fileOnDevice(NativeHandle device, const std::string& path) = 0;

  // True when the system says the card refuses writes (the lock switch of an
  // SD adapter, a read-only device); false when it takes them or cannot tell.
  virtual bool writeProtected(NativeHandle device) = 0;
  // The bus the device's disk hangs on (kBusTypeSd, ...); kBusTypeUnknown
  // when the system does not tell.
  virtual std::uint32_t busType(NativeHandle device) = 0;
  // True when the device is the disk the running system lives on: its
  // system folder, its boot volume or the partition the firmware started it
  // from, its root file system, a page file or swap. Such a disk is never a
  // card, whatever it reports. (A disk built into the PC, such as an eMMC,
  // answers through its bus and its removal policy instead.)
  virtual bool systemDisk(NativeHandle device) = 0;
  // The removal policy of the device's disk; RemovalPolicy::NotKept where
  // the system keeps none.
  virtual RemovalPolicy removalPolicy(NativeHandle) { return RemovalPolicy::NotKept; }
  // True when the disk's partitions include one that only a PC's own boot
  // disk holds: an EFI system, a Microsoft reserved or a recovery partition.
  virtual bool holdsBootPartitions(NativeHandle) { return false; }
  // Allows the card's removal and ejects it from its reader, so that the
  // system neither mounts it again nor writes to it; the reader stays. True
  // only when the reader then says it has no card; false when it refuses,
  // keeps the card, or there is nothing to eject, which changes nothing.
  virtual bool ejectMedia(NativeHandle device) = 0;

  // The block buffer, aligned to the sector size for direct I/O and zero;
  // nullptr when it cannot be had.
  virtual void* allocateBuffer(std::size_t size) = 0;
  virtual void freeBuffer(void* buffer) = 0;

  // The system error code of the last failed call, and what it stands for.
  virtual std::uint32_t lastError() = 0;
  virtual ErrorKind errorKind(std::uint32_t code) = 0;
};

// The road from a drive letter to a card's disk, and the volumes the system
// has mounted on it: what a system with drive letters offers.
class DriveLetters {
 public:
  virtual ~DriveLetters() = default;

  // Looks up what a DOS device name ("G:") stands for; `target` receives the
  // first string of the answer (for example \Device\Harddisk1\DR1).
  virtual bool queryDosDevice(const std::string& dosName, std::string& target) = 0;
  // Disk `path` (\\.\PHYSICALDRIVE1) opened for queries only, with no rights
  // needed: the CardDevices questions of what a disk is (its geometry,
  // length, bus, removal policy, partitions, the system on it) answer through
  // it, never a read or a write. Closed with CardDevices::closeDevice.
  virtual bool openDiskForQueries(const std::string& path, NativeHandle& disk) = 0;

  // The paths of every volume the system knows, each one for openVolume.
  virtual bool listVolumes(std::vector<std::string>& paths) = 0;
  // A volume by its path (\\.\G:). With `exclusive` false the handle serves
  // queries only; with it true it can lock and dismount the volume.
  virtual bool openVolume(const std::string& path, bool exclusive, NativeHandle& volume) = 0;
  virtual bool storageDeviceNumber(NativeHandle volume, StorageDeviceNumber& number) = 0;
  virtual bool volumeDiskExtents(NativeHandle volume, std::vector<DiskExtent>& extents) = 0;
  virtual bool lockVolume(NativeHandle volume) = 0;
  // True when a page file lies on the volume: the system's own, never to be
  // waited for.
  virtual bool holdsPageFile(NativeHandle volume) = 0;
  virtual bool dismountVolume(NativeHandle volume) = 0;
  virtual bool unlockVolume(NativeHandle volume) = 0;
  virtual void closeVolume(NativeHandle volume) = 0;

  // The system error code of the last failed call, and what it stands for.
  virtual std::uint32_t lastError() = 0;
  virtual ErrorKind errorKind(std::uint32_t code) = 0;
};

// The road to a card on a system without drive letters, where the operator
// names the card by its device's path.
class DevicePaths {
 public:
  virtual ~DevicePaths() = default;

  // Looks up the device at `name`; `path` receives what is opened (links
  // followed as the system follows them). False when no card's device is
  // there.
  virtual bool findDevice(const std::string& name, std::string& path) = 0;
  virtual std::uint32_t lastError() = 0;
};

// The card image file a run reads, and the backup file a backup writes.
// Paths are UTF-8.
class ImageFiles {
 public:
  virtual ~ImageFiles() = default;

  // The card image file, opened for binary reading.
  virtual bool openImage(const std::string& path, NativeHandle& file) = 0;
  // Reads up to `size` bytes; returns how many arrived.
  virtual std::size_t readImage(NativeHandle file, void* data, std::size_t size) = 0;
  // True when the image file's last read stopped at an error (a bad sector,
  // a share that went away) rather than at the end of the file.
  virtual bool imageReadFailed(NativeHandle file) = 0;
  // Moves the image file's position to a byte offset from its start.
  virtual bool seekImage(NativeHandle file, std::int64_t offset) = 0;
  virtual void closeImage(NativeHandle file) = 0;

  // --- The backup file ---
  // It is written under a temporary name beside the chosen one and put in
  // its place only once it is whole and checked, so that a failed run leaves
  // no file under the chosen name and an earlier file of that name untouched.
  //
  // Creates a new, empty temporary file beside `path`, open for writing,
  // never over an existing file; `temporaryPath` receives its name.
  virtual bool createBackup(const std::string& path, std::string& temporaryPath,
                            NativeHandle& file) = 0;
  // Appends `size` bytes.
  virtual bool writeBackup(NativeHandle file, const void* data, std::size_t size) = 0;
  // Flushes what was written to the disk, then closes the file; it is closed
  // even when the flush fails.
  virtual bool finishBackup(NativeHandle file) = 0;
  // Closes without flushing: the run has failed and the file goes.
  virtual void closeBackup(NativeHandle file) = 0;
  // Puts the closed temporary file in the place of `path`, replacing a file
  // of that name in one step.
  virtual bool placeBackup(const std::string& temporaryPath, const std::string& path) = 0;
  virtual void removeBackup(const std::string& temporaryPath) = 0;

  // The system error code of the last failed call.
  virtual std::uint32_t lastError() = 0;
};

// What a run is given: the three together.
class DiskServices {
 public:
  virtual ~DiskServices() = default;

  virtual CardDevices& devices() = 0;
  virtual ImageFiles& files() = 0;
  // The road to a card the system offers: drive letters (Windows) or the
  // device's own path (Linux); the other one is nullptr.
  virtual DriveLetters* driveLetters() = 0;
  virtual DevicePaths* devicePaths() = 0;
};

}  // namespace card
