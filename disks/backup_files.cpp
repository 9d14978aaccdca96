#include "disks/backup_files.h"

#include "disks/image_files.h"

#ifdef _WIN32
#include <windows.h>

#include "disks/utf16.h"
#else
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#endif

namespace disks {
namespace {

// Names tried beside the target before giving up: another run, or a file
// the operator keeps there, may hold the first ones.
constexpr int kTemporaryNames = 100;

std::string temporaryName(const std::string& targetPath, int attempt) {
  return targetPath + ".partial" + (attempt == 0 ? std::string() : std::to_string(attempt));
}

#ifdef _WIN32
HANDLE toHandle(NativeHandle handle) { return reinterpret_cast<HANDLE>(handle); }
#else
int toDescriptor(NativeHandle handle) { return static_cast<int>(handle); }

// The folder's own entry is flushed too, so that a rename survives a power
// cut as the file's contents do.
void flushFolderOf(const std::string& path) {
  const std::size_t slash = path.find_last_of('/');
  const std::string folder =
      slash == std::string::npos ? "." : (slash == 0 ? "/" : path.substr(0, slash));
  const int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return;
  ::fsync(fd);
  ::close(fd);
}
#endif

}  // namespace

BackupFiles::~BackupFiles() {
  for (NativeHandle file : files_) {
#ifdef _WIN32
    CloseHandle(toHandle(file));
#else
    ::close(toDescriptor(file));
#endif
  }
}

bool BackupFiles::fail() {
  error_ = lastSystemError();
  return false;
}

bool BackupFiles::isOpen(NativeHandle file) {
  if (files_.count(file) != 0) return true;
#ifdef _WIN32
  error_ = ERROR_INVALID_HANDLE;
#else
  error_ = EBADF;
#endif
  return false;
}

bool BackupFiles::create(const std::string& targetPath, std::string& temporaryPath,
                         NativeHandle& file) {
  for (int attempt = 0; attempt < kTemporaryNames; ++attempt) {
    const std::string name = temporaryName(targetPath, attempt);
#ifdef _WIN32
    const HANDLE handle = CreateFileW(systemPath(name).c_str(), GENERIC_WRITE, 0, nullptr,
                                      CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
      fail();
      if (error_ == ERROR_FILE_EXISTS || error_ == ERROR_ALREADY_EXISTS) continue;
      return false;
    }
    file = reinterpret_cast<NativeHandle>(handle);
#else
    const int fd = ::open(name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd < 0) {
      fail();
      if (error_ == EEXIST) continue;
      return false;
    }
    file = static_cast<NativeHandle>(fd);
#endif
    files_.insert(file);
    temporaryPath = name;
    return true;
  }
  return false;
}

bool BackupFiles::write(NativeHandle file, const void* data, std::size_t size) {
  if (!isOpen(file)) return false;
  const char* next = static_cast<const char*>(data);
  while (size > 0) {
#ifdef _WIN32
    const DWORD chunk = size > 0x40000000 ? 0x40000000 : static_cast<DWORD>(size);
    DWORD done = 0;
    if (!WriteFile(toHandle(file), next, chunk, &done, nullptr)) return fail();
    if (done == 0) {
      error_ = ERROR_DISK_FULL;
      return false;
    }
#else
    const ssize_t done = ::write(toDescriptor(file), next, size);
    if (done < 0) {
      if (errno == EINTR) continue;
      return fail();
    }
    if (done == 0) {
      error_ = ENOSPC;
      return false;
    }
#endif
    next += done;
    size -= static_cast<std::size_t>(done);
  }
  return true;
}

bool BackupFiles::finish(NativeHandle file) {
  if (!isOpen(file)) return false;
  files_.erase(file);
#ifdef _WIN32
  const bool flushed = FlushFileBuffers(toHandle(file)) != 0 || fail();
  const bool closed = CloseHandle(toHandle(file)) != 0 || fail();
#else
  const bool flushed = ::fsync(toDescriptor(file)) == 0 || fail();
  // A file system that reports a failed write only at close (NFS) does it
  // here.
  const bool closed = ::close(toDescriptor(file)) == 0 || fail();
#endif
  return flushed && closed;
}

void BackupFiles::close(NativeHandle file) {
  if (files_.erase(file) == 0) return;
#ifdef _WIN32
  CloseHandle(toHandle(file));
#else
  ::close(toDescriptor(file));
#endif
}

bool BackupFiles::place(const std::string& temporaryPath, const std::string& targetPath) {
#ifdef _WIN32
  if (!MoveFileExW(systemPath(temporaryPath).c_str(), systemPath(targetPath).c_str(),
                   MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
    return fail();
#else
  if (::rename(temporaryPath.c_str(), targetPath.c_str()) != 0) return fail();
  flushFolderOf(targetPath);
#endif
  return true;
}

void BackupFiles::remove(const std::string& temporaryPath) {
#ifdef _WIN32
  DeleteFileW(systemPath(temporaryPath).c_str());
#else
  ::unlink(temporaryPath.c_str());
#endif
}

}  // namespace disks
