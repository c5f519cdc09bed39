// Writes the seed corpora of tests/fuzz/corpus from the library's own encoders and the fixed
// keys of fixed_keys.h, in each harness's input layout. The committed seeds were made with it;
// run it again after changing a layout:
//
//   cmake --build --preset default --target fuzz_make_seeds && build/default/fuzz/fuzz_make_seeds tests/fuzz/corpus
#include <openssl/bn.h>
#include <sys/stat.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "../fixed_keys.h"
#include "../fuzz_util.h"
#include "crypto/cadb/buffer.h"
#include "crypto/cadb/cms.h"
#include "crypto/cadb/pse_ctx.h"

using namespace jarnel;
using Bytes = std::vector<unsigned char>;

namespace {

std::string g_root;

void put(const std::string& target, const std::string& name, const Bytes& b) {
  const std::string dir = g_root + "/" + target;
  ::mkdir(dir.c_str(), 0755);
  std::ofstream out(dir + "/" + name, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(b.data()), static_cast<std::streamsize>(b.size()));
}

Bytes cat(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const auto& p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}
Bytes text(const std::string& s) { return Bytes(s.begin(), s.end()); }
Bytes piece(const Bytes& b) { return cat({Bytes{static_cast<unsigned char>(b.size())}, b}); }
Bytes long_piece(const Bytes& b) {
  return cat({Bytes{static_cast<unsigned char>(b.size() >> 8), static_cast<unsigned char>(b.size())}, b});
}

template <class T, class F>
Bytes encode(F i2d, const T* obj) {
  const int n = i2d(obj, nullptr);
  if (n <= 0) return {};
  Bytes out(static_cast<std::size_t>(n));
  unsigned char* p = out.data();
  i2d(obj, &p);
  return out;
}

const Bytes kDigest(32, 0x42);

void ecgost_seeds() {
  for (int ci : {0, 2, 5}) {
    ECGOST* key = fuzz::ecgost_key(ci);
    const auto curve = static_cast<unsigned char>(ci << 2);
    for (int f = 0; f < 3; ++f) {
      static const int kForms[] = {ECGOST_SIG_RAW, ECGOST_SIG_CP, 1};
      Bytes sig(static_cast<std::size_t>(ECGOST_size(key)));
      unsigned len = static_cast<unsigned>(sig.size());
      if (!ECGOST_sign(kForms[f], kDigest.data(), 32, sig.data(), &len, key)) continue;
      sig.resize(len);
      put("ecgost_sig", "c" + std::to_string(ci) + "f" + std::to_string(f),
          cat({Bytes{static_cast<unsigned char>(curve | f)}, kDigest, sig}));
      if (f == 2) put("der_reader", "ecgost_sig" + std::to_string(ci), sig);
    }
    const Bytes priv = encode(i2d_ECGOSTPRIVATEKEY, key), pub = encode(i2d_ECGOSTPUBLICKEY, key),
                params = encode(i2d_ECGOSTPARAMS, key), spki = encode(i2d_ECGOST_PUBKEY, key);
    const std::string c = "c" + std::to_string(ci);
    put("ecgost_key", c + "private", cat({Bytes{0x00}, priv}));
    put("ecgost_key", c + "public", cat({Bytes{0x81}, pub}));
    put("ecgost_key", c + "params", cat({Bytes{0x02}, params}));
    put("ecgost_key", c + "spki", cat({Bytes{0x83}, spki}));
    put("der_reader", c + "spki", spki);
    char* pem = nullptr;
    std::size_t pem_len = 0;
    if (ci == 0 && ECGOST_private_key_to_pem(key, &pem, &pem_len)) {
      put("ecgost_key", "pem", cat({Bytes{0x04}, Bytes(pem, pem + pem_len)}));
      mem_clear_free(pem, pem_len);
    }
    unsigned char oct[140];
    const ECPOINT* q = ECGOST_get_public(key);
    for (int compressed : {0, 1}) {
      const int n = ECPOINT_point2bin(q, compressed, oct, sizeof oct);
      if (n > 0) put("ec_point", c + "oct" + std::to_string(compressed),
                     cat({Bytes{static_cast<unsigned char>(curve | (compressed ? 0x40 : 0))}, Bytes(oct, oct + n)}));
      if (n > 0 && !compressed) put("ec_point", c + "dh", cat({Bytes{static_cast<unsigned char>(curve | 3)}, Bytes(oct, oct + n)}));
    }
    const int n = ECPOINT_point2le(q, oct, sizeof oct);
    if (n > 0) put("ec_point", c + "le", cat({Bytes{static_cast<unsigned char>(curve | 1)}, Bytes(oct, oct + n)}));
    unsigned char cek[32];
    for (int i = 0; i < 32; ++i) cek[i] = static_cast<unsigned char>(i);
    unsigned char wrapped[512];
    int wlen = sizeof wrapped;
    if (ECGOST_key_wrap(key, cek, wrapped, &wlen)) {
      put("key_unwrap", c, cat({Bytes{static_cast<unsigned char>(ci)}, Bytes(wrapped, wrapped + wlen)}));
      put("der_reader", c + "transport", Bytes(wrapped, wrapped + wlen));
    }
  }
  put("ec_point", "hex", cat({Bytes{0x02}, text("04" + std::string(128, '1'))}));
}

void r3410_seeds() {
  for (int ki : {0, 5}) {
    R3410* key = fuzz::r3410_key(ki);
    const auto sel = static_cast<unsigned char>(ki << 2);
    const std::string k = "k" + std::to_string(ki);
    static const int kForms[] = {R3410_SIG_RS, R3410_SIG_CRYPTOPRO, 1};
    for (int f = 0; f < 3; ++f) {
      Bytes sig(static_cast<std::size_t>(R3410_size(kForms[f], key)));
      unsigned len = 0;
      if (!R3410_sign(kForms[f], key, kDigest.data(), 32, sig.data(), &len)) continue;
      sig.resize(len);
      put("r3410_sig", k + "f" + std::to_string(f), cat({Bytes{static_cast<unsigned char>(sel | f)}, kDigest, sig}));
    }
    const Bytes params = encode(i2d_R3410Params, key), pub = encode(i2d_R3410PublicKey, key),
                value = encode(i2d_R3410PublicValue, key), priv = encode(i2d_R3410PrivateKey, key);
    put("r3410_key", k + "params", cat({Bytes{0x00}, params}));
    put("r3410_key", k + "public", cat({Bytes{0x81}, pub}));
    put("r3410_key", k + "value", cat({Bytes{0x02}, value}));
    put("r3410_key", k + "private", cat({Bytes{0x83}, priv}));
    put("der_reader", k + "public", pub);
    Bytes y(128);
    BN_bn2binpad(key->y, y.data(), 128);
    put("r3410_key", k + "dh", cat({Bytes{static_cast<unsigned char>(0x04 | (ki << 3))}, y}));
  }
}

void buffer_seeds() {
  const Bytes secret = text("private file contents");
  for (int cipher : {CMS_NID_rus_gammar, CMS_NID_des_ede3_cbc}) {
    for (const std::string pw : {"password", "\xcf\xe0\xf0\xee\xeb\xfc"}) {
      BUFFER* b = BUFFER_encrypt(secret.data(), static_cast<int>(secret.size()), cipher,
                                 reinterpret_cast<const unsigned char*>(pw.data()), static_cast<int>(pw.size()), 1, 1);
      if (!b) continue;
      const Bytes der(b->data, b->data + b->length);
      BUFFER_free(b);
      const std::string name = std::to_string(cipher) + (pw[0] == 'p' ? "ascii" : "cp1251");
      put("buffer_decrypt", name, cat({piece(text(pw)), der}));
      put("buffer_decrypt", name + "wrongpw", cat({piece(text("wrong")), der}));
      if (pw[0] == 'p') put("der_reader", "buffer" + std::to_string(cipher), der);
    }
  }
}

void container_seeds() {
  for (bool protect : {false, true}) {
    PSE_CTX* ctx = PSE_CTX_new();
    const std::string password = "secret";
    if (protect) PSE_CTX_set_password(ctx, password.c_str(), static_cast<int>(password.size()));
    if (!ctx || PSE_CTX_generate(ctx) != 1) {
      std::fprintf(stderr, "make_seeds: container generation failed\n");
      PSE_CTX_free(ctx);
      continue;
    }
    auto get = [&](int (*getter)(PSE_CTX*, unsigned char*, int*)) {
      int n = 0;
      getter(ctx, nullptr, &n);
      Bytes out(static_cast<std::size_t>(n));
      getter(ctx, out.data(), &n);
      out.resize(static_cast<std::size_t>(n));
      return out;
    };
    const Bytes mk = get(PSE_CTX_get_mk), mask = get(PSE_CTX_get_mask), kek = get(PSE_CTX_get_kek);
    Bytes rand(36);
    int rn = 36;
    PSE_CTX_get_rand(ctx, rand.data(), &rn);
    PSE_CTX_free(ctx);
    if (protect) {
      put("der_reader", "protected_mask", mask);
      continue;
    }
    put("pse_files", "plain", cat({Bytes{0x00}, long_piece(mk), long_piece(mask), long_piece(kek), long_piece({})}));
    put("pse_files", "plain_rand", cat({Bytes{0x01}, long_piece(mk), long_piece(mask), long_piece(kek), long_piece(rand)}));
    put("mkey_blob", "sbox31", cat({Bytes{0x00}, kek, mk, mask}));
    // One share: the blob's six header bytes and the key.
    put("mkey_blob", "truncated", cat({Bytes{0x00}, kek, Bytes(mk.begin(), mk.begin() + 6)}));
  }
}

void text_seeds() {
  const char* paths[][3] = {
      {"ruToken 0:\\0000f001\\1001\\2002", "ruToken:1001", "key"},
      {"Aktiv Co. ruToken 1:/1001/2002", "ruToken", "db3"},
      {"eToken:3f00\\e007\\1234", "eToken", "opq"},
      {"AKS ifdh 0:\\3f00\\6666\\e007\\a001", "Aladdin Token JC 1", ""},
      {"pkcs11 1:\\softhsm2\\keys\\mk.db3", "PKCS11:softhsm2", "x"},
      {"iButton:COM1\\keys\\mk  .001", "iButton", "001"},
      {"/tmp/jarnel/container", "/tmp/jarnel", ".db3"},
      {"C:\\keys\\container\\", "c:/keys", "opq"},
      {"eTR2 3:\\1001", "eTR2", "key"},
      {"eTR2/AKS ifdh 1:/3f00/e007/a001", "eTR2:", ""},
      {"COM2:\\KEYS\\MK  .001", "iButton", "001"},
      {"iButton:\\dir\\sub\\key .1", "LPT1:", "x.255"},
  };
  int i = 0;
  for (const auto& p : paths) {
    put("token_path", "p" + std::to_string(i++),
        cat({Bytes{static_cast<unsigned char>(0x0f | (i << 4))}, piece(text(p[0])), piece(text(p[1])), piece(text(p[2])),
             text("Aktiv Co. ruToken 0")}));
  }
  const char* argvs[] = {"--key=00ff\0--out\0f\0-o\0x\0--in\0a\0--in=b\0file",
                         "--check\0--sbox\0" "31\0--\0-\0--weird",
                         "-h\0--verbose\0--key\0", "--check=1\0--sbox=99\0-k\0zz"};
  const std::size_t lens[] = {46, 32, 20, 28};
  for (int j = 0; j < 4; ++j) {
    Bytes b(argvs[j], argvs[j] + lens[j]);
    while (!b.empty() && b.back() == 0) b.pop_back();
    put("tool_options", "a" + std::to_string(j), b);
  }
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: fuzz_make_seeds CORPUS_DIR\n");
    return 2;
  }
  g_root = argv[1];
  ::mkdir(g_root.c_str(), 0755);
  fuzz::start_library();
  ecgost_seeds();
  r3410_seeds();
  buffer_seeds();
  container_seeds();
  text_seeds();
  return 0;
}
