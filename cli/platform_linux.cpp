// Linux: cards are whole-disk block devices named by their path.
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>

#include "cli/platform.h"
#include "disks/linux_card_rule.h"
#include "disks/linux_disk_services.h"

namespace cli {
namespace {

std::string baseName(const std::string& path) { return path.substr(path.rfind('/') + 1); }

constexpr const char* kWriteProtected =
    "the card refuses writes: slide the lock switch of the card or its adapter away from LOCK, "
    "put the card back in and try again";
constexpr const char* kReaderGone =
    "the card reader is gone (unplugged, or its connection dropped): plug it in again and start "
    "anew";
constexpr const char* kNoCard =
    "there is no card in the reader (or it was pulled out): put the card in and try again";

}  // namespace

bool normaliseCardName(const std::string& text, std::string& name, std::string& problem) {
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
  name = resolved != nullptr ? resolved : text;
  std::free(resolved);
  return true;
}

std::string systemReason(std::uint32_t code) {
  std::string reason = std::strerror(static_cast<int>(code));
  while (!reason.empty() && (reason.back() == '.' || reason.back() == ' ')) reason.pop_back();
  return reason;
}

std::string hintFor(const card::Outcome& outcome, const std::string& name) {
  const bool refused = outcome.ending == card::Ending::Refused;
  const std::string cards = "; 'quenvory list' shows the cards";
  switch (outcome.systemError) {
    case ENOENT:
      if (refused) return name + ": " + systemReason(ENOENT) + ": no such device" + cards;
      return {};
    case ENOTBLK:
      if (refused)
        return name + ": " + systemReason(ENOTBLK) +
               ": a card is a whole-disk block device such as /dev/sdb or /dev/mmcblk0" + cards;
      return {};
    case EACCES:
    case EPERM:
      if (refused && ::geteuid() != 0)
        return name + ": " + systemReason(outcome.systemError) +
               ": a card's device opens for root (or the disk group): try sudo";
      // A card opened for writing that refuses a write: its lock switch.
      if (!refused) return kWriteProtected;
      return {};
    case EROFS:
      return kWriteProtected;
    case ENODEV:
    case ENXIO:
      return kReaderGone;
    case ENOMEDIUM:
      return kNoCard;
    default:
      return {};
  }
}

KeepAwake::KeepAwake() = default;
KeepAwake::~KeepAwake() = default;

std::unique_ptr<card::DiskServices> makeDiskServices() {
  disks::LinuxDiskServices::Options options;
  options.loopOverFileIsRemovable = true;
  // Each card's run asks the same snapshot of the system as list, the
  // description and the refusals did.
  return std::make_unique<disks::LinuxDiskServices>(options, nullptr);
}

std::filesystem::path filePath(const std::string& utf8) { return std::filesystem::u8path(utf8); }

std::string programName() { return "quenvory"; }

std::string cardNameDescription() {
  return "whole-disk device of the card (/dev/sdb, /dev/mmcblk0, /dev/loop0)";
}

std::string cardStem(const std::string& name) { return baseName(name); }

// Nothing here offers to format a card: it stays in its reader.
std::string afterEject(const card::Outcome&, const std::string&) { return {}; }

PlatformHelp platformHelp() {
  PlatformHelp help;
  help.rights =
      "A card is a whole disk: reading or writing it needs root (sudo quenvory ...) or a user in "
      "the disk group (sudo adduser NAME disk, then log in again). list and info need no rights.";
  // What the card rule refuses, row by row, then what the run refuses of
  // the image.
  help.refusals = disks::linuxRefusalHelp();
  help.refusals.emplace_back(
      "a bad image", "an image whose header fails its check, or that is larger than the card");
  help.stops = "Ctrl-C (SIGINT), SIGTERM or SIGHUP (the terminal closed)";
  help.cards[0] = "/dev/sdb";
  help.cards[1] = "/dev/sdc";
  help.backupNames = "sdb-20261210-133000.S7img for /dev/sdb";
  return help;
}

}  // namespace cli
