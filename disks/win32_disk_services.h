// The card writer's platform calls on Windows: the raw disk, the drive
// letters and the card's volumes, and the block buffer (the image and backup
// files are the plain files every back-end shares). With the files beside it
// (win32_disk_open, win32_disk_facts, win32_lock_eject), the only place that
// calls the raw-disk API.
#pragma once

#include <cstdint>

#include "disks/card_types.h"
#include "disks/image_files.h"
#include "disks/plain_files.h"

namespace disks {

class Win32DiskServices final : public DiskServices, public CardDevices, public DriveLetters {
 public:
  CardDevices& devices() override { return *this; }
  ImageFiles& files() override { return files_; }
  DriveLetters* driveLetters() override { return this; }
  DevicePaths* devicePaths() override { return nullptr; }

  // What is open right now.
  int openImages() const { return files_.openImages(); }
  int openBackups() const { return files_.openBackups(); }

  // The card's device.
  bool openDevice(const std::string& path, NativeHandle& device) override;
  bool openDeviceShared(const std::string& path, NativeHandle& device) override;
  bool driveGeometry(NativeHandle device, DriveGeometry& geometry) override;
  bool deviceLength(NativeHandle device, std::int64_t& bytes) override;
  bool seekDevice(NativeHandle device, std::int64_t offset) override;
  bool writeDevice(NativeHandle device, const void* data, std::size_t size) override;
  bool readDevice(NativeHandle device, void* data, std::size_t size) override;
  bool flushDevice(NativeHandle device) override;
  void updateLayout(NativeHandle device) override;
  void closeDevice(NativeHandle device) override;
  bool fileOnDevice(NativeHandle device, const std::string& path) override;
  void* allocateBuffer(std::size_t size) override;
  void freeBuffer(void* buffer) override;

  // The drive letters and the volumes on a card.
  bool queryDosDevice(const std::string& dosName, std::string& target) override;
  bool openDiskForQueries(const std::string& path, NativeHandle& disk) override;
  bool listVolumes(std::vector<std::string>& paths) override;
  bool openVolume(const std::string& path, bool exclusive, NativeHandle& volume) override;
  bool storageDeviceNumber(NativeHandle volume, StorageDeviceNumber& number) override;
  bool volumeDiskExtents(NativeHandle volume, std::vector<DiskExtent>& extents) override;
  bool lockVolume(NativeHandle volume) override;
  bool holdsPageFile(NativeHandle volume) override;
  bool dismountVolume(NativeHandle volume) override;
  bool unlockVolume(NativeHandle volume) override;
  void closeVolume(NativeHandle volume) override;

  // Both the device's calls and the volumes'.
  std::uint32_t lastError() override { return lastError_; }
  ErrorKind errorKind(std::uint32_t code) override;

  // What the card is and what becomes of it after a write.
  bool writeProtected(NativeHandle device) override;
  std::uint32_t busType(NativeHandle device) override;
  bool systemDisk(NativeHandle device) override;
  card::RemovalPolicy removalPolicy(NativeHandle device) override;
  bool holdsBootPartitions(NativeHandle device) override;
  bool ejectMedia(NativeHandle device) override;

 private:
  // Keeps the system's error code of a failed call; returns false so that a
  // failing path reads `return failed();`.
  bool failed();

  std::uint32_t lastError_ = 0;
  PlainFiles files_;
  BlockBuffers buffers_;
};

}  // namespace disks
