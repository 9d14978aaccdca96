// The card image files and block buffers of every back-end: image files are
// read with the C library, opened by UTF-8 path; buffers are the system's own
// pages, aligned to a page (which covers every sector size direct I/O asks
// for) and zero when handed out.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <map>
#include <set>
#include <string>

#include "disks/card_types.h"

namespace disks {

// The system's error code of the call that just failed: GetLastError() on
// Windows, errno elsewhere.
std::uint32_t lastSystemError();

// fopen() with a UTF-8 path; on Windows the path goes through the wide-char
// call (as systemPath gives it) so that names outside the ANSI code page,
// and paths longer than 260 characters, open too.
std::FILE* openUtf8(const std::string& path, const char* mode);

// Seeks to a 64-bit byte offset from the start; false on failure.
bool seekTo(std::FILE* file, std::int64_t offset);

// The open image files of one back-end. A handle is the FILE* itself; a
// handle this object did not open is refused.
class OpenImages {
 public:
  OpenImages() = default;
  OpenImages(const OpenImages&) = delete;
  OpenImages& operator=(const OpenImages&) = delete;
  // Whatever a caller left open is closed here.
  ~OpenImages();

  // Opens for binary reading; on failure errno (and on Windows the system's
  // error code) tell why.
  bool open(const std::string& path, NativeHandle& file);
  // Reads up to `size` bytes; returns how many arrived.
  std::size_t read(NativeHandle file, void* data, std::size_t size);
  // Whether the last read stopped at an error rather than the end of the
  // file; a handle this object did not open counts as an error.
  bool failed(NativeHandle file) const;
  // The file's position, or -1.
  std::int64_t position(NativeHandle file) const;
  bool seek(NativeHandle file, std::int64_t offset);
  void close(NativeHandle file);
  int openCount() const { return static_cast<int>(files_.size()); }

 private:
  std::FILE* find(NativeHandle file) const;
  std::set<NativeHandle> files_;
};

// The block buffers of one back-end.
class BlockBuffers {
 public:
  BlockBuffers() = default;
  BlockBuffers(const BlockBuffers&) = delete;
  BlockBuffers& operator=(const BlockBuffers&) = delete;
  ~BlockBuffers();

  // Zero and page-aligned; nullptr when the memory cannot be had. Fresh
  // pages need no clearing, and a page is only really taken from the
  // system when it is first used.
  void* allocate(std::size_t size);
  void free(void* buffer);
  int liveCount() const { return static_cast<int>(buffers_.size()); }

 private:
  std::map<void*, std::size_t> buffers_;
};

}  // namespace disks
