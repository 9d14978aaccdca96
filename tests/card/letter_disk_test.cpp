// From a drive letter to its disk: the answer's disk number, and which
// letters lead to one disk.
#include "card/letter_disk.h"

#include <gtest/gtest.h>

#include <functional>

#include "disks/simulated_disk_services.h"
#include "tests/card/simulated_drives.h"
#include "tests/support/test_support.h"

namespace {

using namespace testing_support;
using namespace card_testing;

TEST(PhysicalDrivePath, ReadsEveryDigitAfterTheDiskMarker) {
  const std::pair<const char*, const char*> cases[] = {
      {"\\Device\\Harddisk1\\DR1", "\\\\.\\PHYSICALDRIVE1"},
      {"\\Device\\Harddisk0\\DR0", "\\\\.\\PHYSICALDRIVE0"},
      {"\\Device\\Harddisk12\\DR12", "\\\\.\\PHYSICALDRIVE12"},
      {"\\Device\\Harddisk123", "\\\\.\\PHYSICALDRIVE123"},
      {"\\Device\\HarddiskVolume1", ""},
      {"\\Device\\Harddisk", ""},
      {"\\Device\\harddisk1\\DR1", ""},  // the marker is case-sensitive
      // Only an answer that begins with the disk marker and whose number ends
      // at a backslash or the end names a disk.
      {"\\??\\C:\\Harddisk1", ""},  // subst X: C:\Harddisk1
      {"\\Device\\Harddisk1x", ""},
      {"\\Device\\Harddisk1x\\DR1", ""},
      {"\\Device\\Mup\\server\\Harddisk1", ""},
      {"\\Device\\Harddisk99999999999\\DR1", ""},  // more than the system numbers
      {"\\Device\\CdRom0", ""},
      {"", ""},
  };
  for (const auto& c : cases) EXPECT_EQ(card::physicalDrivePath(c.first), c.second) << c.first;
}

// A letter that names no single disk is never listed: a floppy's answer,
// a volume on two disks, a reader with no card.
TEST(CardRule, ListsALetterOnlyWhenItLeadsToOneDisk) {
  using D = disks::SimulatedDrive&;
  struct Case {
    const char* name;
    disks::SimulatedDrive drive;
    std::int64_t disk;
    bool noCard;
  };
  const Case cases[] = {
      {"volume on disk 3", volumeCard([](D) {}), 3, false},
      {"volume on two disks", volumeCard([](D d) {
         d.volumeExtents = {3, 4};
       }),
       -1, false},
      {"numbers disagree", volumeCard([](D d) { d.volumeExtents = {4}; }), -1, false},
      {"a floppy", drive(Kind::RemovableCard, "\\Device\\Floppy0"), -1, false},
      {"empty reader", volumeCard([](D d) { d.notReady = true; }), -1, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ScratchDir scratch;
    disks::SimulatedDiskServices disk;
    // Disk 0 and disk 5 are cards too.
    disks::SimulatedDrive zero = drive(Kind::RemovableCard, "", "0");
    zero.file = scratch.path("zero.img");
    disk.addDrive("E", zero);
    disks::SimulatedDrive other = drive(Kind::RemovableCard, "", "5");
    other.file = scratch.path("other.img");
    disk.addDrive("F", other);
    disks::SimulatedDrive d = c.drive;
    d.file = scratch.path("card.img");
    disk.addDrive("G", d);
    const card::LetterDisk found = card::examineLetter(disk, disk, "G");
    EXPECT_EQ(found.disk, c.disk);
    EXPECT_EQ(found.noCard, c.noCard);
    EXPECT_EQ(found.described && found.verdict == card::DiskVerdict::Card, c.disk >= 0);
    EXPECT_EQ(disk.openDevices(), 0);
    EXPECT_EQ(disk.openVolumes(), 0);
  }
}

}  // namespace
