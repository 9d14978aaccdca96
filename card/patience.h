// How long a run waits for a card that another program holds, and the one
// clock every such wait of a run draws on.
#pragma once

#include <chrono>
#include <functional>

namespace card {

// How long a busy card is waited for. Right after a card goes in, the
// system's indexer and virus scanner read it for several seconds, and a
// console whose current folder is on it holds it open: the disk's open, each
// volume's open and its lock are tried again `pause` apart until `patience`
// has passed, for all of them together.
struct LockPatience {
  std::chrono::milliseconds pause{200};
  std::chrono::milliseconds patience{15000};
  // Waits one pause; empty, the thread sleeps. A test puts a clock of its
  // own here; the time waited counts either way.
  std::function<void(std::chrono::milliseconds)> wait;
};

// Another try after a busy answer, until the patience is spent or the
// operator asks to stop. The time waited is the pauses' or the clock's,
// whichever is more: a test's clock makes no time pass, slow attempts make
// more. A wait that follows another one of the same run starts with what the
// earlier one spent, so that the run waits `patience` in all.
class Waiting {
 public:
  // `beforeWait` is called before each pause; false from it: the operator
  // asked to stop, and nothing more is tried.
  Waiting(const LockPatience& patience, std::function<bool()> beforeWait,
          std::chrono::milliseconds spent = std::chrono::milliseconds{0});

  // True, after one pause, when another try is worth it.
  bool again();
  bool stopped() const { return stopped_; }
  // The patience spent so far, the earlier waits' included.
  std::chrono::milliseconds spent() const;

 private:
  LockPatience patience_;
  std::function<bool()> beforeWait_;
  std::chrono::milliseconds earlier_;
  std::chrono::steady_clock::time_point start_;
  std::chrono::milliseconds waited_{0};
  bool stopped_ = false;
};

}  // namespace card
