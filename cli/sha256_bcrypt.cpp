#include <windows.h>
// After <windows.h>, whose types it uses.
#include <bcrypt.h>

#include <cstdio>
#include <vector>

#include "cli/sha256.h"

namespace cli {
namespace {

// bcrypt.dll is no "known DLL": imported, it would be looked for in the
// program's own folder first, before the program's first line could say
// otherwise. It is loaded from the system folder instead, once.
struct Cng {
  decltype(&BCryptOpenAlgorithmProvider) openAlgorithmProvider = nullptr;
  decltype(&BCryptGetProperty) getProperty = nullptr;
  decltype(&BCryptCreateHash) createHash = nullptr;
  decltype(&BCryptHashData) hashData = nullptr;
  decltype(&BCryptFinishHash) finishHash = nullptr;
  decltype(&BCryptDestroyHash) destroyHash = nullptr;
  decltype(&BCryptCloseAlgorithmProvider) closeAlgorithmProvider = nullptr;

  explicit operator bool() const {
    return openAlgorithmProvider != nullptr && getProperty != nullptr && createHash != nullptr &&
           hashData != nullptr && finishHash != nullptr && destroyHash != nullptr &&
           closeAlgorithmProvider != nullptr;
  }
};

template <typename Function>
void find(HMODULE module, const char* name, Function& function) {
  function = reinterpret_cast<Function>(reinterpret_cast<void*>(GetProcAddress(module, name)));
}

const Cng& cng() {
  static const Cng functions = [] {
    Cng found;
    const HMODULE module = LoadLibraryExW(L"bcrypt.dll", nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
    if (module == nullptr) return found;
    find(module, "BCryptOpenAlgorithmProvider", found.openAlgorithmProvider);
    find(module, "BCryptGetProperty", found.getProperty);
    find(module, "BCryptCreateHash", found.createHash);
    find(module, "BCryptHashData", found.hashData);
    find(module, "BCryptFinishHash", found.finishHash);
    find(module, "BCryptDestroyHash", found.destroyHash);
    find(module, "BCryptCloseAlgorithmProvider", found.closeAlgorithmProvider);
    return found;
  }();
  return functions;
}

}  // namespace

struct Sha256::State {
  BCRYPT_ALG_HANDLE algorithm = nullptr;
  BCRYPT_HASH_HANDLE hash = nullptr;
  std::vector<UCHAR> object;
  ~State() { close(); }
  void close() {
    if (hash != nullptr) cng().destroyHash(hash);
    if (algorithm != nullptr) cng().closeAlgorithmProvider(algorithm, 0);
    hash = nullptr;
    algorithm = nullptr;
  }
};

Sha256::Sha256() : state_(std::make_unique<State>()) {
  State& s = *state_;
  if (!cng()) return;
  if (!BCRYPT_SUCCESS(
          cng().openAlgorithmProvider(&s.algorithm, BCRYPT_SHA256_ALGORITHM, nullptr, 0))) {
    s.algorithm = nullptr;
    return;
  }
  DWORD objectBytes = 0;
  ULONG returned = 0;
  if (!BCRYPT_SUCCESS(cng().getProperty(s.algorithm, BCRYPT_OBJECT_LENGTH,
                                        reinterpret_cast<PUCHAR>(&objectBytes), sizeof objectBytes,
                                        &returned, 0))) {
    s.close();
    return;
  }
  s.object.resize(objectBytes);
  if (!BCRYPT_SUCCESS(
          cng().createHash(s.algorithm, &s.hash, s.object.data(), objectBytes, nullptr, 0, 0))) {
    s.hash = nullptr;
    s.close();
  }
}

Sha256::~Sha256() = default;

Sha256::operator bool() const { return state_->hash != nullptr; }

const char* Sha256::library() { return "bcrypt.dll"; }

void Sha256::update(const void* data, std::size_t size) {
  if (state_->hash == nullptr) return;
  // BCryptHashData takes at most a ULONG at a time.
  const UCHAR* next = static_cast<const UCHAR*>(data);
  while (size > 0) {
    const ULONG part = size > 0x40000000 ? 0x40000000 : static_cast<ULONG>(size);
    cng().hashData(state_->hash, const_cast<PUCHAR>(next), part, 0);
    next += part;
    size -= part;
  }
}

std::string Sha256::hexDigest() {
  if (state_->hash == nullptr) return {};
  UCHAR digest[32];
  const bool done = BCRYPT_SUCCESS(cng().finishHash(state_->hash, digest, sizeof digest, 0));
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
