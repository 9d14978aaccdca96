// The disks the running system lives on, as the whole program sees them on
// this machine: an active swap on loop devices and the disk holding / are
// never listed, never written nor read, and are named as the system's own
// (root only for the swap; skipped, saying why, elsewhere).
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "disks/linux_disk_services.h"
#include "tests/cli/cli_runner.h"
#include "tests/support/attach_or_skip.h"
#include "tests/support/loop_device.h"
#include "tests/support/test_support.h"

namespace {

using namespace testing_support;
using Bytes = std::vector<std::uint8_t>;

// What a write is told of the system's disk, and what a read or a compare,
// which write nothing, are told.
const std::string kSystem = " holds the running system: it is never written";
const std::string kSystemNoCard = " holds the running system: it is no card";

// Swap switched on for a device, and off again however the test ends.
class ActiveSwap {
 public:
  explicit ActiveSwap(const std::string& device) : device_(device) {
    if (runProgram({"mkswap", device}, nullptr, &problem_) != 0) return;
    on_ = runProgram({"swapon", device}, nullptr, &problem_) == 0;
  }
  ~ActiveSwap() {
    if (on_) runProgram({"swapoff", device_});
  }
  ActiveSwap(const ActiveSwap&) = delete;
  ActiveSwap& operator=(const ActiveSwap&) = delete;
  bool on() const { return on_; }
  const std::string& problem() const { return problem_; }
  // Whether the kernel still swaps to the device.
  bool listed() const {
    std::ifstream swaps("/proc/swaps");
    std::string line;
    while (std::getline(swaps, line))
      if (line.compare(0, device_.size() + 1, device_ + " ") == 0 ||
          line.compare(0, device_.size() + 1, device_ + "\t") == 0)
        return true;
    return false;
  }
  void off() {
    if (on_ && runProgram({"swapoff", device_}) == 0) on_ = false;
  }

 private:
  std::string device_;
  std::string problem_;
  bool on_ = false;
};

// A file system mounted for the length of a test, and unmounted however the
// test ends.
class Mounted {
 public:
  Mounted(const std::vector<std::string>& source, const std::string& point) : point_(point) {
    std::vector<std::string> argv = {"mount"};
    argv.insert(argv.end(), source.begin(), source.end());
    argv.push_back(point);
    on_ = runProgram(argv, nullptr, &problem_) == 0;
  }
  ~Mounted() {
    if (on_) runProgram({"umount", point_});
  }
  Mounted(const Mounted&) = delete;
  Mounted& operator=(const Mounted&) = delete;
  bool on() const { return on_; }
  const std::string& problem() const { return problem_; }

 private:
  std::string point_;
  std::string problem_;
  bool on_ = false;
};

// The mount table's source for `point`, as the kernel keeps it.
std::string mountSource(const std::string& point) {
  std::ifstream mounts("/proc/self/mounts");
  for (std::string line; std::getline(mounts, line);) {
    std::istringstream fields(line);
    std::string source, at;
    if (fields >> source >> at && at == point) return source;
  }
  return {};
}

Bytes head(const Bytes& bytes, std::size_t count) {
  return Bytes(bytes.begin(), bytes.begin() + std::min(count, bytes.size()));
}

// A loop device over a file that holds the active swap, or lies beneath the
// loop device that does: the kernel keeps the first from being opened for
// a write, but nothing of the kernel's keeps the second. Both are the
// system's: never listed, every run refused, named as such, the swap's
// header untouched.
TEST(SystemDisksCli, ALoopDeviceHoldingSwapOrBeneathItIsNeverListedWrittenNorRead) {
  for (const bool beneath : {false, true}) {
    SCOPED_TRACE(beneath ? "beneath the swap's loop device" : "holding the swap");
    ScratchDir scratch;
    const std::string imagePath = scratch.path("card.S7img");
    writeFile(imagePath, completeImage(64));
    const std::string backing = scratch.path("swap.img");
    writeFile(backing, Bytes(4 * 1024 * 1024, 0));
    LoopDevice loop(backing);
    ATTACH_OR_SKIP(loop);
    std::unique_ptr<LoopDevice> above;
    if (beneath) {
      above = std::make_unique<LoopDevice>(loop.path());
      ATTACH_OR_SKIP(*above);
    }
    ActiveSwap swap(beneath ? above->path() : loop.path());
    ASSERT_TRUE(swap.on()) << "no swap: " << swap.problem();
    // The swap's own header, as mkswap wrote it, is in its first page: a
    // write from block 0 on would change it.
    const Bytes before = head(readFile(backing), 4096);

    const CliResult list = runCli({"list"});
    EXPECT_EQ(list.status, 0) << list.errors;
    EXPECT_EQ(list.output.find(loop.path() + " "), std::string::npos) << list.output;

    const std::string readInto = scratch.path("swap.S7img");
    for (const std::vector<std::string>& args :
         {std::vector<std::string>{"write", "--yes", imagePath, loop.path()},
          std::vector<std::string>{"write", "--yes", "--backup", readInto, imagePath, loop.path()},
          std::vector<std::string>{"read", loop.path(), readInto},
          std::vector<std::string>{"compare", imagePath, loop.path()}}) {
      SCOPED_TRACE(args[0] + " " + args[1]);
      const CliResult result = runCli(args);
      EXPECT_EQ(result.status, 1);
      EXPECT_EQ(result.errors,
                "ERROR: " + loop.path() + (args[0] == "write" ? kSystem : kSystemNoCard) + "\n");
      EXPECT_EQ(::access(readInto.c_str(), F_OK), -1) << "a file read from the swap";
    }

    // The card writer's own check, for a device the kernel lets this
    // process open: the run that got past the command line would be refused.
    if (beneath) {
      disks::LinuxDiskServices disk;
      card::NativeHandle device = 0;
      ASSERT_TRUE(disk.openDevice(loop.path(), device)) << disk.lastError();
      EXPECT_TRUE(disk.systemDisk(device));
      disk.closeDevice(device);
    }

    EXPECT_TRUE(swap.listed()) << "the swap was switched off";
    swap.off();
    ASSERT_FALSE(swap.listed());
    if (above) above->detach();
    loop.detach();
    EXPECT_EQ(head(readFile(backing), 4096), before);
  }
}

// The disk this machine runs from, found as the kernel mounted it; only a
// compare is tried on it, which reads no more than the image's blocks even
// if everything else failed.
TEST(SystemDisksCli, TheDiskHoldingTheRootIsNamedAsTheRunningSystems) {
  std::ifstream mounts("/proc/self/mounts");
  std::string source;
  for (std::string line; std::getline(mounts, line);) {
    std::istringstream fields(line);
    std::string device, point;
    if (fields >> device >> point && point == "/") source = device;
  }
  struct stat info {};
  if (source.rfind("/dev/", 0) != 0 || ::stat(source.c_str(), &info) != 0 || !S_ISBLK(info.st_mode))
    GTEST_SKIP() << "/ is not mounted from a whole block device here (" << source << ")";
  // A partition of the disk holding / is named with that disk.
  std::ifstream partition("/sys/class/block/" + source.substr(5) + "/partition");
  const bool whole = !partition;

  ScratchDir scratch;
  const std::string imagePath = scratch.path("card.S7img");
  writeFile(imagePath, completeImage(8));
  const CliResult result = runCli({"compare", imagePath, source});
  EXPECT_EQ(result.status, 1);
  if (whole) {
    EXPECT_EQ(result.errors, "ERROR: " + source + kSystemNoCard + "\n");
  } else {
    EXPECT_TRUE(found(result.errors,
                      "^ERROR: " + source + " lies on /dev/[^ ]+, which" + kSystemNoCard + "\n$"))
        << result.errors;
  }
  EXPECT_EQ(result.errors.find("unmount"), std::string::npos) << result.errors;

  const CliResult list = runCli({"list"});
  EXPECT_EQ(list.output.find(source + " "), std::string::npos) << list.output;
}

// A card mounted by another name than its device's (a link to it, as
// /dev/disk/by-label/... is, kept as the mount table's source) is in use all
// the same, named with its mount point; a disk that is no card (a loop
// device over another device), mounted, is refused as no card, for
// unmounting it would not make it one.
TEST(SystemDisksCli, AMountedCardIsInUseByAnyNameAndAMountedDiskThatIsNoCardIsNoCard) {
  ScratchDir scratch;
  const std::string imagePath = scratch.path("card.S7img");
  writeFile(imagePath, completeImage(16));
  const std::string backing = scratch.path("card.img");
  writeFile(backing, Bytes(2048 * 512, 0));
  LoopDevice loop(backing);
  ATTACH_OR_SKIP(loop);
  std::string why;
  ASSERT_EQ(runProgram({"mkfs.ext2", "-q", "-F", loop.path()}, nullptr, &why), 0) << why;
  const std::string mountPoint = scratch.path("mnt");
  std::filesystem::create_directory(mountPoint);

  {
    const std::string link = scratch.path("CARD");
    std::filesystem::create_symlink(loop.path(), link);
    const Mounted mounted({"--no-canonicalize", link}, mountPoint);
    ASSERT_TRUE(mounted.on()) << mounted.problem();
    ASSERT_EQ(mountSource(mountPoint), link) << "the mount table names the device itself";
    const CliResult result = runCli({"write", "--yes", imagePath, loop.path()});
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(result.errors, "ERROR: " + loop.path() + " is in use: " + link + " on " + mountPoint +
                                 "; unmount it first\n");
  }
  {
    LoopDevice above(loop.path());
    ATTACH_OR_SKIP(above);
    const Mounted mounted({above.path()}, mountPoint);
    ASSERT_TRUE(mounted.on()) << mounted.problem();
    for (const std::vector<std::string>& args :
         {std::vector<std::string>{"write", "--yes", imagePath, above.path()},
          std::vector<std::string>{"compare", imagePath, above.path()}}) {
      SCOPED_TRACE(args[0]);
      const CliResult result = runCli(args);
      EXPECT_EQ(result.status, 1);
      EXPECT_EQ(result.errors, "ERROR: your system does not recognize a removable media at >" +
                                   above.path() + "\n");
    }
  }
}

}  // namespace
