// The simulated services' image and backup files and block buffers: the
// shared ones, with failures that can be asked for.
#include "disks/image_files.h"
#include "disks/simulated_disk_services.h"
#include "disks/simulated_error_codes.h"

namespace disks {

using namespace simulated;

bool SimulatedDiskServices::openImage(const std::string& path, NativeHandle& file) {
  record("open image");
  return images_.open(path, file);
}

std::size_t SimulatedDiskServices::readImage(NativeHandle file, void* data, std::size_t size) {
  failedReads_.erase(file);
  const std::int64_t position = images_.position(file);
  if (failImageReadAt_ < 0 || position < 0 ||
      position + static_cast<std::int64_t>(size) <= failImageReadAt_)
    return images_.read(file, data, size);
  // The bytes before the bad one arrive, then the read fails.
  const std::size_t before =
      position < failImageReadAt_ ? static_cast<std::size_t>(failImageReadAt_ - position) : 0;
  const std::size_t arrived = before > 0 ? images_.read(file, data, before) : 0;
  failedReads_.insert(file);
  lastError_ = kErrorReadFault;
  return arrived;
}

bool SimulatedDiskServices::imageReadFailed(NativeHandle file) {
  return failedReads_.count(file) != 0 || images_.failed(file);
}

bool SimulatedDiskServices::seekImage(NativeHandle file, std::int64_t offset) {
  return images_.seek(file, offset);
}

void SimulatedDiskServices::closeImage(NativeHandle file) {
  record("close image");
  failedReads_.erase(file);
  images_.close(file);
}

bool SimulatedDiskServices::createBackup(const std::string& targetPath, std::string& temporaryPath,
                                         NativeHandle& file) {
  record("create target");
  if (!backups_.create(targetPath, temporaryPath, file)) {
    lastError_ = backups_.error();
    return false;
  }
  backupLengths_[file] = 0;
  return true;
}

bool SimulatedDiskServices::writeBackup(NativeHandle file, const void* data, std::size_t size) {
  const auto length = backupLengths_.find(file);
  if (backupWriteError_ != 0 && length != backupLengths_.end() &&
      failBackupByte_ >= length->second &&
      failBackupByte_ < length->second + static_cast<std::int64_t>(size)) {
    record("write target refused");
    lastError_ = backupWriteError_;
    return false;
  }
  if (!backups_.write(file, data, size)) {
    lastError_ = backups_.error();
    return false;
  }
  if (length != backupLengths_.end()) length->second += static_cast<std::int64_t>(size);
  return true;
}

bool SimulatedDiskServices::finishBackup(NativeHandle file) {
  record("finish target");
  backupLengths_.erase(file);
  const bool finished = backups_.finish(file);
  if (!finished) lastError_ = backups_.error();
  if (finished && backupFlushError_ != 0) lastError_ = backupFlushError_;
  return finished && backupFlushError_ == 0;
}

void SimulatedDiskServices::closeBackup(NativeHandle file) {
  record("close target");
  backupLengths_.erase(file);
  backups_.close(file);
}

bool SimulatedDiskServices::placeBackup(const std::string& temporaryPath,
                                        const std::string& targetPath) {
  record("place target");
  if (backupPlaceError_ != 0) {
    lastError_ = backupPlaceError_;
    return false;
  }
  if (!backups_.place(temporaryPath, targetPath)) {
    lastError_ = backups_.error();
    return false;
  }
  return true;
}

void SimulatedDiskServices::removeBackup(const std::string& temporaryPath) {
  record("remove target");
  backups_.remove(temporaryPath);
}

void* SimulatedDiskServices::allocateBuffer(std::size_t size) {
  record("allocate buffer");
  return failAllocation_ ? nullptr : buffers_.allocate(size);
}

void SimulatedDiskServices::freeBuffer(void* buffer) {
  record("free buffer");
  buffers_.free(buffer);
}

}  // namespace disks
