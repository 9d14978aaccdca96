#include <windows.h>
// After <windows.h>, whose types it uses.
#include <bcrypt.h>

#include <cstdio>
#include <vector>

#include "cli/sha256.h"

namespace cli {

struct Sha256::State {
  BCRYPT_ALG_HANDLE algorithm = nullptr;
  BCRYPT_HASH_HANDLE hash = nullptr;
  std::vector<UCHAR> object;
  ~State() { close(); }
  void close() {
    if (hash != nullptr) BCryptDestroyHash(hash);
    if (algorithm != nullptr) BCryptCloseAlgorithmProvider(algorithm, 0);
    hash = nullptr;
    algorithm = nullptr;
  }
};

Sha256::Sha256() : state_(std::make_unique<State>()) {
  State& s = *state_;
  if (!BCRYPT_SUCCESS(
          BCryptOpenAlgorithmProvider(&s.algorithm, BCRYPT_SHA256_ALGORITHM, nullptr, 0))) {
    s.algorithm = nullptr;
    return;
  }
  DWORD objectBytes = 0;
  ULONG returned = 0;
  if (!BCRYPT_SUCCESS(BCryptGetProperty(s.algorithm, BCRYPT_OBJECT_LENGTH,
                                        reinterpret_cast<PUCHAR>(&objectBytes), sizeof objectBytes,
                                        &returned, 0))) {
    s.close();
    return;
  }
  s.object.resize(objectBytes);
  if (!BCRYPT_SUCCESS(
          BCryptCreateHash(s.algorithm, &s.hash, s.object.data(), objectBytes, nullptr, 0, 0))) {
    s.hash = nullptr;
    s.close();
  }
}

Sha256::~Sha256() = default;

Sha256::operator bool() const { return state_->hash != nullptr; }

void Sha256::update(const void* data, std::size_t size) {
  if (state_->hash == nullptr) return;
  // BCryptHashData takes at most a ULONG at a time.
  const UCHAR* next = static_cast<const UCHAR*>(data);
  while (size > 0) {
    const ULONG part = size > 0x40000000 ? 0x40000000 : static_cast<ULONG>(size);
    BCryptHashData(state_->hash, const_cast<PUCHAR>(next), part, 0);
    next += part;
    size -= part;
  }
}

std::string Sha256::hexDigest() {
  if (state_->hash == nullptr) return {};
  UCHAR digest[32];
  const bool done = BCRYPT_SUCCESS(BCryptFinishHash(state_->hash, digest, sizeof digest, 0));
  state_->close();
  if (!done) return {};
  std::string hex;
  char pair[3];
  for (UCHAR byte : digest) {
    std::snprintf(pair, sizeof pair, "%02x", byte);
    hex += pair;
  }
  return hex;
}

}  // namespace cli
