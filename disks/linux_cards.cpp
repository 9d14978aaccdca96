#include "disks/linux_cards.h"

#include <sys/stat.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
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

// A disk of the MMC host: a built-in reader's card, or an eMMC chip (whose
// boot and replay-protected areas, mmcblk0boot0 and mmcblk0rpmb, are no
// cards).
bool onMmcBus(const std::string& name) {
  static const std::string kPrefix = "mmcblk";
  return name.size() > kPrefix.size() && name.compare(0, kPrefix.size(), kPrefix) == 0 &&
         std::all_of(name.begin() + kPrefix.size(), name.end(),
                     [](char c) { return c >= '0' && c <= '9'; });
}

// The whole disk a device path under /dev lies on ("sdb" for /dev/sdb1), or
// "" for a path elsewhere.
std::string diskOfDevice(const SystemPaths& paths, const std::string& device) {
  const std::string prefix = paths.dev + "/";
  if (device.compare(0, prefix.size(), prefix) != 0) return {};
  const std::string name = device.substr(prefix.size());
  const std::string disk = diskOfPartition(paths, name);
  return disk.empty() ? name : disk;
}

}  // namespace

bool holdsSystem(const SystemPaths& paths, const std::string& name) {
  for (const Mount& mount : mountTable(paths))
    if (mount.point == "/" && diskOfDevice(paths, mount.source) == name) return true;
  std::string entry;
  std::ifstream swaps(paths.swaps);
  std::getline(swaps, entry);  // the column names
  while (std::getline(swaps, entry)) {
    std::istringstream fields(entry);
    std::string source;
    if (fields >> source && diskOfDevice(paths, unescaped(source)) == name) return true;
  }
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
    // changes that file and nothing else. Over a block device it is that
    // device, and counts as nothing removable.
    card.removable = isFile(backing);
  } else {
    card.disk = "disk " + name;
    card.vendor = attribute(node + "/device/vendor");
    card.product = attribute(node + "/device/model");
    card.removable =
        (attribute(node + "/removable") == "1" || onMmcBus(name)) && !holdsSystem(paths, name);
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

std::string cardRefusal(const std::string& name, const std::vector<std::string>& files,
                        CardUse use) {
  const SystemPaths paths;
  struct stat info {};
  if (name.rfind(paths.dev + "/", 0) != 0 || ::stat(name.c_str(), &info) != 0 ||
      !S_ISBLK(info.st_mode))
    return {};
  const std::string base = baseName(name);
  const std::string disk = diskOfPartition(paths, base);
  if (!disk.empty())
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

// A card is opened for this process alone and refused while anything on it
// is mounted: no folder can lie on it.
bool currentFolderOnCard(const std::string&) { return false; }

}  // namespace disks
