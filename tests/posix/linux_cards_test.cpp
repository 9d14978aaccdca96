// Which block devices `list` shows, what it says of them and what is refused
// before a card is touched, against a sysfs tree, a /dev and a mount table
// laid out in a test folder.
#include "disks/linux_cards.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <memory>

#include "card/card_device.h"
#include "disks/linux_card_rule.h"
#include "disks/linux_disk_services.h"
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
    paths.dev = scratch.path("dev");
    paths.mounts = scratch.path("mounts");
    paths.swaps = scratch.path("swaps");
    fs::create_directories(paths.dev);
    put(paths.mounts, "");
    put(paths.swaps, "Filename\tType\tSize\tUsed\tPriority\n");
  }
  // A whole disk; `attributes` are its sysfs files. Its node in /dev too.
  void disk(const std::string& name,
            const std::vector<std::pair<std::string, std::string>>& attributes) {
    fs::create_directories(paths.sys + "/block/" + name);
    for (const auto& a : attributes)
      put(paths.sys + "/block/" + name + "/" + a.first, a.second + "\n");
    node(name);
  }
  void partition(const std::string& disk, const std::string& name) {
    put(paths.sys + "/block/" + disk + "/" + name + "/partition", "1\n");
    node(name);
  }
  // A device-mapper or RAID device made of `slaves` (disks or partitions).
  void stack(const std::string& name, const std::vector<std::string>& slaves) {
    disk(name, {{"removable", "0"}, {"size", "1000"}});
    for (const std::string& slave : slaves)
      fs::create_directories(paths.sys + "/block/" + name + "/slaves/" + slave);
  }
  std::string node(const std::string& name) {
    put(dev(name), "");
    return dev(name);
  }
  std::string dev(const std::string& name) const { return paths.dev + "/" + name; }
  // The block device (a disk "sdg", or a partition "sdg/sdg1") that holds
  // the scratch folder's file system: a file there lies on it.
  void holdsFiles(const std::string& device) {
    struct stat info {};
    ASSERT_EQ(::stat(scratch.path("").c_str(), &info), 0);
    const std::string link = paths.sys + "/dev/block/" + std::to_string(major(info.st_dev)) + ":" +
                             std::to_string(minor(info.st_dev));
    fs::create_directories(fs::path(link).parent_path());
    fs::create_symlink(paths.sys + "/block/" + device, link);
  }
  // The block device (as for holdsFiles) whose file system is this
  // machine's real /: where a root mounted as /dev/root is found.
  void holdsRoot(const std::string& device) {
    struct stat info {};
    ASSERT_EQ(::stat("/", &info), 0);
    const std::string link = paths.sys + "/dev/block/" + std::to_string(major(info.st_dev)) + ":" +
                             std::to_string(minor(info.st_dev));
    fs::create_directories(fs::path(link).parent_path());
    fs::create_symlink(paths.sys + "/block/" + device, link);
  }
  // A name under the fake /dev ("disk/by-label/CARD", "mapper/card") that
  // leads to the device `target`.
  std::string link(const std::string& name, const std::string& target) {
    fs::create_directories(fs::path(dev(name)).parent_path());
    fs::create_symlink(dev(target), dev(name));
    return dev(name);
  }
  // A device-mapper device over the partition `part` of `disk`, as sysfs
  // shows it from both ends.
  void mapOver(const std::string& name, const std::string& disk, const std::string& part) {
    stack(name, {part});
    fs::create_directories(paths.sys + "/block/" + disk + "/" + part + "/holders/" + name);
  }
  // The mount table and the swap list escape a space as \040.
  static std::string escaped(const std::string& path) {
    std::string out;
    for (const char c : path) out += c == ' ' ? std::string("\\040") : std::string(1, c);
    return out;
  }
  void mount(const std::string& source, const std::string& point) {
    std::ofstream(paths.mounts, std::ios::app)
        << escaped(source) << " " << escaped(point) << " ext4 rw 0 0\n";
  }
  void swap(const std::string& source) {
    std::ofstream(paths.swaps, std::ios::app) << escaped(source) << "\tpartition\t1024\t0\t-2\n";
  }

  // The system as a command would find it now.
  disks::LinuxSystem snapshot() const { return disks::LinuxSystem(paths); }

  ScratchDir scratch;
  disks::SystemPaths paths;
};

std::vector<std::string> listedNames(const disks::SystemPaths& paths) {
  std::vector<std::string> names;
  for (const disks::CardDescription& card : disks::listLinuxCards(disks::LinuxSystem(paths)))
    names.push_back(card.name.substr(paths.dev.size() + 1));
  return names;
}

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
  put(system.paths.mounts, system.dev("vda1") + " / ext4 rw 0 0\n" + system.dev("sdb1") +
                               " /media/my\\040card vfat rw 0 0\n" + system.dev("sdb10") +
                               " /elsewhere vfat rw 0 0\n");

  const std::vector<disks::CardDescription> cards = disks::listLinuxCards(system.snapshot());
  ASSERT_EQ(cards.size(), 2u);
  EXPECT_EQ(cards[0].name, system.dev("loop0"));
  EXPECT_EQ(cards[0].bytes, 16384 * 512);
  EXPECT_EQ(cards[0].disk, "loop over " + backing);
  EXPECT_TRUE(cards[0].removable);
  EXPECT_TRUE(cards[0].mounted.empty());
  EXPECT_FALSE(cards[0].writeProtected);

  EXPECT_EQ(cards[1].name, system.dev("sdb"));
  EXPECT_EQ(cards[1].bytes, std::int64_t{15523840} * 512);
  EXPECT_EQ(cards[1].vendor, "Generic");
  EXPECT_EQ(cards[1].product, "STORAGE DEVICE");
  EXPECT_EQ(cards[1].mounted, std::vector<std::string>{system.dev("sdb1") + " on /media/my card"});
  EXPECT_TRUE(cards[1].writeProtected);

  // What a write is told of a fixed disk, and of a partition.
  const disks::CardDescription fixed = disks::describeLinuxDisk(system.snapshot(), "sda");
  EXPECT_FALSE(fixed.removable);
  EXPECT_EQ(system.snapshot().diskOfPartition("sdb2"), "sdb");
  EXPECT_EQ(system.snapshot().diskOfPartition("sdb"), "");
}

// One PC laid out beside a plain card, sdz, which is always listed.
struct Layout {
  const char* what;
  std::function<void(FakeSystem&)> layout;
  std::vector<std::string> listed;
  // Device -> what is refused of it for a write ("" for nothing), "@"
  // standing for the fake /dev.
  std::map<std::string, std::string> refusals;
  // The same for a read or a compare, where it differs.
  std::map<std::string, std::string> readRefusals = {};
};

// What the core's judgement makes of the rule's verdict on a disk.
card::DiskVerdict asCore(disks::Verdict verdict) {
  switch (verdict) {
    case disks::Verdict::Card:
      return card::DiskVerdict::Card;
    case disks::Verdict::SystemDisk:
      return card::DiskVerdict::SystemDisk;
    case disks::Verdict::BuiltIn:
      return card::DiskVerdict::BuiltIn;
    default:
      return card::DiskVerdict::NotRemovable;
  }
}

// What list shows and what is refused of each device; and for every disk of
// the layout, what a run's open decides of it (the command line's services
// over the same snapshot, judged by the core), which must be what the rule
// and list say.
void expectLayout(const Layout& c) {
  SCOPED_TRACE(c.what);
  FakeSystem system;
  system.disk("sdz", {{"removable", "1"}, {"size", "1000"}});
  c.layout(system);
  EXPECT_EQ(listedNames(system.paths), c.listed);
  const auto expect = [&](const std::map<std::string, std::string>& refusals, disks::CardUse use) {
    for (const auto& [name, refusal] : refusals) {
      std::string expected = refusal;
      for (std::size_t at; (at = expected.find('@')) != std::string::npos;)
        expected.replace(at, 1, system.paths.dev);
      EXPECT_EQ(disks::linuxCardRefusal(system.snapshot(), system.dev(name), {}, use), expected)
          << name;
    }
  };
  expect(c.refusals, disks::CardUse::Write);
  expect(c.readRefusals, disks::CardUse::Read);

  auto snapshot = std::make_shared<const disks::LinuxSystem>(system.paths);
  disks::LinuxDiskServices::Options options;
  options.loopOverFileIsRemovable = true;
  disks::LinuxDiskServices services(options, snapshot);
  for (const std::string& disk : snapshot->disks()) {
    SCOPED_TRACE(disk);
    card::NativeHandle handle = 0;
    ASSERT_TRUE(services.openDevice(system.dev(disk), handle)) << services.lastError();
    card::DriveGeometry geometry;
    ASSERT_TRUE(services.driveGeometry(handle, geometry));
    const card::DiskVerdict run = card::judgeDisk(card::diskFacts(services, handle, geometry));
    services.closeDevice(handle);
    EXPECT_EQ(run, asCore(disks::diskVerdict(*snapshot, disk)));
    // Every disk of these layouts holds a card's bytes: listed exactly when
    // a run takes it.
    const bool listed = std::find(c.listed.begin(), c.listed.end(), disk) != c.listed.end();
    EXPECT_EQ(run == card::DiskVerdict::Card, listed);
  }
}

// The disks the running system lives on and the disks built into the PC are
// never listed and are refused, named as what they are, whatever they say of
// themselves; a card of the MMC host that calls itself fixed stays a card.
// Each row lays out one PC beside a plain card, sdz, which is always listed.
TEST(LinuxCards, TheSystemsDisksAndDisksBuiltIntoThePcAreNeverCards) {
  const std::string kSystem = " holds the running system: it is never written";
  const Layout cases[] = {
      {"root on a disk that calls itself removable",
       [](FakeSystem& s) {
         s.disk("sda", {{"removable", "1"}, {"size", "1000"}});
         s.partition("sda", "sda1");
         s.mount(s.dev("sda1"), "/");
       },
       {"sdz"},
       {{"sda", "@/sda" + kSystem}, {"sda1", "@/sda1 lies on @/sda, which" + kSystem}}},
      {"root on a card of the MMC host (a board that starts from its SD card)",
       [](FakeSystem& s) {
         s.disk("mmcblk0", {{"removable", "0"}, {"size", "1000"}});
         s.partition("mmcblk0", "mmcblk0p2");
         s.mount(s.dev("mmcblk0p2"), "/");
       },
       {"sdz"},
       {{"mmcblk0", "@/mmcblk0" + kSystem}}},
      {"/boot, /boot/efi and /usr on removable disks",
       [](FakeSystem& s) {
         for (const char* name : {"sda", "sdb", "sdc"}) {
           s.disk(name, {{"removable", "1"}, {"size", "1000"}});
           s.partition(name, std::string(name) + "1");
         }
         s.mount(s.dev("sda1"), "/boot");
         s.mount(s.dev("sdb1"), "/boot/efi");
         s.mount(s.dev("sdc1"), "/usr");
         s.mount(s.dev("sdz"), "/media/card");
       },
       {"sdz"},
       {{"sdb", "@/sdb" + kSystem},
        {"sdz", "@/sdz is in use: @/sdz on /media/card; unmount it first"}}},
      {"an EFI partition mounted at /efi",
       [](FakeSystem& s) {
         s.disk("sdb", {{"removable", "1"}, {"size", "1000"}});
         s.partition("sdb", "sdb1");
         s.mount(s.dev("sdb1"), "/efi");
       },
       {"sdz"},
       {{"sdb", "@/sdb" + kSystem}}},
      {"root mounted as /dev/root (a board started from its SD card)",
       [](FakeSystem& s) {
         s.disk("mmcblk0", {{"removable", "0"}, {"size", "1000"}});
         s.partition("mmcblk0", "mmcblk0p2");
         s.holdsRoot("mmcblk0/mmcblk0p2");
         s.mount("/dev/root", "/");
       },
       {"sdz"},
       {{"mmcblk0", "@/mmcblk0" + kSystem},
        {"mmcblk0p2", "@/mmcblk0p2 lies on @/mmcblk0, which" + kSystem}},
       {{"mmcblk0", "@/mmcblk0 holds the running system: it is no card"},
        {"mmcblk0p2",
         "@/mmcblk0p2 lies on @/mmcblk0, which holds the running system: it is no card"}}},
      {"a swap partition on a removable disk",
       [](FakeSystem& s) {
         s.disk("sdc", {{"removable", "1"}, {"size", "1000"}});
         s.partition("sdc", "sdc2");
         s.swap(s.dev("sdc2"));
       },
       {"sdz"},
       {{"sdc", "@/sdc" + kSystem}}},
      {"swap on a loop device over a file",
       [](FakeSystem& s) {
         const std::string backing = s.scratch.path("swap.img");
         put(backing, "");
         s.disk("loop0", {{"removable", "0"}, {"size", "1000"}, {"loop/backing_file", backing}});
         s.swap(s.dev("loop0"));
       },
       {"sdz"},
       {{"loop0", "@/loop0" + kSystem}}},
      {"a swap file on a removable disk",
       [](FakeSystem& s) {
         s.disk("sdh", {{"removable", "1"}, {"size", "1000"}});
         s.holdsFiles("sdh");
         put(s.scratch.path("swapfile"), "");
         s.swap(s.scratch.path("swapfile"));
       },
       {"sdz"},
       {{"sdh", "@/sdh" + kSystem}}},
      {"a swap file whose path holds a space",
       [](FakeSystem& s) {
         s.disk("sdh", {{"removable", "1"}, {"size", "1000"}});
         s.holdsFiles("sdh");
         put(s.scratch.path("swap file"), "");
         s.swap(s.scratch.path("swap file"));
       },
       {"sdz"},
       {{"sdh", "@/sdh" + kSystem}}},
      {"root on device-mapper over RAID over two removable disks",
       [](FakeSystem& s) {
         for (const char* name : {"sdd", "sde"}) {
           s.disk(name, {{"removable", "1"}, {"size", "1000"}});
           s.partition(name, std::string(name) + "1");
         }
         s.stack("md0", {"sdd1", "sde1"});
         s.stack("dm-0", {"md0"});
         fs::create_directories(s.paths.dev + "/mapper");
         fs::create_symlink("../dm-0", s.paths.dev + "/mapper/vg-root");
         s.mount(s.paths.dev + "/mapper/vg-root", "/");
       },
       {"sdz"},
       {{"sde", "@/sde" + kSystem}, {"sdd1", "@/sdd1 lies on @/sdd, which" + kSystem}}},
      {"root on a loop device whose file lies on a removable disk",
       [](FakeSystem& s) {
         s.disk("sdg", {{"removable", "1"}, {"size", "1000"}});
         s.partition("sdg", "sdg1");
         s.holdsFiles("sdg/sdg1");
         const std::string backing = s.scratch.path("root.img");
         put(backing, "");
         s.disk("loop1", {{"removable", "0"}, {"size", "1000"}, {"loop/backing_file", backing}});
         s.mount(s.dev("loop1"), "/");
       },
       {"sdz"},
       {{"sdg", "@/sdg" + kSystem}, {"loop1", "@/loop1" + kSystem}}},
      {"a card of the MMC host that calls itself fixed",
       [](FakeSystem& s) {
         s.disk("mmcblk1", {{"removable", "0"}, {"size", "1000"}});
       },
       {"mmcblk1", "sdz"},
       {{"mmcblk1", ""}}},
      {"an eMMC with its boot and replay-protected areas",
       [](FakeSystem& s) {
         s.disk("mmcblk0", {{"removable", "0"}, {"size", "1000"}});
         s.partition("mmcblk0", "mmcblk0p1");
         for (const char* area : {"mmcblk0boot0", "mmcblk0boot1", "mmcblk0rpmb"})
           s.disk(area, {{"removable", "1"}, {"size", "1000"}});
       },
       {"sdz"},
       {{"mmcblk0", "@/mmcblk0 is built into this PC (an eMMC): it is never written"},
        {"mmcblk0p1",
         "@/mmcblk0p1 lies on @/mmcblk0, which is built into this PC (an eMMC): it is never "
         "written"},
        {"mmcblk0boot1",
         "@/mmcblk0boot1 is built into this PC (an area of the eMMC @/mmcblk0): it is never "
         "written"},
        {"mmcblk0rpmb",
         "@/mmcblk0rpmb is built into this PC (an area of the eMMC @/mmcblk0): it is never "
         "written"}}},
      {"an eMMC whose replay-protected area is no block device, and which calls itself removable",
       [](FakeSystem& s) {
         s.disk("mmcblk2", {{"removable", "1"}, {"size", "1000"}});
         fs::create_directories(s.paths.sys + "/block/mmcblk2/device/mmcblk2rpmb");
       },
       {"sdz"},
       {{"mmcblk2", "@/mmcblk2 is built into this PC (an eMMC): it is never written"}},
       {{"mmcblk2", "@/mmcblk2 is built into this PC (an eMMC): it is no card"}}},
      {"an eMMC whose replay-protected area is a character device (newer kernels)",
       [](FakeSystem& s) {
         s.disk("mmcblk0", {{"removable", "0"}, {"size", "1000"}});
         s.disk("mmcblk0boot0", {{"removable", "0"}, {"size", "1000"}});
         s.node("mmcblk0rpmb");  // in /dev, but no block device of sysfs
       },
       {"sdz"},
       {{"mmcblk0rpmb",
         "@/mmcblk0rpmb is built into this PC (an area of the eMMC @/mmcblk0): it is never "
         "written"}},
       {{"mmcblk0rpmb",
         "@/mmcblk0rpmb is built into this PC (an area of the eMMC @/mmcblk0): it is no card"},
        {"mmcblk0boot0",
         "@/mmcblk0boot0 is built into this PC (an area of the eMMC @/mmcblk0): it is no card"}}},
  };
  for (const Layout& c : cases) expectLayout(c);
}

// What of a card is in use is found by device, whatever name it was mounted
// by; a disk that is no card is refused as such before anything of it is
// asked, mounted or not.
TEST(LinuxCards, ACardIsInUseByWhateverNameItIsMountedAndTheCardRuleComesFirst) {
  const Layout cases[] = {
      {"a card's partition mounted through /dev/disk/by-label",
       [](FakeSystem& s) {
         s.disk("sdy", {{"removable", "1"}, {"size", "1000"}});
         s.partition("sdy", "sdy1");
         s.mount(s.link("disk/by-label/CARD", "sdy1"), "/media/my card");
       },
       {"sdy", "sdz"},
       {{"sdy", "@/sdy is in use: @/disk/by-label/CARD on /media/my card; unmount it first"}},
       {{"sdy",
         "@/sdy is in use: @/disk/by-label/CARD on /media/my card; unmount it first, a mounted "
         "card can change while it is read"}}},
      {"a device-mapper device over a card's partition, mounted by its mapper name",
       [](FakeSystem& s) {
         s.disk("sdy", {{"removable", "1"}, {"size", "1000"}});
         s.partition("sdy", "sdy1");
         s.mapOver("dm-3", "sdy", "sdy1");
         s.mount(s.link("mapper/card", "dm-3"), "/media/crypt");
       },
       {"sdy", "sdz"},
       {{"sdy", "@/sdy is in use: @/mapper/card on /media/crypt; unmount it first"}}},
      {"a fixed data disk, mounted",
       [](FakeSystem& s) {
         s.disk("sdf", {{"removable", "0"}, {"size", "1000"}});
         s.partition("sdf", "sdf1");
         s.mount(s.dev("sdf1"), "/data");
       },
       {"sdz"},
       {{"sdf", "your system does not recognize a removable media at >@/sdf"},
        {"sdf1", "your system does not recognize a removable media at >@/sdf1"}}},
  };
  for (const Layout& c : cases) expectLayout(c);
}

}  // namespace
