#pragma once
// Independent GOST implementations used as oracles: libgcrypt, and the OpenSSL GOST provider
// loaded into a library context of its own.
#include <cstdint>
#include <string>
#include <vector>

namespace peers {

using Bytes = std::vector<unsigned char>;

Bytes random_bytes(std::size_t n);
Bytes hex(const std::string& s);
std::string to_hex(const unsigned char* p, std::size_t n);
inline std::string to_hex(const Bytes& b) { return to_hex(b.data(), b.size()); }

// libgcrypt. Modes are gcrypt's GCRY_CIPHER_MODE_* numbers; sbox_oid one of the OIDs of the
// S-boxes libgcrypt knows ("1.2.643.2.2.31.1" etc.). mesh selects GOST28147_MESH.
enum class GcMode { ECB, CFB, CBC };
Bytes gc_cipher(GcMode mode, bool mesh, const char* sbox_oid, const Bytes& key, const Bytes& iv,
                const Bytes& data, bool encrypt);
// GOST 28147-89 imitation insert (no meshing); iv may be empty.
Bytes gc_mac(const char* sbox_oid, const Bytes& key, const Bytes& iv, const Bytes& data);
// cp selects GOSTR3411_CP (CryptoPro S-box), else GOSTR3411_94 (test parameter set). The digest
// is returned as libgcrypt gives it.
Bytes gc_hash(bool cp, const Bytes& data);
// GOST R 34.11-2012 (bits 256 or 512): the digest, HMAC over it, PBKDF2 over that HMAC.
Bytes gc_streebog(int bits, const Bytes& data);
Bytes gc_hmac_streebog(int bits, const Bytes& key, const Bytes& data);
Bytes gc_pbkdf2_streebog(int bits, const Bytes& password, const Bytes& salt, unsigned long iterations,
                         std::size_t len);

// OpenSSL GOST provider ("gostprov"), CryptoPro-A parameters unless told otherwise. Empty result
// when the provider or the algorithm is not available.
bool gp_available();
Bytes gp_cipher(const char* name, const Bytes& key, const Bytes& iv, const Bytes& data,
                bool encrypt, const std::vector<std::size_t>& pieces = {});
Bytes gp_digest(const char* name, const Bytes& data);
Bytes gp_mac(const char* name, const Bytes& key, const Bytes& data);

}  // namespace peers
