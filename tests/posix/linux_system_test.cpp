// What a block device's name tells of it, read in one place.
#include "disks/linux_system.h"

#include <gtest/gtest.h>

namespace {

using Kind = disks::DeviceName::Kind;

TEST(DeviceName, TheMmcHostsDisksTheEmmcsAreasAndLoopDevicesAreToldByName) {
  struct Case {
    const char* name;
    Kind kind;
    const char* emmc;  // the eMMC of an area
  };
  const Case cases[] = {
      {"mmcblk0", Kind::MmcDisk, ""},
      {"mmcblk12", Kind::MmcDisk, ""},
      {"mmcblk0boot0", Kind::EmmcArea, "mmcblk0"},
      {"mmcblk0boot1", Kind::EmmcArea, "mmcblk0"},
      {"mmcblk10rpmb", Kind::EmmcArea, "mmcblk10"},
      {"mmcblk0gp3", Kind::EmmcArea, "mmcblk0"},
      {"loop3", Kind::Loop, ""},
      // A partition of a card is no area, and names that only look alike
      // are nothing of the MMC host's.
      {"mmcblk0p1", Kind::Other, ""},
      {"mmcblk0boot", Kind::Other, ""},
      {"mmcblk0rpmb1", Kind::Other, ""},
      {"mmcblkboot0", Kind::Other, ""},
      {"mmcblk", Kind::Other, ""},
      {"xmmcblk0", Kind::Other, ""},
      {"loop", Kind::Other, ""},
      {"loop3p1", Kind::Other, ""},
      {"sdb1", Kind::Other, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const disks::DeviceName parsed = disks::parseDeviceName(c.name);
    EXPECT_EQ(parsed.kind, c.kind);
    EXPECT_EQ(parsed.disk, c.emmc);
  }
}

}  // namespace
