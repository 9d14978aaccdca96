// Linux: cards are whole-disk block devices named by their path.
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
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

CardDescription describeTarget(const std::string& target) {
  CardDescription card = describeLinuxDisk(SystemPaths{}, baseName(target));
  card.target = target;
  return card;
}

bool normaliseTarget(const std::string& text, std::string& target, std::string& problem) {
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

std::string targetRefusal(const std::string& target, const std::vector<std::string>& files) {
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

std::string openFailureHint() {
  return ::geteuid() == 0 ? std::string()
                          : "a card's device opens for root (or the disk group): try sudo";
}

std::string errorHint(std::uint32_t code, bool writing) {
  switch (code) {
    case ENODEV:
    case ENXIO:
      return "the card reader is gone (unplugged, or its connection dropped): plug it in again "
             "and write the card anew";
    case ENOMEDIUM:
      return "there is no card in the reader (or it was pulled out): put the card in and try "
             "again";
    case EROFS:
      return "the card refuses writes: slide the lock switch of the card or its adapter away "
             "from LOCK, put it back in and try again";
    case EPERM:
      if (writing)
        return "the card refuses writes: slide the lock switch of the card or its adapter away "
               "from LOCK, put it back in and try again";
      return {};
    default:
      return {};
  }
}

std::string systemErrorName(std::uint32_t code) { return std::strerror(static_cast<int>(code)); }

// A card is opened for this process alone and refused while anything on it
// is mounted: no folder can lie on it.
bool currentFolderOnCard(const std::string&) { return false; }

KeepAwake::KeepAwake() = default;
KeepAwake::~KeepAwake() = default;

std::unique_ptr<card::DiskServices> makeDiskServices() {
  card::PosixDiskServices::Options options;
  options.loopOverFileIsRemovable = true;
  return std::make_unique<card::PosixDiskServices>(options);
}

std::string programName() { return "quenvory"; }

std::string targetDescription() {
  return "whole-disk device of the card (/dev/sdb, /dev/mmcblk0, /dev/loop0)";
}

std::string targetStem(const std::string& target) { return baseName(target); }

}  // namespace cli
