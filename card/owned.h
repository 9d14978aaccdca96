// Owners of what one write run holds: the card device, the image file and the
// block buffer. Each releases through the disk services exactly once, either
// when the run's steps say so (release()) or, failing that, when it goes out
// of scope.
#pragma once

#include <cstddef>
#include <utility>

#include "card/disk_services.h"

namespace card {

template <typename Value, void (DiskServices::*Release)(Value)>
class Owned {
 public:
  Owned() = default;
  Owned(DiskServices& services, Value value) : services_(&services), value_(value) {}
  Owned(Owned&& other) noexcept
      : services_(std::exchange(other.services_, nullptr)), value_(other.value_) {}
  Owned& operator=(Owned&& other) noexcept {
    if (this != &other) {
      release();
      services_ = std::exchange(other.services_, nullptr);
      value_ = other.value_;
    }
    return *this;
  }
  Owned(const Owned&) = delete;
  Owned& operator=(const Owned&) = delete;
  ~Owned() { release(); }

  explicit operator bool() const { return services_ != nullptr; }
  Value get() const { return value_; }
  DiskServices& services() const { return *services_; }

  void release() {
    if (services_ != nullptr) (std::exchange(services_, nullptr)->*Release)(value_);
  }

 private:
  DiskServices* services_ = nullptr;
  Value value_{};
};

using CardDevice = Owned<NativeHandle, &DiskServices::closeDevice>;
using ImageFile = Owned<NativeHandle, &DiskServices::closeImage>;
using BlockBuffer = Owned<void*, &DiskServices::freeBuffer>;

}  // namespace card
