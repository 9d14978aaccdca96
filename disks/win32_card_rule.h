// What a drive letter is to the card writer on Windows, as one table read
// row by row: the fact the system tells, the verdict it makes, and the words
// the operator reads for a write and for a read or compare. `list`, the
// confirmation's description, the refusals before a run and the help's
// "What is refused" read this table, and a run's open reaches the same
// verdict through the core's DiskFacts and judgeDisk, so that they cannot
// disagree.
//
// Where each fact of a disk is found:
//   removable media      its geometry (win32_disk_facts)
//   the bus              its storage descriptor (win32_disk_facts)
//   the removal policy   its entry in the device setup's list, matched by
//                        the disk's number (win32_disk_facts)
//   boot partitions      the types in its layout, GPT and MBR (win32_disk_facts)
//   the system's disk    the Windows folder, the system drive, the partition
//                        the firmware started from and the page files in use,
//                        found once for the process (win32_system)
//   a network drive      what the letter stands for (win32_disk_open)
#pragma once

#include <windows.h>

#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "card/card_device.h"
#include "disks/cards.h"

namespace disks {

// What was found of a letter that keeps it from being a card.
enum class Finding {
  NotACard,        // no removable media, no disk on the SD or MMC bus, or no disk at all
  SystemDisk,      // the disk Windows runs from
  BuiltIn,         // on the SD or MMC bus, expected never to be removed
  BootPartitions,  // on the SD or MMC bus, holding a PC's boot partitions
  NetworkDrive,    // a share on the network
  // What the run itself checks as it goes, after the card is open.
  WriteProtected,
  BusyCard,
  OtherSectors,
  FileOnCard,
  BadImage,
};

struct WindowsRuleRow {
  Finding finding;
  const char* name;    // the help's name for the row
  const char* detail;  // what it covers, for the help
  // The core's verdict of a disk that the row is; none for a row that is no
  // verdict of the disk.
  std::optional<card::DiskVerdict> verdict;
  // The refusal's words after the letter ("G: " ...), caption "ERROR";
  // nullptr where the run's own open says it.
  const char* writeWords;
  const char* readWords;
};

// The rule, in the order the help shows it.
const std::vector<WindowsRuleRow>& windowsCardRule();

// The refusal of letter `letter` for what was found, before anything is
// opened for the run; empty where the run's own open says it.
std::string ruleRefusal(Finding finding, const std::string& letter, CardUse use);

// The same for the core's verdict of the letter's disk; empty for a card.
std::string verdictRefusal(card::DiskVerdict verdict, const std::string& letter, CardUse use);

// Whether a letter's device (what QueryDosDevice answers) is a share on the
// network: \Device\LanmanRedirector\..., \Device\Mup\... and their kind.
bool namesNetworkShare(const std::string& target);

// Whether `list` asks what a letter of this type is: a removable or fixed
// drive; the others (network, optical, RAM disk) are never cards, and a
// network letter whose server is gone would hold the list.
bool examinedDriveType(UINT type);

// Whether `list` shows a letter of drive type `type` whose disk was found
// as `found`: a card a run would take, or a reader of removable media whose
// slot is empty (the letter its card will have). Never the system's own
// disk, whatever it says of itself.
bool listsLetter(UINT type, const card::LetterDisk& found);

// The help's rows: what is refused, and why.
std::vector<std::pair<std::string, std::string>> windowsRefusalHelp();

}  // namespace disks
