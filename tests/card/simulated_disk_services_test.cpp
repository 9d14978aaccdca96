#include "disks/simulated_disk_services.h"

#include <gtest/gtest.h>

#include "disks/simulated_drive_text.h"
#include "tests/support/test_support.h"

namespace {

using namespace testing_support;

// Declares the drives a text names, as the demonstration build does.
bool configure(disks::SimulatedDiskServices& disk, const std::string& text, std::string& error) {
  disks::SimulatedDrives drives;
  if (!disks::parseSimulatedDrives(text, drives, error)) return false;
  for (const auto& drive : drives) disk.addDrive(drive.first, drive.second);
  return true;
}

TEST(SimulatedDiskServices, ReadsItsDrivesFromText) {
  ScratchDir scratch;
  disks::SimulatedDiskServices disk;
  std::string error;
  ASSERT_TRUE(configure(disk,
                        "G=card,file=" + scratch.path("g.img") +
                            ",disk=3,refuse=2,error=1117;H=fixed,file=" + scratch.path("h.img") +
                            ";I=cdrom;J=volume",
                        error))
      << error;
  const std::pair<const char*, const char*> answers[] = {
      {"G:", "\\Device\\Harddisk3\\DR3"},
      {"H:", "\\Device\\Harddisk1\\DR1"},
      {"I:", "\\Device\\CdRom0"},
      {"J:", "\\Device\\HarddiskVolume5"},
  };
  for (const auto& a : answers) {
    std::string target;
    EXPECT_TRUE(disk.queryDosDevice(a.first, target));
    EXPECT_EQ(target, a.second);
  }
  std::string target;
  EXPECT_FALSE(disk.queryDosDevice("K:", target));

  card::NativeHandle g = 0;
  ASSERT_TRUE(disk.openDevice("\\\\.\\PHYSICALDRIVE3", g));
  card::DriveGeometry geometry;
  ASSERT_TRUE(disk.driveGeometry(g, geometry));
  EXPECT_EQ(geometry.mediaType, card::kRemovableMedia);
  const std::vector<std::uint8_t> blocks(1024, 0x5A);
  EXPECT_TRUE(disk.writeDevice(g, blocks.data(), blocks.size()));
  // A write that covers the refused block fails whole, with its code.
  EXPECT_FALSE(disk.writeDevice(g, blocks.data(), blocks.size()));
  EXPECT_EQ(disk.lastError(), 1117u);
  disk.closeDevice(g);
  EXPECT_EQ(readFile(scratch.path("g.img")), blocks);

  card::NativeHandle h = 0;
  ASSERT_TRUE(disk.openDevice("\\\\.\\PHYSICALDRIVE1", h));
  ASSERT_TRUE(disk.driveGeometry(h, geometry));
  EXPECT_EQ(geometry.mediaType, card::kFixedMedia);
  disk.closeDevice(h);
}

// The settings of a card on a real PC, as the demonstration reads them: an
// empty reader, large sectors, a folder on the card.
TEST(SimulatedDiskServices, ReadsTheRealPcSettingsFromText) {
  ScratchDir scratch;
  disks::SimulatedDrives drives;
  std::string error;
  ASSERT_TRUE(disks::parseSimulatedDrives(
      "G=card,notready;H=card,sectors=4096,folder=" + scratch.path("on-h/") + ";I=card", drives,
      error))
      << error;
  ASSERT_EQ(drives.size(), 3u);
  EXPECT_TRUE(drives[0].second.notReady);
  EXPECT_EQ(drives[1].second.sectorBytes, 4096u);
  EXPECT_EQ(drives[1].second.folder, scratch.path("on-h/"));
  EXPECT_FALSE(drives[2].second.notReady);
  EXPECT_EQ(drives[2].second.sectorBytes, 512u);
  EXPECT_TRUE(drives[2].second.folder.empty());
}

// The disks the card rule tells apart: a laptop's eMMC, a disk with the PC's
// boot partitions, a page-file disk, a reader whose removal policy is not
// told.
TEST(SimulatedDiskServices, ReadsTheDisksBuiltIntoThePcFromText) {
  using Policy = card::RemovalPolicy;
  disks::SimulatedDrives drives;
  std::string error;
  ASSERT_TRUE(disks::parseSimulatedDrives(
      "G=fixed,bus=mmc,removal=none;H=fixed,bus=sd,efi;I=card,pagefile;J=fixed,bus=sd,"
      "removal=orderly;K=fixed,bus=sd,removal=unknown;L=card",
      drives, error))
      << error;
  ASSERT_EQ(drives.size(), 6u);
  EXPECT_EQ(drives[0].second.removalPolicy, Policy::ExpectNoRemoval);
  EXPECT_TRUE(drives[1].second.bootPartitions);
  EXPECT_TRUE(drives[2].second.pageFile);
  EXPECT_EQ(drives[3].second.removalPolicy, Policy::OrderlyRemoval);
  EXPECT_EQ(drives[4].second.removalPolicy, Policy::Unknown);
  EXPECT_EQ(drives[5].second.removalPolicy, Policy::SurpriseRemoval);
  EXPECT_FALSE(drives[5].second.bootPartitions);
  EXPECT_FALSE(drives[5].second.pageFile);
  EXPECT_FALSE(disks::parseSimulatedDrives("G=card,removal=sometimes", drives, error));
}

// A card whose reads fail at a block, and one that reads a block otherwise
// each time after the first, for trying a backup's failures in the demo.
TEST(SimulatedDiskServices, ReadsCardsThatDoNotReadBackFromText) {
  disks::SimulatedDrives drives;
  std::string error;
  ASSERT_TRUE(disks::parseSimulatedDrives(
      "G=card,unreadable=12,error=23;H=card,changing=300;I=card", drives, error))
      << error;
  ASSERT_EQ(drives.size(), 3u);
  EXPECT_EQ(drives[0].second.unreadableBlock, 12);
  EXPECT_EQ(drives[0].second.refuseError, 23u);
  EXPECT_EQ(drives[1].second.changingBlock, 300);
  EXPECT_EQ(drives[2].second.unreadableBlock, -1);
  EXPECT_EQ(drives[2].second.changingBlock, -1);
}

// A reader with no eject at all, for trying in the demo how a write ends
// there.
TEST(SimulatedDiskServices, ReadsAReaderWithoutAnEjectFromText) {
  disks::SimulatedDrives drives;
  std::string error;
  ASSERT_TRUE(disks::parseSimulatedDrives("G=card,noeject;H=card", drives, error)) << error;
  ASSERT_EQ(drives.size(), 2u);
  EXPECT_TRUE(drives[0].second.cannotEject);
  EXPECT_FALSE(drives[1].second.cannotEject);
}

TEST(SimulatedDiskServices, RefusesTextItCannotRead) {
  for (const char* text : {"G", "=card", "G=floppy", "G=card,colour=red"}) {
    disks::SimulatedDiskServices disk;
    std::string error;
    EXPECT_FALSE(configure(disk, text, error)) << text;
    EXPECT_FALSE(error.empty()) << text;
  }
}

}  // namespace
