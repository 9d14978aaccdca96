// The command line stopped from outside while it works, as Ctrl-C, a closed
// terminal or a service manager stop it: on loop devices, as a whole
// process (root only; skipped, saying why, elsewhere).
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/attach_or_skip.h"
#include "tests/support/loop_device.h"
#include "tests/support/test_support.h"

extern char** environ;

namespace {

using namespace testing_support;
using Bytes = std::vector<std::uint8_t>;

constexpr std::size_t kBlock = 512;
constexpr std::uint8_t kUntouched = 0xEE;
// Large enough that a write, or a backup, is still under way well after its
// first batch: 64 MiB.
constexpr std::int32_t kBlocks = 131072;

Bytes payloadOfImage(const Bytes& image) { return Bytes(image.begin() + 8, image.end()); }

// The program started with its standard error going to a file, standard
// input and output to nothing.
// `inputTerminal`: standard input is a terminal (a pseudo-terminal nobody
// types on) rather than nothing.
class RunningCli {
 public:
  RunningCli(const std::vector<std::string>& args, const std::string& errorsPath,
             bool inputTerminal = false) {
    std::vector<std::string> argv = {QUENVORY_CLI};
    argv.insert(argv.end(), args.begin(), args.end());
    std::vector<char*> pointers;
    for (std::string& arg : argv) pointers.push_back(arg.data());
    pointers.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    if (inputTerminal) {
      terminal_ = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
      if (terminal_ < 0 || ::grantpt(terminal_) != 0 || ::unlockpt(terminal_) != 0) return;
      posix_spawn_file_actions_addopen(&actions, 0, ::ptsname(terminal_), O_RDWR | O_NOCTTY, 0);
    } else {
      posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    }
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 2, errorsPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                     0644);
    if (posix_spawn(&pid_, argv[0].c_str(), &actions, nullptr, pointers.data(), environ) != 0)
      pid_ = -1;
    posix_spawn_file_actions_destroy(&actions);
  }
  ~RunningCli() {
    if (pid_ > 0) {
      ::kill(pid_, SIGKILL);
      wait();
    }
    if (terminal_ >= 0) ::close(terminal_);
  }
  bool started() const { return pid_ > 0; }
  void signal(int number) { ::kill(pid_, number); }
  // Whether it is still running.
  bool running() {
    int status = 0;
    const pid_t done = ::waitpid(pid_, &status, WNOHANG);
    if (done == pid_) {
      pid_ = -1;
      status_ = status;
    }
    return pid_ > 0;
  }
  // The exit status; -1 when it did not exit by itself (killed by a signal).
  int wait() {
    int status = status_;
    if (pid_ > 0 && ::waitpid(pid_, &status, 0) == pid_) pid_ = -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }

 private:
  pid_t pid_ = -1;
  int status_ = 0;
  int terminal_ = -1;
};

// Waits (up to 20 s) until `ready` holds while the program still runs.
template <typename Ready>
bool waitFor(RunningCli& cli, Ready ready) {
  const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (std::chrono::steady_clock::now() < end) {
    if (ready()) return true;
    if (!cli.running()) return false;
    std::this_thread::sleep_for(std::chrono::microseconds(200));
  }
  return false;
}

std::string fileText(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// The block a stop message names, or -1.
long stoppedAt(const std::string& errors, const std::string& words) {
  static const std::string kStart = "MMC ERROR: stopped at block ";
  const std::size_t at = errors.find(kStart);
  if (at == std::string::npos) return -1;
  const std::size_t digits = at + kStart.size();
  const std::size_t end = errors.find_first_not_of("0123456789", digits);
  if (end == digits || end == std::string::npos ||
      errors.compare(end, words.size() + 1, words + "\n") != 0)
    return -1;
  return std::stol(errors.substr(digits, end - digits));
}

// A field of the record's one line, by its column's name.
std::string recordField(const std::string& record, const std::string& column) {
  const auto fields = [](const std::string& line) {
    std::vector<std::string> parts(1);
    for (char c : line) {
      if (c == ',')
        parts.emplace_back();
      else if (c != '\r')
        parts.back() += c;
    }
    return parts;
  };
  const std::size_t end = record.find('\n');
  if (end == std::string::npos) return {};
  const std::vector<std::string> names = fields(record.substr(0, end));
  const std::vector<std::string> values =
      fields(record.substr(end + 1, record.find('\n', end + 1) - end - 1));
  for (std::size_t k = 0; k < names.size() && k < values.size(); ++k)
    if (names[k] == column) return values[k];
  return {};
}

struct StopCase {
  const char* name;
  std::vector<int> signals;  // sent one after the other, at once
};

const StopCase kStops[] = {
    {"Ctrl-C", {SIGINT}},
    {"terminated", {SIGTERM}},
    {"terminal closed", {SIGHUP}},
    // A second Ctrl-C while the run stops cannot cut its release short.
    {"Ctrl-C twice", {SIGINT, SIGINT}},
};

// The batch in flight completes; the blocks before it hold the image, none
// after it is touched, the record says "stopped", the exit status is 1.
TEST(StopCli, AWriteStopsBetweenBatchesAndSaysTheCardDoesNotHoldTheImage) {
  ScratchDir scratch;
  const Bytes image = completeImage(kBlocks);
  const std::string imagePath = scratch.path("large.S7img");
  writeFile(imagePath, image);
  for (const StopCase& c : kStops) {
    SCOPED_TRACE(c.name);
    const std::string backing = scratch.path("card.img");
    writeFile(backing, Bytes(std::size_t(kBlocks) * kBlock, kUntouched));
    LoopDevice loop(backing);
    ATTACH_OR_SKIP(loop);
    const std::string errorsPath = scratch.path("errors.txt");
    const std::string recordPath = scratch.path("record.csv");
    std::remove(recordPath.c_str());
    RunningCli cli({"write", "--yes", "--record", recordPath, imagePath, loop.path()}, errorsPath);
    ASSERT_TRUE(cli.started());
    // The first block has reached the card: the write is under way.
    const bool underWay = waitFor(cli, [&] {
      std::ifstream in(backing, std::ios::binary);
      return in.get() == patternByte(0, 0);
    });
    ASSERT_TRUE(underWay) << fileText(errorsPath);
    for (int number : c.signals) cli.signal(number);
    EXPECT_EQ(cli.wait(), 1);
    const std::string errors = fileText(errorsPath);
    const long block = stoppedAt(errors, ", the card does not hold the image");
    ASSERT_GT(block, 0) << errors;
    EXPECT_LT(block, kBlocks) << errors;
    EXPECT_EQ(errors.find("done"), std::string::npos) << errors;
    loop.detach();
    const Bytes card = readFile(backing);
    const auto split = card.begin() + block * long(kBlock);
    EXPECT_TRUE(std::equal(card.begin(), split, image.begin() + 8));
    EXPECT_TRUE(std::all_of(split, card.end(), [](std::uint8_t b) { return b == kUntouched; }));
    const std::string record = fileText(recordPath);
    EXPECT_EQ(recordField(record, "result"), "stopped") << record;
  }
}

// Ctrl-C while the question waits for its answer is no answer: nothing is
// written, and the words that say so stand on a line of their own, not after
// the question, where the terminal shows ^C.
TEST(StopCli, AStopAtTheQuestionWritesNothingOnALineOfItsOwn) {
  ScratchDir scratch;
  const std::string imagePath = scratch.path("card.S7img");
  writeFile(imagePath, completeImage(64));
  const std::string backing = scratch.path("card.img");
  writeFile(backing, Bytes(256 * kBlock, kUntouched));
  LoopDevice loop(backing);
  ATTACH_OR_SKIP(loop);
  const std::string errorsPath = scratch.path("errors.txt");
  RunningCli cli({"write", imagePath, loop.path()}, errorsPath, true);
  ASSERT_TRUE(cli.started());
  const bool asked = waitFor(cli, [&] {
    const std::string errors = fileText(errorsPath);
    const std::string question = "Write? [y/N] ";
    return errors.size() >= question.size() &&
           errors.compare(errors.size() - question.size(), question.size(), question) == 0;
  });
  ASSERT_TRUE(asked) << fileText(errorsPath);
  cli.signal(SIGINT);
  EXPECT_EQ(cli.wait(), 1);
  const std::string errors = fileText(errorsPath);
  EXPECT_EQ(errors.substr(errors.find("Write? [y/N] ")), "Write? [y/N] \nnothing written\n");
  loop.detach();
  EXPECT_EQ(readFile(backing), Bytes(256 * kBlock, kUntouched));
}

// A backup stopped part-way keeps nothing: no file under its name, no
// temporary file beside it, and a file of that name from before untouched.
TEST(StopCli, ABackupStopsKeepingNothingAndLeavingAnEarlierFileAlone) {
  ScratchDir scratch;
  const std::string backing = scratch.path("card.img");
  writeFile(backing, payloadOfImage(completeImage(kBlocks)));
  const std::string folder = scratch.path("backups");
  std::filesystem::create_directory(folder);
  for (const StopCase& c : kStops) {
    for (const bool earlier : {false, true}) {
      SCOPED_TRACE(std::string(c.name) + (earlier ? ", over an earlier file" : ""));
      LoopDevice loop(backing);
      ATTACH_OR_SKIP(loop);
      const std::string target = folder + "/backup.S7img";
      std::remove(target.c_str());
      if (earlier) writeFile(target, Bytes{'o', 'l', 'd'});
      const std::string errorsPath = scratch.path("errors.txt");
      RunningCli cli({"read", loop.path(), target}, errorsPath);
      ASSERT_TRUE(cli.started());
      const bool underWay = waitFor(cli, [&] {
        for (const auto& entry : std::filesystem::directory_iterator(folder))
          if (entry.path().filename() != "backup.S7img" && entry.file_size() > 8) return true;
        return false;
      });
      ASSERT_TRUE(underWay) << fileText(errorsPath);
      for (int number : c.signals) cli.signal(number);
      EXPECT_EQ(cli.wait(), 1);
      const std::string errors = fileText(errorsPath);
      EXPECT_GE(stoppedAt(errors, ", no backup was kept"), 0) << errors;
      std::vector<std::string> left;
      for (const auto& entry : std::filesystem::directory_iterator(folder))
        left.push_back(entry.path().filename().string());
      EXPECT_EQ(left,
                earlier ? std::vector<std::string>{"backup.S7img"} : std::vector<std::string>{});
      if (earlier) {
        EXPECT_EQ(readFile(target), (Bytes{'o', 'l', 'd'}));
      }
    }
  }
}

}  // namespace
