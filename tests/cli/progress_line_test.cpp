// A card's progress line on a terminal: how far the pass is, how fast it
// goes and how long it still takes. A run on a loop device is over before
// the line is redrawn, so the line is driven here through the card's
// operator interface, with standard error caught in a file.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>

#include "cli/console.h"
#include "tests/cli/cli_runner.h"
#include "tests/support/test_support.h"

namespace {

using namespace testing_support;

// What is written on standard error while it lives.
class CaughtErrors {
 public:
  explicit CaughtErrors(const std::string& path) : path_(path) {
    ::fflush(stderr);
    saved_ = ::dup(STDERR_FILENO);
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    ::dup2(fd, STDERR_FILENO);
    ::close(fd);
  }
  ~CaughtErrors() { restore(); }
  std::string text() {
    restore();
    const std::vector<std::uint8_t> bytes = readFile(path_);
    return std::string(bytes.begin(), bytes.end());
  }

 private:
  void restore() {
    if (saved_ < 0) return;
    ::dup2(saved_, STDERR_FILENO);
    ::close(saved_);
    saved_ = -1;
  }
  std::string path_;
  int saved_ = -1;
};

// What a terminal's progress line for the card /dev/sdx shows while `steps`
// drive it.
template <typename Steps>
std::string drawnBy(Steps steps) {
  ScratchDir scratch;
  CaughtErrors errors(scratch.path("stderr"));
  {
    cli::Console console(true);
    cli::ConsoleUi ui(console, "/dev/sdx", "", "");
    steps(ui);
  }
  return errors.text();
}

// A clock the test moves by hand.
struct TestClock {
  std::chrono::steady_clock::time_point now{std::chrono::seconds(1000)};
  void advance(int seconds) { now += std::chrono::seconds(seconds); }
};

// A write of 100 MB and its read-back: the first pass takes long enough
// that figures measured from its start, rather than from each pass's own,
// show in the second; the time left covers the read-back still to come; and
// each pass ends at 100%, though the bar moves only every hundred blocks.
TEST(ProgressLine, ShowsThePercentTheSpeedAndTheTimeLeftOfTheRunAndEachPassComplete) {
  constexpr std::int64_t kBytes = 100'000'000;
  const std::string text = drawnBy([](cli::ConsoleUi& ui) {
    TestClock clock;
    ui.setClock([&clock] { return clock.now; });
    ui.setProgress(0);
    ui.setStatus("195312 block image");
    ui.passStarted(kBytes, kBytes);
    clock.advance(10);
    ui.setProgress(50);
    ui.repaintProgress();
    clock.advance(10);
    ui.passFinished();
    ui.setStatus("195312 block image - verifying");
    ui.setProgress(0);
    ui.repaintProgress();
    ui.passStarted(kBytes, 0);
    clock.advance(2);
    ui.setProgress(25);
    ui.repaintProgress();
    clock.advance(8);
    ui.passFinished();
  });
  // Before anything is done there is nothing to measure.
  EXPECT_TRUE(found(text, "195312 block image  0%\x1b")) << text;
  // 50 MB in 10 s: the other 50 MB and the 100 MB of the read-back, 30 s.
  EXPECT_TRUE(found(text, "195312 block image  50%  5\\.0 MB/s  0:30 left\x1b")) << text;
  EXPECT_TRUE(found(text, "195312 block image  100%  5\\.0 MB/s  0:20 left\x1b")) << text;
  // Between the passes the line is the status alone: the 100% is the write's.
  EXPECT_TRUE(found(text, "\\[J195312 block image - verifying\x1b\\[K")) << text;
  EXPECT_FALSE(found(text, "verifying  (0|100)%.*verifying  25%")) << text;
  // The read-back, measured from its own start: 25 MB in 2 s.
  EXPECT_TRUE(found(text, "verifying  25%  12\\.5 MB/s  0:06 left\x1b")) << text;
  EXPECT_TRUE(found(text, "verifying  100%  10\\.0 MB/s  0:00 left\x1b")) << text;
}

// While the run waits for the card to be free no pass is under way: the line
// says so and shows no percentage; the count that follows has its own.
TEST(ProgressLine, AWaitShowsItsTextAloneAndTheCountAfterItItsPercentage) {
  const std::string text = drawnBy([](cli::ConsoleUi& ui) {
    ui.setProgress(0);
    ui.setStatus("2048 block image");
    ui.showWaiting("waiting for the card at >/dev/sdx to be free");
    ui.setStatus("2048 block image");
  });
  EXPECT_TRUE(found(text, "\\[Jwaiting for the card at >/dev/sdx to be free\x1b")) << text;
  EXPECT_FALSE(found(text, "free  [0-9]+%")) << text;
  EXPECT_TRUE(found(text, "free.*2048 block image  0%")) << text;
}

}  // namespace
