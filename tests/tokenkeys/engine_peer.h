#pragma once
// The OpenSSL GOST engine as a peer, over plain bytes (its ENGINE headers and this library's
// error header cannot meet in one file).
#include <string>
#include <vector>

namespace gosttest {

// Whether the engine is installed and starts.
bool engine_available();
// The engine's verdict on a signature s || r over a digest it reads as a little-endian number;
// key is a SubjectPublicKeyInfo.
bool engine_verifies(const std::vector<unsigned char>& spki, const unsigned char digest_le[32],
                     const unsigned char sig[64]);
// VKO with the engine: own key as PKCS#8, peer as SubjectPublicKeyInfo, 8 UKM bytes.
bool engine_derive(const std::vector<unsigned char>& pkcs8, const std::vector<unsigned char>& spki,
                   const unsigned char ukm[8], std::vector<unsigned char>& out);
// Writes the public key as PEM for the command line.
bool engine_write_public_pem(const std::vector<unsigned char>& spki, const std::string& path);

}  // namespace gosttest
