#include <dlfcn.h>
#include <openssl/evp.h>
#include <openssl/opensslv.h>

#include <cstdio>

#include "cli/sha256.h"

namespace cli {
namespace {

#define QUENVORY_TEXT(x) #x
#define QUENVORY_NUMBER_TEXT(x) QUENVORY_TEXT(x)

// libcrypto, the system's shared library, loaded when a hash is first asked
// for, not when the program starts: the library binds its four thousand
// symbols as it loads, a cost every write without a hash would pay for
// nothing. The name is the one of the library these headers describe, found
// where the system keeps its libraries; it is never unloaded.
constexpr const char* kLibrary = "libcrypto.so." QUENVORY_NUMBER_TEXT(OPENSSL_SHLIB_VERSION);

struct Crypto {
  decltype(&EVP_MD_CTX_new) newContext = nullptr;
  decltype(&EVP_MD_CTX_free) freeContext = nullptr;
  decltype(&EVP_sha256) sha256 = nullptr;
  decltype(&EVP_DigestInit_ex) init = nullptr;
  decltype(&EVP_DigestUpdate) update = nullptr;
  decltype(&EVP_DigestFinal_ex) finish = nullptr;

  explicit operator bool() const {
    return newContext != nullptr && freeContext != nullptr && sha256 != nullptr &&
           init != nullptr && update != nullptr && finish != nullptr;
  }
};

template <typename Function>
void find(void* library, const char* name, Function& function) {
  function = reinterpret_cast<Function>(dlsym(library, name));
}

const Crypto& crypto() {
  static const Crypto functions = [] {
    Crypto found;
    void* library = dlopen(kLibrary, RTLD_NOW | RTLD_LOCAL);
    if (library == nullptr) return found;
    find(library, "EVP_MD_CTX_new", found.newContext);
    find(library, "EVP_MD_CTX_free", found.freeContext);
    find(library, "EVP_sha256", found.sha256);
    find(library, "EVP_DigestInit_ex", found.init);
    find(library, "EVP_DigestUpdate", found.update);
    find(library, "EVP_DigestFinal_ex", found.finish);
    return found;
  }();
  return functions;
}

}  // namespace

struct Sha256::State {
  EVP_MD_CTX* context = nullptr;
  ~State() { close(); }
  void close() {
    if (context != nullptr) crypto().freeContext(context);
    context = nullptr;
  }
};

Sha256::Sha256() : state_(std::make_unique<State>()) {
  const Crypto& c = crypto();
  if (!c) return;
  state_->context = c.newContext();
  if (state_->context != nullptr && c.init(state_->context, c.sha256(), nullptr) != 1)
    state_->close();
}

Sha256::~Sha256() = default;

Sha256::operator bool() const { return state_->context != nullptr; }

const char* Sha256::library() { return kLibrary; }

void Sha256::update(const void* data, std::size_t size) {
  if (state_->context != nullptr) crypto().update(state_->context, data, size);
}

std::string Sha256::hexDigest() {
  if (state_->context == nullptr) return {};
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  const bool done = crypto().finish(state_->context, digest, &length) == 1;
  state_->close();
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
