// Block devices as Linux shows them in sysfs and in the mount table: which
// whole disks are removable cards, what each is, and what of it is mounted.
// The roots are parameters so that a test can lay out a tree of its own.
#pragma once

#include <set>
#include <string>
#include <vector>

#include "disks/cards.h"

namespace disks {

struct SystemPaths {
  std::string sys = "/sys";
  std::string dev = "/dev";
  std::string mounts = "/proc/self/mounts";
  std::string swaps = "/proc/swaps";
};

// The whole disks (by their sysfs names: "vda", "dm-0", "loop3") the running
// system lives on: every disk holding /, /usr, /boot, /boot/efi (or /efi) or
// an active swap, followed beneath device-mapper and RAID devices to the
// disks they are made of, and beneath a loop device to the disk holding its
// backing file. Such a disk is never a card, whatever it reports.
std::set<std::string> systemDisks(const SystemPaths& paths);
bool holdsSystem(const SystemPaths& paths, const std::string& name);

// Whether the whole disk `name` is built into the PC: an eMMC chip (the disk
// of the MMC host that has boot or replay-protected areas beside it), or one
// of those areas (mmcblk0boot0, mmcblk0rpmb). Never a card.
bool builtIn(const SystemPaths& paths, const std::string& name);

// Whole disks whose `removable` flag is 1, disks of the MMC host (a built-in
// reader calls its card fixed) and loop devices over a file; never a disk
// the running system lives on nor one built into the PC.
std::vector<CardDescription> listLinuxCards(const SystemPaths& paths);

// The whole disk `name` (sdb, loop0): size, vendor, model, what is mounted.
CardDescription describeLinuxDisk(const SystemPaths& paths, const std::string& name);

// The file a loop device reads and writes, or "" for any other device.
std::string loopBackingFile(const SystemPaths& paths, const std::string& name);

// What is refused of the device `name` (a path under paths.dev) before the
// card writer is asked, with the message to show; empty when nothing. The
// system's own disk and a disk built into the PC come first, then a
// partition, a mounted card, a loop device over one of `files`.
std::string linuxCardRefusal(const SystemPaths& paths, const std::string& name,
                             const std::vector<std::string>& files, CardUse use = CardUse::Write);

// The whole disk a partition lies on ("sdb" for sdb1), or "" when `name` is
// no partition.
std::string diskOfPartition(const SystemPaths& paths, const std::string& name);

}  // namespace disks
