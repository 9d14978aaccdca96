// The card's volumes, locked and dismounted for the length of a run so that
// the system lets raw writes into their sectors.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "card/disk_services.h"
#include "card/letter_disk.h"
#include "card/patience.h"

namespace card {

// Unlocked and closed on release, the last locked first.
class VolumeLock {
 public:
  VolumeLock() = default;
  VolumeLock(VolumeLock&&) = default;
  VolumeLock& operator=(VolumeLock&& other) noexcept {
    if (this != &other) {
      release();
      volumes_ = std::move(other.volumes_);
    }
    return *this;
  }
  ~VolumeLock() { release(); }

  // Opens, locks and dismounts each volume in turn. A volume that is busy,
  // or that another program holds open, is tried again as `patience` says,
  // of which `spent` was already waited by the run, `beforeWait` called
  // before each pause (false from it: the operator asked to stop, and
  // nothing more is tried); a volume holding a page file, and any other
  // refusal, is final. False when one cannot be locked: the ones locked
  // before it are released again, error() tells the refusal's system error
  // code, stopped() whether a stop ended the wait, and pageFile() whether the
  // volume holds a page file. spent() tells the patience spent, `spent`
  // included.
  bool acquire(DriveLetters& letters, const std::vector<std::string>& volumePaths,
               const LockPatience& patience, const std::function<bool()>& beforeWait = {},
               std::chrono::milliseconds spent = std::chrono::milliseconds{0});
  // The same for one volume.
  bool acquire(DriveLetters& letters, const std::string& volumePath, const LockPatience& patience) {
    return acquire(letters, std::vector<std::string>{volumePath}, patience);
  }
  void release();
  std::size_t size() const { return volumes_.size(); }
  std::uint32_t error() const { return error_; }
  bool stopped() const { return stopped_; }
  bool pageFile() const { return pageFile_; }
  std::chrono::milliseconds spent() const { return spent_; }

 private:
  bool lockEach(DriveLetters& letters, const std::vector<std::string>& volumePaths,
                Waiting& waiting);

  std::vector<Volume> volumes_;
  std::uint32_t error_ = 0;
  bool stopped_ = false;
  bool pageFile_ = false;
  std::chrono::milliseconds spent_{0};
};

}  // namespace card
