#include "card/patience.h"

#include <algorithm>
#include <thread>
#include <utility>

namespace card {

Waiting::Waiting(const LockPatience& patience, std::function<bool()> beforeWait,
                 std::chrono::milliseconds spent)
    : patience_(patience),
      beforeWait_(std::move(beforeWait)),
      earlier_(spent),
      start_(std::chrono::steady_clock::now()) {}

std::chrono::milliseconds Waiting::spent() const {
  using std::chrono::milliseconds;
  return earlier_ + std::max(waited_, std::chrono::duration_cast<milliseconds>(
                                          std::chrono::steady_clock::now() - start_));
}

bool Waiting::again() {
  if (spent() + patience_.pause > patience_.patience) return false;
  if (beforeWait_ && !beforeWait_()) {
    stopped_ = true;
    return false;
  }
  if (patience_.wait)
    patience_.wait(patience_.pause);
  else
    std::this_thread::sleep_for(patience_.pause);
  waited_ += patience_.pause;
  return true;
}

}  // namespace card
