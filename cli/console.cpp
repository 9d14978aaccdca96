#include "cli/console.h"

#include <cstdio>

#include "card/messages.h"
#include "cli/stop_request.h"
#include "cli/terminal.h"

namespace cli {
namespace {

// `passBytes`: the bytes behind the whole bar, of which `position` percent
// have gone by in `seconds`; `bytesAfter`: those of the passes still to come
// (a write's read-back), which the time left covers too, at this pass's
// speed.
std::string progressText(const std::string& status, int position, std::int64_t passBytes,
                         std::int64_t bytesAfter, double seconds) {
  std::string text = status + "  " + std::to_string(position) + "%";
  if (position <= 0 || seconds <= 0.05 || passBytes <= 0) return text;
  const double done = static_cast<double>(passBytes) * (position / 100.0);
  const double speed = done / seconds;
  const double rest = static_cast<double>(passBytes) - done + static_cast<double>(bytesAfter);
  const long left = static_cast<long>(rest / speed + 0.5);
  char figures[64];
  std::snprintf(figures, sizeof figures, "  %.1f MB/s  %ld:%02ld left", speed / 1e6, left / 60,
                left % 60);
  return text + figures;
}

}  // namespace

std::string messageLine(const std::string& text, const std::string& caption) {
  if (caption == card::kDoneCaption) return text;
  return caption + ": " + text;
}

void Console::line(const std::string& text) {
  std::lock_guard<std::mutex> lock(mutex_);
  std::string out;
  eraseLocked(out);
  out += text + "\n";
  drawLocked(out);
  writeErrors(out);
}

int Console::addProgressLine() {
  std::lock_guard<std::mutex> lock(mutex_);
  progress_.emplace_back();
  return static_cast<int>(progress_.size()) - 1;
}

void Console::setProgressLine(int number, const std::string& text) {
  if (!progressLines_) return;
  std::lock_guard<std::mutex> lock(mutex_);
  if (number < 0 || std::size_t(number) >= progress_.size()) return;
  progress_[std::size_t(number)] = text;
  std::string out;
  eraseLocked(out);
  drawLocked(out);
  writeErrors(out);
}

void Console::endProgress() {
  std::lock_guard<std::mutex> lock(mutex_);
  std::string out;
  eraseLocked(out);
  progress_.clear();
  if (!out.empty()) writeErrors(out);
}

// Up to the first progress line, and everything below it cleared.
void Console::eraseLocked(std::string& out) {
  if (drawn_ == 0) return;
  out += "\x1b[" + std::to_string(drawn_) + "A\r\x1b[J";
  drawn_ = 0;
}

void Console::drawLocked(std::string& out) {
  if (!progressLines_) return;
  for (const std::string& text : progress_) {
    if (text.empty()) continue;
    out += text + "\x1b[K\n";
    ++drawn_;
  }
}

ConsoleUi::ConsoleUi(Console& console, std::string target, std::string prefix, std::string file)
    : console_(console),
      target_(std::move(target)),
      prefix_(std::move(prefix)),
      file_(std::move(file)) {
  if (console_.showsProgress()) line_ = console_.addProgressLine();
}

void ConsoleUi::showMessage(const std::string& text, const std::string& caption) {
  console_.line(prefix_ + phase_ + messageLine(text, caption));
}

bool ConsoleUi::stopRequested() { return cli::stopRequested(); }

void ConsoleUi::note(const std::string& text) { console_.line(prefix_ + text); }

void ConsoleUi::showWaiting(const std::string& text) {
  // No pass is under way: the line is the text alone, no percentage.
  waiting_ = true;
  status_ = text;
  draw(true);
}

void ConsoleUi::setStatus(const std::string& text) {
  waiting_ = false;
  status_ = text;
  draw(true);
}

void ConsoleUi::setProgress(int position) { position_ = position; }

void ConsoleUi::passStarted(std::int64_t bytes, std::int64_t bytesAfter) {
  passBytes_ = bytes;
  bytesAfter_ = bytesAfter;
  passStart_ = clock_();
  position_ = 0;
  betweenPasses_ = false;
}

// The bar moves once every hundred blocks and may stop short of its end;
// the line shows the pass complete, whatever the image's size.
void ConsoleUi::passFinished() {
  position_ = 100;
  draw(true);
  betweenPasses_ = true;
}

void ConsoleUi::draw(bool now) {
  if (line_ < 0) return;
  const auto at = clock_();
  // A terminal redrawn more than ten times a second only costs time.
  if (!now && at - lastDraw_ < std::chrono::milliseconds(100)) return;
  lastDraw_ = at;
  const double seconds = std::chrono::duration<double>(at - passStart_).count();
  const std::string text = waiting_ || betweenPasses_
                               ? status_
                               : progressText(status_, position_, passBytes_, bytesAfter_, seconds);
  console_.setProgressLine(line_, prefix_ + text);
}

}  // namespace cli
