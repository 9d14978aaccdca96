// What a disk tells of itself through the real Win32 calls, and the facts
// that only a real PC's answers can show, read as functions of the answers:
// the removal policy's match and the partition types of a layout.
#include "disks/win32_disk_facts.h"

#include <gtest/gtest.h>
#include <windows.h>
#include <winioctl.h>

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
using win32_disk_test::kBlock;
using win32_disk_test::nextHandle;
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
