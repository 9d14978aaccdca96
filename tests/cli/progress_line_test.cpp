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

TEST(ProgressLine, ShowsThePercentTheSpeedAndTheTimeLeftOfEachPass) {
  const std::string text = drawnBy([](cli::ConsoleUi& ui) {
    // 2048 blocks, a MiB: half of them in a fifth of a second or more.
    ui.setProgress(0);
    ui.setStatus("2048 block image");
    ui.passStarted(2048 * 512);
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    ui.setProgress(50);
    ui.repaintProgress();
    // The read-back starts its own measure.
    ui.setStatus("2048 block image - verifying");
    ui.setProgress(0);
    ui.repaintProgress();
    ui.passStarted(2048 * 512);
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    ui.setProgress(25);
    ui.repaintProgress();
  });
  // 0.52 MB in 0.2 s or more: at most 2.6 MB/s, and about as long again to
  // go; then a quarter of the read-back, three times as long to go.
  EXPECT_TRUE(found(text, "2048 block image  50%  [0-2]\\.[0-9] MB/s  0:0[0-9] left")) << text;
  EXPECT_TRUE(found(text, "2048 block image - verifying  25%  [0-1]\\.[0-9] MB/s  0:0[0-9] left"))
      << text;
  // Before anything is done there is nothing to measure.
  EXPECT_TRUE(found(text, "2048 block image  0%\x1b")) << text;
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
