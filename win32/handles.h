// Owners of Win32 handles, one type per close policy, for every part of the
// program that holds one (the disk services, the window, the command line).
// Each closes its handle exactly once, when it goes out of scope or is reset.
#pragma once

#include <windows.h>

#include <memory>
#include <type_traits>
#include <utility>

namespace win32 {

template <typename Traits>
class UniqueHandle {
 public:
  using Handle = typename Traits::Handle;

  UniqueHandle() : handle_(Traits::empty()) {}
  explicit UniqueHandle(Handle handle) : handle_(handle) {}
  UniqueHandle(UniqueHandle&& other) noexcept : handle_(other.release()) {}
  UniqueHandle& operator=(UniqueHandle&& other) noexcept {
    if (this != &other) reset(other.release());
    return *this;
  }
  UniqueHandle(const UniqueHandle&) = delete;
  UniqueHandle& operator=(const UniqueHandle&) = delete;
  ~UniqueHandle() { reset(); }

  explicit operator bool() const { return handle_ != Traits::empty(); }
  Handle get() const { return handle_; }
  // Where a call that opens a handle puts it (the old one is closed first).
  Handle* put() {
    reset();
    return &handle_;
  }
  Handle release() { return std::exchange(handle_, Traits::empty()); }
  void reset(Handle handle = Traits::empty()) {
    const Handle old = std::exchange(handle_, handle);
    if (old != Traits::empty()) Traits::close(old);
  }

 private:
  Handle handle_;
};

// CreateFile's answer: empty is INVALID_HANDLE_VALUE.
struct FileHandleTraits {
  using Handle = HANDLE;
  static Handle empty() { return INVALID_HANDLE_VALUE; }
  static void close(Handle handle) { CloseHandle(handle); }
};
using FileHandle = UniqueHandle<FileHandleTraits>;

// Kernel handles whose empty value is NULL (a process token, an event).
struct KernelHandleTraits {
  using Handle = HANDLE;
  static Handle empty() { return nullptr; }
  static void close(Handle handle) { CloseHandle(handle); }
};
using KernelHandle = UniqueHandle<KernelHandleTraits>;

// A search through the system's volumes (FindFirstVolumeW).
struct VolumeSearchTraits {
  using Handle = HANDLE;
  static Handle empty() { return INVALID_HANDLE_VALUE; }
  static void close(Handle handle) { FindVolumeClose(handle); }
};
using VolumeSearch = UniqueHandle<VolumeSearchTraits>;

// A GDI object (font, brush): deleted with its owner.
struct GdiObjectDeleter {
  void operator()(HGDIOBJ object) const { DeleteObject(object); }
};
template <typename Handle>
using GdiObject = std::unique_ptr<std::remove_pointer_t<Handle>, GdiObjectDeleter>;

}  // namespace win32
