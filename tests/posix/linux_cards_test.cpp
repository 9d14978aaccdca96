// Which block devices `list` shows and what it says of them, against a
// sysfs tree and a mount table laid out in a test folder.
#include "disks/linux_cards.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "tests/support/test_support.h"

namespace {

using namespace testing_support;
namespace fs = std::filesystem;

void put(const std::string& path, const std::string& text) {
  fs::create_directories(fs::path(path).parent_path());
  std::ofstream(path) << text;
}

class FakeSystem {
 public:
  FakeSystem() {
    paths.sys = scratch.path("sys");
    paths.dev = "/dev";
    paths.mounts = scratch.path("mounts");
    put(paths.mounts, "");
  }
  // A whole disk; `attributes` are its sysfs files.
  void disk(const std::string& name,
            const std::vector<std::pair<std::string, std::string>>& attributes) {
    fs::create_directories(paths.sys + "/block/" + name);
    for (const auto& a : attributes)
      put(paths.sys + "/block/" + name + "/" + a.first, a.second + "\n");
  }
  void partition(const std::string& disk, const std::string& name) {
    put(paths.sys + "/block/" + disk + "/" + name + "/partition", "1\n");
  }

  ScratchDir scratch;
  disks::SystemPaths paths;
};

TEST(LinuxCards, ListsRemovableDisksAndLoopDevicesOverFilesWithWhatIsMounted) {
  FakeSystem system;
  const std::string backing = system.scratch.path("card.img");
  put(backing, "");
  system.disk("sda", {{"removable", "0"}, {"size", "1000000"}});
  system.disk("sdb", {{"removable", "1"},
                      {"ro", "1"},  // its lock switch on
                      {"size", "15523840"},
                      {"device/vendor", "Generic "},
                      {"device/model", "STORAGE DEVICE  "}});
  system.partition("sdb", "sdb1");
  system.partition("sdb", "sdb2");
  system.disk("sdc", {{"removable", "1"}, {"size", "0"}});  // a reader with no card
  system.disk("loop0",
              {{"removable", "0"}, {"ro", "0"}, {"size", "16384"}, {"loop/backing_file", backing}});
  system.disk("loop1", {{"removable", "0"}, {"size", "0"}});  // nothing attached
  system.disk("loop2", {{"removable", "0"},
                        {"size", "16384"},
                        {"loop/backing_file", system.scratch.path("")}});  // not a plain file
  put(system.paths.mounts,
      "/dev/vda1 / ext4 rw 0 0\n"
      "/dev/sdb1 /media/my\\040card vfat rw 0 0\n"
      "/dev/sdb10 /elsewhere vfat rw 0 0\n");

  const std::vector<disks::CardDescription> cards = disks::listLinuxCards(system.paths);
  ASSERT_EQ(cards.size(), 2u);
  EXPECT_EQ(cards[0].name, "/dev/loop0");
  EXPECT_EQ(cards[0].bytes, 16384 * 512);
  EXPECT_EQ(cards[0].disk, "loop over " + backing);
  EXPECT_TRUE(cards[0].removable);
  EXPECT_TRUE(cards[0].mounted.empty());
  EXPECT_FALSE(cards[0].writeProtected);

  EXPECT_EQ(cards[1].name, "/dev/sdb");
  EXPECT_EQ(cards[1].bytes, std::int64_t{15523840} * 512);
  EXPECT_EQ(cards[1].vendor, "Generic");
  EXPECT_EQ(cards[1].product, "STORAGE DEVICE");
  EXPECT_EQ(cards[1].mounted, std::vector<std::string>{"/dev/sdb1 on /media/my card"});
  EXPECT_TRUE(cards[1].writeProtected);

  // What a write is told of a fixed disk, and of a partition.
  const disks::CardDescription fixed = disks::describeLinuxDisk(system.paths, "sda");
  EXPECT_FALSE(fixed.removable);
  EXPECT_EQ(disks::diskOfPartition(system.paths, "sdb2"), "sdb");
  EXPECT_EQ(disks::diskOfPartition(system.paths, "sdb"), "");
}

}  // namespace
