#include "card/volume_lock.h"

namespace card {

bool VolumeLock::acquire(DriveLetters& letters, const std::vector<std::string>& volumePaths,
                         const LockPatience& patience, const std::function<bool()>& beforeWait,
                         std::chrono::milliseconds spent) {
  release();
  error_ = 0;
  stopped_ = false;
  pageFile_ = false;
  Waiting waiting(patience, beforeWait, spent);
  const bool locked = lockEach(letters, volumePaths, waiting);
  spent_ = waiting.spent();
  if (locked) return true;
  stopped_ = waiting.stopped();
  release();
  return false;
}

bool VolumeLock::lockEach(DriveLetters& letters, const std::vector<std::string>& volumePaths,
                          Waiting& waiting) {
  const auto refused = [&] {
    error_ = letters.lastError();
    const ErrorKind kind = letters.errorKind(error_);
    return kind != ErrorKind::Busy && kind != ErrorKind::InUse;
  };
  for (const std::string& path : volumePaths) {
    NativeHandle handle = 0;
    // Explorer or the virus scanner may hold the volume in a way that
    // excludes a handle that can lock it: the same patience as the lock's.
    while (!letters.openVolume(path, true, handle)) {
      error_ = letters.lastError();
      if (letters.errorKind(error_) != ErrorKind::InUse || !waiting.again()) return false;
    }
    Volume volume(letters, handle);
    // Something may still be reading or flushing the card's files, which
    // keeps the volume busy for a while: only that is worth another attempt.
    // A page file is never let go: the volume is the system's own.
    while (!letters.lockVolume(volume.get())) {
      // The lock's answer first: the page-file question has answers of its own.
      const bool refusedOutright = refused();
      pageFile_ = letters.holdsPageFile(volume.get());
      if (refusedOutright || pageFile_ || !waiting.again()) return false;
    }
    // A locked volume already admits raw writes; dismounting makes the system
    // read the card afresh afterwards, so its failure is no reason to stop.
    letters.dismountVolume(volume.get());
    volumes_.push_back(std::move(volume));
  }
  return true;
}

void VolumeLock::release() {
  while (!volumes_.empty()) {
    Volume& volume = volumes_.back();
    volume.services().unlockVolume(volume.get());
    volume.release();
    volumes_.pop_back();
  }
}

}  // namespace card
