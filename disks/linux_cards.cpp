#include "disks/linux_cards.h"

#include <sys/stat.h>
#include <sys/sysmacros.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>

namespace disks {
namespace {

namespace fs = std::filesystem;

// A sysfs attribute's first line, without the padding some drivers add.
std::string attribute(const std::string& path) {
  std::ifstream in(path);
  std::string text;
  if (!std::getline(in, text)) return {};
  const auto first = text.find_first_not_of(" \t");
  const auto last = text.find_last_not_of(" \t\r");
  return first == std::string::npos ? std::string() : text.substr(first, last - first + 1);
}

bool isFile(const std::string& path) {
  struct stat info {};
  return ::stat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode);
}

// The mount table's escapes (\040 for a space) undone.
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

// What is mounted where, as the mount table says, its escapes undone.
struct Mount {
  std::string source;
  std::string point;
};

std::vector<Mount> mountTable(const SystemPaths& paths) {
  std::vector<Mount> table;
  std::ifstream mounts(paths.mounts);
  for (std::string entry; std::getline(mounts, entry);) {
    std::istringstream fields(entry);
    Mount mount;
    if (fields >> mount.source >> mount.point)
      table.push_back({unescaped(mount.source), unescaped(mount.point)});
  }
  return table;
}

// The disk itself and its partitions, as names under /dev.
std::vector<std::string> diskAndPartitions(const SystemPaths& paths, const std::string& name) {
  std::vector<std::string> names = {name};
  std::error_code error;
  for (const auto& entry : fs::directory_iterator(paths.sys + "/block/" + name, error)) {
    const std::string part = entry.path().filename().string();
    if (fs::exists(entry.path() / "partition", error)) names.push_back(part);
  }
  std::sort(names.begin() + 1, names.end());
  return names;
}

std::string baseName(const std::string& path) { return path.substr(path.rfind('/') + 1); }

std::string joined(const std::vector<std::string>& parts) {
  std::string text;
  for (const std::string& part : parts) text += (text.empty() ? "" : ", ") + part;
  return text;
}

bool sameFile(const std::string& a, const std::string& b) {
  std::error_code error;
  return !a.empty() && !b.empty() && std::filesystem::equivalent(a, b, error);
}

// A disk of the MMC host, mmcblk and a number: a built-in reader's card, or
// an eMMC chip soldered into the PC.
bool onMmcBus(const std::string& name) {
  static const std::string kPrefix = "mmcblk";
  return name.size() > kPrefix.size() && name.compare(0, kPrefix.size(), kPrefix) == 0 &&
         std::all_of(name.begin() + kPrefix.size(), name.end(),
                     [](char c) { return c >= '0' && c <= '9'; });
}

// The eMMC an area of an eMMC chip belongs to ("mmcblk0" for mmcblk0boot0,
// mmcblk0boot1, mmcblk0rpmb, mmcblk0gp1), or "" for any other name. The
// system shows these areas as disks of their own; a card has none.
std::string emmcOfArea(const std::string& name) {
  static const std::string kPrefix = "mmcblk";
  if (name.compare(0, kPrefix.size(), kPrefix) != 0) return {};
  const std::size_t end = name.find_first_not_of("0123456789", kPrefix.size());
  if (end == kPrefix.size() || end == std::string::npos) return {};
  const std::string area = name.substr(end);
  for (const char* kind : {"boot", "gp"})
    if (area.rfind(kind, 0) == 0 && area.size() > std::strlen(kind) &&
        area.find_first_not_of("0123456789", std::strlen(kind)) == std::string::npos)
      return name.substr(0, end);
  return area == "rpmb" ? name.substr(0, end) : std::string();
}

// The block device (a disk or a partition, by its sysfs name) of a device
// number, or "".
std::string nameOfNumber(const SystemPaths& paths, dev_t number) {
  std::error_code error;
  const fs::path node = fs::canonical(paths.sys + "/dev/block/" + std::to_string(major(number)) +
                                          ":" + std::to_string(minor(number)),
                                      error);
  return error ? std::string() : node.filename().string();
}

bool isBlockName(const SystemPaths& paths, const std::string& name) {
  std::error_code error;
  return !name.empty() && (fs::is_directory(paths.sys + "/block/" + name, error) ||
                           !diskOfPartition(paths, name).empty());
}

// The block device a path stands for, by its sysfs name: a device node's own
// (through links such as /dev/mapper/root or /dev/disk/by-uuid/...), or for
// a file the device of the file system that holds it. "" when the path
// leads to no block device the system shows.
std::string deviceName(const SystemPaths& paths, const std::string& path) {
  std::error_code error;
  const fs::path dev = fs::canonical(paths.dev, error);
  const fs::path resolved = error ? fs::path() : fs::canonical(path, error);
  if (!error && resolved.parent_path() == dev && isBlockName(paths, resolved.filename().string()))
    return resolved.filename().string();
  struct stat info {};
  if (::stat(path.c_str(), &info) != 0) return {};
  return nameOfNumber(paths, S_ISBLK(info.st_mode) ? info.st_rdev : info.st_dev);
}

// The device `name` and every whole disk it lives on, into `disks`: its own
// disk, the disks a device-mapper or RAID device is made of, and the disk
// holding a loop device's backing file.
void addDisksBeneath(const SystemPaths& paths, const std::string& name,
                     std::set<std::string>& disks, int depth = 0) {
  if (name.empty() || depth > 16) return;
  const std::string partOf = diskOfPartition(paths, name);
  const std::string disk = partOf.empty() ? name : partOf;
  if (!disks.insert(disk).second) return;
  std::error_code error;
  for (const auto& slave : fs::directory_iterator(paths.sys + "/block/" + disk + "/slaves", error))
    addDisksBeneath(paths, slave.path().filename().string(), disks, depth + 1);
  const std::string backing = loopBackingFile(paths, disk);
  if (!backing.empty()) addDisksBeneath(paths, deviceName(paths, backing), disks, depth + 1);
}

// The mount points the running system cannot do without: its root, its
// programs, and what the firmware and the boot loader start it from.
bool systemMountPoint(const std::string& point) {
  for (const char* system : {"/", "/usr", "/boot", "/boot/efi", "/efi"})
    if (point == system) return true;
  return false;
}

}  // namespace

std::set<std::string> systemDisks(const SystemPaths& paths) {
  std::set<std::string> disks;
  for (const Mount& mount : mountTable(paths)) {
    if (!systemMountPoint(mount.point)) continue;
    std::string name = deviceName(paths, mount.source);
    // A source that names no device the system shows (/dev/root, which
    // the kernel writes for the root it mounted itself): the device of the
    // mount point's own file system.
    struct stat info {};
    if (name.empty() && ::stat(mount.point.c_str(), &info) == 0)
      name = nameOfNumber(paths, info.st_dev);
    addDisksBeneath(paths, name, disks);
  }
  std::string entry;
  std::ifstream swaps(paths.swaps);
  std::getline(swaps, entry);  // the column names
  while (std::getline(swaps, entry)) {
    std::istringstream fields(entry);
    std::string source;
    if (fields >> source) addDisksBeneath(paths, deviceName(paths, unescaped(source)), disks);
  }
  return disks;
}

bool holdsSystem(const SystemPaths& paths, const std::string& name) {
  return systemDisks(paths).count(name) != 0;
}

bool builtIn(const SystemPaths& paths, const std::string& name) {
  if (!emmcOfArea(name).empty()) return true;
  if (!onMmcBus(name)) return false;
  std::error_code error;
  for (const char* area : {"boot0", "boot1", "rpmb"})
    if (fs::exists(paths.sys + "/block/" + name + area, error) ||
        fs::exists(paths.sys + "/block/" + name + "/device/" + name + area, error))
      return true;
  return false;
}

std::string loopBackingFile(const SystemPaths& paths, const std::string& name) {
  return attribute(paths.sys + "/block/" + name + "/loop/backing_file");
}

std::string diskOfPartition(const SystemPaths& paths, const std::string& name) {
  std::error_code error;
  for (const auto& entry : fs::directory_iterator(paths.sys + "/block", error)) {
    const fs::path part = entry.path() / name;
    if (fs::exists(part / "partition", error)) return entry.path().filename().string();
  }
  return {};
}

CardDescription describeLinuxDisk(const SystemPaths& paths, const std::string& name) {
  const std::string node = paths.sys + "/block/" + name;
  CardDescription card;
  card.name = paths.dev + "/" + name;
  // sysfs counts 512-byte units whatever the device's sector size.
  const std::string sectors = attribute(node + "/size");
  if (!sectors.empty()) card.bytes = std::stoll(sectors) * 512;
  const std::string backing = loopBackingFile(paths, name);
  if (!backing.empty()) {
    card.disk = "loop over " + backing;
    card.vendor = "loop";
    card.product = fs::path(backing).filename().string();
    // A loop device over a file is a card image someone attached: writing it
    // changes that file and nothing else, unless the running system lives on
    // it (swap, a root file system). Over a block device it is that device,
    // and counts as nothing removable.
    card.removable = isFile(backing) && !holdsSystem(paths, name);
  } else {
    card.disk = "disk " + name;
    card.vendor = attribute(node + "/device/vendor");
    card.product = attribute(node + "/device/model");
    // A disk of the MMC host is a card even when it calls itself fixed, as
    // built-in readers do; not an eMMC chip, nor any disk the running system
    // lives on, whatever it says.
    card.removable = (attribute(node + "/removable") == "1" || onMmcBus(name)) &&
                     !builtIn(paths, name) && !holdsSystem(paths, name);
  }
  // A card's lock switch, or a device attached read-only.
  card.writeProtected = attribute(node + "/ro") == "1";
  const std::vector<std::string> names = diskAndPartitions(paths, name);
  for (const Mount& mount : mountTable(paths))
    for (const std::string& part : names)
      if (mount.source == paths.dev + "/" + part)
        card.mounted.push_back(mount.source + " on " + mount.point);
  return card;
}

std::vector<CardDescription> listLinuxCards(const SystemPaths& paths) {
  std::vector<std::string> names;
  std::error_code error;
  for (const auto& entry : fs::directory_iterator(paths.sys + "/block", error))
    names.push_back(entry.path().filename().string());
  std::sort(names.begin(), names.end());
  std::vector<CardDescription> cards;
  for (const std::string& name : names) {
    const bool loop = !loopBackingFile(paths, name).empty();
    if (!loop && !onMmcBus(name) && attribute(paths.sys + "/block/" + name + "/removable") != "1")
      continue;
    CardDescription card = describeLinuxDisk(paths, name);
    // A reader without a card in it is a disk of no bytes; a loop device
    // over a block device is that device, no card.
    if (card.bytes == 0 || !card.removable) continue;
    cards.push_back(std::move(card));
  }
  return cards;
}

std::vector<CardDescription> listCards() { return listLinuxCards(SystemPaths{}); }

CardDescription describeCard(const std::string& name) {
  CardDescription card = describeLinuxDisk(SystemPaths{}, baseName(name));
  card.name = name;
  return card;
}

std::string linuxCardRefusal(const SystemPaths& paths, const std::string& name,
                             const std::vector<std::string>& files, CardUse use) {
  const std::string base = baseName(name);
  const std::string partOf = diskOfPartition(paths, base);
  const std::string disk = partOf.empty() ? base : partOf;
  // The system's own disk and a disk built into the PC are named as such
  // before anything else: unmounting them would not make them cards.
  const std::string subject =
      partOf.empty() ? name : name + " lies on " + paths.dev + "/" + disk + ", which";
  if (holdsSystem(paths, disk)) return subject + " holds the running system: it is never written";
  if (builtIn(paths, disk)) {
    const std::string emmc = emmcOfArea(disk);
    return subject + " is built into this PC (" +
           (emmc.empty() ? std::string("an eMMC")
                         : "an area of the eMMC " + paths.dev + "/" + emmc) +
           "): it is never written";
  }
  if (!partOf.empty())
    return name + " is a partition: name the whole card, " + paths.dev + "/" + disk;
  const CardDescription card = describeLinuxDisk(paths, base);
  if (!card.mounted.empty())
    return name + " is in use: " + joined(card.mounted) + "; unmount it first" +
           (use == CardUse::Read ? ", a mounted card can change while it is read" : "");
  const std::string backing = loopBackingFile(paths, base);
  for (const std::string& file : files)
    if (sameFile(file, backing))
      return "image file is on the card at >" + name + ", copy it to another drive first";
  return {};
}

std::string cardRefusal(const std::string& name, const std::vector<std::string>& files,
                        CardUse use) {
  const SystemPaths paths;
  struct stat info {};
  if (name.rfind(paths.dev + "/", 0) != 0 || ::stat(name.c_str(), &info) != 0 ||
      !S_ISBLK(info.st_mode))
    return {};
  return linuxCardRefusal(paths, name, files, use);
}

// A card is opened for this process alone and refused while anything on it
// is mounted: no folder can lie on it.
bool currentFolderOnCard(const std::string&) { return false; }

}  // namespace disks
