// Every command checks in one order before it asks or runs: its arguments,
// its image, the files it makes, then its cards opened and judged as the run
// judges them, and only then the question (on a terminal) or the refusal for
// want of --yes (without one). Each row is a whole process on loop devices,
// with or without a terminal: the first line it says, whether it asked,
// whether the card's own counters show it read or written, and how it ended.
// Root only; skipped, saying why, elsewhere.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <vector>

#include "tests/cli/cli_runner.h"
#include "tests/cli/loop_card.h"
#include "tests/support/attach_or_skip.h"

namespace {

using namespace testing_support;

constexpr std::size_t kCardBlocks = 256;

// Sectors read and written, from the kernel's counters of a whole disk.
struct Traffic {
  long long read = 0;
  long long written = 0;
};

Traffic traffic(const std::string& device) {
  const std::string name = device.substr(device.rfind('/') + 1);
  std::ifstream stat("/sys/block/" + name + "/stat");
  long long fields[7] = {};
  for (long long& field : fields) stat >> field;
  return Traffic{fields[2], fields[6]};
}

// Each occurrence of `from` in `text` replaced by `to`.
std::string replaced(std::string text, const std::string& from, const std::string& to) {
  for (std::size_t at = text.find(from); at != std::string::npos;
       at = text.find(from, at + to.size()))
    text.replace(at, from.size(), to);
  return text;
}

// The disk that holds the running system's root: read-only commands only.
std::string systemDisk() {
  std::string source;
  runProgram({"findmnt", "-nvo", "SOURCE", "/"}, &source);
  while (!source.empty() && (source.back() == '\n' || source.back() == ' ')) source.pop_back();
  std::string parent;
  runProgram({"lsblk", "-ndo", "PKNAME", source}, &parent);
  while (!parent.empty() && (parent.back() == '\n' || parent.back() == ' ')) parent.pop_back();
  return parent.empty() ? source : "/dev/" + parent;
}

// A device-mapper name over a device, removed however the test ends.
class MappedDevice {
 public:
  MappedDevice(const std::string& name, const std::string& device, std::size_t sectors)
      : name_(name) {
    const std::string table = "0 " + std::to_string(sectors) + " linear " + device + " 0";
    made_ = runProgram({"dmsetup", "create", name, "--table", table}, nullptr, &problem_) == 0;
  }
  ~MappedDevice() {
    if (made_) runProgram({"dmsetup", "remove", name_});
  }
  MappedDevice(const MappedDevice&) = delete;
  MappedDevice& operator=(const MappedDevice&) = delete;
  bool made() const { return made_; }
  std::string path() const { return "/dev/mapper/" + name_; }
  const std::string& problem() const { return problem_; }

 private:
  std::string name_;
  std::string problem_;
  bool made_ = false;
};

struct Row {
  const char* name;
  // Placeholders: {IMAGE} a sound image, {SHORT} one that ends early,
  // {TEXT} a text file, {FOLDER} a folder, {MISSING} no file at all; {CARD} a
  // card, {CARD2} the same card by a second name, {PART} a partition of
  // {PARTDISK}, {RO} a card whose lock switch is on, {MOUNTED} a mounted card
  // (at {MNT}), {MAPPED} a card mounted through a device-mapper name, {SYS}
  // the disk holding the root.
  std::vector<std::string> args;
  bool terminal;
  // The first line on standard error, a regular expression.
  const char* firstLine;
  bool asked;
  bool read;     // the card was read
  bool written;  // the card took a write
  int status;
  // The device whose counters are watched: CARD unless named; empty for a
  // disk the running system reads and writes all the while (its counters
  // move whatever the program does).
  const char* watched = "{CARD}";
};

class CheckOrderCli : public ::testing::Test {
 protected:
  void SetUp() override {
    writeFile(scratch.path("card.S7img"), completeImage(64));
    writeFile(scratch.path("short.S7img"), imageBytes(100, 100 - 1236, 60 * kBlock + 100));
    const std::string text = "not a card image, only words\n";
    writeFile(scratch.path("notes.txt"), Bytes(text.begin(), text.end()));
    ::mkdir(scratch.path("folder").c_str(), 0700);
  }

  // The row's words with the names of this run's files and devices.
  std::string named(const std::string& text) const {
    std::string out = text;
    for (const auto& name : names) out = replaced(out, name.first, name.second);
    return out;
  }

  void runRow(const Row& row) {
    SCOPED_TRACE(row.name);
    std::vector<std::string> args;
    for (const std::string& arg : row.args) args.push_back(named(arg));
    const std::string watched = named(row.watched);
    const Traffic before = traffic(watched);
    CliInput input;
    input.terminal = row.terminal;
    input.text = "y\n";
    const CliResult result = runCli(args, input);
    const Traffic after = traffic(watched);
    std::string first = result.errors.substr(0, result.errors.find('\n'));
    if (!first.empty() && first.back() == '\r') first.pop_back();  // a terminal's line end
    EXPECT_TRUE(found(first, "^" + named(row.firstLine) + "$")) << result.errors;
    EXPECT_EQ(result.errors.find("[y/N]") != std::string::npos, row.asked) << result.errors;
    if (!watched.empty()) {
      EXPECT_EQ(after.read > before.read, row.read) << after.read - before.read << " sectors read";
      EXPECT_EQ(after.written > before.written, row.written) << result.errors;
    }
    EXPECT_EQ(result.status, row.status) << result.errors;
  }

  ScratchDir scratch;
  std::vector<std::pair<std::string, std::string>> names = {
      {"{IMAGE}", scratch.path("card.S7img")},
      {"{SHORT}", scratch.path("short.S7img")},
      {"{TEXT}", scratch.path("notes.txt")},
      {"{FOLDER}", scratch.path("folder")},
      {"{MISSING}", scratch.path("missing.S7img")}};
};

const Row kBeforeTheCard[] = {
    {.name = "a device that is not there",
     .args = {"write", "{IMAGE}", "/dev/quenvory-no-such-card"},
     .terminal = true,
     .firstLine = "ERROR: could not query device",
     .asked = false,
     .read = false,
     .written = false,
     .status = 1},
    {.name = "/dev/null",
     .args = {"write", "{IMAGE}", "/dev/null"},
     .terminal = true,
     .firstLine = "ERROR: could not query device",
     .asked = false,
     .read = false,
     .written = false,
     .status = 1},
    {.name = "a missing image, no terminal",
     .args = {"write", "{MISSING}", "{CARD}"},
     .terminal = false,
     .firstLine = "ERROR: image file does not open",
     .asked = false,
     .read = false,
     .written = false,
     .status = 1},
    {.name = "a folder as the image",
     .args = {"write", "--yes", "{FOLDER}", "{CARD}"},
     .terminal = false,
     .firstLine = "ERROR: image header failed \\(iLastBlock\\)",
     .asked = false,
     .read = false,
     .written = false,
     .status = 1},
    {.name = "a text file as the image",
     .args = {"write", "{TEXT}", "{CARD}"},
     .terminal = true,
     .firstLine = "ERROR: image header failed \\(iCheck & iLastBlock\\)",
     .asked = false,
     .read = false,
     .written = false,
     .status = 1},
    {.name = "a folder as the backup's file",
     .args = {"read", "{CARD}", "{FOLDER}"},
     .terminal = false,
     .firstLine = "ERROR: error 21 writing image file\\.",
     .asked = false,
     .read = false,
     .written = false,
     .status = 1},
    {.name = "a card named twice",
     .args = {"write", "{IMAGE}", "{CARD}", "{CARD2}"},
     .terminal = false,
     .firstLine = "ERROR: {CARD} and {CARD2} are the same card \\(loop over .*\\)",
     .asked = false,
     .read = false,
     .written = false,
     .status = 2},
    {.name = "a partition of a card",
     .args = {"write", "{IMAGE}", "{PART}"},
     .terminal = true,
     .firstLine = "ERROR: {PART} is a partition: name the whole card, {PARTDISK}",
     .asked = false,
     .read = false,
     .written = false,
     .status = 1,
     .watched = "{PARTDISK}"},
    {.name = "a card whose lock switch is on",
     .args = {"write", "{IMAGE}", "{RO}"},
     .terminal = true,
     .firstLine = "ERROR: the card at >{RO} is write-protected",
     .asked = false,
     .read = false,
     .written = false,
     .status = 1,
     .watched = "{RO}"},
    {.name = "a mounted card",
     .args = {"write", "{IMAGE}", "{MOUNTED}"},
     .terminal = true,
     .firstLine = "ERROR: {MOUNTED} is in use: {MOUNTED} on {MNT}; unmount it first",
     .asked = false,
     .read = false,
     .written = false,
     .status = 1,
     .watched = "{MOUNTED}"},
    // The refusal for want of --yes comes last, naming the card.
    {.name = "no --yes without a terminal",
     .args = {"write", "{IMAGE}", "{CARD}"},
     .terminal = false,
     .firstLine =
         "ERROR: no terminal to ask whether to overwrite the card: add --yes to write without "
         "asking \\({CARD}\\)",
     .asked = false,
     .read = false,
     .written = false,
     .status = 2},
    {.name = "a short image, on a terminal",
     .args = {"write", "{SHORT}", "{CARD}"},
     .terminal = true,
     .firstLine = "Everything on this card will be overwritten:",
     .asked = true,
     .read = true,
     .written = true,
     .status = 0},
};

TEST_F(CheckOrderCli, EveryCheckComesBeforeTheQuestionAndTheFirstErrorIsTheRealOne) {
  LoopCard card(scratch, "card.img", kCardBlocks);
  ATTACH_OR_SKIP(*card.loop);
  LoopDevice again(card.backing);
  ATTACH_OR_SKIP(again);
  writeFile(scratch.path("locked.img"), Bytes(kCardBlocks * kBlock, kUntouched));
  LoopDevice::Options readOnly;
  readOnly.readOnly = true;
  LoopDevice locked(scratch.path("locked.img"), readOnly);
  ATTACH_OR_SKIP(locked);
  writeFile(scratch.path("partitioned.img"), partitionedDisk(8192, 2048, 4096));
  LoopDevice::Options partitions;
  partitions.partitions = true;
  LoopDevice partitioned(scratch.path("partitioned.img"), partitions);
  ATTACH_OR_SKIP(partitioned);
  const std::string partition = partitioned.partition(1, 2048, 4096);
  ASSERT_NE(partition, "") << partitioned.reason();
  LoopCard mounted(scratch, "mounted.img", 4096);
  ATTACH_OR_SKIP(*mounted.loop);
  std::string why;
  ASSERT_EQ(runProgram({"mkfs.ext2", "-q", "-F", mounted.loop->path()}, nullptr, &why), 0) << why;
  const std::string mountPoint = scratch.path("mnt");
  ::mkdir(mountPoint.c_str(), 0700);
  ASSERT_EQ(runProgram({"mount", mounted.loop->path(), mountPoint}, nullptr, &why), 0) << why;

  names.insert(names.end(), {{"{CARD2}", again.path()},
                             {"{CARD}", card.loop->path()},
                             {"{PARTDISK}", partitioned.path()},
                             {"{PART}", partition},
                             {"{RO}", locked.path()},
                             {"{MOUNTED}", mounted.loop->path()},
                             {"{MNT}", mountPoint}});
  for (const Row& row : kBeforeTheCard) runRow(row);
  runProgram({"umount", mountPoint});
  // The short image's write put it on the card, after the question.
  EXPECT_FALSE(untouched(card.contents()));
}

// A disk the running system swaps to, named by a script without --yes: the
// refusal names what it is, whatever the flags; --yes is never invited for
// it.
TEST_F(CheckOrderCli, TheSystemsOwnDiskIsRefusedBeforeYesIsAskedFor) {
  LoopCard card(scratch, "swap.img", 4096);
  ATTACH_OR_SKIP(*card.loop);
  std::string why;
  ASSERT_EQ(runProgram({"mkswap", card.loop->path()}, nullptr, &why), 0) << why;
  ASSERT_EQ(runProgram({"swapon", card.loop->path()}, nullptr, &why), 0) << why;
  names.push_back({"{CARD}", card.loop->path()});
  const Row row = {.name = "a disk holding swap, no terminal",
                   .args = {"write", "{IMAGE}", "{CARD}"},
                   .terminal = false,
                   .firstLine = "ERROR: {CARD} holds the running system: it is never written",
                   .asked = false,
                   .read = false,
                   .written = false,
                   .status = 1};
  runRow(row);
  runProgram({"swapoff", card.loop->path()});
}

// The disk that holds the running system, with commands that only read:
// refused as no card, without the words of a write. These rows wait for the
// card rule's own words for reading commands; until then they fail.
TEST_F(CheckOrderCli, TheSystemsDiskIsNoCardToReadOrCompare) {
  const std::string system = systemDisk();
  ASSERT_NE(system, "");
  names.push_back({"{SYS}", system});
  const Row rows[] = {
      {.name = "compare with the system's disk",
       .args = {"compare", "{IMAGE}", "{SYS}"},
       .terminal = false,
       .firstLine = "ERROR: {SYS} holds the running system: it is no card",
       .asked = false,
       .read = false,
       .written = false,
       .status = 1,
       .watched = ""},
      {.name = "read of the system's disk",
       .args = {"read", "{SYS}", scratch.path("system.S7img")},
       .terminal = false,
       .firstLine = "ERROR: {SYS} holds the running system: it is no card",
       .asked = false,
       .read = false,
       .written = false,
       .status = 1,
       .watched = ""},
  };
  for (const Row& row : rows) runRow(row);
  EXPECT_FALSE(std::filesystem::exists(scratch.path("system.S7img")));
}

// A card mounted through a device-mapper name is in use all the same: the
// rule follows the mount's device to the disk beneath it. A kernel without
// device-mapper skips it.
TEST_F(CheckOrderCli, ACardMountedThroughADeviceMapperNameIsInUse) {
  std::ifstream misc("/proc/misc");
  const std::string drivers((std::istreambuf_iterator<char>(misc)), {});
  if (drivers.find("device-mapper") == std::string::npos)
    GTEST_SKIP() << "this kernel has no device-mapper driver";
  LoopCard card(scratch, "mapped.img", 4096);
  ATTACH_OR_SKIP(*card.loop);
  const std::string name = "quenvory-check-" + std::to_string(::getpid());
  MappedDevice mapped(name, card.loop->path(), 4096);
  ASSERT_TRUE(mapped.made()) << "no device-mapper name over the card: " << mapped.problem();
  std::string why;
  ASSERT_EQ(runProgram({"mkfs.ext2", "-q", "-F", mapped.path()}, nullptr, &why), 0) << why;
  const std::string mountPoint = scratch.path("mnt");
  ::mkdir(mountPoint.c_str(), 0700);
  ASSERT_EQ(runProgram({"mount", mapped.path(), mountPoint}, nullptr, &why), 0) << why;
  names.insert(names.end(), {{"{MAPPED}", card.loop->path()}, {"{MNT}", mountPoint}});
  const Row row = {.name = "mounted through device-mapper",
                   .args = {"write", "{IMAGE}", "{MAPPED}"},
                   .terminal = true,
                   .firstLine = "ERROR: {MAPPED} is in use: [^\n]* on {MNT}; unmount it first",
                   .asked = false,
                   .read = false,
                   .written = false,
                   .status = 1,
                   .watched = "{MAPPED}"};
  runRow(row);
  runProgram({"umount", mountPoint});
}

}  // namespace
