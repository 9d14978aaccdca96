// The image files a card is read into, for every back-end: created new under
// a temporary name beside the target, written, flushed and closed, then put
// in the target's place in one step (MoveFileExW on Windows, rename on
// Linux), or removed.
#pragma once

#include <cstddef>
#include <cstdint>
#include <set>
#include <string>

#include "disks/card_types.h"

namespace disks {

class BackupFiles {
 public:
  BackupFiles() = default;
  BackupFiles(const BackupFiles&) = delete;
  BackupFiles& operator=(const BackupFiles&) = delete;
  // Whatever a caller left open is closed here (the temporary file stays).
  ~BackupFiles();

  // Each call answers false with the system's error code in `error()`.
  bool create(const std::string& targetPath, std::string& temporaryPath, NativeHandle& file);
  bool write(NativeHandle file, const void* data, std::size_t size);
  bool finish(NativeHandle file);
  void close(NativeHandle file);
  bool place(const std::string& temporaryPath, const std::string& targetPath);
  void remove(const std::string& temporaryPath);

  std::uint32_t error() const { return error_; }
  int openCount() const { return static_cast<int>(files_.size()); }

 private:
  bool isOpen(NativeHandle file);
  bool fail();

  std::set<NativeHandle> files_;
  std::uint32_t error_ = 0;
};

}  // namespace disks
