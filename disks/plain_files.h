// The image file a run reads and the backup file a backup writes: plain
// files, the same on every system, so written once for every back-end.
#pragma once

#include <cstdint>
#include <string>

#include "disks/backup_files.h"
#include "disks/card_types.h"
#include "disks/image_files.h"

namespace disks {

class PlainFiles final : public ImageFiles {
 public:
  // What is open right now.
  int openImages() const { return images_.openCount(); }
  int openBackups() const { return backups_.openCount(); }

  bool openImage(const std::string& path, NativeHandle& file) override;
  std::size_t readImage(NativeHandle file, void* data, std::size_t size) override;
  bool imageReadFailed(NativeHandle file) override { return images_.failed(file); }
  bool seekImage(NativeHandle file, std::int64_t offset) override;
  void closeImage(NativeHandle file) override { images_.close(file); }

  bool createBackup(const std::string& path, std::string& temporaryPath,
                    NativeHandle& file) override;
  bool writeBackup(NativeHandle file, const void* data, std::size_t size) override;
  bool finishBackup(NativeHandle file) override;
  void closeBackup(NativeHandle file) override { backups_.close(file); }
  bool placeBackup(const std::string& temporaryPath, const std::string& path) override;
  void removeBackup(const std::string& temporaryPath) override { backups_.remove(temporaryPath); }

  std::uint32_t lastError() override { return error_; }

 private:
  // Records the system's error code of the call that just failed.
  bool failed();
  bool backupFailed() {
    error_ = backups_.error();
    return false;
  }

  OpenImages images_;
  BackupFiles backups_;
  std::uint32_t error_ = 0;
};

}  // namespace disks
