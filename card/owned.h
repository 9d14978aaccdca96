// The owner of what a run holds (the card device, a volume, the image file,
// the block buffer; each declared beside what it owns). It releases through
// the interface that gave it exactly once, either when the run's steps say so
// (release()) or, failing that, when it goes out of scope.
#pragma once

#include <cstddef>
#include <utility>

#include "card/disk_services.h"

namespace card {

template <typename Services, typename Value, void (Services::*Release)(Value)>
class Owned {
 public:
  Owned() = default;
  Owned(Services& services, Value value) : services_(&services), value_(value) {}
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
  Services& services() const { return *services_; }

  void release() {
    if (services_ != nullptr) (std::exchange(services_, nullptr)->*Release)(value_);
  }

 private:
  Services* services_ = nullptr;
  Value value_{};
};

}  // namespace card
