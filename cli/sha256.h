// SHA-256 through the platform's own cryptography (CNG on Windows, libcrypto
// on Linux): a hash the operator can compare with any other tool's.
#pragma once

#include <cstddef>
#include <memory>
#include <string>

namespace cli {

class Sha256 {
 public:
  Sha256();
  ~Sha256();
  Sha256(const Sha256&) = delete;
  Sha256& operator=(const Sha256&) = delete;

  // False when the platform's hash could not be set up; nothing else works then.
  explicit operator bool() const;
  // The system's library that computes it, as the system names it.
  static const char* library();
  void update(const void* data, std::size_t size);
  // The digest in lower-case hex; the hash is spent afterwards.
  std::string hexDigest();

 private:
  struct State;
  std::unique_ptr<State> state_;
};

}  // namespace cli
