// The block devices of a Linux system as one command finds them: sysfs's
// list of disks, the mount table and the active swaps, each read once when
// the snapshot is made and then only asked. The roots are parameters so that
// a test can lay out a system of its own.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

namespace disks {

struct SystemPaths {
  std::string sys = "/sys";
  std::string dev = "/dev";
  std::string mounts = "/proc/self/mounts";
  std::string swaps = "/proc/swaps";
};

// What a block device's name says of it. The kernel names the MMC host's
// disks mmcblk and a number, and an eMMC chip's extra areas after their
// disk: mmcblk0boot0, mmcblk0boot1, mmcblk0gp1, mmcblk0rpmb.
struct DeviceName {
  enum class Kind {
    Other,     // sdb, vda, dm-0, md0, a partition
    MmcDisk,   // mmcblk0: a built-in reader's card, or an eMMC chip
    EmmcArea,  // mmcblk0boot0, mmcblk0rpmb: an area of an eMMC chip, never a card
    Loop,      // loop3
  };
  Kind kind = Kind::Other;
  std::string disk;  // the MMC host's disk of an area ("mmcblk0"); empty otherwise
};
DeviceName parseDeviceName(const std::string& name);

// A mounted file system as the mount table says, its escapes (\040 for a
// space) undone, and the block device it lies on by its sysfs name ("" for
// one on no block device the system shows).
struct Mount {
  std::string source;
  std::string point;
  std::string device;
};

// What sysfs tells of one block device, read the first time it is asked.
struct BlockFacts {
  std::int64_t bytes = -1;  // -1 when sysfs has no size
  bool removableFlag = false;
  bool readOnly = false;
  std::string vendor;
  std::string model;
  std::string mmcType;      // "SD", "MMC" for a disk of the MMC host
  std::string backingFile;  // a loop device's file; empty for any other device
  bool backingIsPlainFile = false;
  bool hasEmmcAreas = false;  // boot or replay-protected areas beside it
};

class LinuxSystem {
 public:
  explicit LinuxSystem(SystemPaths paths = {});
  LinuxSystem(const LinuxSystem&) = delete;
  LinuxSystem& operator=(const LinuxSystem&) = delete;

  const SystemPaths& paths() const { return paths_; }
  // The whole disks sysfs lists, by name, sorted.
  const std::vector<std::string>& disks() const { return disks_; }
  const std::vector<Mount>& mounts() const { return mounts_; }
  // The whole disk a partition lies on ("sdb" for sdb1); "" when `name` is
  // no partition. Looked for when first asked, then kept.
  std::string diskOfPartition(const std::string& name) const;
  // A disk's partitions, sorted. Listed when first asked, then kept.
  std::vector<std::string> partitionsOf(const std::string& disk) const;
  // Whether `name` is a block device the system shows: a disk or a partition.
  bool isBlock(const std::string& name) const;

  // The whole disks the running system lives on: every disk holding /,
  // /usr, /boot, /boot/efi, /efi or an active swap, followed beneath
  // device-mapper and RAID devices to the disks they are made of, and
  // beneath a loop device to the disk holding its backing file.
  const std::set<std::string>& systemDisks() const { return systemDisks_; }
  bool holdsSystem(const std::string& disk) const { return systemDisks_.count(disk) != 0; }

  // The devices made on top of `disk` or of its partitions (a device-mapper
  // or RAID device over them, and those above it), the disk and its
  // partitions included: what of the disk is in use when one of them is
  // mounted. Found once, then kept.
  std::set<std::string> devicesUsing(const std::string& disk) const;

  // The block device a path names by its sysfs name (through links such as
  // /dev/mapper/root or /dev/disk/by-label/...): a device node's own; ""
  // for any path that is no block device the system shows.
  std::string blockNameOf(const std::string& path) const;

  // What sysfs tells of a disk; read once, then kept. Safe from several
  // threads.
  const BlockFacts& facts(const std::string& name) const;

 private:
  std::string nameOfNumber(std::uint64_t major, std::uint64_t minor) const;
  std::string diskHoldingFile(const std::string& path) const;
  void addDisksBeneath(const std::string& name, int depth);

  SystemPaths paths_;
  std::string dev_;  // paths_.dev, its links followed
  std::vector<std::string> disks_;
  mutable std::mutex partitionsLock_;
  // Each name asked of -> its disk, "" for no partition; each disk listed ->
  // its partitions. Taken after factsLock_ where both are held.
  mutable std::map<std::string, std::string> partitionDisk_;
  mutable std::map<std::string, std::vector<std::string>> partitions_;
  std::vector<Mount> mounts_;
  std::set<std::string> systemDisks_;
  mutable std::mutex factsLock_;
  mutable std::map<std::string, std::unique_ptr<BlockFacts>> facts_;
  mutable std::map<std::string, std::set<std::string>> users_;
};

// The system as this command finds it: made at its first question and then
// shared by list, the description, the refusals and every card's run.
std::shared_ptr<const LinuxSystem> thisSystem();

}  // namespace disks
