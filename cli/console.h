// The card writer's operator interface on a terminal: every message becomes
// a line on standard error, and each card has a progress line redrawn in
// place while it runs (only on a terminal).
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "card/operator_ui.h"

namespace cli {

// A message as one line: the caption first, except for the closing "done"
// and "card matches image", which stand alone.
std::string messageLine(const std::string& text, const std::string& caption);

// Standard error, shared by every card's thread.
class Console {
 public:
  // `progressLines`: redraw a line per card in place (a terminal, not --quiet).
  explicit Console(bool progressLines) : progressLines_(progressLines) {}
  ~Console() { endProgress(); }
  Console(const Console&) = delete;
  Console& operator=(const Console&) = delete;

  bool showsProgress() const { return progressLines_; }
  // A line of its own, above the progress lines.
  void line(const std::string& text);
  // A progress line for one more card; returns its number.
  int addProgressLine();
  void setProgressLine(int number, const std::string& text);
  // Takes the progress lines off the screen, leaving the messages.
  void endProgress();

 private:
  void eraseLocked(std::string& out);
  void drawLocked(std::string& out);

  std::mutex mutex_;
  const bool progressLines_;
  std::vector<std::string> progress_;
  std::size_t drawn_ = 0;
};

// One card's operator interface: the card writer's calls from that card's
// thread.
class ConsoleUi : public card::OperatorUi {
 public:
  // `prefix` goes before each of the card's lines ("G: " when several cards
  // run at once). `file` is what the operation takes as the chosen file.
  ConsoleUi(Console& console, std::string target, std::string prefix, std::string file);
  // A card whose run has ended has no progress line any more.
  ~ConsoleUi() override { console_.setProgressLine(line_, ""); }
  ConsoleUi(const ConsoleUi&) = delete;
  ConsoleUi& operator=(const ConsoleUi&) = delete;

  std::string driveText() override { return target_; }
  std::string chosenFileName() override { return file_; }
  // No dialog on a command line: the file is named on it or there is none.
  bool askForFile() override { return false; }
  void showMessage(const std::string& text, const std::string& caption) override;
  void repaintWindow() override {}
  void setProgress(int position) override;
  void showProgressPanel(bool) override {}
  void setStatus(const std::string& text) override;
  void showWaiting(const std::string& text) override;
  void repaintProgress() override { draw(false); }
  void processEvents() override {}
  // Ctrl-C, a closed terminal, the session ending.
  bool stopRequested() override;

  void passStarted(std::int64_t bytes, std::int64_t bytesAfter) override;
  void passFinished() override;

  // Where the line's figures take the time from: the steady clock, or a
  // test's own.
  using Clock = std::function<std::chrono::steady_clock::time_point()>;
  void setClock(Clock clock) { clock_ = std::move(clock); }

  // Words put before the card's messages for a part of its run ("backup: ").
  void setPhase(std::string phase) { phase_ = std::move(phase); }
  // A line of the card's own below its messages ("hint: ...").
  void note(const std::string& text);

 private:
  void draw(bool now);

  Console& console_;
  std::string target_;
  std::string prefix_;
  std::string file_;
  std::string phase_;
  int line_ = -1;
  std::string status_;
  bool waiting_ = false;
  // A pass has gone through its blocks and the next has not begun: its
  // percentage and figures belong to no pass, whatever the status says now.
  bool betweenPasses_ = false;
  int position_ = 0;
  Clock clock_ = [] { return std::chrono::steady_clock::now(); };
  // The bytes of the pass the bar shows now (writing, reading back, ...),
  // which began at passStart_, and those of the run's passes after it.
  std::int64_t passBytes_ = 0;
  std::int64_t bytesAfter_ = 0;
  std::chrono::steady_clock::time_point passStart_ = clock_();
  std::chrono::steady_clock::time_point lastDraw_{};
};

}  // namespace cli
