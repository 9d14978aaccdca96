// What a disk tells of itself through the real Win32 calls, and the facts
// that only a real PC's answers can show, read as functions of the answers:
// the removal policy's match and the partition types of a layout.
#include "disks/win32_disk_facts.h"

#include <gtest/gtest.h>
#include <windows.h>
#include <winioctl.h>
// After windows.h, which it needs.
#include <cfgmgr32.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "card/card_device.h"
#include "disks/cards.h"
#include "disks/win32_disk_services.h"
#include "tests/win32/win32_disk_test_support.h"

namespace {

using testing_support::readFile;
using testing_support::ScratchDir;
using testing_support::writeFile;
using win32_disk_test::patternBlocks;

// What a card is and what becomes of it after a write, through the real
// calls: a plain file takes writes, hangs on no bus, is no system disk and
// cannot be ejected, and stays whole when asked to be. Wine's floppy-type
// disk answers the same but for its bus (SCSI: no card reader's, so it
// stays a fixed disk that is refused); whether a real reader's lock switch, its SD bus, the
// system's own disk and a real eject answer as they should needs a real
// Windows.
TEST(Win32DiskServices, ProtectionBusSystemDiskAndEjectOnAFileAndWinesDisk) {
  ScratchDir scratch;
  const std::string path = scratch.path("card.img");
  writeFile(path, patternBlocks(0, 2));
  disks::Win32DiskServices disk;
  for (const std::string& name : {path, std::string("\\\\.\\PHYSICALDRIVE1")}) {
    SCOPED_TRACE(name);
    card::NativeHandle device = 0;
    ASSERT_TRUE(disk.openDevice(name, device)) << disk.lastError();
    EXPECT_FALSE(disk.writeProtected(device));
    const std::uint32_t bus = disk.busType(device);
    if (name == path) {
      EXPECT_EQ(bus, card::kBusTypeUnknown);
    }
    EXPECT_NE(bus, card::kBusTypeSd);
    EXPECT_NE(bus, card::kBusTypeMmc);
    EXPECT_FALSE(disk.systemDisk(device));
    EXPECT_FALSE(disk.ejectMedia(device));
    EXPECT_NE(disk.lastError(), 0u);
    disk.closeDevice(device);
  }
  EXPECT_EQ(readFile(path), patternBlocks(0, 2));
}

// What the card rule asks of a disk, through a handle opened for queries
// only, as `list` asks it. Wine's floppy-type disk is a fixed disk on no
// reader's bus, with no removal policy, boot partition or system on it: no
// card, and the command line names no built-in or system disk for it.
TEST(Win32DiskServices, TheCardRuleAsksWhatWinesDiskAnswers) {
  disks::Win32DiskServices disk;
  card::NativeHandle handle = 0;
  ASSERT_TRUE(disk.openDiskForQueries("\\\\.\\PHYSICALDRIVE1", handle)) << disk.lastError();
  card::DriveGeometry geometry;
  ASSERT_TRUE(disk.driveGeometry(handle, geometry));
  const card::DiskFacts facts = card::diskFacts(disk, handle, geometry);
  EXPECT_FALSE(facts.removableMedia);
  EXPECT_FALSE(facts.bootPartitions);
  EXPECT_FALSE(facts.systemDisk);
  EXPECT_EQ(card::judgeDisk(facts), card::DiskVerdict::NotRemovable);
  disk.closeDevice(handle);

  const card::LetterDisk g = card::examineLetter(disk, disk, "G");
  EXPECT_EQ(g.disk, 1);
  EXPECT_TRUE(g.described);
  EXPECT_EQ(g.verdict, card::DiskVerdict::NotRemovable);
  EXPECT_GT(g.bytes, 0);
  // A CD-ROM's letter leads to no disk at all.
  EXPECT_EQ(card::examineLetter(disk, disk, "I").disk, -1);
  EXPECT_EQ(disks::cardRefusal("G", {}), "");
}

}  // namespace

namespace {

using card::RemovalPolicy;
using disks::SetupDisk;

SetupDisk numbered(std::uint32_t number, std::uint32_t policy) {
  return SetupDisk{true, number, true, policy};
}

// The removal policy is the card's own disk's, found by its number in the
// device setup's list, whatever stands before it.
TEST(Win32DiskFacts, RemovalPolicyIsTheCardsOwnDisks) {
  struct Case {
    const char* name;
    std::vector<SetupDisk> listed;
    std::uint32_t disk;
    RemovalPolicy policy;
  };
  const SetupDisk system = numbered(0, CM_REMOVAL_POLICY_EXPECT_NO_REMOVAL);
  const SetupDisk unnumbered{false, 0, true, CM_REMOVAL_POLICY_EXPECT_SURPRISE_REMOVAL};
  const Case cases[] = {
      {"the system's disk listed first",
       {system, numbered(2, CM_REMOVAL_POLICY_EXPECT_SURPRISE_REMOVAL)},
       2,
       RemovalPolicy::SurpriseRemoval},
      {"the card's disk listed first",
       {numbered(2, CM_REMOVAL_POLICY_EXPECT_ORDERLY_REMOVAL), system},
       2,
       RemovalPolicy::OrderlyRemoval},
      {"the built-in disk",
       {numbered(2, CM_REMOVAL_POLICY_EXPECT_SURPRISE_REMOVAL), system},
       0,
       RemovalPolicy::ExpectNoRemoval},
      {"a device that tells no number is no disk's",
       {unnumbered, numbered(1, CM_REMOVAL_POLICY_EXPECT_NO_REMOVAL)},
       0,
       RemovalPolicy::Unknown},
      {"the card's disk keeps no policy",
       {numbered(1, CM_REMOVAL_POLICY_EXPECT_SURPRISE_REMOVAL), SetupDisk{true, 2, false, 0}},
       2,
       RemovalPolicy::Unknown},
      {"a policy the card writer does not know", {numbered(2, 99)}, 2, RemovalPolicy::Unknown},
      {"the disk is not listed", {system}, 3, RemovalPolicy::Unknown},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(disks::removalPolicyOf(c.disk, c.listed), c.policy);
  }
}

// A drive layout as the system answers it, in aligned storage.
class Layout {
 public:
  explicit Layout(PARTITION_STYLE style) : storage_(kWords, 0) { layout()->PartitionStyle = style; }
  void addGpt(const GUID& type) {
    PARTITION_INFORMATION_EX& entry = next();
    entry.PartitionStyle = PARTITION_STYLE_GPT;
    entry.Gpt.PartitionType = type;
  }
  void addMbr(BYTE type) {
    PARTITION_INFORMATION_EX& entry = next();
    entry.PartitionStyle = PARTITION_STYLE_MBR;
    entry.Mbr.PartitionType = type;
  }
  const void* bytes() const { return storage_.data(); }
  // The bytes of the head and the entries added.
  std::size_t size() const {
    return offsetof(DRIVE_LAYOUT_INFORMATION_EX, PartitionEntry) +
           layout()->PartitionCount * sizeof(PARTITION_INFORMATION_EX);
  }

 private:
  static constexpr std::size_t kWords = (offsetof(DRIVE_LAYOUT_INFORMATION_EX, PartitionEntry) +
                                         8 * sizeof(PARTITION_INFORMATION_EX)) /
                                            sizeof(std::uint64_t) +
                                        1;
  DRIVE_LAYOUT_INFORMATION_EX* layout() {
    return reinterpret_cast<DRIVE_LAYOUT_INFORMATION_EX*>(storage_.data());
  }
  const DRIVE_LAYOUT_INFORMATION_EX* layout() const {
    return reinterpret_cast<const DRIVE_LAYOUT_INFORMATION_EX*>(storage_.data());
  }
  PARTITION_INFORMATION_EX& next() { return layout()->PartitionEntry[layout()->PartitionCount++]; }
  std::vector<std::uint64_t> storage_;
};

constexpr GUID kBasicData = {
    0xebd0a0a2, 0xb9e5, 0x4433, {0x87, 0xc0, 0x68, 0xb6, 0xb7, 0x26, 0x99, 0xc7}};
constexpr GUID kLinuxData = {
    0x0fc63daf, 0x8483, 0x4772, {0x8e, 0x79, 0x3d, 0x69, 0xd8, 0x47, 0x7d, 0xe4}};
constexpr GUID kEfiSystem = {
    0xc12a7328, 0xf81f, 0x11d2, {0xba, 0x4b, 0x00, 0xa0, 0xc9, 0x3e, 0xc9, 0x3b}};
constexpr GUID kMicrosoftReserved = {
    0xe3c9e316, 0x0b5c, 0x4db8, {0x81, 0x7d, 0xf9, 0x2d, 0xf0, 0x02, 0x15, 0xae}};
constexpr GUID kRecovery = {
    0xde94bba4, 0x06d1, 0x4d40, {0xa1, 0x6d, 0xbf, 0xd5, 0x01, 0x79, 0xd6, 0xac}};

// The partition types of a PC's boot disk, read from the layout's bytes, in
// any place among a card's own partitions, GPT and MBR alike.
TEST(Win32DiskFacts, BootPartitionsByTheLayoutsTypes) {
  struct Case {
    const char* name;
    PARTITION_STYLE style;
    std::vector<GUID> gpt;
    std::vector<BYTE> mbr;
    bool boot;
  };
  const Case cases[] = {
      {"GPT, data only", PARTITION_STYLE_GPT, {kBasicData, kLinuxData}, {}, false},
      {"GPT, EFI system", PARTITION_STYLE_GPT, {kEfiSystem, kBasicData}, {}, true},
      {"GPT, Microsoft reserved third",
       PARTITION_STYLE_GPT,
       {kBasicData, kLinuxData, kMicrosoftReserved},
       {},
       true},
      {"GPT, recovery last", PARTITION_STYLE_GPT, {kBasicData, kRecovery}, {}, true},
      {"MBR, FAT32 and Linux", PARTITION_STYLE_MBR, {}, {0x0C, 0x83, 0, 0}, false},
      {"MBR, EFI system", PARTITION_STYLE_MBR, {}, {0x0C, 0xEF, 0, 0}, true},
      {"MBR, recovery", PARTITION_STYLE_MBR, {}, {0x07, 0x27, 0, 0}, true},
      {"MBR, protective of a GPT", PARTITION_STYLE_MBR, {}, {0xEE, 0, 0, 0}, false},
      {"no partitions", PARTITION_STYLE_RAW, {}, {}, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Layout layout(c.style);
    for (const GUID& type : c.gpt) layout.addGpt(type);
    for (BYTE type : c.mbr) layout.addMbr(type);
    EXPECT_EQ(disks::layoutHoldsBootPartitions(layout.bytes(), layout.size()), c.boot);
  }
}

// Only the entries the answer holds are read, whatever its count claims.
TEST(Win32DiskFacts, LayoutReadNoFurtherThanItsAnswer) {
  Layout layout(PARTITION_STYLE_GPT);
  layout.addGpt(kBasicData);
  layout.addGpt(kEfiSystem);
  const std::size_t oneEntry = layout.size() - sizeof(PARTITION_INFORMATION_EX);
  EXPECT_TRUE(disks::layoutHoldsBootPartitions(layout.bytes(), layout.size()));
  EXPECT_FALSE(disks::layoutHoldsBootPartitions(layout.bytes(), oneEntry));
  EXPECT_FALSE(disks::layoutHoldsBootPartitions(layout.bytes(), 4));
  EXPECT_FALSE(disks::layoutHoldsBootPartitions(nullptr, 0));
}

}  // namespace
