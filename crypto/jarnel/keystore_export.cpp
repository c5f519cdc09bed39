// Native methods of ru.halvorit.crypto.pkcs11.PKCS11Wrapper: the key store seen from Java.
// Each takes the path of a key container (or of an entry in one) and runs one key-store
// operation in the common frame (jni_frame.h): generate a key pair, give the public key, sign,
// derive a key-encryption key, list keys and certificates, read, add or destroy an entry, and
// export, import or erase a whole container. A failure is recorded as (85, method, reason) at
// the step's fixed line; the calling object's setError(int) receives the carrier's or token's
// status (5 when none) and the result is null or false.
//
// Paths. A "pkcs11" path names a container on a token (the container path only selects module
// and slot) and is used as given: the key and certificate methods of the token do the work. A
// drive or folder path names either the container's folder, meaning its key file
// (keys/00000001.key), or a key file inside the container's key folder
// (CONTAINER/keys/00000002.key), whose container is the key folder's parent. Aliases of folder
// containers are the names of the key folder's key files (*.key) and certificates (*.cer).
#include <jni.h>
#include <strings.h>

#include <cstddef>
#include <cstdio>
#include <cstring>

#include "crypto/bio/token.h"
#include "crypto/cadb/buffer.h"
#include "crypto/cadb/cadb.h"
#include "crypto/cadb/cert.h"
#include "crypto/cadb/pkey.h"
#include "crypto/cadb/pse_ctx.h"
#include "crypto/ecgost/ecgost.h"
#include "crypto/jarnel/jni_frame.h"
#include "crypto/mem.h"
#include "crypto/objects/objects.h"
#include "crypto/pkcs11/pkcs11.h"
#include "crypto/r3410/r3410.h"

using namespace jarnel;

namespace jarnel {
JARNEL_MAKE_OWNER(PSE_CTX, PSE_CTX_free);
}  // namespace jarnel

namespace {

// Open flags of file operations: the argument is the JNI_CALLBACK_CTX.
constexpr std::uint32_t OPEN_FLAGS = TOKEN_FLAG_CALLBACK;
// Token error handed to Java for a name it does not know and for a missing mechanism.
constexpr std::uint32_t TOKEN_ERROR_BAD_NAME = 0x71, TOKEN_ERROR_NO_MECHANISM = 0x70,
                        TOKEN_ERROR_SOURCE = 3;
// Listing flags: private keys; certificates of category 1, then 2 (all with recursion and the
// list as the PIN call-back's argument).
constexpr unsigned LIST_KEYS = PKCS11_LIST_ARG_IS_CALLBACK_ARG | PKCS11_LIST_PRIVATE_KEYS |
                               PKCS11_LIST_RECURSE;  // 0x85
constexpr unsigned LIST_CERTS_1 = PKCS11_LIST_ARG_IS_CALLBACK_ARG |
                                  PKCS11_LIST_CERTS_CATEGORY1 | PKCS11_LIST_RECURSE;  // 0x89
constexpr unsigned LIST_CERTS_2 = PKCS11_LIST_ARG_IS_CALLBACK_ARG |
                                  PKCS11_LIST_CERTS_CATEGORY2 | PKCS11_LIST_RECURSE;  // 0x91
constexpr int SIGN_DIGEST_BYTES = 32;
constexpr int UKM_BYTES = 8;
constexpr int KEK_BYTES = 32;
constexpr int CERT_KIND_TRUE = 2, CERT_KIND_FALSE = 1;

// The fixed line of each failing step, as it appears in the printed output.
struct OpenLines {
  int no_class, no_path, pse_new, pse_path, pse_read, pkey_new, pkey_path, pkey_pse, pkey_read;
};
struct GenerateLines {
  static constexpr int BAD_ALGORITHM = 305, BAD_PARAMETERS = 318, KEY_EXISTS = 330,
                       GENERATE = 337, WRITE = 342, NO_KEY = 348, ENCODE = 356, NO_ARRAY = 362;
};
constexpr OpenLines GENERATE_OPEN{.no_class = 287, .no_path = 292, .pse_new = 321,
                                  .pse_path = 323, .pse_read = 325, .pkey_new = 327,
                                  .pkey_path = 329, .pkey_pse = 331, .pkey_read = 0};
struct PublicKeyLines {
  static constexpr int NO_KEY = 420, ENCODE = 428, NO_ARRAY = 434;
};
constexpr OpenLines PUBLIC_KEY_OPEN{.no_class = 392, .no_path = 397, .pse_new = 401,
                                    .pse_path = 403, .pse_read = 405, .pkey_new = 407,
                                    .pkey_path = 409, .pkey_pse = 411, .pkey_read = 414};
struct SignLines {
  static constexpr int NO_DATA = 471, NO_KEY = 478, SIGN = 490, NO_ARRAY = 496;
};
constexpr OpenLines SIGN_OPEN{.no_class = 451, .no_path = 456, .pse_new = 460, .pse_path = 462,
                              .pse_read = 464, .pkey_new = 466, .pkey_path = 468,
                              .pkey_pse = 470, .pkey_read = 473};
struct DeriveLines {
  static constexpr int NO_PEER = 538, NO_UKM = 541, PEER_DECODE = 547, NO_AGREEMENT = 553,
                       PEER_CURVE = 558, DERIVE = 566, NO_ARRAY = 572;
};
constexpr OpenLines DERIVE_OPEN{.no_class = 518, .no_path = 523, .pse_new = 527,
                                .pse_path = 529, .pse_read = 531, .pkey_new = 533,
                                .pkey_path = 535, .pkey_pse = 537, .pkey_read = 540};
struct AliasLines {
  int no_class, no_path, no_list, list_failed, no_array;
};
constexpr AliasLines KEY_ALIAS_LINES{
    .no_class = 612, .no_path = 617, .no_list = 620, .list_failed = 625, .no_array = 636};
constexpr AliasLines CERT_ALIAS_LINES{
    .no_class = 668, .no_path = 673, .no_list = 676, .list_failed = 683, .no_array = 694};
struct GetCertLines {
  static constexpr int NO_CLASS = 721, NO_PATH = 726, CTX_NEW = 730, SET_PATH = 733, READ = 736,
                       ENCODE = 741, NO_ARRAY = 746;
};
struct AddCertLines {
  static constexpr int NO_CLASS = 773, NO_PATH = 778, NO_DATA = 782, CTX_NEW = 786,
                       SET_DATA = 789, READ = 792, NO_FOLDER = 799, NO_NAME = 805,
                       SET_PATH = 810, SET_KIND = 813, WRITE = 816;
};
struct DestroyLines {
  static constexpr int NO_CLASS = 843, NO_PATH = 848, ERASE = 852;
};
struct ReadPseLines {
  static constexpr int NO_CLASS = 876, NO_PATH = 881, CTX_NEW = 885, SET_FLAGS = 888,
                       SET_PATH = 891, READ = 895, INCOMPLETE = 901, NO_ARRAY = 913;
};
struct WritePseLines {
  static constexpr int NO_CLASS = 943, NO_PATH = 948, NO_CONTENTS = 955, CTX_NEW = 959,
                       SET_CONTENTS = 966, CHECK = 970, SET_PATH = 974, WRITE = 979;
};
struct ErasePseLines {
  static constexpr int NO_CLASS = 1005, NO_PATH = 1010, CTX_NEW = 1014, SET_PATH = 1017,
                       ERASE = 1021;
};

// The text of the entry point's own reason for its last failure on this thread, for the
// exceptions of the Java API (the queue itself goes to standard error).
thread_local char t_entry_reason[128];

// Gives a container context the entry point's call-back triple twice: as its call-back data
// (PKCS#11 logins) and, with the call-back file flag, as the argument of its file operations,
// through which a carrier driver asks for the PIN of a private file (the master-key file on a
// ruToken or eToken), as the token-file entry points do. Without the latter the driver has no
// one to ask, and a container with a private master-key file could be neither opened nor
// written from Java. The context keeps its own copy of the triple.
bool give_callback(PSE_CTX* pse, JNI_CALLBACK_CTX* cb) {
  return PSE_CTX_set_callback_data(pse, cb) && PSE_CTX_set_io_flags(pse, TOKEN_FLAG_CALLBACK) &&
         PSE_CTX_set_login_arg(pse, cb, static_cast<int>(sizeof *cb));
}

std::nullopt_t fail(JniFrame& f, int func, int line, int reason = R_INTERNAL_ERROR) {
  const unsigned long e = (static_cast<unsigned long>(LIB_JNI) << 24) |
                          (static_cast<unsigned long>(func) << 12) |
                          static_cast<unsigned long>(reason);
  const char* text = ERR_reason_error_string(e);
  std::snprintf(t_entry_reason, sizeof t_entry_reason, "%s", text ? text : "");
  return f.fail(line, reason);
}

bool is_pkcs11_path(const char* path) { return strncasecmp(path, "pkcs11", 6) == 0; }

// Whether a container's master-key file is at path.
bool holds_container(const char* path) {
  char mk[CADB_PATH_BUF];
  return PSE_item_path(path, PseItem::MasterKey, mk) && CADB_file_exists(mk);
}

// Where a key path's container is. A "pkcs11" path and a path naming a container's folder are
// their own container; a file in a container's key folder belongs to that container (the key
// folder's parent). Anything else is taken as a container path and fails when opened.
void container_of(const char* key_path, char container[CADB_PATH_BUF]) {
  std::snprintf(container, CADB_PATH_BUF, "%s", key_path);
  if (is_pkcs11_path(key_path) || holds_container(key_path)) return;
  char parent[CADB_PATH_BUF];
  std::snprintf(parent, sizeof parent, "%s", key_path);
  char* cut = std::strrchr(parent, '/');
  if (char* b = std::strrchr(parent, '\\'); b && (!cut || b > cut)) cut = b;
  if (!cut) return;
  *cut = '\0';
  const char* folder_name = cut;
  while (folder_name > parent && folder_name[-1] != '/' && folder_name[-1] != '\\') --folder_name;
  if (folder_name == parent) return;
  char grandparent[CADB_PATH_BUF];
  std::snprintf(grandparent, sizeof grandparent, "%.*s",
                static_cast<int>(folder_name - 1 - parent), parent);
  if (grandparent[0] == '\0') std::snprintf(grandparent, sizeof grandparent, "%c", parent[0]);
  const char* key_dir = PSE_item_name(grandparent, PseItem::KeyDir);
  if (key_dir && strcasecmp(folder_name, key_dir) == 0 && holds_container(grandparent))
    std::snprintf(container, CADB_PATH_BUF, "%s", grandparent);
}

// The container and key contexts of a key method, opened in the usual order: the container
// (read), then the key context on the same path holding the container; with read_key the key
// itself.
struct OpenedKey {
  Owned<PSE_CTX> pse;
  Owned<PKEY_CTX> key;
};

std::optional<bool> open_key(JniFrame& f, int func, const OpenLines& l, const char* path,
                             JNI_CALLBACK_CTX* cb, bool read_key, OpenedKey& o) {
  char container[CADB_PATH_BUF];
  container_of(path, container);
  o.pse.reset(PSE_CTX_new());
  if (!o.pse) return fail(f, func, l.pse_new, R_MALLOC_FAILURE);
  if (!PSE_CTX_set_path(o.pse.get(), container, 0)) return fail(f, func, l.pse_path);
  if (!give_callback(o.pse.get(), cb) || !PSE_CTX_read(o.pse.get()))
    return fail(f, func, l.pse_read);
  o.key.reset(PKEY_CTX_new());
  if (!o.key) return fail(f, func, l.pkey_new, R_MALLOC_FAILURE);
  if (!PKEY_CTX_set_callback_data(o.key.get(), cb) || !PKEY_CTX_set_path(o.key.get(), path))
    return fail(f, func, l.pkey_path);
  if (!PKEY_CTX_set_pse(o.key.get(), PSE_CTX_get_pse(o.pse.get())))
    return fail(f, func, l.pkey_pse);
  if (read_key && !PKEY_CTX_read(o.key.get())) return fail(f, func, l.pkey_read);
  return true;
}

// Step 5 and 6 of the key pair generation, shared with the public key: the SubjectPublicKeyInfo
// goes to Java, where a GOST R 34.10-2001 key on the CryptoPro-A cipher set carries none (the
// key itself keeps it: generation encodes before it writes the key file).
struct PublicSteps {
  int no_key, encode, no_array;
};
std::optional<jbyteArray> public_key_array(JniFrame& f, int func, const PublicSteps& l,
                                           PKEY_CTX* ctx) {
  PKEY* record = PKEY_CTX_get_key(ctx);
  if (!record || !record->key) return fail(f, func, l.no_key);
  int pub = 0, digest = 0, cipher = 0;
  ECGOST* ec = record->key->ec;
  if (ec) {
    ECGOST_get_paramsets(ec, &pub, &digest, &cipher);
    if (cipher == NID_CP_28147_A) ECGOST_set_paramsets(ec, pub, digest, 0);
  }
  const int n = i2d_PKEY_KEY_PUBKEY(record->key, nullptr);
  SecureBuffer der;
  unsigned char* p = nullptr;
  const bool encoded = n > 0 && der.resize(static_cast<std::size_t>(n)) &&
                       (p = der.data(), i2d_PKEY_KEY_PUBKEY(record->key, &p) == n);
  if (ec && cipher == NID_CP_28147_A) ECGOST_set_paramsets(ec, pub, digest, cipher);
  if (!encoded) return fail(f, func, l.encode);
  jbyteArray result = f.new_byte_array(der.data(), n);
  if (!result) return fail(f, func, l.no_array, R_MALLOC_FAILURE);
  return result;
}

// Parameter-set names of nativeGenerateKeyPair (exact, case-sensitive).
struct ParamName {
  const char* name;
  int nid;
};
constexpr ParamName kParamSets[] = {{"CP-A", NID_CP_2001_A},
                                    {"CP-B", NID_CP_2001_B},
                                    {"CP-C", NID_CP_2001_C},
                                    {"CP-XA", NID_CP_2001_XCHA},
                                    {"CP-XB", NID_CP_2001_XCHB}};

// ---- Aliases -------------------------------------------------------------------------------

// The aliases a listing collects, in listing order. The PKCS#11 store hands the listing's
// argument to the PIN call-back as well (list flag 0x80), so the list begins with the caller's
// JNI_CALLBACK_CTX: the same pointer serves both.
struct AliasList {
  JNI_CALLBACK_CTX callback;
  BUFFER** items;
  int count;
  int capacity;
  const char* suffix;  // folders: the ending of the names kept (".key", ".cer")
};
static_assert(offsetof(AliasList, callback) == 0);

void alias_list_clear(AliasList& l) {
  for (int i = 0; i < l.count; ++i) BUFFER_free(l.items[i]);
  mem_free(l.items);
  l.items = nullptr;
  l.count = l.capacity = 0;
}

bool alias_append(AliasList& l, const char* alias) {
  if (l.count == l.capacity) {
    const int cap = l.capacity ? l.capacity * 2 : 16;
    auto* items = static_cast<BUFFER**>(
        mem_realloc(l.items, sizeof(BUFFER*) * static_cast<std::size_t>(cap)));
    if (!items) return false;
    l.items = items;
    l.capacity = cap;
  }
  BUFFER* b = BUFFER_fill(alias, -1);
  if (!b) return false;
  l.items[l.count++] = b;
  return true;
}

// A token entry "pkcs11:\module\NAME" (either separator): the alias is the text after the
// first "/" from the ninth character on, else after the first backslash there, else everything
// from the ninth character. Any other form stops the listing.
int token_alias(const char* path, void* arg) {
  auto* list = static_cast<AliasList*>(arg);
  if (std::strlen(path) < 8 || strncasecmp(path, "pkcs11", 6) != 0 ||
      (path[6] != ':' && path[6] != '\\') || (path[7] != '/' && path[7] != '\\')) {
    JARNEL_JNI_ERR(JNI_F_TOKEN_FILE_LIST, R_INTERNAL_ERROR);
    return 0;
  }
  const char* rest = path + 8;
  const char* cut = std::strchr(rest, '/');
  if (!cut) cut = std::strchr(rest, '\\');
  return alias_append(*list, cut ? cut + 1 : rest) ? 1 : 0;
}

// A file of a folder container's key folder: its name, when it has the wanted ending.
int folder_alias(const char* path, void* arg) {
  auto* list = static_cast<AliasList*>(arg);
  const char* name = std::strrchr(path, '/');
  if (const char* b = std::strrchr(path, '\\'); b && (!name || b > name)) name = b;
  name = name ? name + 1 : path;
  const std::size_t n = std::strlen(name), s = std::strlen(list->suffix);
  if (n <= s || strcasecmp(name + n - s, list->suffix) != 0) return 1;
  return alias_append(*list, name) ? 1 : 0;
}

// Lists a container's keys or certificates: on a token with the given listing flags, in a
// folder container the key folder's files with the given ending. A folder without a key
// folder has no entries.
bool list_aliases(const char* path, const unsigned* flags, int n_flags, const char* suffix,
                  AliasList& list) {
  if (is_pkcs11_path(path)) {
    for (int i = 0; i < n_flags; ++i)
      if (!CADB_list_directory(path, flags[i], token_alias, &list)) return false;
    return true;
  }
  char container[CADB_PATH_BUF], key_dir[CADB_PATH_BUF];
  container_of(path, container);
  // A path that is neither a token's nor a container's has no entries to list.
  if (!holds_container(container) || !PSE_item_path(container, PseItem::KeyDir, key_dir))
    return false;
  list.suffix = suffix;
  if (!CADB_is_directory(key_dir)) return true;
  return CADB_list_directory(key_dir, 0, folder_alias, &list) != 0;
}

jobjectArray aliases(JNIEnv* env, jobject self, jstring jpath, int func, const unsigned* flags,
                     int n_flags, const char* suffix, const AliasLines& l) {
  return jni_run<jobjectArray>(
      env, self, {.func = func, .sets_java_error = true},
      [&](JniFrame& f) -> std::optional<jobjectArray> {
        t_entry_reason[0] = '\0';
        JNI_CALLBACK_CTX* ctx = f.callback();
        if (!ctx) return fail(f, func, l.no_class);
        const char* path = f.string(jpath);
        if (!path) return fail(f, func, l.no_path);
        AliasList list{*ctx, nullptr, 0, 0, nullptr};
        struct Clear {
          AliasList& l;
          ~Clear() { alias_list_clear(l); }
        } clear{list};
        if (!list_aliases(path, flags, n_flags, suffix, list)) return fail(f, func, l.list_failed);
        if (list.count == 0) return static_cast<jobjectArray>(nullptr);
        jobjectArray result = f.new_string_array(
            list.count, [&](jsize i) { return reinterpret_cast<const char*>(list.items[i]->data); });
        if (!result) return fail(f, func, l.no_array, R_MALLOC_FAILURE);
        return result;
      });
}

// ---- Certificates in folder containers -----------------------------------------------------

bool same_file(const char* path, const BUFFER* der) {
  Owned<BUFFER> old(BUFFER_read_file(path, 0, nullptr));
  return old && old->length == der->length &&
         std::memcmp(old->data, der->data, static_cast<std::size_t>(der->length)) == 0;
}

// Where a certificate added to a folder container goes: the first free NNNNNNNN.cer of its key
// folder (the search stops 16 numbers past the first gap); *stored is set when the folder holds
// the same certificate already. 0 when no name is free.
bool certificate_slot(const char* key_dir, const BUFFER* der, char out[CADB_PATH_BUF],
                      bool* stored) {
  *stored = false;
  int free_number = 0;
  char path[CADB_PATH_BUF];
  for (int n = 1; n <= 99999999; ++n) {
    char name[16];
    std::snprintf(name, sizeof name, "%08d", n);
    CADB_make_path(path, key_dir, name, "cer");
    if (!CADB_file_exists(path)) {
      if (!free_number) free_number = n;
      if (n > free_number + 16) break;
      continue;
    }
    if (same_file(path, der)) {
      std::snprintf(out, CADB_PATH_BUF, "%s", path);
      *stored = true;
      return true;
    }
  }
  if (!free_number) return false;
  char name[16];
  std::snprintf(name, sizeof name, "%08d", free_number);
  CADB_make_path(out, key_dir, name, "cer");
  return true;
}

}  // namespace

extern "C" {

JNIEXPORT jbyteArray JNICALL Java_ru_halvorit_crypto_pkcs11_PKCS11Wrapper_nativeGenerateKeyPair(
    JNIEnv* env, jobject self, jstring jpath, jstring jalgorithm, jstring jparams) {
  using L = GenerateLines;
  constexpr int F = JNI_F_NATIVE_GENERATE_KEY_PAIR;
  return jni_run<jbyteArray>(
      env, self, {.func = F, .sets_java_error = true},
      [&](JniFrame& f) -> std::optional<jbyteArray> {
        t_entry_reason[0] = '\0';
        JNI_CALLBACK_CTX* ctx = f.callback();
        if (!ctx) return fail(f, F, GENERATE_OPEN.no_class);
        const char* path = f.string(jpath);
        const char* algorithm = f.string(jalgorithm);
        const char* params = f.string(jparams);
        if (!path) return fail(f, F, GENERATE_OPEN.no_path);
        // The names are checked before any carrier is touched.
        if (!algorithm || std::strcmp(algorithm, "ECGOST3410") != 0) {
          ERR_set_token_error(TOKEN_ERROR_BAD_NAME, TOKEN_ERROR_SOURCE);
          return fail(f, F, L::BAD_ALGORITHM, JNI_R_UNKNOWN_ALGORITHM);
        }
        int paramset = 0;
        for (const ParamName& p : kParamSets)
          if (params && std::strcmp(params, p.name) == 0) paramset = p.nid;
        if (!paramset) {
          ERR_set_token_error(TOKEN_ERROR_BAD_NAME, TOKEN_ERROR_SOURCE);
          return fail(f, F, L::BAD_PARAMETERS, JNI_R_UNKNOWN_PARAMETERS);
        }
        OpenedKey o;
        if (!open_key(f, F, GENERATE_OPEN, path, ctx, false, o)) return std::nullopt;
        // A folder container keeps each key in a file of its own: a new key never replaces
        // one that is there (destroy the entry first).
        if (!is_pkcs11_path(path)) {
          char key_file[CADB_PATH_BUF];
          const char* target = path;
          if (CADB_is_directory(path)) {
            if (!PKEY_key_file_path(path, 1, key_file)) return fail(f, F, L::KEY_EXISTS);
            target = key_file;
          }
          if (CADB_file_exists(target)) return fail(f, F, L::KEY_EXISTS);
        }
        if (!PKEY_CTX_generate(o.key.get(), PKEY_TYPE_ECGOST_CP, paramset))
          return fail(f, F, L::GENERATE);
        // The public key is ready for Java before the key is stored: once the key file is
        // written nothing is left to fail, so a failed call never leaves a key behind that the
        // caller did not get (and that would block the next generation).
        std::optional<jbyteArray> result =
            public_key_array(f, F, {L::NO_KEY, L::ENCODE, L::NO_ARRAY}, o.key.get());
        if (!result) return std::nullopt;
        if (!PKEY_CTX_write(o.key.get(), PKEY_FORMAT_DER, PKEY_KIND_PKCS8)) {
          f.env()->DeleteLocalRef(*result);
          return fail(f, F, L::WRITE);
        }
        return result;
      });
}

JNIEXPORT jbyteArray JNICALL Java_ru_halvorit_crypto_pkcs11_PKCS11Wrapper_nativeGetPublicKey(
    JNIEnv* env, jobject self, jstring jpath) {
  using L = PublicKeyLines;
  constexpr int F = JNI_F_NATIVE_GET_PUBLIC_KEY;
  return jni_run<jbyteArray>(
      env, self, {.func = F, .sets_java_error = true},
      [&](JniFrame& f) -> std::optional<jbyteArray> {
        t_entry_reason[0] = '\0';
        JNI_CALLBACK_CTX* ctx = f.callback();
        if (!ctx) return fail(f, F, PUBLIC_KEY_OPEN.no_class);
        const char* path = f.string(jpath);
        if (!path) return fail(f, F, PUBLIC_KEY_OPEN.no_path);
        OpenedKey o;
        if (!open_key(f, F, PUBLIC_KEY_OPEN, path, ctx, true, o)) return std::nullopt;
        return public_key_array(f, F, {L::NO_KEY, L::ENCODE, L::NO_ARRAY}, o.key.get());
      });
}

JNIEXPORT jbyteArray JNICALL Java_ru_halvorit_crypto_pkcs11_PKCS11Wrapper_nativeSign(
    JNIEnv* env, jobject self, jstring jpath, jbyteArray jdata) {
  using L = SignLines;
  constexpr int F = JNI_F_NATIVE_SIGN;
  return jni_run<jbyteArray>(
      env, self, {.func = F, .sets_java_error = true},
      [&](JniFrame& f) -> std::optional<jbyteArray> {
        t_entry_reason[0] = '\0';
        JNI_CALLBACK_CTX* ctx = f.callback();
        if (!ctx) return fail(f, F, SIGN_OPEN.no_class);
        const char* path = f.string(jpath);
        if (!path) return fail(f, F, SIGN_OPEN.no_path);
        std::optional<JniBytes> data = f.bytes(jdata, JniSecrecy::Public);
        if (!data) return fail(f, F, L::NO_DATA);
        OpenedKey o;
        if (!open_key(f, F, SIGN_OPEN, path, ctx, true, o)) return std::nullopt;
        PKEY* record = PKEY_CTX_get_key(o.key.get());
        if (!record || !record->key) return fail(f, F, L::NO_KEY);
        // The data's first 32 bytes are the GOST R 34.11-94 hash value, most significant byte
        // first; shorter data is followed by zeros.
        unsigned char digest[SIGN_DIGEST_BYTES] = {};
        if (data->length > 0)
          std::memcpy(digest, data->data,
                      static_cast<std::size_t>(data->length < SIGN_DIGEST_BYTES
                                                   ? data->length
                                                   : SIGN_DIGEST_BYTES));
        int form = ECGOST_SIG_CP;
        if (record->key->r3410) form = R3410_SIG_CRYPTOPRO;
        const int size = PKEY_KEY_size(record->key);
        SecureBuffer sig;
        unsigned siglen = static_cast<unsigned>(size);
        if (size <= 0 || !sig.resize(static_cast<std::size_t>(size)) ||
            !PKEY_KEY_sign(record->key, form, digest, SIGN_DIGEST_BYTES, sig.data(), &siglen))
          return fail(f, F, L::SIGN);
        jbyteArray result = f.new_byte_array(sig.data(), static_cast<jsize>(siglen));
        if (!result) return fail(f, F, L::NO_ARRAY, R_MALLOC_FAILURE);
        return result;
      });
}

JNIEXPORT jbyteArray JNICALL Java_ru_halvorit_crypto_pkcs11_PKCS11Wrapper_nativeDerive(
    JNIEnv* env, jobject self, jstring jpath, jbyteArray jpeer, jbyteArray jukm, jint) {
  using L = DeriveLines;
  constexpr int F = JNI_F_NATIVE_DERIVE;
  return jni_run<jbyteArray>(
      env, self, {.func = F, .sets_java_error = true},
      [&](JniFrame& f) -> std::optional<jbyteArray> {
        t_entry_reason[0] = '\0';
        JNI_CALLBACK_CTX* ctx = f.callback();
        if (!ctx) return fail(f, F, DERIVE_OPEN.no_class);
        const char* path = f.string(jpath);
        if (!path) return fail(f, F, DERIVE_OPEN.no_path);
        std::optional<JniBytes> peer = f.bytes(jpeer, JniSecrecy::Public);
        if (!peer) return fail(f, F, L::NO_PEER);
        // The agreement reads 8 bytes of keying material: fewer is refused, not read past.
        std::optional<JniBytes> ukm = f.bytes(jukm, JniSecrecy::Public);
        if (!ukm || ukm->length < UKM_BYTES) return fail(f, F, L::NO_UKM);
        OpenedKey o;
        if (!open_key(f, F, DERIVE_OPEN, path, ctx, true, o)) return std::nullopt;
        const unsigned char* p = reinterpret_cast<const unsigned char*>(peer->data);
        Owned<PKEY_KEY> peer_key(d2i_PKEY_KEY_PUBKEY(&p, peer->length));
        if (!peer_key) return fail(f, F, L::PEER_DECODE);
        PKEY* record = PKEY_CTX_get_key(o.key.get());
        PKEY_KEY* own = record ? record->key : nullptr;
        // A key held in software agrees keys; a token key only when its token does VKO.
        const bool agrees = own && !(record->flags & PKEY_FLAG_SIGN_ONLY) &&
                            (own->token_method ? own->token_method->derive != nullptr
                                               : own->ec != nullptr);
        if (!agrees) {
          ERR_set_token_error(TOKEN_ERROR_NO_MECHANISM, TOKEN_ERROR_SOURCE);
          return fail(f, F, L::NO_AGREEMENT, JNI_R_UNSUPPORTED_MECHANISM);
        }
        // The peer's key must be on the own key's parameter set: a point of another curve is
        // no key to agree with.
        const ECPOINT* point = peer_key->ec ? ECGOST_get_public(peer_key->ec) : nullptr;
        if (!point) return fail(f, F, L::PEER_CURVE);
        if (own->ec) {
          int own_set = 0, peer_set = 0, d = 0, c = 0;
          ECGOST_get_paramsets(own->ec, &own_set, &d, &c);
          ECGOST_get_paramsets(peer_key->ec, &peer_set, &d, &c);
          if (own_set != peer_set) return fail(f, F, L::PEER_CURVE);
        }
        // The agreement gives the key-encryption key in the byte order of RFC 4357 (the order
        // other GOST software compares), which is what Java receives.
        unsigned char kek[KEK_BYTES];
        std::size_t kek_len = sizeof kek;
        const bool ok = PKEY_KEY_derive(own, point, reinterpret_cast<const unsigned char*>(ukm->data),
                                        kek, &kek_len) != 0 &&
                        kek_len == KEK_BYTES;
        jbyteArray result = ok ? f.new_byte_array(kek, KEK_BYTES) : nullptr;
        mem_cleanse(kek, sizeof kek);
        if (!ok) return fail(f, F, L::DERIVE);
        if (!result) return fail(f, F, L::NO_ARRAY, R_MALLOC_FAILURE);
        return result;
      });
}

JNIEXPORT jobjectArray JNICALL
Java_ru_halvorit_crypto_pkcs11_PKCS11Wrapper_nativePrivateKeyAliases(JNIEnv* env, jobject self,
                                                                      jstring jpath) {
  static constexpr unsigned flags[] = {LIST_KEYS};
  return aliases(env, self, jpath, JNI_F_NATIVE_PRIVATE_KEY_ALIASES, flags, 1, ".key",
                 KEY_ALIAS_LINES);
}

JNIEXPORT jobjectArray JNICALL
Java_ru_halvorit_crypto_pkcs11_PKCS11Wrapper_nativeCertificateAliases(JNIEnv* env, jobject self,
                                                                       jstring jpath) {
  static constexpr unsigned flags[] = {LIST_CERTS_1, LIST_CERTS_2};
  return aliases(env, self, jpath, JNI_F_NATIVE_CERTIFICATE_ALIASES, flags, 2, ".cer",
                 CERT_ALIAS_LINES);
}

JNIEXPORT jbyteArray JNICALL Java_ru_halvorit_crypto_pkcs11_PKCS11Wrapper_nativeGetCertificate(
    JNIEnv* env, jobject self, jstring jpath) {
  using L = GetCertLines;
  constexpr int F = JNI_F_NATIVE_GET_CERTIFICATE;
  return jni_run<jbyteArray>(
      env, self, {.func = F, .sets_java_error = true},
      [&](JniFrame& f) -> std::optional<jbyteArray> {
        t_entry_reason[0] = '\0';
        JNI_CALLBACK_CTX* ctx = f.callback();
        if (!ctx) return fail(f, F, L::NO_CLASS);
        const char* path = f.string(jpath);
        if (!path) return fail(f, F, L::NO_PATH);
        Owned<CERT_CTX> cert(CERT_CTX_new());
        if (!cert) return fail(f, F, L::CTX_NEW, R_MALLOC_FAILURE);
        // A token may ask for its PIN to reach the object: the call-back gets the frame's context.
        if (!CERT_CTX_set_callback_data(cert.get(), ctx) || !CERT_CTX_set_path(cert.get(), path))
          return fail(f, F, L::SET_PATH);
        if (!CERT_CTX_read(cert.get())) return fail(f, F, L::READ);
        Owned<BUFFER> der(CERT_get(CERT_CTX_get_cert(cert.get()), CERT_FORMAT_DER));
        if (!der) return fail(f, F, L::ENCODE);
        jbyteArray result = f.new_byte_array(der->data, der->length);
        if (!result) return fail(f, F, L::NO_ARRAY, R_MALLOC_FAILURE);
        return result;
      });
}

JNIEXPORT jboolean JNICALL Java_ru_halvorit_crypto_pkcs11_PKCS11Wrapper_nativeAddCertificate(
    JNIEnv* env, jobject self, jstring jpath, jbyteArray jcert, jboolean flag) {
  using L = AddCertLines;
  constexpr int F = JNI_F_NATIVE_ADD_CERTIFICATE;
  return jni_run<jboolean>(
      env, self, {.func = F, .sets_java_error = true},
      [&](JniFrame& f) -> std::optional<jboolean> {
        t_entry_reason[0] = '\0';
        JNI_CALLBACK_CTX* ctx = f.callback();
        if (!ctx) return fail(f, F, L::NO_CLASS);
        const char* path = f.string(jpath);
        if (!path) return fail(f, F, L::NO_PATH);
        std::optional<JniBytes> bytes = f.bytes(jcert, JniSecrecy::Public);
        if (!bytes || bytes->length < 1) return fail(f, F, L::NO_DATA);
        Owned<CERT_CTX> cert(CERT_CTX_new());
        if (!cert) return fail(f, F, L::CTX_NEW, R_MALLOC_FAILURE);
        if (!CERT_CTX_set_data(cert.get(), bytes->data, bytes->length))
          return fail(f, F, L::SET_DATA);
        // Parsing validates the bytes: nothing is written for bytes that are no certificate.
        if (!CERT_CTX_read(cert.get())) return fail(f, F, L::READ);
        // A folder container's certificates are NNNNNNNN.cer files of its key folder.
        char target[CADB_PATH_BUF];
        std::snprintf(target, sizeof target, "%s", path);
        if (!is_pkcs11_path(path) && holds_container(path)) {
          char key_dir[CADB_PATH_BUF];
          if (!PSE_item_path(path, PseItem::KeyDir, key_dir) ||
              (!CADB_is_directory(key_dir) && !CADB_token_mkdir(key_dir, 0, nullptr)))
            return fail(f, F, L::NO_FOLDER);
          Owned<BUFFER> der(CERT_get(CERT_CTX_get_cert(cert.get()), CERT_FORMAT_DER));
          bool stored = false;
          if (!der || !certificate_slot(key_dir, der.get(), target, &stored))
            return fail(f, F, L::NO_NAME);
          if (stored) return JNI_TRUE;
        }
        if (!CERT_CTX_set_callback_data(cert.get(), ctx) || !CERT_CTX_set_path(cert.get(), target))
          return fail(f, F, L::SET_PATH);
        if (!CERT_CTX_set_kind(cert.get(), flag ? CERT_KIND_TRUE : CERT_KIND_FALSE))
          return fail(f, F, L::SET_KIND);
        if (!CERT_CTX_write(cert.get(), CERT_FORMAT_DER)) return fail(f, F, L::WRITE);
        return JNI_TRUE;
      });
}

JNIEXPORT jboolean JNICALL Java_ru_halvorit_crypto_pkcs11_PKCS11Wrapper_nativeDestroyEntry(
    JNIEnv* env, jobject self, jstring jpath) {
  using L = DestroyLines;
  constexpr int F = JNI_F_NATIVE_DESTROY_ENTRY;
  return jni_run<jboolean>(
      env, self, {.func = F, .sets_java_error = true},
      [&](JniFrame& f) -> std::optional<jboolean> {
        t_entry_reason[0] = '\0';
        JNI_CALLBACK_CTX* ctx = f.callback();
        if (!ctx) return fail(f, F, L::NO_CLASS);
        const char* path = f.string(jpath);
        if (!path) return fail(f, F, L::NO_PATH);
        if (!CADB_erase_file(path, OPEN_FLAGS, ctx)) return fail(f, F, L::ERASE);
        return JNI_TRUE;
      });
}

JNIEXPORT jbyteArray JNICALL Java_ru_halvorit_crypto_pkcs11_PKCS11Wrapper_nativeReadPSE(
    JNIEnv* env, jobject self, jstring jpath) {
  using L = ReadPseLines;
  constexpr int F = JNI_F_NATIVE_READ_PSE;
  return jni_run<jbyteArray>(
      env, self, {.func = F, .sets_java_error = true},
      [&](JniFrame& f) -> std::optional<jbyteArray> {
        t_entry_reason[0] = '\0';
        JNI_CALLBACK_CTX* ctx = f.callback();
        if (!ctx) return fail(f, F, L::NO_CLASS);
        const char* path = f.string(jpath);
        if (!path) return fail(f, F, L::NO_PATH);
        Owned<PSE_CTX> pse(PSE_CTX_new());
        if (!pse) return fail(f, F, L::CTX_NEW, R_MALLOC_FAILURE);
        if (!PSE_CTX_set_flags(pse.get(), PSE_CTX_get_flags(pse.get()) | PSE_CTX_FLAG_EXPORT))
          return fail(f, F, L::SET_FLAGS);
        if (!PSE_CTX_set_path(pse.get(), path, 0) || !give_callback(pse.get(), ctx))
          return fail(f, F, L::SET_PATH);
        if (!PSE_CTX_read(pse.get())) return fail(f, F, L::READ, JNI_R_PSE_NOT_FOUND);
        const PSE_CTX* c = pse.get();
        const BUFFER* parts[4] = {c->mk, c->mask, c->kek, c->rand};
        std::size_t total = 0;
        for (const BUFFER* b : parts) {
          if (!b || b->length < 1) return fail(f, F, L::INCOMPLETE, JNI_R_PSE_NOT_FOUND);
          total += static_cast<std::size_t>(b->length);
        }
        SecureBuffer all;
        if (!all.resize(total)) return fail(f, F, L::NO_ARRAY, R_MALLOC_FAILURE);
        std::size_t at = 0;
        for (const BUFFER* b : parts) {
          std::memcpy(all.data() + at, b->data, static_cast<std::size_t>(b->length));
          at += static_cast<std::size_t>(b->length);
        }
        jbyteArray result = f.new_byte_array(all.data(), static_cast<jsize>(total));
        if (!result) return fail(f, F, L::NO_ARRAY, R_MALLOC_FAILURE);
        return result;
      });
}

JNIEXPORT jboolean JNICALL Java_ru_halvorit_crypto_pkcs11_PKCS11Wrapper_nativeWritePSE(
    JNIEnv* env, jobject self, jstring jpath, jbyteArray jmk, jbyteArray jmask, jbyteArray jkek,
    jbyteArray jrand) {
  using L = WritePseLines;
  constexpr int F = JNI_F_NATIVE_WRITE_PSE;
  return jni_run<jboolean>(
      env, self, {.func = F, .sets_java_error = true},
      [&](JniFrame& f) -> std::optional<jboolean> {
        t_entry_reason[0] = '\0';
        JNI_CALLBACK_CTX* ctx = f.callback();
        if (!ctx) return fail(f, F, L::NO_CLASS);
        const char* path = f.string(jpath);
        if (!path) return fail(f, F, L::NO_PATH);
        std::optional<JniBytes> mk = f.bytes(jmk, JniSecrecy::Secret);
        std::optional<JniBytes> mask = f.bytes(jmask, JniSecrecy::Secret);
        std::optional<JniBytes> kek = f.bytes(jkek, JniSecrecy::Secret);
        std::optional<JniBytes> rand = f.bytes(jrand, JniSecrecy::Secret);
        // The setters read an empty array up to a zero byte: empty contents are refused here.
        if (!mk || !mask || !kek || !rand || mk->length < 1 || mask->length < 1 ||
            kek->length < 1 || rand->length < 1)
          return fail(f, F, L::NO_CONTENTS);
        Owned<PSE_CTX> pse(PSE_CTX_new());
        if (!pse) return fail(f, F, L::CTX_NEW, R_MALLOC_FAILURE);
        auto u = [](const JniBytes& b) { return reinterpret_cast<const unsigned char*>(b.data); };
        if (!PSE_CTX_set_mk(pse.get(), u(*mk), mk->length) ||
            !PSE_CTX_set_mask(pse.get(), u(*mask), mask->length) ||
            !PSE_CTX_set_kek(pse.get(), u(*kek), kek->length) ||
            !PSE_CTX_set_rand(pse.get(), u(*rand), rand->length))
          return fail(f, F, L::SET_CONTENTS);
        // Opening the supplied contents without a path checks them (master-key check value,
        // KEK, random state) before anything reaches the carrier.
        if (!PSE_CTX_read(pse.get())) return fail(f, F, L::CHECK);
        if (!PSE_CTX_set_path(pse.get(), path, 0) || !give_callback(pse.get(), ctx))
          return fail(f, F, L::SET_PATH);
        if (!PSE_CTX_write(pse.get())) return fail(f, F, L::WRITE);
        return JNI_TRUE;
      });
}

JNIEXPORT jboolean JNICALL Java_ru_halvorit_crypto_pkcs11_PKCS11Wrapper_nativeErasePSE(
    JNIEnv* env, jobject self, jstring jpath) {
  using L = ErasePseLines;
  constexpr int F = JNI_F_NATIVE_ERASE_PSE;
  return jni_run<jboolean>(
      env, self, {.func = F, .sets_java_error = true},
      [&](JniFrame& f) -> std::optional<jboolean> {
        t_entry_reason[0] = '\0';
        JNI_CALLBACK_CTX* ctx = f.callback();
        if (!ctx) return fail(f, F, L::NO_CLASS);
        const char* path = f.string(jpath);
        if (!path) return fail(f, F, L::NO_PATH);
        Owned<PSE_CTX> pse(PSE_CTX_new());
        if (!pse) return fail(f, F, L::CTX_NEW, R_MALLOC_FAILURE);
        if (!PSE_CTX_set_path(pse.get(), path, 0) || !give_callback(pse.get(), ctx))
          return fail(f, F, L::SET_PATH);
        if (!PSE_CTX_erase(pse.get())) return fail(f, F, L::ERASE);
        return JNI_TRUE;
      });
}

// The reason text of the calling thread's last failed key-store call (empty after a success),
// and the innermost reason the error queue held, for the Java API's exceptions.
JNIEXPORT jstring JNICALL Java_ru_halvorit_crypto_pkcs11_PKCS11Wrapper_lastReason(JNIEnv* env,
                                                                                   jclass) {
  jstring s = env->NewStringUTF(t_entry_reason);
  if (!s) env->ExceptionClear();
  return s;
}

JNIEXPORT jstring JNICALL Java_ru_halvorit_crypto_pkcs11_PKCS11Wrapper_lastDetail(JNIEnv* env,
                                                                                   jclass) {
  const char* text = last_reason_text();
  jstring s = env->NewStringUTF(text ? text : "");
  if (!s) env->ExceptionClear();
  return s;
}

}  // extern "C"
