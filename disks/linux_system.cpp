#include "disks/linux_system.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>

namespace disks {
namespace {

namespace fs = std::filesystem;

// A sysfs attribute's first line, without the padding some drivers add. An
// attribute is one page at most; sysfs hands it over in one read.
std::string attribute(const std::string& path) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return {};
  char page[4096];
  const ssize_t got = ::read(fd, page, sizeof page);
  ::close(fd);
  if (got <= 0) return {};
  std::string text(page, std::size_t(got));
  text = text.substr(0, text.find('\n'));
  const auto first = text.find_first_not_of(" \t");
  const auto last = text.find_last_not_of(" \t\r");
  return first == std::string::npos ? std::string() : text.substr(first, last - first + 1);
}

bool isPlainFile(const std::string& path) {
  struct stat info {};
  return ::stat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode);
}

bool exists(const std::string& path) {
  struct stat info {};
  return ::stat(path.c_str(), &info) == 0;
}

// The names in a folder, "." and ".." left out; none when it cannot be read.
std::vector<std::string> namesIn(const std::string& folder) {
  std::vector<std::string> names;
  DIR* listing = ::opendir(folder.c_str());
  if (listing == nullptr) return names;
  while (const dirent* entry = ::readdir(listing)) {
    const std::string name = entry->d_name;
    if (name != "." && name != "..") names.push_back(name);
  }
  ::closedir(listing);
  return names;
}

bool allDigits(const std::string& text, std::size_t from) {
  return from < text.size() && text.find_first_not_of("0123456789", from) == std::string::npos;
}

// The mount table's and the swap list's escapes (\040 for a space) undone.
std::string unescaped(const std::string& field) {
  std::string out;
  for (std::size_t k = 0; k < field.size(); ++k) {
    if (field[k] == '\\' && k + 3 < field.size()) {
      const std::string octal = field.substr(k + 1, 3);
      if (octal.size() == 3 &&
          std::all_of(octal.begin(), octal.end(), [](char c) { return c >= '0' && c <= '7'; })) {
        out.push_back(static_cast<char>(std::stoi(octal, nullptr, 8)));
        k += 3;
        continue;
      }
    }
    out.push_back(field[k]);
  }
  return out;
}

// The mount points the running system cannot do without: its root, its
// programs, and what the firmware and the boot loader start it from.
bool systemMountPoint(const std::string& point) {
  for (const char* system : {"/", "/usr", "/boot", "/boot/efi", "/efi"})
    if (point == system) return true;
  return false;
}

}  // namespace

DeviceName parseDeviceName(const std::string& name) {
  static const std::string kMmc = "mmcblk";
  static const std::string kLoop = "loop";
  DeviceName parsed;
  if (name.compare(0, kLoop.size(), kLoop) == 0 && allDigits(name, kLoop.size())) {
    parsed.kind = DeviceName::Kind::Loop;
    return parsed;
  }
  if (name.size() <= kMmc.size() || name.compare(0, kMmc.size(), kMmc) != 0) return parsed;
  const std::size_t end = name.find_first_not_of("0123456789", kMmc.size());
  if (end == kMmc.size()) return parsed;
  if (end == std::string::npos) {
    parsed.kind = DeviceName::Kind::MmcDisk;
    return parsed;
  }
  const std::string area = name.substr(end);
  bool isArea = area == "rpmb";
  for (const char* kind : {"boot", "gp"})
    if (area.compare(0, std::strlen(kind), kind) == 0 && allDigits(area, std::strlen(kind)))
      isArea = true;
  if (isArea) {
    parsed.kind = DeviceName::Kind::EmmcArea;
    parsed.disk = name.substr(0, end);
  }
  return parsed;
}

LinuxSystem::LinuxSystem(SystemPaths paths) : paths_(std::move(paths)) {
  // The disks; a disk's partitions are looked for when a question needs
  // them, not for every disk of the system.
  disks_ = namesIn(paths_.sys + "/block");
  std::sort(disks_.begin(), disks_.end());
  std::error_code error;
  const fs::path dev = fs::canonical(paths_.dev, error);
  if (!error) dev_ = dev.string();

  // What is mounted, and on which device.
  std::ifstream table(paths_.mounts);
  for (std::string entry; std::getline(table, entry);) {
    std::istringstream fields(entry);
    Mount mount;
    if (!(fields >> mount.source >> mount.point)) continue;
    mount.source = unescaped(mount.source);
    mount.point = unescaped(mount.point);
    if (!mount.source.empty() && mount.source[0] == '/') mount.device = blockNameOf(mount.source);
    // A source that names no device the system shows (/dev/root, which the
    // kernel writes for the root it mounted itself): the device of the
    // mount point's own file system. Asked only of the system's mount
    // points, whose file systems always answer.
    struct stat info {};
    if (mount.device.empty() && systemMountPoint(mount.point) &&
        ::stat(mount.point.c_str(), &info) == 0)
      mount.device = nameOfNumber(major(info.st_dev), minor(info.st_dev));
    mounts_.push_back(std::move(mount));
  }

  // The disks the running system lives on.
  for (const Mount& mount : mounts_)
    if (systemMountPoint(mount.point)) addDisksBeneath(mount.device, 0);
  std::ifstream swaps(paths_.swaps);
  std::string entry;
  std::getline(swaps, entry);  // the column names
  while (std::getline(swaps, entry)) {
    std::istringstream fields(entry);
    std::string source;
    if (!(fields >> source)) continue;
    source = unescaped(source);
    const std::string device = blockNameOf(source);
    addDisksBeneath(device.empty() ? diskHoldingFile(source) : device, 0);
  }
}

std::string LinuxSystem::diskOfPartition(const std::string& name) const {
  const std::lock_guard<std::mutex> hold(partitionsLock_);
  const auto kept = partitionDisk_.find(name);
  if (kept != partitionDisk_.end()) return kept->second;
  // The kernel names a partition after its disk (sdb1, mmcblk0p1) and shows
  // it in the disk's folder, marked by its "partition" file.
  std::string found;
  if (!std::binary_search(disks_.begin(), disks_.end(), name))
    for (const std::string& disk : disks_)
      if (name.size() > disk.size() && name.compare(0, disk.size(), disk) == 0 &&
          exists(paths_.sys + "/block/" + disk + "/" + name + "/partition"))
        found = disk;
  partitionDisk_[name] = found;
  return found;
}

std::vector<std::string> LinuxSystem::partitionsOf(const std::string& disk) const {
  const std::lock_guard<std::mutex> hold(partitionsLock_);
  const auto kept = partitions_.find(disk);
  if (kept != partitions_.end()) return kept->second;
  std::vector<std::string> parts;
  if (std::binary_search(disks_.begin(), disks_.end(), disk))
    for (const std::string& name : namesIn(paths_.sys + "/block/" + disk))
      if (name.size() > disk.size() && name.compare(0, disk.size(), disk) == 0 &&
          exists(paths_.sys + "/block/" + disk + "/" + name + "/partition")) {
        parts.push_back(name);
        partitionDisk_[name] = disk;
      }
  std::sort(parts.begin(), parts.end());
  return partitions_[disk] = parts;
}

bool LinuxSystem::isBlock(const std::string& name) const {
  return !name.empty() && (std::binary_search(disks_.begin(), disks_.end(), name) ||
                           !diskOfPartition(name).empty());
}

std::string LinuxSystem::nameOfNumber(std::uint64_t major, std::uint64_t minor) const {
  std::error_code error;
  const fs::path node = fs::canonical(
      paths_.sys + "/dev/block/" + std::to_string(major) + ":" + std::to_string(minor), error);
  return error ? std::string() : node.filename().string();
}

std::string LinuxSystem::blockNameOf(const std::string& path) const {
  std::error_code error;
  const fs::path resolved = fs::canonical(path, error);
  if (!error && !dev_.empty() && resolved.parent_path() == dev_ &&
      isBlock(resolved.filename().string()))
    return resolved.filename().string();
  struct stat info {};
  if (::stat(path.c_str(), &info) != 0 || !S_ISBLK(info.st_mode)) return {};
  return nameOfNumber(major(info.st_rdev), minor(info.st_rdev));
}

// The block device whose file system holds the file at `path`.
std::string LinuxSystem::diskHoldingFile(const std::string& path) const {
  struct stat info {};
  if (::stat(path.c_str(), &info) != 0) return {};
  return nameOfNumber(major(info.st_dev), minor(info.st_dev));
}

// The device `name` and every whole disk it lives on, into the system's
// disks: its own disk, the disks a device-mapper or RAID device is made of,
// and the disk holding a loop device's backing file.
void LinuxSystem::addDisksBeneath(const std::string& name, int depth) {
  if (name.empty() || depth > 16) return;
  const std::string partOf = diskOfPartition(name);
  const std::string disk = partOf.empty() ? name : partOf;
  if (!systemDisks_.insert(disk).second) return;
  for (const std::string& slave : namesIn(paths_.sys + "/block/" + disk + "/slaves"))
    addDisksBeneath(slave, depth + 1);
  // Only a loop device has a backing file: no other disk's facts are read here.
  if (parseDeviceName(disk).kind != DeviceName::Kind::Loop) return;
  const std::string backing = facts(disk).backingFile;
  if (!backing.empty()) {
    const std::string device = blockNameOf(backing);
    addDisksBeneath(device.empty() ? diskHoldingFile(backing) : device, depth + 1);
  }
}

std::set<std::string> LinuxSystem::devicesUsing(const std::string& disk) const {
  const std::lock_guard<std::mutex> hold(factsLock_);
  const auto kept = users_.find(disk);
  if (kept != users_.end()) return kept->second;
  std::set<std::string>& found = users_[disk];
  std::vector<std::string> next = partitionsOf(disk);
  next.push_back(disk);
  while (!next.empty() && found.size() < 256) {
    const std::string name = next.back();
    next.pop_back();
    if (!found.insert(name).second) continue;
    const std::string partOf = diskOfPartition(name);
    const std::string node =
        paths_.sys + "/block/" + (partOf.empty() ? name : partOf + "/" + name) + "/holders";
    for (const std::string& holder : namesIn(node)) next.push_back(holder);
  }
  return found;
}

const BlockFacts& LinuxSystem::facts(const std::string& name) const {
  const std::lock_guard<std::mutex> hold(factsLock_);
  std::unique_ptr<BlockFacts>& kept = facts_[name];
  if (kept) return *kept;
  kept = std::make_unique<BlockFacts>();
  BlockFacts& facts = *kept;
  const std::string node = paths_.sys + "/block/" + name;
  // sysfs counts 512-byte units whatever the device's sector size.
  const std::string sectors = attribute(node + "/size");
  if (!sectors.empty() && allDigits(sectors, 0)) facts.bytes = std::stoll(sectors) * 512;
  facts.removableFlag = attribute(node + "/removable") == "1";
  facts.readOnly = attribute(node + "/ro") == "1";
  const DeviceName parsed = parseDeviceName(name);
  if (parsed.kind == DeviceName::Kind::Loop) {
    facts.backingFile = attribute(node + "/loop/backing_file");
    facts.backingIsPlainFile = !facts.backingFile.empty() && isPlainFile(facts.backingFile);
  } else {
    facts.vendor = attribute(node + "/device/vendor");
    facts.model = attribute(node + "/device/model");
  }
  if (parsed.kind == DeviceName::Kind::MmcDisk) {
    facts.mmcType = attribute(node + "/device/type");
    for (const char* area : {"boot0", "boot1", "rpmb"})
      if (std::binary_search(disks_.begin(), disks_.end(), name + area) ||
          exists(node + "/device/" + name + area))
        facts.hasEmmcAreas = true;
  }
  return facts;
}

std::shared_ptr<const LinuxSystem> thisSystem() {
  static const std::shared_ptr<const LinuxSystem> system = std::make_shared<LinuxSystem>();
  return system;
}

}  // namespace disks
