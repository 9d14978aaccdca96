// Disk services for Linux block devices: a card reader's disk, a loop
// device. What a device is comes from the card rule over the system's
// snapshot (disks/linux_card_rule.h), the same that list and the refusals
// read; its sectors and length from the block device's own calls.
#pragma once

#include <memory>

#include "card/card_device.h"
#include "disks/linux_system.h"
#include "disks/posix_disk_services.h"

namespace disks {

class LinuxDiskServices final : public PosixDiskServices {
 public:
  struct Options {
    // Whether a loop device over a plain file counts as removable media: a
    // card image someone attached, whose writes reach that file and nothing
    // else. The command line takes it so; over a block device it never is.
    bool loopOverFileIsRemovable = false;
  };

  // Over a snapshot of the system taken now.
  LinuxDiskServices() : LinuxDiskServices(Options{}) {}
  explicit LinuxDiskServices(const Options& options)
      : LinuxDiskServices(options, std::make_shared<const LinuxSystem>()) {}
  // Over a test's laid-out system; nullptr: over the command's one snapshot
  // (thisSystem), asked for only when a card is, so that a command that
  // touches files alone never reads the system's disks.
  LinuxDiskServices(const Options& options, std::shared_ptr<const LinuxSystem> system)
      : options_(options), system_(std::move(system)) {}

  bool driveGeometry(NativeHandle device, DriveGeometry& geometry) override;
  bool deviceLength(NativeHandle device, std::int64_t& bytes) override;
  void updateLayout(NativeHandle device) override;
  bool fileOnDevice(NativeHandle device, const std::string& path) override;
  ErrorKind errorKind(std::uint32_t code) override;

  // What the card is, from the card rule.
  bool writeProtected(NativeHandle device) override;
  std::uint32_t busType(NativeHandle device) override;
  bool systemDisk(NativeHandle device) override;
  card::RemovalPolicy removalPolicy(NativeHandle device) override;

 private:
  // The whole disk (its sysfs name) the handle's device lies on; "" for a
  // plain file or a device the system does not show.
  std::string diskOf(NativeHandle device);
  card::DiskFacts factsOf(NativeHandle device);
  const LinuxSystem& system();

  Options options_;
  std::shared_ptr<const LinuxSystem> system_;
};

}  // namespace disks
