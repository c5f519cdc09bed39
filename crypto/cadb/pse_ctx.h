#pragma once
// The key container as a named object (PSE_CTX): where the container lives, the contents of its
// four files, how to ask for a password or a carrier, and the method that opens, generates,
// writes and erases it. Opening or generating produces the unlocked container (PSE,
// crypto/pse/pse.h), which the context then holds.
//
// Files of a container, by how its path begins (case-insensitive):
//   item              plain        iButton      smart card (eTR2, eToken, AKS ifdh,
//                                               Aladdin Token JC, ruToken, Aktiv Co. ruToken)
//   master-key file   mk.db3       "mk  .001"   a001
//   mask file         masks.db3    mask.001     b001
//   KEK file          kek.opq      "kek .001"   c001
//   random state      rand.opq     rand.001     d001
//   key directory     keys         keys         aaaa
//   store file        store.pfx    stor.001     e001
// The container path is at most 247 characters, so that every item's path fits the file layer.
//
// Every operation takes the context's own mutex for its whole run, returns 1 on success and 0
// on failure; a null context sets status 1 and records (66, function, 12).
#include <cstdint>

#include "crypto/cadb/buffer.h"
#include "crypto/cadb/cadb.h"
#include "crypto/hooks.h"
#include "crypto/lock.h"
#include "crypto/pse/pse.h"
#include "crypto/rand/grand.h"

namespace jarnel {

struct PSE_CTX;

// Container method table. An empty slot makes the matching PSE_CTX operation succeed without
// doing anything.
struct PSE_CTX_METHOD {
  const char* name;
  PSE* (*generate)(PSE_CTX* ctx);
  PSE* (*read)(PSE_CTX* ctx);
  int (*write)(PSE_CTX* ctx);
  int (*erase)(PSE_CTX* ctx);
};

// Called with PSE_NOTIFY_RAND_BEGIN before and PSE_NOTIFY_RAND_END after every read or write of
// the random-state file; data is the context's call-back data.
using PSE_CTX_notify_cb = void (*)(int event, void* data);
inline constexpr int PSE_NOTIFY_RAND_BEGIN = 13, PSE_NOTIFY_RAND_END = 14;

// Context flags.
inline constexpr unsigned PSE_CTX_FLAG_NO_RAND = 0x1;  // open: leave the random state alone
inline constexpr unsigned PSE_CTX_FLAG_EXPORT = 0x2;   // set by the container export

inline constexpr int PSE_CTX_DEFAULT_SHARES = 8;
inline constexpr int PSE_CTX_DEFAULT_SBOX = 31;
inline constexpr int PSE_CTX_PATH_MAX = 247;
inline constexpr int PSE_CTX_PASSWORD_MAX = 1024;
// S-box numbers an open tries, in order.
inline constexpr int PSE_SBOX_FIRST = 31, PSE_SBOX_LAST = 35;

struct PSE_CTX {
  BUFFER* path;             // container path (text; the length excludes the terminator)
  BUFFER* mk;               // master-key file contents
  BUFFER* mask;             // mask file contents (after any password decryption)
  BUFFER* kek;              // KEK file contents, 36 bytes
  BUFFER* rand;             // random-state contents, 36 bytes
  BUFFER* password;         // password of a password-protected mask file
  RAND_KEY_CALLBACK seed_cb;  // seed source of the generator (keyboard seeding)
  void* seed_arg;
  password_cb password_callback;  // (buffer, 1024, 0, call-back data)
  void* callback_data;
  CADB_waiter insert_cb;    // asked while the carrier is missing
  void* insert_arg;
  int shares;               // share count of new containers
  unsigned flags;           // PSE_CTX_FLAG_*
  PSE* pse;                 // the opened or generated container, owned
  MUTEX lock;               // one per context
  int sbox_number;          // S-box of new containers
  std::uint32_t io_flags;   // open flags of every file operation
  BUFFER* login_arg;        // its data pointer is the call-back argument of every file operation
  PSE_CTX_notify_cb notify;
  const PSE_CTX_METHOD* method;
};

// Items of a container.
enum class PseItem { MasterKey = 0, Mask, Kek, Rand, KeyDir, Store };

// Function codes (library 66).
inline constexpr int CADB_F_PSE_CTX_NEW = 331, CADB_F_PSE_CTX_READ = 333,
                     CADB_F_PSE_CTX_WRITE = 334, CADB_F_PSE_CTX_GENERATE = 335,
                     CADB_F_PSE_CTX_ERASE = 377, CADB_F_PSE_CTX_SET_PATH = 410,
                     CADB_F_PSE_CTX_SET_CONTENTS = 411, CADB_F_PSE_CTX_GET_CONTENTS = 412,
                     CADB_F_PSE_CTX_GET_RAND = 413, CADB_F_PSE_CTX_SET = 414,
                     CADB_F_PSE_CTX_GET_PSE = 415;
// Status numbers beside the queue.
inline constexpr std::uint32_t PSE_STATUS_BAD_ARGUMENT = 1, PSE_STATUS_NOT_FOUND = 5,
                               PSE_STATUS_RAND = 6, PSE_STATUS_NO_MEMORY = 11,
                               PSE_STATUS_INTERNAL = 12;

// The two methods.
const PSE_CTX_METHOD* PSE_CTX_default_method();  // "PSE_CTX default method": files on a carrier
const PSE_CTX_METHOD* PSE_CTX_pkcs11_method();   // "PSE_CTX pkcs11 method"

// Name of an item for a container path (see the table above).
const char* PSE_item_name(const char* container_path, PseItem item);
// Joins the container path and the item's name into out (CADB_PATH_BUF bytes). 0 when the
// container path is null or longer than 247 characters.
int PSE_item_path(const char* container_path, PseItem item, char* out);

// A new context: share count 8, S-box 31, the default method, its own mutex. Null with status
// 11 and (66, 331, 33) when memory is short.
PSE_CTX* PSE_CTX_new();
// Releases every buffer (wiped), the container, the mutex. Null is ignored.
void PSE_CTX_free(PSE_CTX* ctx);

// Replaces the path (length < 1: up to the terminator) and picks the method by it: the PKCS#11
// method for paths beginning with "pkcs11", the default method otherwise.
int PSE_CTX_set_path(PSE_CTX* ctx, const char* path, int length);
// The path (borrowed, zero-terminated) or null.
const char* PSE_CTX_get_path(PSE_CTX* ctx);
int PSE_CTX_set_callback_data(PSE_CTX* ctx, void* data);
int PSE_CTX_set_password_callback(PSE_CTX* ctx, password_cb cb);
// Replaces the mask password (length < 1: up to the terminator; null clears it).
int PSE_CTX_set_password(PSE_CTX* ctx, const char* password, int length);
int PSE_CTX_set_seed_source(PSE_CTX* ctx, RAND_KEY_CALLBACK cb, void* arg);
int PSE_CTX_set_insert_callback(PSE_CTX* ctx, CADB_waiter cb, void* arg);
int PSE_CTX_set_notify(PSE_CTX* ctx, PSE_CTX_notify_cb cb);
// Share count (1..255) and S-box number (31..35) of containers generated from now on.
int PSE_CTX_set_shares(PSE_CTX* ctx, int shares);
int PSE_CTX_set_sbox_number(PSE_CTX* ctx, int number);
int PSE_CTX_set_flags(PSE_CTX* ctx, unsigned flags);
unsigned PSE_CTX_get_flags(PSE_CTX* ctx);
int PSE_CTX_set_io_flags(PSE_CTX* ctx, std::uint32_t flags);
// A copy of length bytes (null clears it); its data pointer becomes the call-back argument of
// every file operation.
int PSE_CTX_set_login_arg(PSE_CTX* ctx, const void* data, int length);
// Replaces the method (null: the one the path selects).
int PSE_CTX_set_method(PSE_CTX* ctx, const PSE_CTX_METHOD* method);

// Contents of the four files: a copy of length bytes (length < 1: up to a zero byte).
int PSE_CTX_set_mk(PSE_CTX* ctx, const unsigned char* data, int length);
int PSE_CTX_set_mask(PSE_CTX* ctx, const unsigned char* data, int length);
int PSE_CTX_set_kek(PSE_CTX* ctx, const unsigned char* data, int length);
int PSE_CTX_set_rand(PSE_CTX* ctx, const unsigned char* data, int length);
// Sets *length to the contents' length and, with out, copies the contents; with out, *length on
// entry is the room in out and too little room fails (ask with a null out first). Fails when the
// contents are absent. With a password in the context the mask comes in its password-protected
// form (a fresh IV each time, always of the same length).
int PSE_CTX_get_mk(PSE_CTX* ctx, unsigned char* out, int* length);
int PSE_CTX_get_mask(PSE_CTX* ctx, unsigned char* out, int* length);
int PSE_CTX_get_kek(PSE_CTX* ctx, unsigned char* out, int* length);
// A fresh random-state record of the held container: *size becomes 36; with out and *size >= 36
// on entry, the record is stored and the result is 1. The generator must be ready (else status
// 6).
int PSE_CTX_get_rand(PSE_CTX* ctx, unsigned char* out, int* size);

// Opens the container (any container held before is freed first) and keeps it.
int PSE_CTX_read(PSE_CTX* ctx);
// Makes a new container in memory (nothing is written) and keeps it.
int PSE_CTX_generate(PSE_CTX* ctx);
// Writes the container's files; requires an opened or generated container.
int PSE_CTX_write(PSE_CTX* ctx);
// Deletes the container's files (the key directory stays).
int PSE_CTX_erase(PSE_CTX* ctx);
// The held container (borrowed) or null.
PSE* PSE_CTX_get_pse(PSE_CTX* ctx);

// Texts of the container context's and the password-protected buffer's functions and reasons
// (library 66); called by the file layer's text loader.
void ERR_load_PSE_CTX_strings();

}  // namespace jarnel
