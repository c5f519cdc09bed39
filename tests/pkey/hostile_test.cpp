// Hostile key files: every truncation and every single-byte change of each encoding, huge
// lengths, wrong tags, broken PEM framing and encryption headers, unknown encryption schemes.
// Each is refused (or, where a change leaves a valid file, read) without a crash, a leak under
// the asan preset, or a record left behind.
#include "pkey_fixture.h"

using namespace jarnel;
using namespace pkey_test;

namespace {

class Hostile : public KeyTest {
 protected:
  void SetUp() override {
    KeyTest::SetUp();
    key_.reset(PKEY_generate(PKEY_TYPE_ECGOST_CP, NID_CP_2001_A, nullptr, nullptr, nullptr));
    ASSERT_TRUE(key_);
    ASSERT_EQ(PKEY_KEY_bind(key_->key, pse()), 1);
  }
  Bytes image(int format, int kind, bool password) {
    Owned<BUFFER> b(PKEY_write_buffer(key_.get(), format, kind, password ? string_password : nullptr, &pw_));
    EXPECT_TRUE(b);
    return bytes_of(b.get());
  }
  // Reads an image; a record, when one comes back, must be the key itself.
  void read(const Bytes& img) {
    PkeyPtr k(PKEY_read_buffer(img.data(), static_cast<int>(img.size()), pse(), string_password, &pw_));
    if (k) {
      EXPECT_EQ(bytes_of(k->fingerprint), bytes_of(key_->fingerprint));
    }
    drain_errors();
  }
  bool refused(const Bytes& img) {
    PkeyPtr k(PKEY_read_buffer(img.data(), static_cast<int>(img.size()), pse(), string_password, &pw_));
    const auto q = drain_errors();
    return !k && has_error(q, LIB_CADB, CADB_F_PKEY_READ_BUFFER, LIB_ASN1);
  }

  std::string pw_ = "hostile";
  PkeyPtr key_;
};

TEST_F(Hostile, EveryTruncationIsRefused) {
  for (const auto& [format, kind, password] :
       {std::tuple{PKEY_FORMAT_DER, PKEY_KIND_PKCS8, false}, std::tuple{PKEY_FORMAT_DER, PKEY_KIND_PKCS8, true},
        std::tuple{PKEY_FORMAT_DER, PKEY_KIND_TRADITIONAL, false},
        std::tuple{PKEY_FORMAT_PEM, PKEY_KIND_TRADITIONAL, true}}) {
    const Bytes img = image(format, kind, password);
    // A PEM block may lose its last line end and stay whole.
    const std::size_t whole = format == PKEY_FORMAT_PEM ? img.size() - 1 : img.size();
    for (std::size_t n = 1; n < whole; ++n)
      EXPECT_TRUE(refused(Bytes(img.begin(), img.begin() + static_cast<long>(n))))
          << "format " << format << " kind " << kind << " length " << n;
  }
  EXPECT_EQ(PKEY_read_buffer(nullptr, 10, pse(), nullptr, nullptr), nullptr);
  EXPECT_EQ(PKEY_read_buffer(reinterpret_cast<const unsigned char*>("x"), 0, pse(), nullptr, nullptr), nullptr);
  drain_errors();
}

TEST_F(Hostile, EverySingleByteChangeIsHandled) {
  for (bool password : {false, true}) {
    const Bytes img = image(PKEY_FORMAT_DER, PKEY_KIND_PKCS8, password);
    for (std::size_t i = 0; i < img.size(); ++i) {
      for (unsigned char x : {0x01, 0x80, 0xFF}) {
        Bytes b = img;
        b[i] ^= x;
        read(b);
      }
    }
  }
  const Bytes trad = image(PKEY_FORMAT_DER, PKEY_KIND_TRADITIONAL, false);
  for (std::size_t i = 0; i < trad.size(); ++i) {
    Bytes b = trad;
    b[i] ^= 0x41;
    read(b);
  }
}

TEST_F(Hostile, HugeLengthsAndWrongTags) {
  const Bytes img = image(PKEY_FORMAT_DER, PKEY_KIND_PKCS8, false);
  ASSERT_EQ(img[0], 0x30);
  const std::size_t hdr = img[1] < 0x80 ? 2 : 2 + (img[1] & 0x7F);
  const Bytes body(img.begin() + static_cast<long>(hdr), img.end());
  const Bytes huge_lengths[] = {{0x84, 0xFF, 0xFF, 0xFF, 0xFF}, {0x88, 0x7F, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF},
                                {0x80}, {0x89, 1, 0, 0, 0, 0, 0, 0, 0, 0}};
  for (const Bytes& len : huge_lengths) {
    Bytes b{0x30};
    b.insert(b.end(), len.begin(), len.end());
    b.insert(b.end(), body.begin(), body.end());
    EXPECT_TRUE(refused(b));
  }
  for (unsigned char tag : {0x31, 0x04, 0x02, 0xA0, 0x10, 0x00}) {
    Bytes b = img;
    b[0] = tag;
    EXPECT_TRUE(refused(b)) << int(tag);
  }
  // Trailing bytes after the key.
  Bytes b = img;
  b.push_back(0);
  EXPECT_TRUE(refused(b));
}

TEST_F(Hostile, BrokenPemIsRefused) {
  const Bytes pem = image(PKEY_FORMAT_PEM, PKEY_KIND_TRADITIONAL, true);
  const std::string text(pem.begin(), pem.end());
  auto replaced = [&](const std::string& from, const std::string& to) {
    std::string t = text;
    const auto at = t.find(from);
    EXPECT_NE(at, std::string::npos) << from;
    if (at != std::string::npos) t.replace(at, from.size(), to);
    return Bytes(t.begin(), t.end());
  };
  const auto body_at = text.find("\n\n") + 2;
  std::string bad_b64 = text;
  bad_b64[body_at + 5] = '*';
  const Bytes cases[] = {
      Bytes(bad_b64.begin(), bad_b64.end()),
      replaced("-----END ANY PRIVATE KEY-----", "-----END OTHER KEY-----"),
      replaced("-----END ANY PRIVATE KEY-----\n", ""),
      replaced("ANY PRIVATE KEY-----\nProc", "CERTIFICATE-----\nProc"),
      replaced("DEK-Info: RUS-GAMMAR,", "DEK-Info: IDEA-CBC,"),
      replaced("DEK-Info: RUS-GAMMAR,", "DEK-Info: RUS-GAMMAR,Z"),
      replaced("DEK-Info: RUS-GAMMAR,", "DEK-Info: RUS-GAMMAR,0011"),
      replaced("DEK-Info: RUS-GAMMAR,", "DEK-Info: RUS-GAMMAR"),
      replaced("DEK-Info", "Dek-Info"),
      replaced("Proc-Type: 4,ENCRYPTED", "Proc-Type: 4,MIC-ONLY"),
      Bytes{'-', '-', '-', '-', '-', 'B', 'E', 'G', 'I', 'N', ' '},
  };
  for (const Bytes& b : cases) EXPECT_TRUE(refused(b)) << std::string(b.begin(), b.begin() + std::min<std::size_t>(b.size(), 120));
  // Wrong password.
  std::string wrong = "wrong";
  EXPECT_FALSE(PkeyPtr(PKEY_read_buffer(pem.data(), static_cast<int>(pem.size()), pse(), string_password, &wrong)));
  drain_errors();
}

TEST_F(Hostile, UnknownEncryptionSchemesAreRefused) {
  const Bytes enc = image(PKEY_FORMAT_DER, PKEY_KIND_PKCS8, true);
  const std::string s(enc.begin(), enc.end());
  auto with = [&](const Bytes& from, const Bytes& to) {
    Bytes b = enc;
    auto at = std::search(b.begin(), b.end(), from.begin(), from.end());
    EXPECT_NE(at, b.end());
    if (at != b.end()) std::copy(to.begin(), to.end(), at);
    return b;
  };
  // hmacWithR3411 1.3.6.1.4.1.7203.1.7.2 and the cipher 1.3.6.1.4.1.7203.1.1.3, each changed
  // in its last arc; PBES2 1.2.840.113549.1.5.13 changed to .14.
  const Bytes prf{0x2B, 0x06, 0x01, 0x04, 0x01, 0xB8, 0x23, 0x01, 0x07, 0x02};
  const Bytes cipher{0x2B, 0x06, 0x01, 0x04, 0x01, 0xB8, 0x23, 0x01, 0x01, 0x03};
  const Bytes pbes2{0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x01, 0x05, 0x0D};
  Bytes prf2 = prf, cipher2 = cipher, pbes2b = pbes2;
  prf2.back() = 0x09;
  cipher2.back() = 0x09;
  pbes2b.back() = 0x0E;
  for (const Bytes& b : {with(prf, prf2), with(cipher, cipher2), with(pbes2, pbes2b)}) {
    PkeyPtr k(PKEY_read_buffer(b.data(), static_cast<int>(b.size()), pse(), string_password, &pw_));
    EXPECT_FALSE(k);
    EXPECT_TRUE(has_error(drain_errors(), LIB_EVP, 0, pkey::PKEY_R_UNKNOWN_PBE));
  }
}

// A wrong password gets through a CBC padding check about once in 256 tries and through a CFB
// cipher always: it is still a wrong password, never a decrypted key.
TEST_F(Hostile, WrongPasswordsNeverDecrypt) {
  SecureBuffer info, enc_cbc, enc_cfb, out;
  ASSERT_TRUE(pkey::pkcs8_encode(key_->key, info));
  const std::string pw = "right";
  const pkey::Bytes right(reinterpret_cast<const unsigned char*>(pw.data()), pw.size());
  ASSERT_TRUE(pkey::pbes2_encrypt(info.span(), right, NID_AES_256_CBC, NID_HMAC_SHA256, 1, enc_cbc));
  ASSERT_TRUE(pkey::pbes2_encrypt(info.span(), right, NID_RUS_GAMMAR, NID_HMAC_R3411, 1, enc_cfb));
  ASSERT_EQ(pkey::pbes2_decrypt(enc_cbc.span(), right, out), 1);
  EXPECT_TRUE(std::equal(out.data(), out.data() + out.size(), info.data(), info.data() + info.size()));
  for (int i = 0; i < 1500; ++i) {
    const std::string wrong = "wrong " + std::to_string(i);
    const pkey::Bytes w(reinterpret_cast<const unsigned char*>(wrong.data()), wrong.size());
    ASSERT_EQ(pkey::pbes2_decrypt(enc_cbc.span(), w, out), 0) << wrong;
    if (i < 50) {
      ASSERT_EQ(pkey::pbes2_decrypt(enc_cfb.span(), w, out), 0) << wrong;
    }
  }
  drain_errors();
}

}  // namespace
