#include "disks/win32_card_rule.h"

namespace disks {

const std::vector<WindowsRuleRow>& windowsCardRule() {
  using card::DiskVerdict;
  static const std::vector<WindowsRuleRow> rule = {
      {Finding::NotACard, "not a card",
       "a letter that leads to no disk with removable media and no disk on the SD or MMC bus: "
       "'your system does not recognize a removable media'; an empty reader: 'no card in the "
       "reader'",
       DiskVerdict::NotRemovable, nullptr, nullptr},
      {Finding::SystemDisk, "the system's disk",
       "the disk Windows runs from (its folder, its boot volume, a page file), whatever it says "
       "of itself",
       DiskVerdict::SystemDisk,
       "is on the disk that holds Windows, its boot partition or a page file: it is never written",
       "is on the disk that holds Windows, its boot partition or a page file: it is no card"},
      {Finding::BuiltIn, "built into the PC",
       "a disk on the SD or MMC bus that Windows expects never to be removed, such as a "
       "laptop's eMMC",
       DiskVerdict::BuiltIn, "is on a disk built into the PC: it is never written",
       "is on a disk built into the PC: it is no card"},
      {Finding::BootPartitions, "a boot partition",
       "a disk on the SD or MMC bus that holds an EFI system, Microsoft reserved or recovery "
       "partition, as a PC's own boot disk does; a card that held a bootable image is refused "
       "as well",
       DiskVerdict::BootPartitions,
       "holds a PC's boot partition (EFI system, Microsoft reserved or recovery): it is never "
       "written",
       "holds a PC's boot partition (EFI system, Microsoft reserved or recovery): it is not read "
       "as a card"},
      {Finding::NetworkDrive, "a network drive", "a letter that stands for a share on the network",
       std::nullopt, "is a network drive: it is no card", "is a network drive: it is no card"},
      {Finding::WriteProtected, "write-protected", "a card whose lock switch is on (list says so)",
       std::nullopt, nullptr, nullptr},
      {Finding::BusyCard, "a busy card",
       "a volume of the card that another program keeps in use for 15 s (Explorer windows, "
       "programs that use the card); a compare locks nothing",
       std::nullopt, nullptr, nullptr},
      {Finding::OtherSectors, "other sectors", "a card whose sectors are not 512 bytes",
       std::nullopt, nullptr, nullptr},
      {Finding::FileOnCard, "a file on the card",
       "the image file, or a backup file, that lies on the card itself: copy it to another drive "
       "first",
       std::nullopt, nullptr, nullptr},
      {Finding::BadImage, "a bad image",
       "an image whose header fails its check, or that is larger than the card", std::nullopt,
       nullptr, nullptr},
  };
  return rule;
}

std::string ruleRefusal(Finding finding, const std::string& letter, CardUse use) {
  for (const WindowsRuleRow& row : windowsCardRule()) {
    if (row.finding != finding) continue;
    const char* words = use == CardUse::Write ? row.writeWords : row.readWords;
    return words == nullptr ? std::string() : letter + ": " + words;
  }
  return {};
}

std::string verdictRefusal(card::DiskVerdict verdict, const std::string& letter, CardUse use) {
  for (const WindowsRuleRow& row : windowsCardRule())
    if (row.verdict == verdict) return ruleRefusal(row.finding, letter, use);
  return {};
}

bool namesNetworkShare(const std::string& target) {
  // The redirectors' devices, and a letter substituted for a share's path.
  static const char* const kShares[] = {"\\Device\\LanmanRedirector\\", "\\Device\\Mup\\",
                                        "\\Device\\WebDavRedirector\\", "\\??\\UNC\\"};
  for (const char* share : kShares)
    if (target.compare(0, std::char_traits<char>::length(share), share) == 0) return true;
  return false;
}

bool examinedDriveType(UINT type) { return type == DRIVE_REMOVABLE || type == DRIVE_FIXED; }

bool listsLetter(UINT type, const card::LetterDisk& found) {
  if (!examinedDriveType(type)) return false;
  if (found.described) return found.verdict == card::DiskVerdict::Card;
  return found.noCard && type == DRIVE_REMOVABLE;
}

std::vector<std::pair<std::string, std::string>> windowsRefusalHelp() {
  std::vector<std::pair<std::string, std::string>> rows;
  for (const WindowsRuleRow& row : windowsCardRule()) rows.emplace_back(row.name, row.detail);
  return rows;
}

}  // namespace disks
