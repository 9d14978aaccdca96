// The Windows card rule: which letters `list` shows, the words of each
// refusal for a write and for a read, the help made from the same rows, and
// the letters that stand for a share on the network.
#include "disks/win32_card_rule.h"

#include <gtest/gtest.h>
#include <windows.h>

#include <set>
#include <string>

#include "card/card_device.h"
#include "disks/cards.h"
#include "disks/win32_disk_services.h"
#include "tests/win32/win32_disk_test_support.h"

namespace {

using card::DiskFacts;
using card::RemovalPolicy;

// `list` as a function of what the enumeration found for a letter: its
// drive type, whether its reader is empty, and the facts of its disk, judged
// as a run's open judges them. The system's own disk is never shown, even
// where it calls itself removable or hangs on the SD bus.
TEST(Win32CardRule, ListShowsWhatARunWouldTakeAndEmptyReaders) {
  struct Case {
    const char* name;
    UINT type;
    bool noCard;     // the reader answers that it holds no card
    bool described;  // the disk told its geometry
    DiskFacts facts;
    bool listed;
  };
  const DiskFacts removable{true, card::kBusTypeUnknown, RemovalPolicy::Unknown, false, false};
  const DiskFacts sdCard{false, card::kBusTypeSd, RemovalPolicy::SurpriseRemoval, false, false};
  DiskFacts systemRemovable = removable;
  systemRemovable.systemDisk = true;
  DiskFacts systemOnSd = sdCard;
  systemOnSd.systemDisk = true;
  const DiskFacts emmc{false, card::kBusTypeMmc, RemovalPolicy::ExpectNoRemoval, false, false};
  DiskFacts bootCard = sdCard;
  bootCard.bootPartitions = true;
  const DiskFacts sata{false, card::kBusTypeSata, RemovalPolicy::ExpectNoRemoval, false, false};
  const Case cases[] = {
      {"a removable card", DRIVE_REMOVABLE, false, true, removable, true},
      {"a card on the SD bus that calls itself fixed", DRIVE_FIXED, false, true, sdCard, true},
      {"the system's disk, removable", DRIVE_REMOVABLE, false, true, systemRemovable, false},
      {"the system's disk, on the SD bus", DRIVE_FIXED, false, true, systemOnSd, false},
      {"a laptop's eMMC", DRIVE_FIXED, false, true, emmc, false},
      {"a card with boot partitions", DRIVE_FIXED, false, true, bootCard, false},
      {"a fixed disk", DRIVE_FIXED, false, true, sata, false},
      {"an empty reader", DRIVE_REMOVABLE, true, false, {}, true},
      {"a fixed letter that does not answer", DRIVE_FIXED, true, false, {}, false},
      {"a removable letter that leads to no disk", DRIVE_REMOVABLE, false, false, {}, false},
      {"a network letter", DRIVE_REMOTE, false, true, removable, false},
      {"a CD-ROM", DRIVE_CDROM, true, false, {}, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    card::LetterDisk found;
    found.noCard = c.noCard;
    found.described = c.described;
    if (c.described) {
      found.disk = 1;
      found.verdict = card::judgeDisk(c.facts);
    }
    EXPECT_EQ(disks::listsLetter(c.type, found), c.listed);
  }
}

// The words of each refusal: a write's say the disk is never written, a
// read's or compare's that it is no card; a disk that is not removable is
// refused by the run's own open, in its own words.
TEST(Win32CardRule, RefusalWordsFitTheCommand) {
  using card::DiskVerdict;
  using disks::CardUse;
  struct Case {
    DiskVerdict verdict;
    const char* write;
    const char* read;
  };
  const Case cases[] = {
      {DiskVerdict::SystemDisk,
       "C: is on the disk that holds Windows, its boot partition or a page file: it is never "
       "written",
       "C: is on the disk that holds Windows, its boot partition or a page file: it is no card"},
      {DiskVerdict::BuiltIn, "C: is on a disk built into the PC: it is never written",
       "C: is on a disk built into the PC: it is no card"},
      {DiskVerdict::BootPartitions,
       "C: holds a PC's boot partition (EFI system, Microsoft reserved or recovery): it is never "
       "written",
       "C: holds a PC's boot partition (EFI system, Microsoft reserved or recovery): it is not "
       "read as a card"},
      {DiskVerdict::NotRemovable, "", ""},
      {DiskVerdict::Card, "", ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(static_cast<int>(c.verdict));
    EXPECT_EQ(disks::verdictRefusal(c.verdict, "C", CardUse::Write), c.write);
    EXPECT_EQ(disks::verdictRefusal(c.verdict, "C", CardUse::Read), c.read);
  }
  EXPECT_EQ(disks::ruleRefusal(disks::Finding::NetworkDrive, "Z", CardUse::Write),
            "Z: is a network drive: it is no card");
  EXPECT_EQ(disks::ruleRefusal(disks::Finding::NetworkDrive, "Z", CardUse::Read),
            "Z: is a network drive: it is no card");
}

// Every verdict that is no card has its row, and the help shows every row
// once, by the name the rule gives it.
TEST(Win32CardRule, TheHelpIsTheRulesRows) {
  std::set<card::DiskVerdict> verdicts;
  std::set<std::string> names;
  for (const disks::WindowsRuleRow& row : disks::windowsCardRule()) {
    if (row.verdict) {
      EXPECT_TRUE(verdicts.insert(*row.verdict).second) << row.name;
    }
    EXPECT_TRUE(names.insert(row.name).second) << row.name;
  }
  EXPECT_EQ(verdicts, (std::set<card::DiskVerdict>{
                          card::DiskVerdict::NotRemovable, card::DiskVerdict::SystemDisk,
                          card::DiskVerdict::BuiltIn, card::DiskVerdict::BootPartitions}));
  const auto help = disks::windowsRefusalHelp();
  ASSERT_EQ(help.size(), disks::windowsCardRule().size());
  for (std::size_t k = 0; k < help.size(); ++k) {
    EXPECT_EQ(help[k].first, disks::windowsCardRule()[k].name);
    EXPECT_EQ(help[k].second, disks::windowsCardRule()[k].detail);
  }
}

// What a letter stands for when it is a share on the network.
TEST(Win32CardRule, NetworkShares) {
  const std::pair<const char*, bool> cases[] = {
      {"\\Device\\LanmanRedirector\\;Z:0000000000012345\\server\\share", true},
      {"\\Device\\Mup\\;LanmanRedirector\\;Z:00000000000abcde\\server\\share", true},
      {"\\Device\\WebDavRedirector\\;W:0000000000012345\\server\\DavWWWRoot", true},
      {"\\??\\UNC\\server\\share\\folder", true},
      {"\\Device\\Harddisk1\\DR1", false},
      {"\\Device\\HarddiskVolume3", false},
      {"\\??\\C:\\folder", false},
      {"\\Device\\CdRom0", false},
  };
  for (const auto& [target, share] : cases)
    EXPECT_EQ(disks::namesNetworkShare(target), share) << target;
}

// A network letter whose device's name is longer than any fixed buffer is
// named in full, and refused for what it is: before the run as a network
// drive, and by the run's open as no disk rather than as a failed query.
TEST(Win32CardRule, ALongNetworkLetterIsRefusedAsNoCard) {
  const std::string share =
      "\\Device\\LanmanRedirector\\;X:0000000000012345\\a-server-with-a-rather-long-name\\"
      "a-share-whose-name-is-longer-than-a-hundred-characters-by-itself\\and-a-folder" +
      std::string(150, 'f');
  ASSERT_GT(share.size(), std::size_t(MAX_PATH));
  ASSERT_TRUE(DefineDosDeviceA(DDD_RAW_TARGET_PATH, "X:", share.c_str())) << GetLastError();
  disks::Win32DiskServices disk;
  std::string target;
  const bool answered = disk.queryDosDevice("X:", target);
  EXPECT_EQ(disks::cardRefusal("X", {}, disks::CardUse::Write),
            "X: is a network drive: it is no card");
  std::vector<std::string> journal;
  testing_support::RecordingUi recording(journal);
  recording.drive = "X";
  const card::Card opened = card::openCard(disk, recording);
  DefineDosDeviceA(DDD_RAW_TARGET_PATH | DDD_REMOVE_DEFINITION | DDD_EXACT_MATCH_ON_REMOVE,
                   "X:", share.c_str());
  ASSERT_TRUE(answered) << disk.lastError();
  EXPECT_EQ(target, share);
  EXPECT_FALSE(opened);
  EXPECT_EQ(journal,
            std::vector<std::string>{"message ERROR: Query did not return expected dive number"});
}

}  // namespace
