// The card rule: what a disk says of itself, and what that makes it.
#include "card/disk_facts.h"

#include <gtest/gtest.h>

#include <functional>

#include "card/card_device.h"
#include "disks/simulated_disk_services.h"
#include "tests/card/simulated_drives.h"
#include "tests/support/test_support.h"

namespace {

using namespace testing_support;
using namespace card_testing;

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
    Kind kind = Kind::FixedDisk;
    std::uint32_t bus = card::kBusTypeUnknown;
    Policy removal = Policy::SurpriseRemoval;
    bool bootPartitions = false;
    bool systemDisk = false;
    bool pageFile = false;
    DiskVerdict verdict;
  };
  constexpr std::uint32_t sd = card::kBusTypeSd;
  constexpr std::uint32_t mmc = card::kBusTypeMmc;
  constexpr std::uint32_t sata = card::kBusTypeSata;
  const Case cases[] = {
      {.name = "removable card", .kind = Kind::RemovableCard, .verdict = DiskVerdict::Card},
      // Removable media is a card whatever else it says: a boot stick too.
      {.name = "removable card with boot partitions",
       .kind = Kind::RemovableCard,
       .removal = Policy::ExpectNoRemoval,
       .bootPartitions = true,
       .verdict = DiskVerdict::Card},
      {.name = "fixed media on the SD bus, surprise removal",
       .bus = sd,
       .removal = Policy::SurpriseRemoval,
       .verdict = DiskVerdict::Card},
      {.name = "fixed media on the MMC bus, orderly removal",
       .bus = mmc,
       .removal = Policy::OrderlyRemoval,
       .verdict = DiskVerdict::Card},
      {.name = "fixed media on the SD bus, no removal policy kept",
       .bus = sd,
       .removal = Policy::NotKept,
       .verdict = DiskVerdict::Card},
      {.name = "eMMC: on the MMC bus, never removed",
       .bus = mmc,
       .removal = Policy::ExpectNoRemoval,
       .verdict = DiskVerdict::BuiltIn},
      {.name = "on the SD bus, removal policy not told",
       .bus = sd,
       .removal = Policy::Unknown,
       .verdict = DiskVerdict::BuiltIn},
      // A card that once held a bootable image is refused for what was found
      // on it; an eMMC that holds them stays built into the PC.
      {.name = "removable on the MMC bus, with the PC's boot partitions",
       .bus = mmc,
       .removal = Policy::SurpriseRemoval,
       .bootPartitions = true,
       .verdict = DiskVerdict::BootPartitions},
      {.name = "removable on the SD bus, with the PC's boot partitions",
       .bus = sd,
       .removal = Policy::OrderlyRemoval,
       .bootPartitions = true,
       .verdict = DiskVerdict::BootPartitions},
      {.name = "eMMC with the PC's boot partitions, never removed",
       .bus = mmc,
       .removal = Policy::ExpectNoRemoval,
       .bootPartitions = true,
       .verdict = DiskVerdict::BuiltIn},
      {.name = "fixed disk on SATA", .bus = sata, .verdict = DiskVerdict::NotRemovable},
      {.name = "fixed disk on SATA, with the PC's boot partitions",
       .bus = sata,
       .bootPartitions = true,
       .verdict = DiskVerdict::NotRemovable},
      {.name = "fixed disk of unknown bus", .verdict = DiskVerdict::NotRemovable},
      {.name = "system disk on the SD bus",
       .bus = sd,
       .systemDisk = true,
       .verdict = DiskVerdict::SystemDisk},
      {.name = "system disk on the SD bus, with its boot partitions",
       .bus = sd,
       .bootPartitions = true,
       .systemDisk = true,
       .verdict = DiskVerdict::SystemDisk},
      {.name = "system disk calling itself removable",
       .kind = Kind::RemovableCard,
       .systemDisk = true,
       .verdict = DiskVerdict::SystemDisk},
      {.name = "page-file disk calling itself removable",
       .kind = Kind::RemovableCard,
       .pageFile = true,
       .verdict = DiskVerdict::SystemDisk},
      {.name = "page-file disk on the MMC bus",
       .bus = mmc,
       .pageFile = true,
       .verdict = DiskVerdict::SystemDisk},
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

}  // namespace
