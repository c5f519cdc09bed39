// A PKCS#11 2.30 module with one token and the GOST R 34.10-2001 mechanisms, for tests.
//
// The token's objects, PIN and PIN-try counter live in one state file in the folder
// PKCS11GOST_DIR (read and written under an exclusive file lock on every call that touches them,
// so several processes share the token). A folder that does not exist yet becomes a fresh token
// whose user PIN is PKCS11GOST_PIN (default 1234); PKCS11GOST_PIN_TRIES (default 3) wrong PINs
// in a row lock it.
//
// Mechanisms: CKM_GOSTR3410_KEY_PAIR_GEN, CKM_GOSTR3410 (sign and verify of a 32-byte digest in
// the hash's byte order; signature s || r, 32 big-endian bytes each), CKM_GOSTR3410_DERIVE (VKO
// of RFC 4357 with CKD_NULL: GOST R 34.11-94 of the point ((UKM * d) mod q) * peer, the UKM and
// the points little-endian), CKM_GOSTR3410_KEY_WRAP (unwrap only: an RFC 4490
// GostR3410-KeyTransport structure, CryptoPro KEK diversification and key unwrap) and
// CKM_GOSTR3411, on the CryptoPro parameter sets A, B, C, XchA and XchB. Every computation is
// libgcrypt's.
//
// Switches: PKCS11GOST_MECHANISMS (a comma list of mechanism numbers or the names gen, sign,
// wrap, derive, digest) limits the listed mechanisms; PKCS11GOST_FAIL ("C_Sign@2=0xB3,..."; "*"
// for every call) makes call N of a function fail. P11GOST_control() takes the same as commands
// at run time ("mechanisms=...", "fail=...", "invalidate", "reset"), P11GOST_calls() counts.
#include <fcntl.h>
#include <gcrypt.h>
#include <p11-kit/pkcs11.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#define EXPORT extern "C" __attribute__((visibility("default")))

namespace {

using Bytes = std::vector<unsigned char>;
using Attrs = std::map<CK_ATTRIBUTE_TYPE, Bytes>;

struct DeriveParams {  // CK_GOSTR3410_DERIVE_PARAMS of PKCS#11 2.30
  CK_ULONG kdf;
  CK_BYTE_PTR pPublicData;
  CK_ULONG ulPublicDataLen;
  CK_BYTE_PTR pUKM;
  CK_ULONG ulUKMLen;
};
struct WrapParams {  // CK_GOSTR3410_KEY_WRAP_PARAMS
  CK_BYTE_PTR pWrapOID;
  CK_ULONG ulWrapOIDLen;
  CK_BYTE_PTR pUKM;
  CK_ULONG ulUKMLen;
  CK_OBJECT_HANDLE hKey;
};

constexpr CK_SLOT_ID kSlot = 1;
constexpr CK_OBJECT_HANDLE kSessionObjectBase = 0x40000000;

// ---- Wiping ------------------------------------------------------------------------------------

void wipe(void* p, std::size_t n) {
  volatile unsigned char* v = static_cast<volatile unsigned char*>(p);
  while (n--) *v++ = 0;
}
void wipe(Bytes& b) {
  if (!b.empty()) wipe(b.data(), b.size());
  b.clear();
}
struct Wiped {
  Bytes b;
  explicit Wiped(std::size_t n = 0) : b(n) {}
  ~Wiped() { wipe(b); }
};

// ---- Parameter sets ----------------------------------------------------------------------------

struct ParamSet {
  unsigned char der[9];
  const char* curve;
};
constexpr ParamSet kParamSets[] = {
    {{0x06, 0x07, 0x2A, 0x85, 0x03, 0x02, 0x02, 0x23, 0x01}, "GOST2001-CryptoPro-A"},
    {{0x06, 0x07, 0x2A, 0x85, 0x03, 0x02, 0x02, 0x23, 0x02}, "GOST2001-CryptoPro-B"},
    {{0x06, 0x07, 0x2A, 0x85, 0x03, 0x02, 0x02, 0x23, 0x03}, "GOST2001-CryptoPro-C"},
    {{0x06, 0x07, 0x2A, 0x85, 0x03, 0x02, 0x02, 0x24, 0x00}, "GOST2001-CryptoPro-XchA"},
    {{0x06, 0x07, 0x2A, 0x85, 0x03, 0x02, 0x02, 0x24, 0x01}, "GOST2001-CryptoPro-XchB"},
};
constexpr unsigned char kHashParams[] = {0x06, 0x07, 0x2A, 0x85, 0x03, 0x02, 0x02, 0x1E, 0x01};
constexpr unsigned char kCipherParams[] = {0x06, 0x07, 0x2A, 0x85, 0x03, 0x02, 0x02, 0x1F, 0x01};

const char* curve_of(const Bytes& der) {
  for (const auto& p : kParamSets)
    if (der.size() == sizeof p.der && std::memcmp(der.data(), p.der, sizeof p.der) == 0)
      return p.curve;
  return nullptr;
}

// Dotted text of a DER object identifier of the 1.2.643 arc (the GOST 28147-89 S-box sets).
std::string sbox_oid(const unsigned char* der, std::size_t len) {
  if (len < 3 || der[0] != 0x06 || der[1] != len - 2 || der[2] != 0x2A) return {};
  std::string out = "1.2";
  unsigned long v = 0;
  for (std::size_t i = 3; i < len; ++i) {
    v = (v << 7) | (der[i] & 0x7F);
    if (!(der[i] & 0x80)) {
      out += "." + std::to_string(v);
      v = 0;
    }
  }
  return out;
}

// ---- Module state --------------------------------------------------------------------------

struct Object {
  Attrs attrs;
  bool token = false;
  CK_SESSION_HANDLE owner = 0;  // session objects
};

struct Session {
  CK_FLAGS flags = 0;
  std::vector<CK_OBJECT_HANDLE> found;
  std::size_t found_pos = 0;
  bool finding = false;
  CK_OBJECT_HANDLE sign_key = 0;
  bool signing = false;
  CK_OBJECT_HANDLE verify_key = 0;
  bool verifying = false;
  gcry_md_hd_t digest = nullptr;
};

struct TokenState {
  std::string pin;
  unsigned tries_left = 3;
  CK_OBJECT_HANDLE next_handle = 1;
  std::map<CK_OBJECT_HANDLE, Object> objects;
};

struct Rule {
  long call;  // 0: every call
  CK_RV rv;
};

std::recursive_mutex g_mu;
bool g_initialized = false;
bool g_logged_in = false;
CK_SESSION_HANDLE g_next_session = 1;
CK_OBJECT_HANDLE g_next_session_object = kSessionObjectBase;
std::map<CK_SESSION_HANDLE, Session> g_sessions;
std::map<CK_OBJECT_HANDLE, Object> g_session_objects;
std::vector<CK_MECHANISM_TYPE> g_mechanisms;
std::map<std::string, long> g_counts;
std::multimap<std::string, Rule> g_rules;
bool g_env_read = false;
TokenState g_token;

unsigned max_tries() {
  const char* e = std::getenv("PKCS11GOST_PIN_TRIES");
  long n = e ? std::strtol(e, nullptr, 10) : 3;
  return n > 0 ? static_cast<unsigned>(n) : 3;
}

std::string token_dir() {
  if (const char* d = std::getenv("PKCS11GOST_DIR"); d && *d) return d;
  const char* tmp = std::getenv("TMPDIR");
  return std::string(tmp && *tmp ? tmp : "/tmp") + "/pkcs11gost-" + std::to_string(getuid());
}

const std::vector<CK_MECHANISM_TYPE>& all_mechanisms() {
  static const std::vector<CK_MECHANISM_TYPE> all = {
      CKM_GOSTR3410_KEY_PAIR_GEN, CKM_GOSTR3410, CKM_GOSTR3410_KEY_WRAP, CKM_GOSTR3410_DERIVE,
      CKM_GOSTR3411};
  return all;
}

std::vector<CK_MECHANISM_TYPE> parse_mechanisms(const std::string& s) {
  std::vector<CK_MECHANISM_TYPE> out;
  std::size_t pos = 0;
  while (pos <= s.size()) {
    std::size_t end = s.find(',', pos);
    std::string item = s.substr(pos, end == std::string::npos ? std::string::npos : end - pos);
    pos = end == std::string::npos ? s.size() + 1 : end + 1;
    if (item.empty()) continue;
    if (item == "gen") out.push_back(CKM_GOSTR3410_KEY_PAIR_GEN);
    else if (item == "sign") out.push_back(CKM_GOSTR3410);
    else if (item == "wrap") out.push_back(CKM_GOSTR3410_KEY_WRAP);
    else if (item == "derive") out.push_back(CKM_GOSTR3410_DERIVE);
    else if (item == "digest") out.push_back(CKM_GOSTR3411);
    else out.push_back(std::strtoul(item.c_str(), nullptr, 0));
  }
  return out;
}

void add_rules(const std::string& s) {
  std::size_t pos = 0;
  while (pos < s.size()) {
    std::size_t end = s.find(',', pos);
    std::string item = s.substr(pos, end == std::string::npos ? std::string::npos : end - pos);
    pos = end == std::string::npos ? s.size() : end + 1;
    std::size_t at = item.find('@'), eq = item.find('=');
    if (at == std::string::npos || eq == std::string::npos || eq < at) continue;
    std::string call = item.substr(at + 1, eq - at - 1);
    g_rules.emplace(item.substr(0, at),
                    Rule{call == "*" ? 0 : std::strtol(call.c_str(), nullptr, 10),
                         std::strtoul(item.c_str() + eq + 1, nullptr, 0)});
  }
}

void read_env() {
  if (g_env_read) return;
  g_env_read = true;
  const char* m = std::getenv("PKCS11GOST_MECHANISMS");
  g_mechanisms = m ? parse_mechanisms(m) : all_mechanisms();
  if (const char* f = std::getenv("PKCS11GOST_FAIL")) add_rules(f);
}

bool listed(CK_MECHANISM_TYPE m) {
  for (CK_MECHANISM_TYPE x : g_mechanisms)
    if (x == m) return true;
  return false;
}

// Counts the call; true with *rv when a rule makes it fail.
bool injected(const char* name, CK_RV* rv) {
  read_env();
  long n = ++g_counts[name];
  auto range = g_rules.equal_range(name);
  for (auto it = range.first; it != range.second; ++it)
    if (it->second.call == 0 || it->second.call == n) {
      *rv = it->second.rv;
      return true;
    }
  return false;
}

void drop_sessions() {
  for (auto& [h, s] : g_sessions)
    if (s.digest) gcry_md_close(s.digest);
  g_sessions.clear();
  for (auto& [h, o] : g_session_objects)
    for (auto& [t, v] : o.attrs) wipe(v);
  g_session_objects.clear();
  g_logged_in = false;
}

// ---- The state file ------------------------------------------------------------------------

void put64(Bytes& out, std::uint64_t v) {
  for (int i = 0; i < 8; ++i) out.push_back(static_cast<unsigned char>(v >> (8 * i)));
}
bool get64(const Bytes& in, std::size_t& pos, std::uint64_t* v) {
  if (in.size() - pos < 8 || pos > in.size()) return false;
  *v = 0;
  for (int i = 0; i < 8; ++i) *v |= static_cast<std::uint64_t>(in[pos + i]) << (8 * i);
  pos += 8;
  return true;
}
bool get_bytes(const Bytes& in, std::size_t& pos, Bytes* out) {
  std::uint64_t n;
  if (!get64(in, pos, &n) || n > in.size() - pos) return false;
  out->assign(in.begin() + static_cast<long>(pos), in.begin() + static_cast<long>(pos + n));
  pos += n;
  return true;
}
constexpr char kMagic[] = "P11GOST1";

Bytes serialise(const TokenState& t) {
  Bytes out(kMagic, kMagic + 8);
  put64(out, t.pin.size());
  out.insert(out.end(), t.pin.begin(), t.pin.end());
  put64(out, t.tries_left);
  put64(out, t.next_handle);
  put64(out, t.objects.size());
  for (const auto& [h, o] : t.objects) {
    put64(out, h);
    put64(out, o.attrs.size());
    for (const auto& [type, v] : o.attrs) {
      put64(out, type);
      put64(out, v.size());
      out.insert(out.end(), v.begin(), v.end());
    }
  }
  return out;
}

bool parse(const Bytes& in, TokenState* t) {
  if (in.size() < 8 || std::memcmp(in.data(), kMagic, 8) != 0) return false;
  std::size_t pos = 8;
  Bytes pin;
  std::uint64_t tries, next, count;
  if (!get_bytes(in, pos, &pin) || !get64(in, pos, &tries) || !get64(in, pos, &next) ||
      !get64(in, pos, &count))
    return false;
  t->pin.assign(pin.begin(), pin.end());
  t->tries_left = static_cast<unsigned>(tries);
  t->next_handle = next;
  t->objects.clear();
  for (std::uint64_t i = 0; i < count; ++i) {
    std::uint64_t h, n;
    if (!get64(in, pos, &h) || !get64(in, pos, &n)) return false;
    Object o;
    o.token = true;
    for (std::uint64_t j = 0; j < n; ++j) {
      std::uint64_t type;
      Bytes v;
      if (!get64(in, pos, &type) || !get_bytes(in, pos, &v)) return false;
      o.attrs[type] = std::move(v);
    }
    t->objects[h] = std::move(o);
  }
  return true;
}

// Holds the token folder's lock and its state for one call; save() writes the state back.
class TokenFile {
 public:
  TokenFile() {
    dir_ = token_dir();
    bool fresh = false;
    struct stat st;
    if (stat(dir_.c_str(), &st) != 0) {
      if (mkdir(dir_.c_str(), 0700) != 0 && errno != EEXIST) return;
    }
    fd_ = open((dir_ + "/lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (fd_ < 0 || flock(fd_, LOCK_EX) != 0) return;
    Bytes data;
    if (FILE* f = std::fopen((dir_ + "/token.dat").c_str(), "rb")) {
      unsigned char buf[4096];
      std::size_t n;
      while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) data.insert(data.end(), buf, buf + n);
      std::fclose(f);
    } else {
      fresh = true;
    }
    if (fresh) {
      const char* pin = std::getenv("PKCS11GOST_PIN");
      g_token = TokenState();
      g_token.pin = pin ? pin : "1234";
      g_token.tries_left = max_tries();
      ok_ = save();
    } else {
      ok_ = parse(data, &g_token);
    }
    wipe(data);
  }
  ~TokenFile() {
    if (fd_ >= 0) {
      flock(fd_, LOCK_UN);
      close(fd_);
    }
  }
  TokenFile(const TokenFile&) = delete;
  TokenFile& operator=(const TokenFile&) = delete;
  bool ok() const { return ok_; }
  bool save() {
    Bytes data = serialise(g_token);
    std::string tmp = dir_ + "/token.tmp", path = dir_ + "/token.dat";
    int fd = open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    bool good = fd >= 0 && write(fd, data.data(), data.size()) == static_cast<ssize_t>(data.size());
    if (fd >= 0) good = close(fd) == 0 && good;
    wipe(data);
    return good && rename(tmp.c_str(), path.c_str()) == 0;
  }

 private:
  std::string dir_;
  int fd_ = -1;
  bool ok_ = false;
};

// ---- Attributes ----------------------------------------------------------------------------

bool get_bool(const Attrs& a, CK_ATTRIBUTE_TYPE t, bool dflt) {
  auto it = a.find(t);
  if (it == a.end() || it->second.empty()) return dflt;
  return it->second[0] != 0;
}
bool get_ulong(const Attrs& a, CK_ATTRIBUTE_TYPE t, CK_ULONG* v) {
  auto it = a.find(t);
  if (it == a.end() || it->second.size() != sizeof(CK_ULONG)) return false;
  std::memcpy(v, it->second.data(), sizeof(CK_ULONG));
  return true;
}
Bytes ulong_bytes(CK_ULONG v) {
  Bytes b(sizeof v);
  std::memcpy(b.data(), &v, sizeof v);
  return b;
}
Bytes bool_bytes(bool v) { return Bytes{static_cast<unsigned char>(v ? 1 : 0)}; }

CK_RV read_template(CK_ATTRIBUTE_PTR t, CK_ULONG n, Attrs* out) {
  if (n && !t) return CKR_ARGUMENTS_BAD;
  for (CK_ULONG i = 0; i < n; ++i) {
    if (t[i].ulValueLen && !t[i].pValue) return CKR_ATTRIBUTE_VALUE_INVALID;
    const auto* p = static_cast<const unsigned char*>(t[i].pValue);
    (*out)[t[i].type] = Bytes(p, p + t[i].ulValueLen);
  }
  return CKR_OK;
}

// Private key values never leave the token, whatever their flags say; secret keys (the
// results of derive and unwrap) follow CKA_SENSITIVE and CKA_EXTRACTABLE.
bool is_sensitive(const Attrs& a) {
  CK_ULONG cls = 0;
  if (!get_ulong(a, CKA_CLASS, &cls)) return false;
  if (cls == CKO_PRIVATE_KEY) return true;
  if (cls != CKO_SECRET_KEY) return false;
  return get_bool(a, CKA_SENSITIVE, false) || !get_bool(a, CKA_EXTRACTABLE, true);
}

// ---- Sessions and objects --------------------------------------------------------------------

CK_RV session_of(CK_SESSION_HANDLE h, Session** s) {
  if (!g_initialized) return CKR_CRYPTOKI_NOT_INITIALIZED;
  auto it = g_sessions.find(h);
  if (it == g_sessions.end()) return CKR_SESSION_HANDLE_INVALID;
  *s = &it->second;
  return CKR_OK;
}

// The object of a handle as the session may see it: private objects only after login. For use
// in a cryptographic operation (use = true) a private object without login answers
// CKR_USER_NOT_LOGGED_IN.
CK_RV object_of(CK_OBJECT_HANDLE h, Object** o, bool use = false) {
  Object* found = nullptr;
  if (h >= kSessionObjectBase) {
    auto it = g_session_objects.find(h);
    if (it != g_session_objects.end()) found = &it->second;
  } else {
    auto it = g_token.objects.find(h);
    if (it != g_token.objects.end()) found = &it->second;
  }
  if (!found) return CKR_OBJECT_HANDLE_INVALID;
  if (get_bool(found->attrs, CKA_PRIVATE, false) && !g_logged_in)
    return use ? CKR_USER_NOT_LOGGED_IN : CKR_OBJECT_HANDLE_INVALID;
  *o = found;
  return CKR_OK;
}

CK_RV store_object(Session* s, CK_SESSION_HANDLE sh, Attrs attrs, TokenFile& tf,
                   CK_OBJECT_HANDLE* out) {
  bool token = get_bool(attrs, CKA_TOKEN, false);
  bool priv = get_bool(attrs, CKA_PRIVATE, false);
  if (token && !(s->flags & CKF_RW_SESSION)) return CKR_SESSION_READ_ONLY;
  if (priv && !g_logged_in) return CKR_USER_NOT_LOGGED_IN;
  Object o;
  o.attrs = std::move(attrs);
  o.token = token;
  if (token) {
    CK_OBJECT_HANDLE h = g_token.next_handle++;
    if (h >= kSessionObjectBase) return CKR_DEVICE_MEMORY;
    g_token.objects[h] = std::move(o);
    if (!tf.save()) {
      g_token.objects.erase(h);
      return CKR_DEVICE_ERROR;
    }
    *out = h;
  } else {
    o.owner = sh;
    CK_OBJECT_HANDLE h = g_next_session_object++;
    g_session_objects[h] = std::move(o);
    *out = h;
  }
  return CKR_OK;
}

// ---- libgcrypt -----------------------------------------------------------------------------

void gcrypt_init() {
  if (!gcry_control(GCRYCTL_INITIALIZATION_FINISHED_P)) {
    gcry_check_version(nullptr);
    gcry_control(GCRYCTL_DISABLE_SECMEM, 0);
    gcry_control(GCRYCTL_INITIALIZATION_FINISHED, 0);
  }
}

struct Sexp {
  gcry_sexp_t s = nullptr;
  ~Sexp() { gcry_sexp_release(s); }
};
struct Mpi {
  gcry_mpi_t m = nullptr;
  Mpi() = default;
  explicit Mpi(gcry_mpi_t v) : m(v) {}
  ~Mpi() { gcry_mpi_release(m); }
  Mpi(const Mpi&) = delete;
  Mpi& operator=(const Mpi&) = delete;
};
struct Point {
  gcry_mpi_point_t p = nullptr;
  ~Point() { gcry_mpi_point_release(p); }
};
struct EcCtx {
  gcry_ctx_t c = nullptr;
  ~EcCtx() { gcry_ctx_release(c); }
};

Bytes reversed(const unsigned char* p, std::size_t n) { return Bytes(std::reverse_iterator(p + n), std::reverse_iterator(p)); }

// An unsigned number as exactly n big-endian bytes.
bool mpi_to_be(gcry_mpi_t m, unsigned char* out, std::size_t n) {
  std::size_t len = 0;
  if (gcry_mpi_print(GCRYMPI_FMT_USG, nullptr, 0, &len, m) || len > n) return false;
  std::memset(out, 0, n);
  return gcry_mpi_print(GCRYMPI_FMT_USG, out + (n - len), len, &len, m) == 0;
}
gcry_mpi_t mpi_from_le(const unsigned char* p, std::size_t n, bool secure = false) {
  Bytes be = reversed(p, n);
  gcry_mpi_t m = nullptr;
  if (gcry_mpi_scan(&m, GCRYMPI_FMT_USG, be.data(), be.size(), nullptr)) m = nullptr;
  if (m && secure) gcry_mpi_set_flag(m, GCRYMPI_FLAG_SECURE);
  wipe(be);
  return m;
}
std::vector<unsigned char> mpi_of(gcry_sexp_t s, const char* name, std::size_t n, bool* ok) {
  Bytes out(n);
  gcry_sexp_t t = gcry_sexp_find_token(s, name, 0);
  gcry_mpi_t m = t ? gcry_sexp_nth_mpi(t, 1, GCRYMPI_FMT_USG) : nullptr;
  *ok = m && mpi_to_be(m, out.data(), n);
  gcry_mpi_release(m);
  gcry_sexp_release(t);
  return out;
}

// Point from 64 bytes X_le || Y_le, checked to lie on the curve.
bool point_from_le(const unsigned char* p, std::size_t n, gcry_ctx_t ctx, Point* out) {
  if (n != 64) return false;
  gcry_mpi_t x = mpi_from_le(p, 32), y = mpi_from_le(p + 32, 32);
  if (!x || !y) {
    gcry_mpi_release(x);
    gcry_mpi_release(y);
    return false;
  }
  out->p = gcry_mpi_point_snatch_set(nullptr, x, y, gcry_mpi_set_ui(nullptr, 1));
  return gcry_mpi_ec_curve_point(out->p, ctx) != 0;
}

// Affine X_le || Y_le of a point (false for the point at infinity).
bool point_to_le(gcry_mpi_point_t pt, gcry_ctx_t ctx, unsigned char out[64]) {
  Mpi x(gcry_mpi_new(0)), y(gcry_mpi_new(0));
  if (gcry_mpi_ec_get_affine(x.m, y.m, pt, ctx)) return false;
  unsigned char be[32];
  if (!mpi_to_be(x.m, be, 32)) return false;
  for (int i = 0; i < 32; ++i) out[i] = be[31 - i];
  if (!mpi_to_be(y.m, be, 32)) return false;
  for (int i = 0; i < 32; ++i) out[32 + i] = be[31 - i];
  wipe(be, sizeof be);
  return true;
}

// VKO GOST R 34.10-2001: GOST R 34.11-94 (CryptoPro) of ((UKM * d) mod q) * peer.
CK_RV vko(const char* curve, const Bytes& d_le, const unsigned char* peer, std::size_t peer_len,
          const unsigned char ukm_le[8], unsigned char kek[32]) {
  EcCtx ctx;
  if (gcry_mpi_ec_new(&ctx.c, nullptr, curve)) return CKR_GENERAL_ERROR;
  Point peer_pt;
  if (!point_from_le(peer, peer_len, ctx.c, &peer_pt)) return CKR_MECHANISM_PARAM_INVALID;
  Mpi q(gcry_mpi_ec_get_mpi("n", ctx.c, 1));
  Mpi d(mpi_from_le(d_le.data(), d_le.size(), true)), ukm(mpi_from_le(ukm_le, 8));
  if (!q.m || !d.m || !ukm.m) return CKR_GENERAL_ERROR;
  if (gcry_mpi_cmp_ui(ukm.m, 0) == 0) gcry_mpi_set_ui(ukm.m, 1);
  Mpi k(gcry_mpi_snew(256));
  gcry_mpi_mulm(k.m, d.m, ukm.m, q.m);
  Point r;
  r.p = gcry_mpi_point_new(0);
  gcry_mpi_ec_mul(r.p, k.m, peer_pt.p, ctx.c);
  unsigned char enc[64];
  if (!point_to_le(r.p, ctx.c, enc)) return CKR_MECHANISM_PARAM_INVALID;
  gcry_md_hash_buffer(GCRY_MD_GOSTR3411_CP, kek, enc, sizeof enc);
  wipe(enc, sizeof enc);
  return CKR_OK;
}

// GOST 28147-89 in a mode under a 32-byte key and an S-box given by OID.
bool gost_cipher(int mode, bool encrypt, const std::string& sbox, const unsigned char* key,
                 const unsigned char* iv, unsigned char* data, std::size_t n) {
  gcry_cipher_hd_t h;
  if (gcry_cipher_open(&h, GCRY_CIPHER_GOST28147, mode, GCRY_CIPHER_SECURE)) return false;
  bool ok = gcry_cipher_setkey(h, key, 32) == 0 &&
            gcry_cipher_ctl(h, GCRYCTL_SET_SBOX, const_cast<char*>(sbox.c_str()), 0) == 0 && (!iv || gcry_cipher_setiv(h, iv, 8) == 0);
  if (ok)
    ok = (encrypt ? gcry_cipher_encrypt(h, data, n, nullptr, 0)
                  : gcry_cipher_decrypt(h, data, n, nullptr, 0)) == 0;
  gcry_cipher_close(h);
  return ok;
}

// CryptoPro KEK diversification of RFC 4357 (6.5) in place.
bool diversify(const std::string& sbox, unsigned char kek[32], const unsigned char ukm[8]) {
  for (int i = 0; i < 8; ++i) {
    std::uint32_t s1 = 0, s2 = 0;
    for (int j = 0; j < 8; ++j) {
      std::uint32_t k = static_cast<std::uint32_t>(kek[4 * j]) |
                        static_cast<std::uint32_t>(kek[4 * j + 1]) << 8 |
                        static_cast<std::uint32_t>(kek[4 * j + 2]) << 16 |
                        static_cast<std::uint32_t>(kek[4 * j + 3]) << 24;
      if (ukm[i] & (1u << j)) s1 += k;
      else s2 += k;
    }
    unsigned char iv[8];
    for (int b = 0; b < 4; ++b) {
      iv[b] = static_cast<unsigned char>(s1 >> (8 * b));
      iv[4 + b] = static_cast<unsigned char>(s2 >> (8 * b));
    }
    unsigned char key[32];
    std::memcpy(key, kek, 32);
    bool ok = gost_cipher(GCRY_CIPHER_MODE_CFB, true, sbox, key, iv, kek, 32);
    wipe(key, sizeof key);
    if (!ok) return false;
  }
  return true;
}

// GOST 28147-89 MAC (4 bytes) of data under key with the IV.
bool gost_mac(const std::string& sbox, const unsigned char key[32], const unsigned char iv[8],
              const unsigned char* data, std::size_t n, unsigned char out[4]) {
  gcry_mac_hd_t h;
  if (gcry_mac_open(&h, GCRY_MAC_GOST28147_IMIT, GCRY_MAC_FLAG_SECURE, nullptr)) return false;
  std::size_t len = 4;
  bool ok = gcry_mac_ctl(h, GCRYCTL_SET_SBOX, const_cast<char*>(sbox.c_str()), 0) == 0 &&
            gcry_mac_setkey(h, key, 32) == 0 && gcry_mac_setiv(h, iv, 8) == 0 &&
            gcry_mac_write(h, data, n) == 0 && gcry_mac_read(h, out, &len) == 0 && len == 4;
  gcry_mac_close(h);
  return ok;
}

// ---- A small DER reader for the key transport structure --------------------------------------

struct Der {
  const unsigned char* p;
  std::size_t n;
  // Reads one element of the tag; contents into *c.
  bool get(unsigned char tag, Der* c) {
    if (n < 2 || p[0] != tag) return false;
    std::size_t len = p[1], hdr = 2;
    if (len & 0x80) {
      std::size_t k = len & 0x7F;
      if (k == 0 || k > 2 || n < 2 + k) return false;
      len = 0;
      for (std::size_t i = 0; i < k; ++i) len = (len << 8) | p[2 + i];
      hdr += k;
    }
    if (len > n - hdr) return false;
    *c = Der{p + hdr, len};
    p += hdr + len;
    n -= hdr + len;
    return true;
  }
  bool peek(unsigned char tag) const { return n > 0 && p[0] == tag; }
};

struct Transport {
  Bytes encrypted, mac, ukm, ephemeral;
  std::string sbox;
};

// GostR3410-KeyTransport of RFC 4490 with its transport parameters and ephemeral key.
bool parse_transport(const unsigned char* in, std::size_t n, Transport* t) {
  Der all{in, n}, seq, enc, ek, mac, params, oid, spki, ukm;
  if (!all.get(0x30, &seq) || all.n != 0 || !seq.get(0x30, &enc) || !enc.get(0x04, &ek) ||
      ek.n != 32)
    return false;
  if (enc.peek(0xA0) || enc.peek(0x80)) {  // maskKey
    Der skip;
    if (!enc.get(enc.p[0], &skip)) return false;
  }
  if (!enc.get(0x04, &mac) || mac.n != 4 || !seq.get(0xA0, &params)) return false;
  const unsigned char* oid_start = params.p;
  if (!params.get(0x06, &oid)) return false;
  t->sbox = sbox_oid(oid_start, static_cast<std::size_t>(params.p - oid_start));
  if (!params.get(0xA0, &spki) || !params.get(0x04, &ukm) || ukm.n != 8) return false;
  // SubjectPublicKeyInfo contents: AlgorithmIdentifier, BIT STRING { OCTET STRING (64) }.
  Der alg, bits, octets;
  if (!spki.get(0x30, &alg) || !spki.get(0x03, &bits) || bits.n < 1 || bits.p[0] != 0)
    return false;
  Der inner{bits.p + 1, bits.n - 1};
  if (!inner.get(0x04, &octets) || octets.n != 64) return false;
  t->encrypted.assign(ek.p, ek.p + 32);
  t->mac.assign(mac.p, mac.p + 4);
  t->ukm.assign(ukm.p, ukm.p + 8);
  t->ephemeral.assign(octets.p, octets.p + 64);
  return !t->sbox.empty();
}

// ---- The function list ---------------------------------------------------------------------

#define ENTER(name)                                         \
  std::lock_guard<std::recursive_mutex> guard(g_mu);        \
  {                                                         \
    CK_RV injected_rv;                                      \
    if (injected(name, &injected_rv)) return injected_rv;   \
  }

void pad(unsigned char* dst, std::size_t n, const char* s) {
  std::memset(dst, ' ', n);
  std::memcpy(dst, s, std::min(n, std::strlen(s)));
}

CK_RV C_Initialize(CK_VOID_PTR args) {
  ENTER("C_Initialize");
  if (g_initialized) return CKR_CRYPTOKI_ALREADY_INITIALIZED;
  if (args) {
    auto* a = static_cast<CK_C_INITIALIZE_ARGS*>(args);
    if (a->pReserved) return CKR_ARGUMENTS_BAD;
  }
  gcrypt_init();
  g_initialized = true;
  return CKR_OK;
}

CK_RV C_Finalize(CK_VOID_PTR reserved) {
  ENTER("C_Finalize");
  if (reserved) return CKR_ARGUMENTS_BAD;
  if (!g_initialized) return CKR_CRYPTOKI_NOT_INITIALIZED;
  drop_sessions();
  g_initialized = false;
  return CKR_OK;
}

CK_RV C_GetInfo(CK_INFO_PTR info) {
  ENTER("C_GetInfo");
  if (!g_initialized) return CKR_CRYPTOKI_NOT_INITIALIZED;
  if (!info) return CKR_ARGUMENTS_BAD;
  std::memset(info, 0, sizeof *info);
  info->cryptokiVersion = {2, 30};
  pad(info->manufacturerID, sizeof info->manufacturerID, "pkcs11gost test module");
  pad(info->libraryDescription, sizeof info->libraryDescription, "GOST mechanisms on libgcrypt");
  info->libraryVersion = {1, 0};
  return CKR_OK;
}

CK_RV C_GetSlotList(CK_BBOOL, CK_SLOT_ID_PTR list, CK_ULONG_PTR count) {
  ENTER("C_GetSlotList");
  if (!g_initialized) return CKR_CRYPTOKI_NOT_INITIALIZED;
  if (!count) return CKR_ARGUMENTS_BAD;
  if (list) {
    if (*count < 1) {
      *count = 1;
      return CKR_BUFFER_TOO_SMALL;
    }
    list[0] = kSlot;
  }
  *count = 1;
  return CKR_OK;
}

CK_RV C_GetSlotInfo(CK_SLOT_ID slot, CK_SLOT_INFO_PTR info) {
  ENTER("C_GetSlotInfo");
  if (!g_initialized) return CKR_CRYPTOKI_NOT_INITIALIZED;
  if (slot != kSlot) return CKR_SLOT_ID_INVALID;
  if (!info) return CKR_ARGUMENTS_BAD;
  std::memset(info, 0, sizeof *info);
  pad(info->slotDescription, sizeof info->slotDescription, "pkcs11gost slot");
  pad(info->manufacturerID, sizeof info->manufacturerID, "pkcs11gost");
  info->flags = CKF_TOKEN_PRESENT | CKF_REMOVABLE_DEVICE;
  return CKR_OK;
}

CK_RV C_GetTokenInfo(CK_SLOT_ID slot, CK_TOKEN_INFO_PTR info) {
  ENTER("C_GetTokenInfo");
  if (!g_initialized) return CKR_CRYPTOKI_NOT_INITIALIZED;
  if (slot != kSlot) return CKR_SLOT_ID_INVALID;
  if (!info) return CKR_ARGUMENTS_BAD;
  TokenFile tf;
  if (!tf.ok()) return CKR_DEVICE_ERROR;
  std::memset(info, 0, sizeof *info);
  pad(info->label, sizeof info->label, "pkcs11gost");
  pad(info->manufacturerID, sizeof info->manufacturerID, "pkcs11gost");
  pad(info->model, sizeof info->model, "test token");
  pad(info->serialNumber, sizeof info->serialNumber, "0001");
  info->flags = CKF_RNG | CKF_LOGIN_REQUIRED | CKF_USER_PIN_INITIALIZED | CKF_TOKEN_INITIALIZED;
  if (g_token.tries_left == 0) info->flags |= CKF_USER_PIN_LOCKED;
  else if (g_token.tries_left == 1) info->flags |= CKF_USER_PIN_FINAL_TRY | CKF_USER_PIN_COUNT_LOW;
  else if (g_token.tries_left < max_tries()) info->flags |= CKF_USER_PIN_COUNT_LOW;
  info->ulMaxSessionCount = CK_EFFECTIVELY_INFINITE;
  info->ulSessionCount = g_sessions.size();
  info->ulMaxRwSessionCount = CK_EFFECTIVELY_INFINITE;
  info->ulMaxPinLen = 32;
  info->ulMinPinLen = 4;
  info->ulTotalPublicMemory = info->ulFreePublicMemory = CK_UNAVAILABLE_INFORMATION;
  info->ulTotalPrivateMemory = info->ulFreePrivateMemory = CK_UNAVAILABLE_INFORMATION;
  info->hardwareVersion = info->firmwareVersion = {1, 0};
  return CKR_OK;
}

CK_RV C_GetMechanismList(CK_SLOT_ID slot, CK_MECHANISM_TYPE_PTR list, CK_ULONG_PTR count) {
  ENTER("C_GetMechanismList");
  if (!g_initialized) return CKR_CRYPTOKI_NOT_INITIALIZED;
  if (slot != kSlot) return CKR_SLOT_ID_INVALID;
  if (!count) return CKR_ARGUMENTS_BAD;
  CK_ULONG n = g_mechanisms.size();
  if (list) {
    if (*count < n) {
      *count = n;
      return CKR_BUFFER_TOO_SMALL;
    }
    for (CK_ULONG i = 0; i < n; ++i) list[i] = g_mechanisms[i];
  }
  *count = n;
  return CKR_OK;
}

CK_RV C_GetMechanismInfo(CK_SLOT_ID slot, CK_MECHANISM_TYPE type, CK_MECHANISM_INFO_PTR info) {
  ENTER("C_GetMechanismInfo");
  if (!g_initialized) return CKR_CRYPTOKI_NOT_INITIALIZED;
  if (slot != kSlot) return CKR_SLOT_ID_INVALID;
  if (!info) return CKR_ARGUMENTS_BAD;
  if (!listed(type)) return CKR_MECHANISM_INVALID;
  info->ulMinKeySize = info->ulMaxKeySize = 256;
  switch (type) {
    case CKM_GOSTR3410_KEY_PAIR_GEN: info->flags = CKF_GENERATE_KEY_PAIR; break;
    case CKM_GOSTR3410: info->flags = CKF_SIGN | CKF_VERIFY; break;
    case CKM_GOSTR3410_KEY_WRAP: info->flags = CKF_UNWRAP; break;
    case CKM_GOSTR3410_DERIVE: info->flags = CKF_DERIVE; break;
    case CKM_GOSTR3411: info->flags = CKF_DIGEST; info->ulMinKeySize = info->ulMaxKeySize = 0; break;
    default: info->flags = 0; break;
  }
  return CKR_OK;
}

CK_RV C_OpenSession(CK_SLOT_ID slot, CK_FLAGS flags, CK_VOID_PTR, CK_NOTIFY,
                    CK_SESSION_HANDLE_PTR out) {
  ENTER("C_OpenSession");
  if (!g_initialized) return CKR_CRYPTOKI_NOT_INITIALIZED;
  if (slot != kSlot) return CKR_SLOT_ID_INVALID;
  if (!(flags & CKF_SERIAL_SESSION)) return CKR_SESSION_PARALLEL_NOT_SUPPORTED;
  if (!out) return CKR_ARGUMENTS_BAD;
  CK_SESSION_HANDLE h = g_next_session++;
  g_sessions[h].flags = flags;
  *out = h;
  return CKR_OK;
}

void close_one(CK_SESSION_HANDLE h) {
  auto it = g_sessions.find(h);
  if (it == g_sessions.end()) return;
  if (it->second.digest) gcry_md_close(it->second.digest);
  g_sessions.erase(it);
  for (auto o = g_session_objects.begin(); o != g_session_objects.end();) {
    if (o->second.owner == h) {
      for (auto& [t, v] : o->second.attrs) wipe(v);
      o = g_session_objects.erase(o);
    } else {
      ++o;
    }
  }
  if (g_sessions.empty()) g_logged_in = false;
}

CK_RV C_CloseSession(CK_SESSION_HANDLE h) {
  ENTER("C_CloseSession");
  Session* s;
  if (CK_RV rv = session_of(h, &s)) return rv;
  close_one(h);
  return CKR_OK;
}

CK_RV C_CloseAllSessions(CK_SLOT_ID slot) {
  ENTER("C_CloseAllSessions");
  if (!g_initialized) return CKR_CRYPTOKI_NOT_INITIALIZED;
  if (slot != kSlot) return CKR_SLOT_ID_INVALID;
  drop_sessions();
  return CKR_OK;
}

CK_RV C_GetSessionInfo(CK_SESSION_HANDLE h, CK_SESSION_INFO_PTR info) {
  ENTER("C_GetSessionInfo");
  Session* s;
  if (CK_RV rv = session_of(h, &s)) return rv;
  if (!info) return CKR_ARGUMENTS_BAD;
  bool rw = s->flags & CKF_RW_SESSION;
  info->slotID = kSlot;
  info->flags = s->flags;
  info->ulDeviceError = 0;
  info->state = g_logged_in ? (rw ? CKS_RW_USER_FUNCTIONS : CKS_RO_USER_FUNCTIONS)
                            : (rw ? CKS_RW_PUBLIC_SESSION : CKS_RO_PUBLIC_SESSION);
  return CKR_OK;
}

CK_RV C_Login(CK_SESSION_HANDLE h, CK_USER_TYPE user, CK_UTF8CHAR_PTR pin, CK_ULONG len) {
  ENTER("C_Login");
  Session* s;
  if (CK_RV rv = session_of(h, &s)) return rv;
  if (user != CKU_USER) return CKR_USER_TYPE_INVALID;
  if (g_logged_in) return CKR_USER_ALREADY_LOGGED_IN;
  if (!pin && len) return CKR_ARGUMENTS_BAD;
  TokenFile tf;
  if (!tf.ok()) return CKR_DEVICE_ERROR;
  if (g_token.tries_left == 0) return CKR_PIN_LOCKED;
  // Compares every byte of the stored PIN whatever the given one is.
  const std::string& want = g_token.pin;
  unsigned char diff = static_cast<unsigned char>(want.size() != len);
  for (std::size_t i = 0; i < want.size(); ++i)
    diff |= static_cast<unsigned char>(want[i] ^ (i < len ? pin[i] : 0));
  if (diff) {
    --g_token.tries_left;
    if (!tf.save()) return CKR_DEVICE_ERROR;
    return g_token.tries_left == 0 ? CKR_PIN_LOCKED : CKR_PIN_INCORRECT;
  }
  if (g_token.tries_left != max_tries()) {
    g_token.tries_left = max_tries();
    if (!tf.save()) return CKR_DEVICE_ERROR;
  }
  g_logged_in = true;
  return CKR_OK;
}

CK_RV C_Logout(CK_SESSION_HANDLE h) {
  ENTER("C_Logout");
  Session* s;
  if (CK_RV rv = session_of(h, &s)) return rv;
  if (!g_logged_in) return CKR_USER_NOT_LOGGED_IN;
  g_logged_in = false;
  return CKR_OK;
}

// Fills in what every object of a class carries and checks what it must carry.
CK_RV complete_object(Attrs& a, bool generated) {
  CK_ULONG cls;
  if (!get_ulong(a, CKA_CLASS, &cls)) return CKR_TEMPLATE_INCOMPLETE;
  auto dflt = [&](CK_ATTRIBUTE_TYPE t, Bytes v) {
    if (!a.count(t)) a[t] = std::move(v);
  };
  dflt(CKA_TOKEN, bool_bytes(false));
  dflt(CKA_LABEL, {});
  dflt(CKA_MODIFIABLE, bool_bytes(true));
  switch (cls) {
    case CKO_DATA:
      dflt(CKA_PRIVATE, bool_bytes(false));
      dflt(CKA_APPLICATION, {});
      dflt(CKA_VALUE, {});
      return CKR_OK;
    case CKO_CERTIFICATE: {
      CK_ULONG type;
      if (!get_ulong(a, CKA_CERTIFICATE_TYPE, &type)) return CKR_TEMPLATE_INCOMPLETE;
      if (type != CKC_X_509) return CKR_ATTRIBUTE_VALUE_INVALID;
      if (!a.count(CKA_VALUE) || !a.count(CKA_SUBJECT)) return CKR_TEMPLATE_INCOMPLETE;
      dflt(CKA_PRIVATE, bool_bytes(false));
      dflt(CKA_ID, {});
      dflt(CKA_CERTIFICATE_CATEGORY, ulong_bytes(0));
      return CKR_OK;
    }
    case CKO_PUBLIC_KEY:
    case CKO_PRIVATE_KEY: {
      CK_ULONG kt;
      if (!get_ulong(a, CKA_KEY_TYPE, &kt)) return CKR_TEMPLATE_INCOMPLETE;
      if (kt != CKK_GOSTR3410) return CKR_ATTRIBUTE_VALUE_INVALID;
      auto ps = a.find(CKA_GOSTR3410_PARAMS);
      if (ps == a.end()) return CKR_TEMPLATE_INCOMPLETE;
      const char* curve = curve_of(ps->second);
      if (!curve) return CKR_ATTRIBUTE_VALUE_INVALID;
      dflt(CKA_GOSTR3411_PARAMS, Bytes(kHashParams, kHashParams + sizeof kHashParams));
      dflt(CKA_ID, {});
      dflt(CKA_LOCAL, bool_bytes(generated));
      auto v = a.find(CKA_VALUE);
      if (v == a.end()) return CKR_TEMPLATE_INCOMPLETE;
      EcCtx ctx;
      if (gcry_mpi_ec_new(&ctx.c, nullptr, curve)) return CKR_GENERAL_ERROR;
      if (cls == CKO_PUBLIC_KEY) {
        Point p;
        if (!point_from_le(v->second.data(), v->second.size(), ctx.c, &p))
          return CKR_ATTRIBUTE_VALUE_INVALID;
        dflt(CKA_PRIVATE, bool_bytes(false));
        dflt(CKA_VERIFY, bool_bytes(true));
        dflt(CKA_DERIVE, bool_bytes(false));
        dflt(CKA_WRAP, bool_bytes(false));
      } else {
        if (v->second.size() != 32) return CKR_ATTRIBUTE_VALUE_INVALID;
        Mpi d(mpi_from_le(v->second.data(), 32, true)), q(gcry_mpi_ec_get_mpi("n", ctx.c, 1));
        if (!d.m || !q.m || gcry_mpi_cmp_ui(d.m, 0) == 0 || gcry_mpi_cmp(d.m, q.m) >= 0)
          return CKR_ATTRIBUTE_VALUE_INVALID;
        dflt(CKA_PRIVATE, bool_bytes(true));
        dflt(CKA_SENSITIVE, bool_bytes(true));
        dflt(CKA_EXTRACTABLE, bool_bytes(false));
        dflt(CKA_SIGN, bool_bytes(true));
        dflt(CKA_DERIVE, bool_bytes(false));
        dflt(CKA_UNWRAP, bool_bytes(false));
        a[CKA_ALWAYS_SENSITIVE] = bool_bytes(generated && get_bool(a, CKA_SENSITIVE, true));
        a[CKA_NEVER_EXTRACTABLE] = bool_bytes(generated && !get_bool(a, CKA_EXTRACTABLE, false));
      }
      return CKR_OK;
    }
    case CKO_SECRET_KEY:
      dflt(CKA_KEY_TYPE, ulong_bytes(CKK_GOST28147));
      dflt(CKA_PRIVATE, bool_bytes(true));
      dflt(CKA_SENSITIVE, bool_bytes(false));
      dflt(CKA_EXTRACTABLE, bool_bytes(true));
      if (!a.count(CKA_VALUE)) return CKR_TEMPLATE_INCOMPLETE;
      return CKR_OK;
    default:
      return CKR_ATTRIBUTE_VALUE_INVALID;
  }
}

CK_RV C_CreateObject(CK_SESSION_HANDLE h, CK_ATTRIBUTE_PTR t, CK_ULONG n, CK_OBJECT_HANDLE_PTR out) {
  ENTER("C_CreateObject");
  Session* s;
  if (CK_RV rv = session_of(h, &s)) return rv;
  if (!out) return CKR_ARGUMENTS_BAD;
  Attrs a;
  if (CK_RV rv = read_template(t, n, &a)) return rv;
  if (CK_RV rv = complete_object(a, false)) return rv;
  TokenFile tf;
  if (!tf.ok()) return CKR_DEVICE_ERROR;
  CK_RV rv = store_object(s, h, std::move(a), tf, out);
  return rv;
}

CK_RV C_DestroyObject(CK_SESSION_HANDLE h, CK_OBJECT_HANDLE oh) {
  ENTER("C_DestroyObject");
  Session* s;
  if (CK_RV rv = session_of(h, &s)) return rv;
  TokenFile tf;
  if (!tf.ok()) return CKR_DEVICE_ERROR;
  Object* o;
  if (CK_RV rv = object_of(oh, &o)) return rv;
  if (o->token && !(s->flags & CKF_RW_SESSION)) return CKR_SESSION_READ_ONLY;
  for (auto& [t, v] : o->attrs) wipe(v);
  if (o->token) {
    g_token.objects.erase(oh);
    if (!tf.save()) return CKR_DEVICE_ERROR;
  } else {
    g_session_objects.erase(oh);
  }
  return CKR_OK;
}

CK_RV C_GetObjectSize(CK_SESSION_HANDLE, CK_OBJECT_HANDLE, CK_ULONG_PTR) {
  ENTER("C_GetObjectSize");
  return CKR_FUNCTION_NOT_SUPPORTED;
}

CK_RV C_GetAttributeValue(CK_SESSION_HANDLE h, CK_OBJECT_HANDLE oh, CK_ATTRIBUTE_PTR t, CK_ULONG n) {
  ENTER("C_GetAttributeValue");
  Session* s;
  if (CK_RV rv = session_of(h, &s)) return rv;
  if (n && !t) return CKR_ARGUMENTS_BAD;
  TokenFile tf;
  if (!tf.ok()) return CKR_DEVICE_ERROR;
  Object* o;
  if (CK_RV rv = object_of(oh, &o)) return rv;
  CK_RV result = CKR_OK;
  bool sensitive = is_sensitive(o->attrs);
  for (CK_ULONG i = 0; i < n; ++i) {
    auto it = o->attrs.find(t[i].type);
    if (sensitive && t[i].type == CKA_VALUE) {
      t[i].ulValueLen = CK_UNAVAILABLE_INFORMATION;
      result = CKR_ATTRIBUTE_SENSITIVE;
    } else if (it == o->attrs.end()) {
      t[i].ulValueLen = CK_UNAVAILABLE_INFORMATION;
      if (result == CKR_OK) result = CKR_ATTRIBUTE_TYPE_INVALID;
    } else if (!t[i].pValue) {
      t[i].ulValueLen = it->second.size();
    } else if (t[i].ulValueLen < it->second.size()) {
      t[i].ulValueLen = CK_UNAVAILABLE_INFORMATION;
      if (result == CKR_OK) result = CKR_BUFFER_TOO_SMALL;
    } else {
      if (!it->second.empty()) std::memcpy(t[i].pValue, it->second.data(), it->second.size());
      t[i].ulValueLen = it->second.size();
    }
  }
  return result;
}

CK_RV C_SetAttributeValue(CK_SESSION_HANDLE h, CK_OBJECT_HANDLE oh, CK_ATTRIBUTE_PTR t, CK_ULONG n) {
  ENTER("C_SetAttributeValue");
  Session* s;
  if (CK_RV rv = session_of(h, &s)) return rv;
  Attrs changes;
  if (CK_RV rv = read_template(t, n, &changes)) return rv;
  TokenFile tf;
  if (!tf.ok()) return CKR_DEVICE_ERROR;
  Object* o;
  if (CK_RV rv = object_of(oh, &o)) return rv;
  if (o->token && !(s->flags & CKF_RW_SESSION)) return CKR_SESSION_READ_ONLY;
  if (!get_bool(o->attrs, CKA_MODIFIABLE, true)) return CKR_ATTRIBUTE_READ_ONLY;
  CK_ULONG cls = 0;
  get_ulong(o->attrs, CKA_CLASS, &cls);
  bool key = cls == CKO_PUBLIC_KEY || cls == CKO_PRIVATE_KEY || cls == CKO_SECRET_KEY;
  for (const auto& [type, v] : changes) {
    switch (type) {
      case CKA_CLASS: case CKA_TOKEN: case CKA_PRIVATE: case CKA_KEY_TYPE: case CKA_LOCAL:
      case CKA_ALWAYS_SENSITIVE: case CKA_NEVER_EXTRACTABLE: case CKA_GOSTR3410_PARAMS:
      case CKA_GOSTR3411_PARAMS: case CKA_CERTIFICATE_TYPE: case CKA_MODIFIABLE:
        return CKR_ATTRIBUTE_READ_ONLY;
      case CKA_VALUE:
        if (key) return CKR_ATTRIBUTE_READ_ONLY;
        break;
      case CKA_SENSITIVE:  // may only become true
        if (v.size() != 1) return CKR_ATTRIBUTE_VALUE_INVALID;
        if (get_bool(o->attrs, CKA_SENSITIVE, false) && !v[0]) return CKR_ATTRIBUTE_READ_ONLY;
        break;
      case CKA_EXTRACTABLE:  // may only become false
        if (v.size() != 1) return CKR_ATTRIBUTE_VALUE_INVALID;
        if (!get_bool(o->attrs, CKA_EXTRACTABLE, true) && v[0]) return CKR_ATTRIBUTE_READ_ONLY;
        break;
      default:
        break;
    }
  }
  for (auto& [type, v] : changes) o->attrs[type] = v;
  if (o->token && !tf.save()) return CKR_DEVICE_ERROR;
  return CKR_OK;
}

bool matches(const Attrs& obj, const Attrs& tmpl) {
  for (const auto& [type, v] : tmpl) {
    auto it = obj.find(type);
    if (it == obj.end() || it->second != v) return false;
  }
  return true;
}

CK_RV C_FindObjectsInit(CK_SESSION_HANDLE h, CK_ATTRIBUTE_PTR t, CK_ULONG n) {
  ENTER("C_FindObjectsInit");
  Session* s;
  if (CK_RV rv = session_of(h, &s)) return rv;
  if (s->finding) return CKR_OPERATION_ACTIVE;
  Attrs tmpl;
  if (CK_RV rv = read_template(t, n, &tmpl)) return rv;
  TokenFile tf;
  if (!tf.ok()) return CKR_DEVICE_ERROR;
  s->found.clear();
  s->found_pos = 0;
  auto consider = [&](CK_OBJECT_HANDLE oh, const Object& o) {
    if (get_bool(o.attrs, CKA_PRIVATE, false) && !g_logged_in) return;
    if (matches(o.attrs, tmpl)) s->found.push_back(oh);
  };
  for (const auto& [oh, o] : g_token.objects) consider(oh, o);
  for (const auto& [oh, o] : g_session_objects) consider(oh, o);
  s->finding = true;
  return CKR_OK;
}

CK_RV C_FindObjects(CK_SESSION_HANDLE h, CK_OBJECT_HANDLE_PTR out, CK_ULONG max, CK_ULONG_PTR count) {
  ENTER("C_FindObjects");
  Session* s;
  if (CK_RV rv = session_of(h, &s)) return rv;
  if (!s->finding) return CKR_OPERATION_NOT_INITIALIZED;
  if (!count || (max && !out)) return CKR_ARGUMENTS_BAD;
  CK_ULONG n = 0;
  while (n < max && s->found_pos < s->found.size()) out[n++] = s->found[s->found_pos++];
  *count = n;
  return CKR_OK;
}

CK_RV C_FindObjectsFinal(CK_SESSION_HANDLE h) {
  ENTER("C_FindObjectsFinal");
  Session* s;
  if (CK_RV rv = session_of(h, &s)) return rv;
  if (!s->finding) return CKR_OPERATION_NOT_INITIALIZED;
  s->finding = false;
  s->found.clear();
  return CKR_OK;
}

// ---- Digest ----------------------------------------------------------------------------------

CK_RV C_DigestInit(CK_SESSION_HANDLE h, CK_MECHANISM_PTR m) {
  ENTER("C_DigestInit");
  Session* s;
  if (CK_RV rv = session_of(h, &s)) return rv;
  if (!m) return CKR_ARGUMENTS_BAD;
  if (s->digest) return CKR_OPERATION_ACTIVE;
  if (m->mechanism != CKM_GOSTR3411 || !listed(m->mechanism)) return CKR_MECHANISM_INVALID;
  if (gcry_md_open(&s->digest, GCRY_MD_GOSTR3411_CP, 0)) return CKR_DEVICE_MEMORY;
  return CKR_OK;
}

CK_RV digest_out(Session* s, CK_BYTE_PTR out, CK_ULONG_PTR len) {
  if (!len) return CKR_ARGUMENTS_BAD;
  if (!out) {
    *len = 32;
    return CKR_OK;
  }
  if (*len < 32) {
    *len = 32;
    return CKR_BUFFER_TOO_SMALL;
  }
  std::memcpy(out, gcry_md_read(s->digest, 0), 32);
  *len = 32;
  gcry_md_close(s->digest);
  s->digest = nullptr;
  return CKR_OK;
}

CK_RV C_Digest(CK_SESSION_HANDLE h, CK_BYTE_PTR data, CK_ULONG n, CK_BYTE_PTR out, CK_ULONG_PTR len) {
  ENTER("C_Digest");
  Session* s;
  if (CK_RV rv = session_of(h, &s)) return rv;
  if (!s->digest) return CKR_OPERATION_NOT_INITIALIZED;
  if (n && !data) return CKR_ARGUMENTS_BAD;
  if (!out && len) {
    *len = 32;
    return CKR_OK;
  }
  if (len && *len >= 32 && n) gcry_md_write(s->digest, data, n);
  return digest_out(s, out, len);
}

CK_RV C_DigestUpdate(CK_SESSION_HANDLE h, CK_BYTE_PTR data, CK_ULONG n) {
  ENTER("C_DigestUpdate");
  Session* s;
  if (CK_RV rv = session_of(h, &s)) return rv;
  if (!s->digest) return CKR_OPERATION_NOT_INITIALIZED;
  if (n && !data) return CKR_ARGUMENTS_BAD;
  if (n) gcry_md_write(s->digest, data, n);
  return CKR_OK;
}

CK_RV C_DigestFinal(CK_SESSION_HANDLE h, CK_BYTE_PTR out, CK_ULONG_PTR len) {
  ENTER("C_DigestFinal");
  Session* s;
  if (CK_RV rv = session_of(h, &s)) return rv;
  if (!s->digest) return CKR_OPERATION_NOT_INITIALIZED;
  return digest_out(s, out, len);
}

// ---- Signatures ------------------------------------------------------------------------------

CK_RV key_for(CK_OBJECT_HANDLE kh, CK_ULONG cls, CK_ATTRIBUTE_TYPE usage, Object** o) {
  if (CK_RV rv = object_of(kh, o, true)) return rv;
  CK_ULONG c = 0, kt = 0;
  if (!get_ulong((*o)->attrs, CKA_CLASS, &c) || c != cls ||
      !get_ulong((*o)->attrs, CKA_KEY_TYPE, &kt) || kt != CKK_GOSTR3410)
    return CKR_KEY_TYPE_INCONSISTENT;
  if (!get_bool((*o)->attrs, usage, false)) return CKR_KEY_FUNCTION_NOT_PERMITTED;
  return CKR_OK;
}

CK_RV C_SignInit(CK_SESSION_HANDLE h, CK_MECHANISM_PTR m, CK_OBJECT_HANDLE kh) {
  ENTER("C_SignInit");
  Session* s;
  if (CK_RV rv = session_of(h, &s)) return rv;
  if (!m) return CKR_ARGUMENTS_BAD;
  if (s->signing) return CKR_OPERATION_ACTIVE;
  if (m->mechanism != CKM_GOSTR3410 || !listed(m->mechanism)) return CKR_MECHANISM_INVALID;
  TokenFile tf;
  if (!tf.ok()) return CKR_DEVICE_ERROR;
  Object* o;
  if (CK_RV rv = key_for(kh, CKO_PRIVATE_KEY, CKA_SIGN, &o)) return rv;
  s->signing = true;
  s->sign_key = kh;
  return CKR_OK;
}

CK_RV C_Sign(CK_SESSION_HANDLE h, CK_BYTE_PTR data, CK_ULONG n, CK_BYTE_PTR sig, CK_ULONG_PTR siglen) {
  ENTER("C_Sign");
  Session* s;
  if (CK_RV rv = session_of(h, &s)) return rv;
  if (!s->signing) return CKR_OPERATION_NOT_INITIALIZED;
  if (!siglen || (n && !data)) return CKR_ARGUMENTS_BAD;
  if (!sig) {
    *siglen = 64;
    return CKR_OK;
  }
  if (*siglen < 64) {
    *siglen = 64;
    return CKR_BUFFER_TOO_SMALL;
  }
  s->signing = false;
  if (n != 32) return CKR_DATA_LEN_RANGE;
  TokenFile tf;
  if (!tf.ok()) return CKR_DEVICE_ERROR;
  Object* o;
  if (CK_RV rv = key_for(s->sign_key, CKO_PRIVATE_KEY, CKA_SIGN, &o)) return rv;
  const char* curve = curve_of(o->attrs[CKA_GOSTR3410_PARAMS]);
  const Bytes& d_le = o->attrs[CKA_VALUE];
  if (!curve || d_le.size() != 32) return CKR_KEY_TYPE_INCONSISTENT;
  Wiped d_be;
  d_be.b = reversed(d_le.data(), 32);
  // The digest is the hash value in its own byte order, a little-endian number.
  Bytes e_be = reversed(data, 32);
  Sexp key, in, out;
  if (gcry_sexp_build(&key.s, nullptr, "(private-key (ecc (curve %s) (d %b)))", curve, 32,
                      d_be.b.data()) ||
      gcry_sexp_build(&in.s, nullptr, "(data (flags gost) (value %b))", 32, e_be.data()) ||
      gcry_pk_sign(&out.s, in.s, key.s))
    return CKR_FUNCTION_FAILED;
  bool ok_r, ok_s;
  Bytes r = mpi_of(out.s, "r", 32, &ok_r), sv = mpi_of(out.s, "s", 32, &ok_s);
  if (!ok_r || !ok_s) return CKR_FUNCTION_FAILED;
  std::memcpy(sig, sv.data(), 32);
  std::memcpy(sig + 32, r.data(), 32);
  *siglen = 64;
  return CKR_OK;
}

CK_RV C_VerifyInit(CK_SESSION_HANDLE h, CK_MECHANISM_PTR m, CK_OBJECT_HANDLE kh) {
  ENTER("C_VerifyInit");
  Session* s;
  if (CK_RV rv = session_of(h, &s)) return rv;
  if (!m) return CKR_ARGUMENTS_BAD;
  if (s->verifying) return CKR_OPERATION_ACTIVE;
  if (m->mechanism != CKM_GOSTR3410 || !listed(m->mechanism)) return CKR_MECHANISM_INVALID;
  TokenFile tf;
  if (!tf.ok()) return CKR_DEVICE_ERROR;
  Object* o;
  if (CK_RV rv = key_for(kh, CKO_PUBLIC_KEY, CKA_VERIFY, &o)) return rv;
  s->verifying = true;
  s->verify_key = kh;
  return CKR_OK;
}

CK_RV C_Verify(CK_SESSION_HANDLE h, CK_BYTE_PTR data, CK_ULONG n, CK_BYTE_PTR sig, CK_ULONG siglen) {
  ENTER("C_Verify");
  Session* s;
  if (CK_RV rv = session_of(h, &s)) return rv;
  if (!s->verifying) return CKR_OPERATION_NOT_INITIALIZED;
  s->verifying = false;
  if ((n && !data) || (siglen && !sig)) return CKR_ARGUMENTS_BAD;
  if (n != 32) return CKR_DATA_LEN_RANGE;
  if (siglen != 64) return CKR_SIGNATURE_LEN_RANGE;
  TokenFile tf;
  if (!tf.ok()) return CKR_DEVICE_ERROR;
  Object* o;
  if (CK_RV rv = key_for(s->verify_key, CKO_PUBLIC_KEY, CKA_VERIFY, &o)) return rv;
  const char* curve = curve_of(o->attrs[CKA_GOSTR3410_PARAMS]);
  const Bytes& q = o->attrs[CKA_VALUE];
  if (!curve || q.size() != 64) return CKR_KEY_TYPE_INCONSISTENT;
  Bytes point{0x04};
  Bytes x = reversed(q.data(), 32), y = reversed(q.data() + 32, 32);
  point.insert(point.end(), x.begin(), x.end());
  point.insert(point.end(), y.begin(), y.end());
  Bytes e_be = reversed(data, 32);
  Sexp key, in, sv;
  if (gcry_sexp_build(&key.s, nullptr, "(public-key (ecc (curve %s) (q %b)))", curve, 65,
                      point.data()) ||
      gcry_sexp_build(&in.s, nullptr, "(data (flags gost) (value %b))", 32, e_be.data()) ||
      gcry_sexp_build(&sv.s, nullptr, "(sig-val (gost (r %b) (s %b)))", 32, sig + 32, 32, sig))
    return CKR_FUNCTION_FAILED;
  return gcry_pk_verify(sv.s, in.s, key.s) == 0 ? CKR_OK : CKR_SIGNATURE_INVALID;
}

// ---- Key pairs, derivation, unwrapping -------------------------------------------------------

CK_RV C_GenerateKeyPair(CK_SESSION_HANDLE h, CK_MECHANISM_PTR m, CK_ATTRIBUTE_PTR pub_t,
                        CK_ULONG pub_n, CK_ATTRIBUTE_PTR priv_t, CK_ULONG priv_n,
                        CK_OBJECT_HANDLE_PTR pub_out, CK_OBJECT_HANDLE_PTR priv_out) {
  ENTER("C_GenerateKeyPair");
  Session* s;
  if (CK_RV rv = session_of(h, &s)) return rv;
  if (!m || !pub_out || !priv_out) return CKR_ARGUMENTS_BAD;
  if (m->mechanism != CKM_GOSTR3410_KEY_PAIR_GEN || !listed(m->mechanism))
    return CKR_MECHANISM_INVALID;
  Attrs pub, priv;
  if (CK_RV rv = read_template(pub_t, pub_n, &pub)) return rv;
  if (CK_RV rv = read_template(priv_t, priv_n, &priv)) return rv;
  CK_ULONG v;
  if ((get_ulong(pub, CKA_CLASS, &v) && v != CKO_PUBLIC_KEY) ||
      (get_ulong(priv, CKA_CLASS, &v) && v != CKO_PRIVATE_KEY) ||
      (get_ulong(pub, CKA_KEY_TYPE, &v) && v != CKK_GOSTR3410) ||
      (get_ulong(priv, CKA_KEY_TYPE, &v) && v != CKK_GOSTR3410) || pub.count(CKA_VALUE) ||
      priv.count(CKA_VALUE))
    return CKR_TEMPLATE_INCONSISTENT;
  pub[CKA_CLASS] = ulong_bytes(CKO_PUBLIC_KEY);
  priv[CKA_CLASS] = ulong_bytes(CKO_PRIVATE_KEY);
  pub[CKA_KEY_TYPE] = priv[CKA_KEY_TYPE] = ulong_bytes(CKK_GOSTR3410);
  auto ps = pub.find(CKA_GOSTR3410_PARAMS);
  if (ps == pub.end()) return CKR_TEMPLATE_INCOMPLETE;
  const char* curve = curve_of(ps->second);
  if (!curve) return CKR_ATTRIBUTE_VALUE_INVALID;
  // The private half carries the parameter sets of the public one.
  for (CK_ATTRIBUTE_TYPE t : {CKA_GOSTR3410_PARAMS, CKA_GOSTR3411_PARAMS, CKA_GOST28147_PARAMS})
    if (pub.count(t) && !priv.count(t)) priv[t] = pub[t];

  Sexp parms, pair;
  if (gcry_sexp_build(&parms.s, nullptr, "(genkey (ecc (curve %s)))", curve) ||
      gcry_pk_genkey(&pair.s, parms.s))
    return CKR_FUNCTION_FAILED;
  bool ok_q, ok_d;
  Bytes q = mpi_of(pair.s, "q", 65, &ok_q);
  Wiped d;
  d.b = mpi_of(pair.s, "d", 32, &ok_d);
  if (!ok_q || !ok_d || q[0] != 0x04) return CKR_FUNCTION_FAILED;
  Bytes value = reversed(q.data() + 1, 32), y = reversed(q.data() + 33, 32);
  value.insert(value.end(), y.begin(), y.end());
  pub[CKA_VALUE] = value;
  priv[CKA_VALUE] = reversed(d.b.data(), 32);
  if (CK_RV rv = complete_object(pub, true)) return rv;
  if (CK_RV rv = complete_object(priv, true)) return rv;
  TokenFile tf;
  if (!tf.ok()) return CKR_DEVICE_ERROR;
  CK_OBJECT_HANDLE ph, kh;
  if (CK_RV rv = store_object(s, h, std::move(pub), tf, &ph)) return rv;
  if (CK_RV rv = store_object(s, h, std::move(priv), tf, &kh)) {
    Object* o;
    if (object_of(ph, &o) == CKR_OK) {
      if (o->token) {
        g_token.objects.erase(ph);
        tf.save();
      } else {
        g_session_objects.erase(ph);
      }
    }
    return rv;
  }
  *pub_out = ph;
  *priv_out = kh;
  return CKR_OK;
}

// A session secret key object holding value, made from the caller's template.
CK_RV make_secret(Session* s, CK_SESSION_HANDLE h, CK_ATTRIBUTE_PTR t, CK_ULONG n,
                  const unsigned char value[32], CK_OBJECT_HANDLE_PTR out) {
  Attrs a;
  if (CK_RV rv = read_template(t, n, &a)) return rv;
  CK_ULONG v;
  if ((get_ulong(a, CKA_CLASS, &v) && v != CKO_SECRET_KEY) || a.count(CKA_VALUE))
    return CKR_TEMPLATE_INCONSISTENT;
  a[CKA_CLASS] = ulong_bytes(CKO_SECRET_KEY);
  a[CKA_VALUE] = Bytes(value, value + 32);
  if (CK_RV rv = complete_object(a, true)) return rv;
  TokenFile tf;
  if (!tf.ok()) return CKR_DEVICE_ERROR;
  return store_object(s, h, std::move(a), tf, out);
}

CK_RV C_DeriveKey(CK_SESSION_HANDLE h, CK_MECHANISM_PTR m, CK_OBJECT_HANDLE kh, CK_ATTRIBUTE_PTR t,
                  CK_ULONG n, CK_OBJECT_HANDLE_PTR out) {
  ENTER("C_DeriveKey");
  Session* s;
  if (CK_RV rv = session_of(h, &s)) return rv;
  if (!m || !out) return CKR_ARGUMENTS_BAD;
  if (m->mechanism != CKM_GOSTR3410_DERIVE || !listed(m->mechanism)) return CKR_MECHANISM_INVALID;
  if (!m->pParameter || m->ulParameterLen != sizeof(DeriveParams))
    return CKR_MECHANISM_PARAM_INVALID;
  const auto* p = static_cast<const DeriveParams*>(m->pParameter);
  if (p->kdf != CKD_NULL || !p->pPublicData || p->ulPublicDataLen != 64 || !p->pUKM ||
      p->ulUKMLen != 8)
    return CKR_MECHANISM_PARAM_INVALID;
  Wiped kek(32);
  {
    TokenFile tf;
    if (!tf.ok()) return CKR_DEVICE_ERROR;
    Object* o;
    if (CK_RV rv = key_for(kh, CKO_PRIVATE_KEY, CKA_DERIVE, &o)) return rv;
    const char* curve = curve_of(o->attrs[CKA_GOSTR3410_PARAMS]);
    if (!curve) return CKR_KEY_TYPE_INCONSISTENT;
    if (CK_RV rv = vko(curve, o->attrs[CKA_VALUE], p->pPublicData, 64, p->pUKM, kek.b.data()))
      return rv;
  }
  return make_secret(s, h, t, n, kek.b.data(), out);
}

CK_RV C_UnwrapKey(CK_SESSION_HANDLE h, CK_MECHANISM_PTR m, CK_OBJECT_HANDLE kh, CK_BYTE_PTR wrapped,
                  CK_ULONG wrapped_len, CK_ATTRIBUTE_PTR t, CK_ULONG n, CK_OBJECT_HANDLE_PTR out) {
  ENTER("C_UnwrapKey");
  Session* s;
  if (CK_RV rv = session_of(h, &s)) return rv;
  if (!m || !out || (wrapped_len && !wrapped)) return CKR_ARGUMENTS_BAD;
  if (m->mechanism != CKM_GOSTR3410_KEY_WRAP || !listed(m->mechanism))
    return CKR_MECHANISM_INVALID;
  if (m->pParameter && m->ulParameterLen != sizeof(WrapParams)) return CKR_MECHANISM_PARAM_INVALID;
  Transport tr;
  if (!parse_transport(wrapped, wrapped_len, &tr)) return CKR_WRAPPED_KEY_INVALID;
  Wiped cek(32);
  {
    TokenFile tf;
    if (!tf.ok()) return CKR_DEVICE_ERROR;
    Object* o;
    if (CK_RV rv = key_for(kh, CKO_PRIVATE_KEY, CKA_UNWRAP, &o)) return rv;
    const char* curve = curve_of(o->attrs[CKA_GOSTR3410_PARAMS]);
    if (!curve) return CKR_KEY_TYPE_INCONSISTENT;
    Wiped kek(32);
    CK_RV rv = vko(curve, o->attrs[CKA_VALUE], tr.ephemeral.data(), 64, tr.ukm.data(),
                   kek.b.data());
    if (rv == CKR_MECHANISM_PARAM_INVALID) return CKR_WRAPPED_KEY_INVALID;
    if (rv) return rv;
    std::memcpy(cek.b.data(), tr.encrypted.data(), 32);
    unsigned char mac[4];
    if (!diversify(tr.sbox, kek.b.data(), tr.ukm.data()) ||
        !gost_cipher(GCRY_CIPHER_MODE_ECB, false, tr.sbox, kek.b.data(), nullptr, cek.b.data(),
                     32) ||
        !gost_mac(tr.sbox, kek.b.data(), tr.ukm.data(), cek.b.data(), 32, mac))
      return CKR_FUNCTION_FAILED;
    unsigned char diff = 0;
    for (int i = 0; i < 4; ++i) diff |= mac[i] ^ tr.mac[i];
    if (diff) return CKR_WRAPPED_KEY_INVALID;
  }
  return make_secret(s, h, t, n, cek.b.data(), out);
}

CK_RV C_GenerateRandom(CK_SESSION_HANDLE h, CK_BYTE_PTR out, CK_ULONG n) {
  ENTER("C_GenerateRandom");
  Session* s;
  if (CK_RV rv = session_of(h, &s)) return rv;
  if (n && !out) return CKR_ARGUMENTS_BAD;
  gcry_randomize(out, n, GCRY_STRONG_RANDOM);
  return CKR_OK;
}

CK_RV C_SeedRandom(CK_SESSION_HANDLE h, CK_BYTE_PTR, CK_ULONG) {
  ENTER("C_SeedRandom");
  Session* s;
  if (CK_RV rv = session_of(h, &s)) return rv;
  return CKR_RANDOM_SEED_NOT_SUPPORTED;
}

// Everything else answers CKR_FUNCTION_NOT_SUPPORTED.
#define UNSUPPORTED(name, ...)          \
  CK_RV name(__VA_ARGS__) {             \
    ENTER(#name);                       \
    return CKR_FUNCTION_NOT_SUPPORTED;  \
  }
UNSUPPORTED(C_InitToken, CK_SLOT_ID, CK_UTF8CHAR_PTR, CK_ULONG, CK_UTF8CHAR_PTR)
UNSUPPORTED(C_InitPIN, CK_SESSION_HANDLE, CK_UTF8CHAR_PTR, CK_ULONG)
UNSUPPORTED(C_SetPIN, CK_SESSION_HANDLE, CK_UTF8CHAR_PTR, CK_ULONG, CK_UTF8CHAR_PTR, CK_ULONG)
UNSUPPORTED(C_GetOperationState, CK_SESSION_HANDLE, CK_BYTE_PTR, CK_ULONG_PTR)
UNSUPPORTED(C_SetOperationState, CK_SESSION_HANDLE, CK_BYTE_PTR, CK_ULONG, CK_OBJECT_HANDLE,
            CK_OBJECT_HANDLE)
UNSUPPORTED(C_CopyObject, CK_SESSION_HANDLE, CK_OBJECT_HANDLE, CK_ATTRIBUTE_PTR, CK_ULONG,
            CK_OBJECT_HANDLE_PTR)
UNSUPPORTED(C_EncryptInit, CK_SESSION_HANDLE, CK_MECHANISM_PTR, CK_OBJECT_HANDLE)
UNSUPPORTED(C_Encrypt, CK_SESSION_HANDLE, CK_BYTE_PTR, CK_ULONG, CK_BYTE_PTR, CK_ULONG_PTR)
UNSUPPORTED(C_EncryptUpdate, CK_SESSION_HANDLE, CK_BYTE_PTR, CK_ULONG, CK_BYTE_PTR, CK_ULONG_PTR)
UNSUPPORTED(C_EncryptFinal, CK_SESSION_HANDLE, CK_BYTE_PTR, CK_ULONG_PTR)
UNSUPPORTED(C_DecryptInit, CK_SESSION_HANDLE, CK_MECHANISM_PTR, CK_OBJECT_HANDLE)
UNSUPPORTED(C_Decrypt, CK_SESSION_HANDLE, CK_BYTE_PTR, CK_ULONG, CK_BYTE_PTR, CK_ULONG_PTR)
UNSUPPORTED(C_DecryptUpdate, CK_SESSION_HANDLE, CK_BYTE_PTR, CK_ULONG, CK_BYTE_PTR, CK_ULONG_PTR)
UNSUPPORTED(C_DecryptFinal, CK_SESSION_HANDLE, CK_BYTE_PTR, CK_ULONG_PTR)
UNSUPPORTED(C_DigestKey, CK_SESSION_HANDLE, CK_OBJECT_HANDLE)
UNSUPPORTED(C_SignUpdate, CK_SESSION_HANDLE, CK_BYTE_PTR, CK_ULONG)
UNSUPPORTED(C_SignFinal, CK_SESSION_HANDLE, CK_BYTE_PTR, CK_ULONG_PTR)
UNSUPPORTED(C_SignRecoverInit, CK_SESSION_HANDLE, CK_MECHANISM_PTR, CK_OBJECT_HANDLE)
UNSUPPORTED(C_SignRecover, CK_SESSION_HANDLE, CK_BYTE_PTR, CK_ULONG, CK_BYTE_PTR, CK_ULONG_PTR)
UNSUPPORTED(C_VerifyUpdate, CK_SESSION_HANDLE, CK_BYTE_PTR, CK_ULONG)
UNSUPPORTED(C_VerifyFinal, CK_SESSION_HANDLE, CK_BYTE_PTR, CK_ULONG)
UNSUPPORTED(C_VerifyRecoverInit, CK_SESSION_HANDLE, CK_MECHANISM_PTR, CK_OBJECT_HANDLE)
UNSUPPORTED(C_VerifyRecover, CK_SESSION_HANDLE, CK_BYTE_PTR, CK_ULONG, CK_BYTE_PTR, CK_ULONG_PTR)
UNSUPPORTED(C_DigestEncryptUpdate, CK_SESSION_HANDLE, CK_BYTE_PTR, CK_ULONG, CK_BYTE_PTR,
            CK_ULONG_PTR)
UNSUPPORTED(C_DecryptDigestUpdate, CK_SESSION_HANDLE, CK_BYTE_PTR, CK_ULONG, CK_BYTE_PTR,
            CK_ULONG_PTR)
UNSUPPORTED(C_SignEncryptUpdate, CK_SESSION_HANDLE, CK_BYTE_PTR, CK_ULONG, CK_BYTE_PTR,
            CK_ULONG_PTR)
UNSUPPORTED(C_DecryptVerifyUpdate, CK_SESSION_HANDLE, CK_BYTE_PTR, CK_ULONG, CK_BYTE_PTR,
            CK_ULONG_PTR)
UNSUPPORTED(C_GenerateKey, CK_SESSION_HANDLE, CK_MECHANISM_PTR, CK_ATTRIBUTE_PTR, CK_ULONG,
            CK_OBJECT_HANDLE_PTR)
UNSUPPORTED(C_WrapKey, CK_SESSION_HANDLE, CK_MECHANISM_PTR, CK_OBJECT_HANDLE, CK_OBJECT_HANDLE,
            CK_BYTE_PTR, CK_ULONG_PTR)
UNSUPPORTED(C_GetFunctionStatus, CK_SESSION_HANDLE)
UNSUPPORTED(C_CancelFunction, CK_SESSION_HANDLE)
UNSUPPORTED(C_WaitForSlotEvent, CK_FLAGS, CK_SLOT_ID_PTR, CK_VOID_PTR)

CK_FUNCTION_LIST g_list = {
    {2, 30},
#define F(name) name,
    F(C_Initialize) F(C_Finalize) F(C_GetInfo) nullptr /* C_GetFunctionList, set below */,
    F(C_GetSlotList) F(C_GetSlotInfo) F(C_GetTokenInfo) F(C_GetMechanismList)
    F(C_GetMechanismInfo) F(C_InitToken) F(C_InitPIN) F(C_SetPIN) F(C_OpenSession)
    F(C_CloseSession) F(C_CloseAllSessions) F(C_GetSessionInfo) F(C_GetOperationState)
    F(C_SetOperationState) F(C_Login) F(C_Logout) F(C_CreateObject) F(C_CopyObject)
    F(C_DestroyObject) F(C_GetObjectSize) F(C_GetAttributeValue) F(C_SetAttributeValue)
    F(C_FindObjectsInit) F(C_FindObjects) F(C_FindObjectsFinal) F(C_EncryptInit) F(C_Encrypt)
    F(C_EncryptUpdate) F(C_EncryptFinal) F(C_DecryptInit) F(C_Decrypt) F(C_DecryptUpdate)
    F(C_DecryptFinal) F(C_DigestInit) F(C_Digest) F(C_DigestUpdate) F(C_DigestKey)
    F(C_DigestFinal) F(C_SignInit) F(C_Sign) F(C_SignUpdate) F(C_SignFinal) F(C_SignRecoverInit)
    F(C_SignRecover) F(C_VerifyInit) F(C_Verify) F(C_VerifyUpdate) F(C_VerifyFinal)
    F(C_VerifyRecoverInit) F(C_VerifyRecover) F(C_DigestEncryptUpdate) F(C_DecryptDigestUpdate)
    F(C_SignEncryptUpdate) F(C_DecryptVerifyUpdate) F(C_GenerateKey) F(C_GenerateKeyPair)
    F(C_WrapKey) F(C_UnwrapKey) F(C_DeriveKey) F(C_SeedRandom) F(C_GenerateRandom)
    F(C_GetFunctionStatus) F(C_CancelFunction) F(C_WaitForSlotEvent)
#undef F
};

}  // namespace

EXPORT CK_RV C_GetFunctionList(CK_FUNCTION_LIST_PTR_PTR out) {
  std::lock_guard<std::recursive_mutex> guard(g_mu);
  CK_RV rv;
  if (injected("C_GetFunctionList", &rv)) return rv;
  if (!out) return CKR_ARGUMENTS_BAD;
  g_list.C_GetFunctionList = C_GetFunctionList;
  *out = &g_list;
  return CKR_OK;
}

// Run-time switches, one command per call: "reset" (rules, counts and the mechanism list back to
// the environment's), "mechanisms=LIST", "fail=RULES", "invalidate" (every session ends and the
// user is logged out, as when the token is removed and inserted again). 1 when understood.
EXPORT int P11GOST_control(const char* command) {
  if (!command) return 0;
  std::lock_guard<std::recursive_mutex> guard(g_mu);
  read_env();
  std::string c(command);
  if (c == "reset") {
    g_env_read = false;
    g_rules.clear();
    g_counts.clear();
    read_env();
    return 1;
  }
  if (c == "invalidate") {
    drop_sessions();
    return 1;
  }
  if (c.rfind("mechanisms=", 0) == 0) {
    g_mechanisms = parse_mechanisms(c.substr(11));
    return 1;
  }
  if (c.rfind("fail=", 0) == 0) {
    add_rules(c.substr(5));
    return 1;
  }
  return 0;
}

// Calls of a function since the last reset; for "token objects" and "session objects", how
// many objects the token keeps (-1 when its file cannot be read) and how many sessions hold.
EXPORT long P11GOST_calls(const char* name) {
  std::lock_guard<std::recursive_mutex> guard(g_mu);
  if (name && std::string(name) == "token objects") {
    TokenFile file;
    return file.ok() ? static_cast<long>(g_token.objects.size()) : -1;
  }
  if (name && std::string(name) == "session objects") return static_cast<long>(g_session_objects.size());
  auto it = g_counts.find(name ? name : "");
  return it == g_counts.end() ? 0 : it->second;
}
