// Linux: cards are whole-disk block devices named by their path.
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <filesystem>

#include "cli/linux_cards.h"
#include "cli/platform.h"
#include "disks/posix_disk_services.h"

namespace cli {
namespace {

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

}  // namespace

std::vector<CardDescription> listCards() { return listLinuxCards(SystemPaths{}); }

CardDescription describeCard(const std::string& target) {
  CardDescription card = describeLinuxDisk(SystemPaths{}, baseName(target));
  card.target = target;
  return card;
}

bool normaliseCardName(const std::string& text, std::string& target, std::string& problem) {
  if (text.empty() || text[0] != '/') {
    problem =
        "TARGET must be a whole-disk device such as /dev/sdb, /dev/mmcblk0 or /dev/loop0, "
        "not '" +
        text + "'";
    return false;
  }
  // /dev/disk/by-id/... and other links name the device they point at; one
  // that leads nowhere is left for the card writer to refuse.
  char* resolved = ::realpath(text.c_str(), nullptr);
  target = resolved != nullptr ? resolved : text;
  std::free(resolved);
  return true;
}

std::string cardRefusal(const std::string& target, const std::vector<std::string>& files) {
  const SystemPaths paths;
  struct stat info {};
  if (target.rfind(paths.dev + "/", 0) != 0 || ::stat(target.c_str(), &info) != 0 ||
      !S_ISBLK(info.st_mode))
    return {};
  const std::string name = baseName(target);
  const std::string disk = diskOfPartition(paths, name);
  if (!disk.empty())
    return target + " is a partition: name the whole card, " + paths.dev + "/" + disk;
  const CardDescription card = describeLinuxDisk(paths, name);
  if (!card.mounted.empty())
    return target + " is in use: " + joined(card.mounted) + "; unmount it first";
  const std::string backing = loopBackingFile(paths, name);
  for (const std::string& file : files)
    if (sameFile(file, backing))
      return "image file is on the card at >" + target + ", copy it to another drive first";
  return {};
}

std::string hintFor(const card::Outcome& outcome) {
  const bool denied = outcome.systemError == EACCES || outcome.systemError == EPERM;
  if (outcome.ending == card::Ending::Refused && denied && ::geteuid() != 0)
    return "a card's device opens for root (or the disk group): try sudo";
  return {};
}

std::unique_ptr<card::DiskServices> makeDiskServices() {
  card::PosixDiskServices::Options options;
  options.loopOverFileIsRemovable = true;
  return std::make_unique<card::PosixDiskServices>(options);
}

std::string programName() { return "quenvory"; }

std::string cardNameDescription() {
  return "whole-disk device of the card (/dev/sdb, /dev/mmcblk0, /dev/loop0)";
}

std::string cardStem(const std::string& target) { return baseName(target); }

}  // namespace cli
