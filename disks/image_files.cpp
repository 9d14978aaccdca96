#include "disks/image_files.h"

#include <cerrno>

#ifdef _WIN32
#include <windows.h>
#else
#include <sys/mman.h>
#endif

#ifdef _WIN32
#include "disks/utf16.h"
#endif

namespace disks {
namespace {

// Pages straight from the system: aligned to a page and zero, as the system
// hands out every page it has not given this process before. nullptr when
// there are none.
void* systemPages(std::size_t size) {
#ifdef _WIN32
  return VirtualAlloc(nullptr, size, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE);
#else
  void* pages = ::mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  return pages == MAP_FAILED ? nullptr : pages;
#endif
}

void releasePages(void* pages, std::size_t size) {
#ifdef _WIN32
  (void)size;
  VirtualFree(pages, 0, MEM_RELEASE);
#else
  ::munmap(pages, size);
#endif
}

}  // namespace

std::uint32_t lastSystemError() {
#ifdef _WIN32
  return GetLastError();
#else
  return static_cast<std::uint32_t>(errno);
#endif
}

bool seekTo(std::FILE* file, std::int64_t offset) {
#ifdef _WIN32
  return _fseeki64(file, offset, SEEK_SET) == 0;
#else
  return fseeko(file, static_cast<off_t>(offset), SEEK_SET) == 0;
#endif
}

std::FILE* openUtf8(const std::string& path, const char* mode) {
#ifdef _WIN32
  return _wfopen(systemPath(path).c_str(), toUtf16(mode).c_str());
#else
  return std::fopen(path.c_str(), mode);
#endif
}

OpenImages::~OpenImages() {
  for (NativeHandle file : files_) std::fclose(reinterpret_cast<std::FILE*>(file));
}

std::FILE* OpenImages::find(NativeHandle file) const {
  return files_.count(file) == 0 ? nullptr : reinterpret_cast<std::FILE*>(file);
}

bool OpenImages::open(const std::string& path, NativeHandle& file) {
  std::FILE* opened = openUtf8(path, "rb");
  if (opened == nullptr) return false;
  file = reinterpret_cast<NativeHandle>(opened);
  files_.insert(file);
  return true;
}

std::size_t OpenImages::read(NativeHandle file, void* data, std::size_t size) {
  std::FILE* stream = find(file);
  if (stream == nullptr) return 0;
  // The error flag then speaks of this read alone.
  std::clearerr(stream);
  return std::fread(data, 1, size, stream);
}

bool OpenImages::failed(NativeHandle file) const {
  std::FILE* stream = find(file);
  return stream == nullptr || std::ferror(stream) != 0;
}

std::int64_t OpenImages::position(NativeHandle file) const {
  std::FILE* stream = find(file);
  if (stream == nullptr) return -1;
#ifdef _WIN32
  return _ftelli64(stream);
#else
  return ftello(stream);
#endif
}

bool OpenImages::seek(NativeHandle file, std::int64_t offset) {
  std::FILE* stream = find(file);
  return stream != nullptr && seekTo(stream, offset);
}

void OpenImages::close(NativeHandle file) {
  if (files_.erase(file) != 0) std::fclose(reinterpret_cast<std::FILE*>(file));
}

BlockBuffers::~BlockBuffers() {
  for (const auto& [buffer, size] : buffers_) releasePages(buffer, size);
}

void* BlockBuffers::allocate(std::size_t size) {
  if (size == 0) size = 1;
  void* buffer = systemPages(size);
  if (buffer != nullptr) buffers_.emplace(buffer, size);
  return buffer;
}

void BlockBuffers::free(void* buffer) {
  const auto found = buffers_.find(buffer);
  if (found == buffers_.end()) return;
  releasePages(found->first, found->second);
  buffers_.erase(found);
}

}  // namespace disks
