// Disk services for Linux block devices: the card writer's write and
// read-back paths against a real device (a card reader's disk, a loop
// device), opened for direct I/O. Drive letters and volumes are a Windows
// matter and are not found here: a device is opened by its path.
#pragma once

#include <cstdint>
#include <set>
#include <string>
#include <vector>

#include "card/disk_services.h"
#include "disks/image_files.h"
#include "disks/backup_files.h"

namespace card {

class PosixDiskServices final : public DiskServices {
 public:
  struct Options {
    // Whether a loop device over a plain file counts as removable media: a
    // card image someone attached, whose writes reach that file and nothing
    // else. The command line takes it so; over a block device it never is.
    bool loopOverFileIsRemovable = false;
  };

  PosixDiskServices() = default;
  explicit PosixDiskServices(const Options& options) : options_(options) {}
  PosixDiskServices(const PosixDiskServices&) = delete;
  PosixDiskServices& operator=(const PosixDiskServices&) = delete;
  // Whatever a caller left open is released here.
  ~PosixDiskServices() override;

  // What is open right now.
  int openDevices() const { return static_cast<int>(devices_.size()); }
  int openImages() const { return images_.openCount(); }
  int openBackups() const { return targets_.openCount(); }
  int liveBuffers() const { return buffers_.liveCount(); }
  // False when the last device opened had to go through the page cache
  // because its file system refuses direct I/O.
  bool lastOpenDirect() const { return lastOpenDirect_; }

  // No drive letters here: a card is named by its device's path, and the
  // lookup of "/dev/sdb:" answers "/dev/sdb" when that is a block device.
  bool queryDosDevice(const std::string& dosName, std::string& target) override;
  bool openDevice(const std::string& path, NativeHandle& device) override;
  bool driveGeometry(NativeHandle device, DriveGeometry& geometry) override;
  bool writeDevice(NativeHandle device, const void* data, std::size_t size) override;
  std::uint32_t lastError() override { return error_; }
  void closeDevice(NativeHandle device) override;
  bool seekDevice(NativeHandle device, std::int64_t offset) override;
  bool readDevice(NativeHandle device, void* data, std::size_t size) override;
  bool deviceLength(NativeHandle device, std::int64_t& bytes) override;

  bool openVolume(const std::string& path, bool exclusive, NativeHandle& volume) override;
  bool storageDeviceNumber(NativeHandle volume, StorageDeviceNumber& number) override;
  bool volumeDiskExtents(NativeHandle volume, std::vector<DiskExtent>& extents) override;
  bool lockVolume(NativeHandle volume) override;
  bool dismountVolume(NativeHandle volume) override;
  bool unlockVolume(NativeHandle volume) override;
  void closeVolume(NativeHandle volume) override;

  bool openImage(const std::string& path, NativeHandle& file) override;
  std::size_t readImage(NativeHandle file, void* data, std::size_t size) override;
  bool seekImage(NativeHandle file, std::int64_t offset) override;
  void closeImage(NativeHandle file) override;

  // The image file a card is read into.
  bool createBackup(const std::string& targetPath, std::string& temporaryPath,
                    NativeHandle& file) override;
  bool writeBackup(NativeHandle file, const void* data, std::size_t size) override;
  bool finishBackup(NativeHandle file) override;
  void closeBackup(NativeHandle file) override;
  bool placeBackup(const std::string& temporaryPath, const std::string& targetPath) override;
  void removeBackup(const std::string& temporaryPath) override;

  void* allocateBuffer(std::size_t size) override;
  void freeBuffer(void* buffer) override;

  // The card on a real PC.
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
  bool ejectMedia(NativeHandle device) override;

 private:
  // The descriptor behind a handle this object opened, or -1 (with the
  // error set) for any other handle.
  int descriptor(NativeHandle device);
  bool fail(int error);

  Options options_;
  std::uint32_t error_ = 0;
  bool lastOpenDirect_ = true;
  std::set<int> devices_;
  ImageFiles images_;
  BackupFiles targets_;
  BlockBuffers buffers_;
};

}  // namespace card
