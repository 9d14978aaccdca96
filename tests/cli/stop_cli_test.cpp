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
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

#include "tests/cli/cli_runner.h"
#include "tests/cli/loop_card.h"
#include "tests/support/attach_or_skip.h"
#include "tests/support/loop_device.h"
#include "tests/support/test_support.h"

extern char** environ;

namespace {

using namespace testing_support;

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
  // Never with pid -1 once it has ended: that would reach every process.
  void signal(int number) {
    if (pid_ > 0) ::kill(pid_, number);
  }
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
  // Whether signal `number` waits to be taken by the process: a signal
  // sent while one of its kind waits is merged into it.
  bool pending(int number) const {
    std::ifstream status("/proc/" + std::to_string(pid_) + "/status");
    std::string line;
    const std::uint64_t bit = std::uint64_t{1} << (number - 1);
    while (std::getline(status, line))
      if (line.rfind("SigPnd:", 0) == 0 || line.rfind("ShdPnd:", 0) == 0)
        if (std::stoull(line.substr(7), nullptr, 16) & bit) return true;
    return false;
  }
  // Holds the process where it is (SIGSTOP): false when it had ended first.
  bool hold() {
    if (pid_ <= 0) return false;
    ::kill(pid_, SIGSTOP);
    int status = 0;
    if (::waitpid(pid_, &status, WUNTRACED) == pid_ && WIFSTOPPED(status)) return true;
    pid_ = -1;
    status_ = status;
    return false;
  }
  void resume() { signal(SIGCONT); }
  // Whether it ends within `limit`; one that does not is killed when this
  // goes.
  bool endsWithin(std::chrono::seconds limit) {
    const auto end = std::chrono::steady_clock::now() + limit;
    while (running()) {
      if (std::chrono::steady_clock::now() > end) return false;
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
  }
  // The signal that ended it, once it has ended; 0 when it exited.
  int killedBy() const { return pid_ <= 0 && WIFSIGNALED(status_) ? WTERMSIG(status_) : 0; }
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

// The write's question, and whether what the program said so far ends with
// it: the question shows and waits for its answer.
const std::string kQuestion = "Write? [y/N] ";
bool endsWithTheQuestion(const std::string& errorsPath) {
  const std::string errors = fileText(errorsPath);
  return errors.size() >= kQuestion.size() &&
         errors.compare(errors.size() - kQuestion.size(), kQuestion.size(), kQuestion) == 0;
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
    // What the card got, after the closing message, and in the record: the
    // blocks before the stop, never read back.
    const std::string got = loop.path() + ": stopped at block " + std::to_string(block) + ", " +
                            std::to_string(block) +
                            " blocks written; the card does not hold the image\n";
    EXPECT_EQ(errors.substr(errors.size() - std::min(errors.size(), got.size())), got) << errors;
    const std::string record = fileText(recordPath);
    EXPECT_EQ(recordField(record, "result"), "stopped") << record;
    EXPECT_EQ(recordField(record, "blocks_written"), std::to_string(block)) << record;
    EXPECT_EQ(recordField(record, "verified"), "no") << record;
  }
}

// A second Ctrl-C that comes once the first was taken, while the run ends,
// finds the same handler: the process is not killed, and ends as after one.
// The first is seen taken before the second is sent, and the process held
// between them, so that the kernel cannot merge the two into one.
TEST(StopCli, ASecondCtrlCAfterTheFirstWasTakenChangesNothing) {
  ScratchDir scratch;
  const Bytes image = completeImage(kBlocks);
  const std::string imagePath = scratch.path("large.S7img");
  writeFile(imagePath, image);
  bool heldBetween = false;
  // The process may end before it is held, and is then started again.
  for (int attempt = 0; attempt < 3 && !heldBetween; ++attempt) {
    const std::string backing = scratch.path("card.img");
    writeFile(backing, Bytes(std::size_t(kBlocks) * kBlock, kUntouched));
    LoopDevice loop(backing);
    ATTACH_OR_SKIP(loop);
    const std::string errorsPath = scratch.path("errors.txt");
    RunningCli cli({"write", "--yes", imagePath, loop.path()}, errorsPath);
    ASSERT_TRUE(cli.started());
    const bool underWay = waitFor(cli, [&] {
      std::ifstream in(backing, std::ios::binary);
      return in.get() == patternByte(0, 0);
    });
    ASSERT_TRUE(underWay) << fileText(errorsPath);
    cli.signal(SIGINT);
    waitFor(cli, [&] { return !cli.pending(SIGINT); });
    if (!cli.hold()) continue;
    heldBetween = true;
    cli.signal(SIGINT);
    cli.resume();
    EXPECT_EQ(cli.wait(), 1);
    const std::string errors = fileText(errorsPath);
    EXPECT_GT(stoppedAt(errors, ", the card does not hold the image"), 0) << errors;
  }
  EXPECT_TRUE(heldBetween) << "the program always ended before the second Ctrl-C";
}

// A card that refuses writes part-way (its lock switch slid while it is
// written): the write fails at the block the card refused, keeps the blocks
// before it, says why, and accounts for the card in the record.
TEST(StopCli, AWriteThatFailsPartWayNamesTheBlockAndWhy) {
  ScratchDir scratch;
  const Bytes image = completeImage(kBlocks);
  const std::string imagePath = scratch.path("large.S7img");
  writeFile(imagePath, image);
  const std::string backing = scratch.path("card.img");
  writeFile(backing, Bytes(std::size_t(kBlocks) * kBlock, kUntouched));
  LoopDevice loop(backing);
  ATTACH_OR_SKIP(loop);
  const std::string errorsPath = scratch.path("errors.txt");
  const std::string recordPath = scratch.path("record.csv");
  RunningCli cli({"write", "--yes", "--record", recordPath, imagePath, loop.path()}, errorsPath);
  ASSERT_TRUE(cli.started());
  const bool underWay = waitFor(cli, [&] {
    std::ifstream in(backing, std::ios::binary);
    return in.get() == patternByte(0, 0);
  });
  ASSERT_TRUE(underWay) << fileText(errorsPath);
  ASSERT_TRUE(loop.setReadOnly(true));
  EXPECT_EQ(cli.wait(), 1);
  loop.setReadOnly(false);
  const std::string errors = fileText(errorsPath);
  const std::string failed = "MMC ERROR: error " + std::to_string(EPERM) +
                             " writing to MMC card.\nhint: the card refuses writes: slide the lock "
                             "switch of the card or its adapter away from LOCK, put the card back "
                             "in and try again\n" +
                             loop.path() + ": failed at block ";
  ASSERT_EQ(errors.rfind(failed, 0), 0u) << errors;
  const std::size_t digits = failed.size();
  const long block = std::stol(errors.substr(digits));
  EXPECT_GT(block, 0) << errors;
  EXPECT_LT(block, kBlocks) << errors;
  EXPECT_EQ(errors.substr(digits), std::to_string(block) + ", " + std::to_string(block) +
                                       " blocks written; the card does not hold the image\n");
  const std::string record = fileText(recordPath);
  EXPECT_EQ(recordField(record, "result"),
            "error " + std::to_string(EPERM) + " writing to MMC card.")
      << record;
  EXPECT_EQ(recordField(record, "blocks_written"), std::to_string(block)) << record;
  EXPECT_EQ(recordField(record, "verified"), "no") << record;
  // The kernel's witness: the blocks before it hold the image, none after it
  // was touched.
  loop.detach();
  const Bytes card = readFile(backing);
  const auto split = card.begin() + block * long(kBlock);
  EXPECT_TRUE(std::equal(card.begin(), split, image.begin() + 8));
  EXPECT_TRUE(std::all_of(split, card.end(), [](std::uint8_t b) { return b == kUntouched; }));
}

// Ctrl-C while the question waits for its answer is no answer: nothing is
// written, and the words that say so stand on a line of their own, not after
// the question, where the terminal shows ^C.
TEST(StopCli, AStopAtTheQuestionWritesNothingOnALineOfItsOwn) {
  ScratchDir scratch;
  const std::string imagePath = scratch.path("card.S7img");
  writeFile(imagePath, completeImage(64));
  LoopCard card(scratch, "card.img", 256);
  ATTACH_OR_SKIP(*card.loop);
  const std::string errorsPath = scratch.path("errors.txt");
  RunningCli cli({"write", imagePath, card.loop->path()}, errorsPath, true);
  ASSERT_TRUE(cli.started());
  ASSERT_TRUE(waitFor(cli, [&] { return endsWithTheQuestion(errorsPath); }))
      << fileText(errorsPath);
  cli.signal(SIGINT);
  EXPECT_EQ(cli.wait(), 1);
  const std::string errors = fileText(errorsPath);
  EXPECT_EQ(errors.substr(errors.find(kQuestion)), kQuestion + "\nnothing written\n");
  EXPECT_EQ(card.contents(), Bytes(256 * kBlock, kUntouched));
}

// A Ctrl-C at any moment around the question, the one the program is about
// to wait in above all, ends the command at once: the program is held
// (SIGSTOP) as soon as the question shows, wherever it is between writing it
// and waiting for the answer, and the signal lands when it goes on; or the
// signal comes as the question shows, or at a spread of moments before it.
// Before the handlers are there Ctrl-C ends the program outright, and then
// it has asked nothing. The card is never touched, and the program never
// hangs.
TEST(StopCli, AStopAroundTheQuestionIsNeverLost) {
  ScratchDir scratch;
  const std::string imagePath = scratch.path("card.S7img");
  writeFile(imagePath, completeImage(64));
  LoopCard card(scratch, "card.img", 256);
  ATTACH_OR_SKIP(*card.loop);
  const std::string errorsPath = scratch.path("errors.txt");
  struct Moment {
    std::string name;
    // Sent once the question shows; otherwise this long after the start.
    bool atQuestion;
    bool held;
    std::chrono::microseconds after;
  };
  std::vector<Moment> moments;
  for (int round = 0; round < 25; ++round) {
    moments.push_back({"held as the question shows", true, true, {}});
    moments.push_back({"as the question shows", true, false, {}});
  }
  for (int delay = 0; delay <= 64000; delay = delay == 0 ? 250 : delay * 2)
    moments.push_back({std::to_string(delay) + " us after the start", false, false,
                       std::chrono::microseconds(delay)});
  for (const Moment& moment : moments) {
    SCOPED_TRACE(moment.name);
    RunningCli cli({"write", imagePath, card.loop->path()}, errorsPath, true);
    ASSERT_TRUE(cli.started());
    if (moment.atQuestion) {
      ASSERT_TRUE(waitFor(cli, [&] { return endsWithTheQuestion(errorsPath); }))
          << fileText(errorsPath);
      if (moment.held) {
        ASSERT_TRUE(cli.hold());
      }
      cli.signal(SIGINT);
      if (moment.held) cli.resume();
    } else {
      std::this_thread::sleep_for(moment.after);
      cli.signal(SIGINT);
    }
    ASSERT_TRUE(cli.endsWithin(std::chrono::seconds(20))) << "hangs: " << fileText(errorsPath);
    const std::string errors = fileText(errorsPath);
    const std::size_t asked = errors.find(kQuestion);
    if (cli.killedBy() == SIGINT) {
      EXPECT_EQ(asked, std::string::npos) << "asked with no handler for Ctrl-C:\n" << errors;
      continue;
    }
    // Once the handlers are there the question is always asked, and then
    // answered by the stop.
    EXPECT_EQ(cli.wait(), 1) << errors;
    ASSERT_NE(asked, std::string::npos) << errors;
    EXPECT_EQ(errors.substr(asked), kQuestion + "\nnothing written\n");
  }
  EXPECT_EQ(card.contents(), Bytes(256 * kBlock, kUntouched));
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
      // --yes: an earlier file is replaced only when the backup is whole.
      RunningCli cli({"read", "--yes", loop.path(), target}, errorsPath);
      ASSERT_TRUE(cli.started());
      const bool underWay = waitFor(cli, [&] {
        // A file may go between its listing and its size: the check that the
        // folder takes a new file makes one and takes it away again.
        std::error_code gone;
        for (const auto& entry : std::filesystem::directory_iterator(folder))
          if (entry.path().filename() != "backup.S7img" && entry.file_size(gone) > 8 && !gone)
            return true;
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
