// Which block devices `list` shows and what it says of them, against a
// sysfs tree and a mount table laid out in a test folder.
#include "cli/linux_cards.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>

#include "cli/record.h"
#include "tests/support/test_support.h"
#include "version/version.h"

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
  cli::SystemPaths paths;
};

TEST(LinuxCards, ListsRemovableDisksAndLoopDevicesOverFilesWithWhatIsMounted) {
  FakeSystem system;
  const std::string backing = system.scratch.path("card.img");
  put(backing, "");
  system.disk("sda", {{"removable", "0"}, {"size", "1000000"}});
  system.disk("sdb", {{"removable", "1"},
                      {"size", "15523840"},
                      {"device/vendor", "Generic "},
                      {"device/model", "STORAGE DEVICE  "}});
  system.partition("sdb", "sdb1");
  system.partition("sdb", "sdb2");
  system.disk("sdc", {{"removable", "1"}, {"size", "0"}});  // a reader with no card
  system.disk("loop0", {{"removable", "0"}, {"size", "16384"}, {"loop/backing_file", backing}});
  system.disk("loop1", {{"removable", "0"}, {"size", "0"}});  // nothing attached
  system.disk("loop2", {{"removable", "0"},
                        {"size", "16384"},
                        {"loop/backing_file", system.scratch.path("")}});  // not a plain file
  put(system.paths.mounts,
      "/dev/vda1 / ext4 rw 0 0\n"
      "/dev/sdb1 /media/my\\040card vfat rw 0 0\n"
      "/dev/sdb10 /elsewhere vfat rw 0 0\n");

  const std::vector<cli::CardDescription> cards = cli::listLinuxCards(system.paths);
  ASSERT_EQ(cards.size(), 2u);
  EXPECT_EQ(cards[0].target, "/dev/loop0");
  EXPECT_EQ(cards[0].bytes, 16384 * 512);
  EXPECT_EQ(cards[0].disk, "loop over " + backing);
  EXPECT_TRUE(cards[0].removable);
  EXPECT_TRUE(cards[0].mounted.empty());

  EXPECT_EQ(cards[1].target, "/dev/sdb");
  EXPECT_EQ(cards[1].bytes, std::int64_t{15523840} * 512);
  EXPECT_EQ(cards[1].vendor, "Generic");
  EXPECT_EQ(cards[1].product, "STORAGE DEVICE");
  EXPECT_EQ(cards[1].mounted, std::vector<std::string>{"/dev/sdb1 on /media/my card"});

  // What a write is told of a fixed disk, and of a partition.
  const cli::CardDescription fixed = cli::describeLinuxDisk(system.paths, "sda");
  EXPECT_FALSE(fixed.removable);
  EXPECT_EQ(cli::diskOfPartition(system.paths, "sdb2"), "sdb");
  EXPECT_EQ(cli::diskOfPartition(system.paths, "sdb"), "");
}

TEST(Record, FieldsAreQuotedOnlyWhereCsvNeedsIt) {
  const std::pair<std::string, std::string> cases[] = {
      {"done", "done"},
      {"error 5 writing to MMC card.", "error 5 writing to MMC card."},
      {"image of 10 blocks does not fit on card of 4 blocks, sorry",
       "\"image of 10 blocks does not fit on card of 4 blocks, sorry\""},
      {"a \"quoted\" name", "\"a \"\"quoted\"\" name\""},
      {"two\nlines", "\"two\nlines\""},
  };
  for (const auto& c : cases) EXPECT_EQ(cli::csvField(c.first), c.second);
}

TEST(Record, TheHeaderLineComesOnceAtTheTopOfANewFile) {
  ScratchDir scratch;
  const std::string path = scratch.path("record.csv");
  for (int run = 0; run < 2; ++run) {
    cli::Record record(path);
    cli::RecordLine line;
    line.target = "/dev/loop" + std::to_string(run);
    line.result = "done";
    std::string error;
    ASSERT_TRUE(record.append(line, error)) << error;
  }
  std::ifstream in(path);
  std::vector<std::string> lines;
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  ASSERT_EQ(lines.size(), 3u);
  EXPECT_EQ(lines[0], std::string(cli::Record::kHeader) + "\r");
  EXPECT_NE(lines[1].find(",/dev/loop0,"), std::string::npos);
  EXPECT_NE(lines[2].find(",/dev/loop1,"), std::string::npos);
  // Every line has the header's columns, the last one the writer's version.
  const auto columns = [](const std::string& line) {
    return std::count(line.begin(), line.end(), ',');
  };
  const std::string versionColumn = std::string(",") + QUENVORY_VERSION_TEXT + "\r";
  for (std::size_t i = 1; i < lines.size(); ++i) {
    EXPECT_EQ(columns(lines[i]), columns(lines[0])) << lines[i];
    ASSERT_GE(lines[i].size(), versionColumn.size());
    EXPECT_EQ(lines[i].substr(lines[i].size() - versionColumn.size()), versionColumn);
  }

  cli::Record nowhere(scratch.path("no-folder/record.csv"));
  std::string error;
  EXPECT_FALSE(nowhere.writable(error));
  EXPECT_NE(error.find("no-folder/record.csv"), std::string::npos);
  error.clear();
  EXPECT_FALSE(nowhere.append(cli::RecordLine{}, error));
  EXPECT_NE(error.find("no-folder/record.csv"), std::string::npos);
}

}  // namespace
