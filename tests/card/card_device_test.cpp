// Opening the card behind a drive letter: every drive that is no card
// refused, and the disk the letter names opened.
#include "card/card_device.h"

#include <gtest/gtest.h>

#include <functional>

#include "disks/simulated_disk_services.h"
#include "tests/card/simulated_drives.h"
#include "tests/support/test_support.h"

namespace {

using namespace testing_support;
using namespace card_testing;

struct ResolutionCase {
  const char* name;
  std::string driveText;
  bool declared;
  disks::SimulatedDrive drive;
  std::vector<std::string> journal;  // what happens, in order
};

TEST(OpenCardDevice, RefusesEveryDriveThatIsNotARemovableCard) {
  disks::SimulatedDrive openFails = drive(Kind::RemovableCard);
  openFails.openFails = true;
  disks::SimulatedDrive geometryFails = drive(Kind::RemovableCard);
  geometryFails.geometryFails = true;
  disks::SimulatedDrive emptyReader = drive(Kind::RemovableCard);
  emptyReader.notReady = true;
  disks::SimulatedDrive emptyVolume = drive(Kind::VolumeCard);
  emptyVolume.notReady = true;
  disks::SimulatedDrive bigSectors = drive(Kind::RemovableCard);
  bigSectors.sectorBytes = 4096;
  const std::string dive = "message ERROR: Query did not return expected dive number";
  const ResolutionCase cases[] = {
      {"no such device", "G", false, {}, {"query G:", "message ERROR: could not query device"}},
      {"empty drive text", "", false, {}, {"query :", "message ERROR: could not query device"}},
      {"cd-rom", "G", true, drive(Kind::CdRom), {"query G:", dive}},
      {"marker with no number",
       "G",
       true,
       drive(Kind::RemovableCard, "\\Device\\Harddisk"),
       {"query G:", dive}},
      // Answers that merely contain the marker never reach disk 1, the card
      // on F: nothing is opened.
      {"substituted folder",
       "G",
       true,
       drive(Kind::RemovableCard, "\\??\\C:\\Harddisk1"),
       {"query G:", dive}},
      {"number run on",
       "G",
       true,
       drive(Kind::RemovableCard, "\\Device\\Harddisk1x"),
       {"query G:", dive}},
      {"network path",
       "G",
       true,
       drive(Kind::RemovableCard, "\\Device\\Mup\\server\\Harddisk1"),
       {"query G:", dive}},
      {"empty reader behind a disk",
       "G",
       true,
       emptyReader,
       {"query G:", "open device \\\\.\\PHYSICALDRIVE1", "geometry",
        "message ERROR: no card in the reader at >G", "close device"}},
      {"empty reader behind a volume",
       "G",
       true,
       emptyVolume,
       {"query G:", "open volume \\\\.\\G: query", "device number", "close volume",
        "message ERROR: no card in the reader at >G"}},
      {"sectors of 4096 bytes",
       "G",
       true,
       bigSectors,
       {"query G:", "open device \\\\.\\PHYSICALDRIVE1", "geometry",
        "message ERROR: card sectors of 4096 bytes are not supported", "close device"}},
      {"open refused",
       "G",
       true,
       openFails,
       {"query G:", "open device \\\\.\\PHYSICALDRIVE1", "message ERROR: MMC drive open error"}},
      {"geometry refused",
       "G",
       true,
       geometryFails,
       {"query G:", "open device \\\\.\\PHYSICALDRIVE1", "geometry",
        "message ERROR: IOCTL_DISK_GET_DRIVE_GEOMETRY failed", "close device"}},
      {"fixed disk",
       "H",
       true,
       drive(Kind::FixedDisk),
       {"query H:", "open device \\\\.\\PHYSICALDRIVE1", "geometry",
        "message ERROR: your system does not recognize a removable media at >H", "close device"}},
      // 19 characters do not fit the device name with its colon: no lookup.
      {"drive text too long",
       std::string(19, 'G'),
       true,
       drive(Kind::RemovableCard),
       {"message ERROR: could not query device"}},
  };
  for (const ResolutionCase& c : cases) {
    SCOPED_TRACE(c.name);
    ScratchDir scratch;
    std::vector<std::string> journal;
    disks::SimulatedDiskServices disk(&journal);
    RecordingUi ui(journal);
    ui.drive = c.driveText;
    // Where the letter's answer is its own, disk 1 is a card under another
    // letter, which the answer must not reach.
    disks::SimulatedDrive other = drive(Kind::RemovableCard);
    other.file = scratch.path("other.img");
    if (!c.drive.devicePath.empty()) disk.addDrive("F", other);
    if (c.declared) {
      disks::SimulatedDrive d = c.drive;
      d.file = scratch.path("disk.img");
      disk.addDrive(c.driveText, d);
    }
    card::Card device = card::openCard(disk, ui);
    EXPECT_FALSE(device);
    EXPECT_EQ(journal, c.journal);
    EXPECT_EQ(disk.openDevices(), 0);
  }
}

TEST(OpenCardDevice, OpensThePhysicalDriveTheLetterNames) {
  const std::tuple<const char*, std::string, const char*> cases[] = {
      {"\\Device\\Harddisk2\\DR2", "2", "open device \\\\.\\PHYSICALDRIVE2"},
      {"\\Device\\Harddisk12\\DR12", "12", "open device \\\\.\\PHYSICALDRIVE12"},
  };
  for (const auto& c : cases) {
    ScratchDir scratch;
    std::vector<std::string> journal;
    disks::SimulatedDiskServices disk(&journal);
    // Disk 1 exists too: a one-digit reading of "Harddisk12" would reach it.
    disks::SimulatedDrive other = drive(Kind::RemovableCard, "", "1");
    other.file = scratch.path("other.img");
    disk.addDrive("F", other);
    disks::SimulatedDrive target = drive(Kind::RemovableCard, std::get<0>(c), std::get<1>(c));
    target.file = scratch.path("card.img");
    disk.addDrive(std::string(18, 'G'), target);
    RecordingUi ui(journal);
    ui.drive = std::string(18, 'G');  // the longest text that fits

    card::Card device = card::openCard(disk, ui);
    EXPECT_TRUE(device);
    EXPECT_TRUE(ui.messages.empty());
    // A disk answer needs no volume query.
    EXPECT_EQ(journal,
              (std::vector<std::string>{"query " + ui.drive + ":", std::get<2>(c), "geometry"}));
    device.release();
    EXPECT_EQ(disk.openDevices(), 0);
  }
}

TEST(OpenCardDevice, AcceptsAVolumeOnlyWhenItLiesWhollyOnOneDisk) {
  using D = disks::SimulatedDrive&;
  const std::string dive = "message ERROR: Query did not return expected dive number";
  const std::vector<std::string> queries = {"query G:", "open volume \\\\.\\G: query",
                                            "device number", "extents", "close volume"};
  const std::vector<std::string> refused = [&] {
    std::vector<std::string> j = queries;
    j.push_back(dive);
    return j;
  }();
  const ResolutionCase cases[] = {
      {"volume on disk 3", "G", true, volumeCard([](D) {}),
       [&] {
         std::vector<std::string> j = queries;
         j.insert(j.end(), {"open device \\\\.\\PHYSICALDRIVE3", "geometry"});
         return j;
       }()},
      {"volume on two disks", "G", true, volumeCard([](D d) {
         d.volumeExtents = {3, 4};
       }),
       refused},
      {"no extents", "G", true, volumeCard([](D d) {
         d.volumeExtents = {};
         d.extentsFails = true;
       }),
       refused},
      {"numbers disagree", "G", true, volumeCard([](D d) { d.volumeExtents = {4}; }), refused},
      {"not a disk",
       "G",
       true,
       volumeCard([](D d) { d.volumeDeviceType = card::kFileDeviceCdRom; }),
       {"query G:", "open volume \\\\.\\G: query", "device number", "close volume", dive}},
      {"device number refused",
       "G",
       true,
       volumeCard([](D d) { d.deviceNumberFails = true; }),
       {"query G:", "open volume \\\\.\\G: query", "device number", "close volume", dive}},
      {"volume does not open",
       "G",
       true,
       volumeCard([](D d) { d.volumeOpenFails = true; }),
       {"query G:", "open volume \\\\.\\G: query", dive}},
  };
  for (const ResolutionCase& c : cases) {
    SCOPED_TRACE(c.name);
    ScratchDir scratch;
    std::vector<std::string> journal;
    disks::SimulatedDiskServices disk(&journal);
    // Disk 5 is a card too, and 5 is also the volume's own number: a
    // reading of the volume name as a disk number would reach it.
    disks::SimulatedDrive other = drive(Kind::RemovableCard, "", "5");
    other.file = scratch.path("other.img");
    disk.addDrive("F", other);
    disks::SimulatedDrive d = c.drive;
    d.file = scratch.path("card.img");
    disk.addDrive("G", d);
    RecordingUi ui(journal);
    card::Card device = card::openCard(disk, ui);
    EXPECT_EQ(static_cast<bool>(device), c.journal.back() == "geometry");
    EXPECT_EQ(journal, c.journal);
    device.release();
    EXPECT_EQ(disk.openDevices(), 0);
    EXPECT_EQ(disk.openVolumes(), 0);
  }
}

}  // namespace
