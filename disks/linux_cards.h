// Block devices as Linux shows them in sysfs and in the mount table: which
// whole disks are removable cards, what each is, and what of it is mounted.
// The roots are parameters so that a test can lay out a tree of its own.
#pragma once

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

// Whether the whole disk `name` holds the root file system or swap: the
// system's own disk, never a card.
bool holdsSystem(const SystemPaths& paths, const std::string& name);

// Whole disks whose `removable` flag is 1, disks of the MMC host (a built-in
// reader calls its card fixed) but the system's own, and loop devices over a
// file.
std::vector<CardDescription> listLinuxCards(const SystemPaths& paths);

// The whole disk `name` (sdb, loop0): size, vendor, model, what is mounted.
CardDescription describeLinuxDisk(const SystemPaths& paths, const std::string& name);

// The file a loop device reads and writes, or "" for any other device.
std::string loopBackingFile(const SystemPaths& paths, const std::string& name);

// The whole disk a partition lies on ("sdb" for sdb1), or "" when `name` is
// no partition.
std::string diskOfPartition(const SystemPaths& paths, const std::string& name);

}  // namespace disks
