#include "card/card_device.h"

#include <gtest/gtest.h>

#include <functional>

#include "disks/simulated_disk_services.h"
#include "tests/support/test_support.h"

namespace {

using namespace testing_support;
using Kind = disks::SimulatedDrive::Kind;

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

struct ResolutionCase {
  const char* name;
  std::string driveText;
  bool declared;
  disks::SimulatedDrive drive;
  std::vector<std::string> journal;  // what happens, in order
};

disks::SimulatedDrive drive(Kind kind, std::string devicePath = "", std::string number = "1") {
  disks::SimulatedDrive d;
  d.kind = kind;
  d.devicePath = std::move(devicePath);
  d.diskNumber = std::move(number);
  return d;
}

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

disks::SimulatedDrive volumeCard(std::function<void(disks::SimulatedDrive&)> change) {
  disks::SimulatedDrive d = drive(Kind::VolumeCard, "", "3");
  change(d);
  return d;
}

// Some readers call their card fixed media, and only their bus tells what
// they are; a laptop's eMMC is on that bus too, and its system says it is
// never removed or its partitions say it boots the PC; the system's own disk
// is no card whatever it says of itself. `list` shows a letter as a card
// exactly when a run takes it.
TEST(CardRule, DecidesOnWhatTheDiskSaysOfItselfForTheRunsAndTheList) {
  using card::DiskVerdict;
  using Policy = card::RemovalPolicy;
  struct Case {
    const char* name;
    Kind kind;
    std::uint32_t bus;
    Policy removal;
    bool bootPartitions;
    bool systemDisk;
    bool pageFile;
    DiskVerdict verdict;
  };
  constexpr std::uint32_t sd = card::kBusTypeSd;
  constexpr std::uint32_t mmc = card::kBusTypeMmc;
  constexpr std::uint32_t sata = card::kBusTypeSata;
  constexpr std::uint32_t unknown = card::kBusTypeUnknown;
  const Case cases[] = {
      {"removable card", Kind::RemovableCard, unknown, Policy::SurpriseRemoval, false, false, false,
       DiskVerdict::Card},
      // Removable media is a card whatever else it says: a boot stick too.
      {"removable card with boot partitions", Kind::RemovableCard, unknown, Policy::ExpectNoRemoval,
       true, false, false, DiskVerdict::Card},
      {"fixed media on the SD bus, surprise removal", Kind::FixedDisk, sd, Policy::SurpriseRemoval,
       false, false, false, DiskVerdict::Card},
      {"fixed media on the MMC bus, orderly removal", Kind::FixedDisk, mmc, Policy::OrderlyRemoval,
       false, false, false, DiskVerdict::Card},
      {"fixed media on the SD bus, no removal policy kept", Kind::FixedDisk, sd, Policy::NotKept,
       false, false, false, DiskVerdict::Card},
      {"eMMC: on the MMC bus, never removed", Kind::FixedDisk, mmc, Policy::ExpectNoRemoval, false,
       false, false, DiskVerdict::BuiltIn},
      {"on the SD bus, removal policy not told", Kind::FixedDisk, sd, Policy::Unknown, false, false,
       false, DiskVerdict::BuiltIn},
      // A card that once held a bootable image, or an eMMC: refused for what
      // was found on it.
      {"removable on the MMC bus, with the PC's boot partitions", Kind::FixedDisk, mmc,
       Policy::SurpriseRemoval, true, false, false, DiskVerdict::BootPartitions},
      {"eMMC with the PC's boot partitions, never removed", Kind::FixedDisk, mmc,
       Policy::ExpectNoRemoval, true, false, false, DiskVerdict::BuiltIn},
      {"fixed disk on SATA", Kind::FixedDisk, sata, Policy::SurpriseRemoval, false, false, false,
       DiskVerdict::NotRemovable},
      {"fixed disk of unknown bus", Kind::FixedDisk, unknown, Policy::SurpriseRemoval, false, false,
       false, DiskVerdict::NotRemovable},
      {"system disk on the SD bus", Kind::FixedDisk, sd, Policy::SurpriseRemoval, false, true,
       false, DiskVerdict::SystemDisk},
      {"system disk calling itself removable", Kind::RemovableCard, unknown,
       Policy::SurpriseRemoval, false, true, false, DiskVerdict::SystemDisk},
      {"page-file disk calling itself removable", Kind::RemovableCard, unknown,
       Policy::SurpriseRemoval, false, false, true, DiskVerdict::SystemDisk},
      {"page-file disk on the MMC bus", Kind::FixedDisk, mmc, Policy::SurpriseRemoval, false, false,
       true, DiskVerdict::SystemDisk},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ScratchDir scratch;
    std::vector<std::string> journal;
    disks::SimulatedDiskServices disk(&journal);
    RecordingUi ui(journal);
    disks::SimulatedDrive d = drive(c.kind);
    d.file = scratch.path("disk.img");
    d.busType = c.bus;
    d.removalPolicy = c.removal;
    d.bootPartitions = c.bootPartitions;
    d.systemDisk = c.systemDisk;
    d.pageFile = c.pageFile;
    disk.addDrive("G", d);

    const card::LetterDisk listed = card::examineLetter(disk, disk, "G");
    EXPECT_EQ(listed.disk, 1);
    EXPECT_TRUE(listed.described);
    EXPECT_EQ(listed.verdict, c.verdict);
    EXPECT_EQ(listed.bytes, 65536 * 512);
    EXPECT_EQ(disk.openDevices(), 0);

    const bool accepted = c.verdict == DiskVerdict::Card;
    card::Card device = card::openCard(disk, ui);
    EXPECT_EQ(static_cast<bool>(device), accepted);
    using Messages = std::vector<std::pair<std::string, std::string>>;
    const Messages refusal = {{"your system does not recognize a removable media at >G", "ERROR"}};
    EXPECT_EQ(ui.messages, accepted ? Messages{} : refusal);
    device.release();
    EXPECT_EQ(disk.openDevices(), 0);
  }
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

// A volume holding a page file is the system's: its lock is refused at once,
// however busy the refusal says it is.
TEST(VolumeLock, RefusesAVolumeHoldingAPageFileAtOnce) {
  ScratchDir scratch;
  disks::SimulatedDiskServices disk;
  disks::SimulatedDrive d = drive(Kind::RemovableCard);
  d.file = scratch.path("card.img");
  d.pageFile = true;
  disk.addDrive("G", d);
  card::LockPatience patience;
  int pauses = 0;
  patience.wait = [&](std::chrono::milliseconds) { ++pauses; };
  card::VolumeLock lock;
  EXPECT_FALSE(lock.acquire(disk, "\\\\.\\G:", patience));
  EXPECT_TRUE(lock.pageFile());
  EXPECT_EQ(disk.lockAttempts("\\\\.\\G:"), 1);
  EXPECT_EQ(pauses, 0);
  EXPECT_EQ(disk.openVolumes(), 0);
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
