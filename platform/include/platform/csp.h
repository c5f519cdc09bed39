#pragma once
// Cryptographic service providers: keys held by the operating system's provider (Windows
// CryptoAPI), which sign a hash value on the library's behalf. POSIX systems have none; tests
// install a provider of their own.
#include <cstdint>

namespace jarnel::platform {

struct CspApi {
  // A hash object of algorithm alg_id on the provider that holds the key (CryptCreateHash).
  bool (*create_hash)(std::uintptr_t provider, unsigned alg_id, std::uintptr_t* hash);
  // Sets the hash value (CryptSetHashParam with HP_HASHVAL).
  bool (*set_hash_value)(std::uintptr_t hash, const unsigned char* value, unsigned len);
  // Signs with the key of key_spec (CryptSignHash). With a null sig only *sig_len is set;
  // otherwise *sig_len holds the capacity of sig on entry and the length written on return.
  // The provider writes its signatures least significant byte first.
  bool (*sign_hash)(std::uintptr_t hash, unsigned key_spec, unsigned char* sig,
                    unsigned* sig_len);
  bool (*destroy_hash)(std::uintptr_t hash);
};

// The provider interface of this system, or null where there is none.
const CspApi* csp_api();
// Installs api in place of the system's own; null restores the system's own.
void csp_set_api(const CspApi* api);

}  // namespace jarnel::platform
