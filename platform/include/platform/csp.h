#pragma once
// Cryptographic service providers (Windows CryptoAPI): the four calls through which a key held
// by a provider signs a hash value. POSIX systems have no provider; csp_provider() answers
// null there unless one has been installed (an embedding layer or a test installs its own).
#include <cstdint>

namespace jarnel::platform {

struct CspProvider {
  // CryptCreateHash(provider, algorithm, 0, 0, &hash)
  bool (*create_hash)(std::uintptr_t provider, unsigned algorithm, std::uintptr_t* hash);
  // CryptSetHashParam(hash, param, data, 0)
  bool (*set_hash_param)(std::uintptr_t hash, unsigned param, const unsigned char* data);
  // CryptSignHashA(hash, keyspec, description, flags, signature, &length); a null signature
  // asks for the length.
  bool (*sign_hash)(std::uintptr_t hash, unsigned keyspec, const char* description,
                    unsigned flags, unsigned char* signature, unsigned long* length);
  // CryptDestroyHash(hash)
  bool (*destroy_hash)(std::uintptr_t hash);
};

const CspProvider* csp_provider();
// Installs a provider (null removes it); returns the previous one.
const CspProvider* csp_set_provider(const CspProvider* provider);

}  // namespace jarnel::platform
