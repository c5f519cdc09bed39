#pragma once
// Key and signature files of the ecgost and r3410 commands: PEM and DER, PKCS#8 private keys
// (plain and password-encrypted) and the hex forms.
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "crypto/mem.h"

namespace jarnel::tool {

// Reads a whole file (or standard input for "-"), at most max bytes. -1 on success; otherwise the
// exit status with the reason printed.
int read_whole_file(const char* path, std::size_t max, SecureBuffer& out);
// The first line of a password file, without its line end. -1 on success, else exit status.
int read_password_file(const char* path, SecureBuffer& out);

// When text is a PEM block: its label and decoded bytes, true. False for anything else.
bool pem_decode(std::span<const unsigned char> text, std::string& label, SecureBuffer& der);
std::string pem_encode(const char* label, std::span<const unsigned char> der);

// Hex digits (white space around them ignored) of exactly n bytes.
bool hex_exact(std::span<const unsigned char> text, std::size_t n, SecureBuffer& out);
// The value of a "NAME=HEX" line in a text (as keygen prints d= and Q=), or false.
bool hex_line(std::span<const unsigned char> text, const char* name, std::size_t n, SecureBuffer& out);

// PKCS#8 PrivateKeyInfo: the algorithm's OID, its parameters (the whole DER element, empty when
// absent) and the content of the privateKey OCTET STRING.
struct Pkcs8 {
  std::vector<std::uint32_t> alg;
  std::vector<unsigned char> params;
  SecureBuffer key;
};
bool pkcs8_parse(std::span<const unsigned char> der, Pkcs8& out);
bool pkcs8_build(std::span<const std::uint32_t> alg, std::span<const unsigned char> params,
                 std::span<const unsigned char> key, SecureBuffer& out);
// True when der looks like an EncryptedPrivateKeyInfo (SEQUENCE { SEQUENCE, OCTET STRING }).
bool is_encrypted_pkcs8(std::span<const unsigned char> der);
// Decrypts an EncryptedPrivateKeyInfo (PBES2, as the key store reads it: crypto/cadb/pkey_local.h)
// into the DER of its PrivateKeyInfo. false when the password is wrong or the scheme unknown.
bool pkcs8_decrypt(std::span<const unsigned char> der, std::span<const unsigned char> password, SecureBuffer& out);
// Encrypts a PrivateKeyInfo with PBES2 (AES-256-CBC, PBKDF2 with HMAC-SHA256), as
// 'openssl pkcs8 -topk8' does by default.
bool pkcs8_encrypt(std::span<const unsigned char> info, std::span<const unsigned char> password, SecureBuffer& out);

// Lower-case hex of bytes.
std::string hex_of(const unsigned char* p, std::size_t n);
// GOST R 34.11-94 with the CryptoPro parameters of FILE (standard input for null or "-") into out,
// in the library's order (as 'jarnel-tool digest' prints it); or, with hash_hex, those 32 bytes
// as given (reversed first with openssl_order). -1 on success, else the exit status.
int digest_cp(const char* file, const char* hash_hex, bool openssl_order, unsigned char out[32]);
// Writes a result to out_path (standard output for null or "-"): text when as_text, else the
// bytes. A secret file is made readable by its owner only. EXIT_OK or the exit status.
int write_result(const char* out_path, bool as_text, std::span<const unsigned char> bin,
                 const std::string& text, bool secret);

}  // namespace jarnel::tool
