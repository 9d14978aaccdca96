// Disk services where a card is a file on disk: for the tests and for the
// demonstration build, never for the product. Every call can be recorded in a
// journal, so a test can see what was opened, written and released, and in
// which order relative to what the operator was shown.
#pragma once

#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "disks/backup_files.h"
#include "disks/card_types.h"
#include "disks/image_files.h"
#include "disks/simulated_drive.h"

namespace disks {

class SimulatedDiskServices : public DiskServices,
                              public CardDevices,
                              public DriveLetters,
                              public ImageFiles {
 public:
  CardDevices& devices() override { return *this; }
  ImageFiles& files() override { return *this; }
  DriveLetters* driveLetters() override { return this; }
  DevicePaths* devicePaths() override { return nullptr; }

  explicit SimulatedDiskServices(std::vector<std::string>* journal = nullptr) : journal_(journal) {}
  ~SimulatedDiskServices() override;

  // Declares the drive behind a drive text ("G"). Letters never declared
  // answer no device.
  void addDrive(const std::string& driveText, SimulatedDrive drive);
  void failAllocation(bool fail) { failAllocation_ = fail; }
  // Every image read that reaches byte `byte` of its file stops there with
  // an error, as a bad sector or a lost share would; -1: never.
  void failImageReadAt(std::int64_t byte) { failImageReadAt_ = byte; }
  // The image file a card is read into: a write that covers byte `byte` of
  // it fails, its flush fails, or putting it in the target's place fails,
  // each with the system error code `error`; error 0 takes the failure back.
  void failBackupWrite(std::int64_t byte, std::uint32_t error) {
    backupWriteError_ = error;
    failBackupByte_ = byte;
  }
  void failBackupFlush(std::uint32_t error) { backupFlushError_ = error; }
  void failBackupPlace(std::uint32_t error) { backupPlaceError_ = error; }

  // What is open right now.
  int openDevices() const { return static_cast<int>(devices_.size()); }
  int openImages() const { return images_.openCount(); }
  int liveBuffers() const { return buffers_.liveCount(); }
  int openVolumes() const { return static_cast<int>(volumes_.size()); }
  int openBackups() const { return backups_.openCount(); }
  int lockedVolumes() const;
  // How often a card was ejected.
  int ejects() const { return ejects_; }
  // How often the volume at `path` (\\.\G:) was asked to lock, and to
  // unlock.
  int lockAttempts(const std::string& path) const;
  int unlocks(const std::string& path) const;

  bool queryDosDevice(const std::string& dosName, std::string& target) override;
  bool openDevice(const std::string& path, NativeHandle& device) override;
  bool openDeviceShared(const std::string& path, NativeHandle& device) override;
  bool openDiskForQueries(const std::string& path, NativeHandle& disk) override;
  bool driveGeometry(NativeHandle device, DriveGeometry& geometry) override;
  bool writeDevice(NativeHandle device, const void* data, std::size_t size) override;
  std::uint32_t lastError() override { return lastError_; }
  void closeDevice(NativeHandle device) override;
  bool seekDevice(NativeHandle device, std::int64_t offset) override;
  bool readDevice(NativeHandle device, void* data, std::size_t size) override;
  bool deviceLength(NativeHandle device, std::int64_t& bytes) override;
  bool openVolume(const std::string& path, bool exclusive, NativeHandle& volume) override;
  bool storageDeviceNumber(NativeHandle volume, StorageDeviceNumber& number) override;
  bool volumeDiskExtents(NativeHandle volume, std::vector<DiskExtent>& extents) override;
  bool lockVolume(NativeHandle volume) override;
  bool holdsPageFile(NativeHandle volume) override;
  bool dismountVolume(NativeHandle volume) override;
  bool unlockVolume(NativeHandle volume) override;
  void closeVolume(NativeHandle volume) override;
  bool openImage(const std::string& path, NativeHandle& file) override;
  std::size_t readImage(NativeHandle file, void* data, std::size_t size) override;
  bool seekImage(NativeHandle file, std::int64_t offset) override;
  void closeImage(NativeHandle file) override;
  bool createBackup(const std::string& targetPath, std::string& temporaryPath,
                    NativeHandle& file) override;
  bool writeBackup(NativeHandle file, const void* data, std::size_t size) override;
  bool finishBackup(NativeHandle file) override;
  void closeBackup(NativeHandle file) override;
  bool placeBackup(const std::string& temporaryPath, const std::string& targetPath) override;
  void removeBackup(const std::string& temporaryPath) override;
  void* allocateBuffer(std::size_t size) override;
  void freeBuffer(void* buffer) override;

  // The card on a real PC. The volumes are the declared letters'
  // (\\.\G:), in the order of their letters.
  bool listVolumes(std::vector<std::string>& paths) override;
  ErrorKind errorKind(std::uint32_t code) override;
  bool flushDevice(NativeHandle device) override;
  void updateLayout(NativeHandle device) override;
  bool fileOnDevice(NativeHandle device, const std::string& path) override;
  bool imageReadFailed(NativeHandle file) override;

  // What the card is and what becomes of it after a write.
  bool writeProtected(NativeHandle device) override;
  std::uint32_t busType(NativeHandle device) override;
  bool systemDisk(NativeHandle device) override;
  card::RemovalPolicy removalPolicy(NativeHandle device) override;
  bool holdsBootPartitions(NativeHandle device) override;
  bool ejectMedia(NativeHandle device) override;

 private:
  struct OpenDevice {
    SimulatedDrive* drive = nullptr;
    std::FILE* file = nullptr;
    std::int64_t position = 0;
  };
  struct OpenVolume {
    SimulatedDrive* drive = nullptr;
    std::string path;
    bool exclusive = false;
    bool locked = false;
  };
  void record(const std::string& entry);
  // Whether a transfer of `size` bytes is more than the drive takes; the
  // error is set when it is.
  bool tooLarge(const SimulatedDrive& drive, std::size_t size);
  std::int64_t volumeDiskNumber(const SimulatedDrive& drive) const;
  std::string devicePathOf(const SimulatedDrive& drive) const;
  // The declared disk that `path` (\\.\PHYSICALDRIVE1) names, or nullptr.
  SimulatedDrive* diskAt(const std::string& path);
  bool openDisk(SimulatedDrive& drive, NativeHandle& device);

  std::vector<std::string>* journal_;
  std::map<std::string, SimulatedDrive> drives_;
  std::map<NativeHandle, OpenVolume> volumes_;
  std::map<NativeHandle, OpenDevice> devices_;
  OpenImages images_;
  BlockBuffers buffers_;
  BackupFiles backups_;
  std::map<NativeHandle, std::int64_t> backupLengths_;
  std::int64_t failBackupByte_ = -1;
  std::uint32_t backupWriteError_ = 0;
  std::uint32_t backupFlushError_ = 0;
  std::uint32_t backupPlaceError_ = 0;
  // How often each drive's changing block has been read.
  std::map<const SimulatedDrive*, int> changingReads_;
  NativeHandle nextHandle_ = 0x100;
  std::uint32_t lastError_ = 0;
  bool failAllocation_ = false;
  std::int64_t failImageReadAt_ = -1;
  std::map<std::string, int> lockAttempts_;
  std::map<std::string, int> unlocks_;
  std::set<NativeHandle> failedReads_;
  int ejects_ = 0;
};

}  // namespace disks
