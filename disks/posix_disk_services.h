// Disk services for Linux block devices: the card writer's write and
// read-back paths against a real device (a card reader's disk, a loop
// device), opened for direct I/O. Drive letters and volumes are a Windows
// matter and are not found here: a device is opened by its path.
#pragma once

#include <cstdint>
#include <set>
#include <string>
#include <vector>

#include "disks/card_types.h"
#include "disks/image_files.h"
#include "disks/plain_files.h"

namespace disks {

class PosixDiskServices final : public DiskServices, public CardDevices, public DevicePaths {
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
  int openImages() const { return files_.openImages(); }
  int openBackups() const { return files_.openBackups(); }
  int liveBuffers() const { return buffers_.liveCount(); }
  // False when the last device opened had to go through the page cache
  // because its file system refuses direct I/O.
  bool lastOpenDirect() const { return lastOpenDirect_; }

  CardDevices& devices() override { return *this; }
  ImageFiles& files() override { return files_; }
  // No drive letters here: a card is named by its device's path, which must
  // be a block device.
  DriveLetters* driveLetters() override { return nullptr; }
  DevicePaths* devicePaths() override { return this; }
  bool findDevice(const std::string& name, std::string& path) override;

  bool openDevice(const std::string& path, NativeHandle& device) override;
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
  std::uint32_t lastError() override { return error_; }
  ErrorKind errorKind(std::uint32_t code) override;

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
  PlainFiles files_;
  BlockBuffers buffers_;
};

}  // namespace disks
