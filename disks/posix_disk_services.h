// Disk services on the POSIX calls every Unix-like system has: a card's
// device opened by its path for direct I/O, read and written in place, and
// the image and backup files. What a device is (its sectors, its length,
// whether it is a card) is the system's own matter: each system's services
// derive from these and answer it (disks/linux_disk_services.h). Drive
// letters and volumes are a Windows matter and are not found here.
#pragma once

#include <cstdint>
#include <map>
#include <string>

#include "disks/card_types.h"
#include "disks/image_files.h"
#include "disks/plain_files.h"

namespace disks {

class PosixDiskServices : public DiskServices, public CardDevices, public DevicePaths {
 public:
  PosixDiskServices() = default;
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
  bool seekDevice(NativeHandle device, std::int64_t offset) override;
  bool writeDevice(NativeHandle device, const void* data, std::size_t size) override;
  bool readDevice(NativeHandle device, void* data, std::size_t size) override;
  bool flushDevice(NativeHandle device) override;
  void closeDevice(NativeHandle device) override;
  void* allocateBuffer(std::size_t size) override;
  void freeBuffer(void* buffer) override;
  std::uint32_t lastError() override { return error_; }
  ErrorKind errorKind(std::uint32_t code) override;

  // Nothing here offers to format a card or writes to one that is not
  // mounted: the card stays in the reader.
  bool ejectMedia(NativeHandle device) override;

 protected:
  // The descriptor behind a handle this object opened, or -1 (with the
  // error set) for any other handle.
  int descriptor(NativeHandle device);
  // The path a handle was opened by.
  std::string pathOf(NativeHandle device) const;
  bool fail(int error);

 private:
  std::uint32_t error_ = 0;
  bool lastOpenDirect_ = true;
  std::map<int, std::string> devices_;
  PlainFiles files_;
  BlockBuffers buffers_;
};

}  // namespace disks
