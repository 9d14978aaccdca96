#include "disks/linux_card_rule.h"

#include <filesystem>
#include <set>

namespace disks {
namespace {

using Kind = DeviceName::Kind;

const BlockFacts& factsOf(const RuleSubject& s) { return s.system.facts(s.disk); }

bool isEmmcArea(const RuleSubject& s) { return parseDeviceName(s.disk).kind == Kind::EmmcArea; }

// A disk of the MMC host with boot or replay-protected areas beside it: an
// eMMC chip soldered into the PC, whatever it says of itself.
bool isEmmc(const RuleSubject& s) {
  return parseDeviceName(s.disk).kind == Kind::MmcDisk && factsOf(s).hasEmmcAreas;
}

// What makes a disk a card: removable media; a disk of the MMC host, which
// a built-in reader calls fixed; a loop device over a plain file, a card
// image someone attached, whose writes reach that file alone.
bool isCard(const RuleSubject& s) {
  const BlockFacts& facts = factsOf(s);
  return facts.removableFlag || parseDeviceName(s.disk).kind == Kind::MmcDisk ||
         (s.loopFilesAreCards && facts.backingIsPlainFile);
}

// "/dev/sdb1 lies on /dev/sdb, which" for a partition; the name alone
// otherwise.
std::string subject(const RuleSubject& s) {
  return s.partition ? s.name + " lies on " + s.system.paths().dev + "/" + s.disk + ", which"
                     : s.name;
}

// Why such a disk is refused: a command that writes nothing is told it is
// no card, a write that it is never written.
std::string never(const RuleSubject& s) {
  return s.use == CardUse::Write ? ": it is never written" : ": it is no card";
}

// "/dev/sdb1 on /media/card", for everything mounted of the disk or of a
// device made over it.
std::vector<std::string> mountedOf(const RuleSubject& s) {
  const std::set<std::string> using_ = s.system.devicesUsing(s.disk);
  std::vector<std::string> mounted;
  for (const Mount& mount : s.system.mounts())
    if (!mount.device.empty() && using_.count(mount.device) != 0)
      mounted.push_back(mount.source + " on " + mount.point);
  return mounted;
}

std::string joined(const std::vector<std::string>& parts) {
  std::string text;
  for (const std::string& part : parts) text += (text.empty() ? "" : ", ") + part;
  return text;
}

bool sameFile(const std::string& a, const std::string& b) {
  std::error_code error;
  return !a.empty() && !b.empty() && std::filesystem::equivalent(a, b, error);
}

const std::vector<RuleRow> kRule = {
    {"the system's disk",
     "the disk holding /, /usr, /boot, /boot/efi, /efi or swap (through device-mapper, RAID and "
     "loop devices), whatever it says of itself",
     Verdict::SystemDisk, [](const RuleSubject& s) { return s.system.holdsSystem(s.disk); },
     [](const RuleSubject& s) { return subject(s) + " holds the running system" + never(s); },
     true},
    {"an eMMC's areas",
     "the boot and replay-protected areas of an eMMC built into the PC (/dev/mmcblk0boot0, "
     "/dev/mmcblk0rpmb)",
     Verdict::BuiltIn, isEmmcArea,
     [](const RuleSubject& s) {
       return subject(s) + " is built into this PC (an area of the eMMC " + s.system.paths().dev +
              "/" + parseDeviceName(s.disk).disk + ")" + never(s);
     },
     true},
    {"an eMMC",
     "a disk of the MMC host with boot or replay-protected areas beside it: built into the PC, "
     "whatever it says of itself",
     Verdict::BuiltIn, isEmmc,
     [](const RuleSubject& s) {
       return subject(s) + " is built into this PC (an eMMC)" + never(s);
     },
     true},
    {"not a card",
     "a disk the system does not call removable, unless it is a card of the MMC host "
     "(/dev/mmcblk0): 'your system does not recognize a removable media'. A loop device over a "
     "plain file counts as a card, and its writes reach that file alone.",
     Verdict::NotACard, [](const RuleSubject& s) { return !isCard(s); },
     [](const RuleSubject& s) {
       return "your system does not recognize a removable media at >" + s.name;
     },
     true},
    {"a partition", "name the whole card: /dev/sdb, not /dev/sdb1", Verdict::Partition,
     [](const RuleSubject& s) { return s.partition; },
     [](const RuleSubject& s) {
       return s.name + " is a partition: name the whole card, " + s.system.paths().dev + "/" +
              s.disk;
     },
     false},
    {"a mounted card",
     "anything of it mounted, also through a device-mapper device over it: a write would "
     "overwrite a file system in use, and a mounted card can change while it is read (read, "
     "compare); unmount it first",
     Verdict::InUse, [](const RuleSubject& s) { return !mountedOf(s).empty(); },
     [](const RuleSubject& s) {
       return s.name + " is in use: " + joined(mountedOf(s)) + "; unmount it first" +
              (s.use == CardUse::Read ? ", a mounted card can change while it is read" : "");
     },
     false},
    {"a file on the card",
     "the image file, or a backup file, that lies on the card itself: copy it to another drive "
     "first",
     Verdict::FileOnCard,
     [](const RuleSubject& s) {
       for (const std::string& file : s.files)
         if (sameFile(file, factsOf(s).backingFile)) return true;
       return false;
     },
     [](const RuleSubject& s) {
       return "image file is on the card at >" + s.name + ", copy it to another drive first";
     },
     false},
    {"write-protected", "a card whose lock switch is on (list says so)", Verdict::WriteProtected,
     nullptr, [](const RuleSubject& s) { return "the card at >" + s.name + " is write-protected"; },
     false},
};

}  // namespace

const std::vector<RuleRow>& linuxCardRule() { return kRule; }

Verdict diskVerdict(const LinuxSystem& system, const std::string& disk, bool loopFilesAreCards) {
  static const std::vector<std::string> kNoFiles;
  const RuleSubject s{system,         system.paths().dev + "/" + disk,
                      disk,           disk,
                      false,          kNoFiles,
                      CardUse::Write, loopFilesAreCards};
  for (const RuleRow& row : kRule)
    if (row.diskRow && row.holds(s)) return row.verdict;
  return Verdict::Card;
}

card::DiskFacts coreFacts(const LinuxSystem& system, const std::string& disk,
                          bool loopFilesAreCards) {
  const Verdict verdict = diskVerdict(system, disk, loopFilesAreCards);
  const DeviceName parsed = parseDeviceName(disk);
  card::DiskFacts facts;
  facts.systemDisk = verdict == Verdict::SystemDisk;
  facts.removableMedia = verdict == Verdict::Card;
  // The MMC host's disks hang on the SD or MMC bus; an eMMC is one the
  // system expects never to leave the PC.
  if (parsed.kind == Kind::MmcDisk || parsed.kind == Kind::EmmcArea)
    facts.bus = system.facts(disk).mmcType == "SD" ? card::kBusTypeSd : card::kBusTypeMmc;
  facts.removal = verdict == Verdict::BuiltIn ? card::RemovalPolicy::ExpectNoRemoval
                                              : card::RemovalPolicy::NotKept;
  return facts;
}

std::string ruleRefusal(const LinuxSystem& system, const std::string& name,
                        const std::vector<std::string>& files, CardUse use) {
  const std::string base = name.substr(name.rfind('/') + 1);
  const std::string partOf = system.diskOfPartition(base);
  const RuleSubject s{system,          name,  base, partOf.empty() ? base : partOf,
                      !partOf.empty(), files, use,  true};
  for (const RuleRow& row : kRule) {
    if (row.holds == nullptr || !row.holds(s)) continue;
    return row.words(s);
  }
  return {};
}

std::vector<std::pair<std::string, std::string>> linuxRefusalHelp() {
  std::vector<std::pair<std::string, std::string>> rows;
  for (const RuleRow& row : kRule) rows.emplace_back(row.fact, row.detail);
  return rows;
}

}  // namespace disks
