#include <openssl/evp.h>

#include <cstdio>

#include "cli/sha256.h"

namespace cli {

struct Sha256::State {
  EVP_MD_CTX* context = nullptr;
  ~State() { EVP_MD_CTX_free(context); }
};

Sha256::Sha256() : state_(std::make_unique<State>()) {
  state_->context = EVP_MD_CTX_new();
  if (state_->context != nullptr &&
      EVP_DigestInit_ex(state_->context, EVP_sha256(), nullptr) != 1) {
    EVP_MD_CTX_free(state_->context);
    state_->context = nullptr;
  }
}

Sha256::~Sha256() = default;

Sha256::operator bool() const { return state_->context != nullptr; }

void Sha256::update(const void* data, std::size_t size) {
  if (state_->context != nullptr) EVP_DigestUpdate(state_->context, data, size);
}

std::string Sha256::hexDigest() {
  if (state_->context == nullptr) return {};
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  const bool done = EVP_DigestFinal_ex(state_->context, digest, &length) == 1;
  EVP_MD_CTX_free(state_->context);
  state_->context = nullptr;
  if (!done) return {};
  std::string hex;
  char pair[3];
  for (unsigned int k = 0; k < length; ++k) {
    std::snprintf(pair, sizeof pair, "%02x", digest[k]);
    hex += pair;
  }
  return hex;
}

}  // namespace cli
