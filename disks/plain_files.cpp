#include "disks/plain_files.h"

namespace disks {

bool PlainFiles::failed() {
  error_ = lastSystemError();
  return false;
}

bool PlainFiles::openImage(const std::string& path, NativeHandle& file) {
  return images_.open(path, file) || failed();
}

std::size_t PlainFiles::readImage(NativeHandle file, void* data, std::size_t size) {
  return images_.read(file, data, size);
}

bool PlainFiles::seekImage(NativeHandle file, std::int64_t offset) {
  return images_.seek(file, offset) || failed();
}

bool PlainFiles::createBackup(const std::string& path, std::string& temporaryPath,
                              NativeHandle& file) {
  return backups_.create(path, temporaryPath, file) || backupFailed();
}

bool PlainFiles::writeBackup(NativeHandle file, const void* data, std::size_t size) {
  return backups_.write(file, data, size) || backupFailed();
}

bool PlainFiles::finishBackup(NativeHandle file) { return backups_.finish(file) || backupFailed(); }

bool PlainFiles::placeBackup(const std::string& temporaryPath, const std::string& path) {
  return backups_.place(temporaryPath, path) || backupFailed();
}

}  // namespace disks
