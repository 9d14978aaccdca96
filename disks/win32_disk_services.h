// The card writer's platform calls on Windows: the raw disk, the card's
// volume, the image file and the block buffer. The only place that calls the
// raw-disk API.
#pragma once

#include <cstdint>

#include "card/disk_services.h"
#include "disks/image_files.h"
#include "disks/backup_files.h"

namespace card {

// What a disk is, asked through any handle to it (one opened for queries
// only will do): the command line's list asks the same as a run.
// The bus of the disk behind `disk` (a HANDLE); kBusTypeUnknown when it
// does not tell.
std::uint32_t diskBusType(void* disk);
// Whether disk `number` holds the Windows folder, the system drive or a
// page file.
bool diskHoldsSystem(std::uint32_t number);

class Win32DiskServices final : public DiskServices {
 public:
  bool queryDosDevice(const std::string& dosName, std::string& target) override;

  bool openDevice(const std::string& path, NativeHandle& device) override;
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
  // Keeps the system's error code of a failed call; returns false so that a
  // failing path reads `return failed();`.
  bool failed();

  std::uint32_t lastError_ = 0;
  ImageFiles images_;
  BackupFiles targets_;
  BlockBuffers buffers_;
};

}  // namespace card
