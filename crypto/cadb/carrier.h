#pragma once
// One record per carrier kind: how its paths begin, the BIO driver that opens its files, and
// the direct functions the file layer calls for everything that is not a whole-file read or
// write (tests, listing, deletion, directories, presence, logout), plus its start-up and
// shut-down steps. The file layer (file_io.cpp, list.cpp, wait.cpp) and BIO_new_token_file
// choose the record by the path's prefix and dispatch through it; they know no carrier by name.
//
// A carrier whose support is not built yet is a record made of the CARRIER_absent_* functions
// below: every query answers "no", every change fails, and opening through its driver fails
// with a recorded error.
#include <cstdint>
#include <span>

#include "crypto/cadb/cadb.h"
#include "crypto/hooks.h"

namespace jarnel {

struct BIO;
struct BIO_METHOD;

struct CARRIER {
  // The carrier kind (as CADB_carrier_of reports it) and a name for messages.
  Carrier kind;
  const char* name;
  // Prefixes that select the carrier, compared without regard to case; null-terminated. The
  // file system has none: it takes every path no other carrier claims.
  const char* const* prefixes;
  // The driver BIO_new_token_file opens the carrier's files with.
  const BIO_METHOD* (*bio_method)();
  // The driver holds an open file in memory and commits it to the carrier when the BIO is
  // closed, so the close result tells whether written data arrived. Other drivers write
  // through; the layer flushes them instead.
  bool session;

  // Tests on a path as the caller gave it. Non-zero when true.
  int (*exists)(const char* path);
  int (*is_file)(const char* path);
  int (*is_directory)(const char* path);
  // Size in bytes or -1. Null: open the file for reading and take the BIO's length.
  long (*length)(const char* path);
  // CADB_list_directory for the carrier; path is normalised (backslashes only).
  int (*list)(const char* path, unsigned list_flags, CADB_list_callback cb, void* arg);

  // Erasing: with overwrite, the layer opens the file, writes zeros over it (a session
  // carrier's contents are first read out) and flushes a write-through driver; then it calls
  // erase with the open BIO (null without overwrite). erase may close the BIO itself (and set
  // *b to null) when the carrier deletes by path; otherwise the layer closes it afterwards.
  // 1 on success; a failure is recorded at erase_line. remove_missing, when set, is called for
  // a path that does not exist (a dangling name on a file system goes all the same).
  bool overwrite;
  int (*erase)(BIO** b, const char* path);
  int erase_line;
  void (*remove_missing)(const char* path);

  // Directories. make_directory makes the directory named by path (normalised) and returns
  // whether it exists afterwards; null: the carrier makes a directory by writing the file
  // "0001" (with placeholder_extension when set) inside it and erasing it again.
  int (*make_directory)(const char* path);
  const char* placeholder_extension;
  // Removes the directory named by path. With rmdir_placeholder the layer first writes and
  // erases the placeholder "0001" inside it and empties the error queue.
  int (*remove_directory)(const char* path);
  bool rmdir_placeholder;

  // Presence, logout and readiness to be polled. Null: always 1 (the carrier has no notion
  // of them).
  int (*is_inserted)(const char* path);
  int (*logout)(const char* path);
  int (*attach)(const char* path);

  // Start-up and shut-down of the driver (loading and unloading its vendor library), and the
  // password call-back it asks for a PIN. Null when the carrier has none.
  int (*startup)();
  void (*shutdown)();
  void (*set_passwd_cb)(password_cb cb);

  // A store that deletes by path itself, with the caller's PIN call-back argument (null unless
  // the open flags say the argument is a call-back context). When set, the erase hands the
  // whole path to it: no existence test (which could not ask for the PIN a private item needs
  // before it is seen), nothing opened or overwritten; a missing name is no failure there.
  int (*delete_path)(const char* path, void* callback_arg) = nullptr;
};

// Every carrier, in start-up order; the file system is last.
std::span<const CARRIER* const> CARRIER_table();
// The record for a path: the first whose prefix begins the path, else the file system. A null
// path is a file-system path.
const CARRIER* CARRIER_for_path(const char* path);
const CARRIER* CARRIER_of_kind(Carrier kind);

// Starts the drivers in table order (results are not acted on); stops them in reverse order.
void CARRIER_startup_all();
void CARRIER_shutdown_all();
// Installs cb as the password call-back of every driver that asks for a PIN.
void CARRIER_set_passwd_cb_all(password_cb cb);

// The records.
extern const CARRIER CARRIER_file_system;
extern const CARRIER CARRIER_ibutton;
extern const CARRIER CARRIER_rutoken;
extern const CARRIER CARRIER_etoken;
extern const CARRIER CARRIER_etoken_r2;
extern const CARRIER CARRIER_pkcs11;

// Functions of a carrier whose support is not built: each fails without touching a device.
int CARRIER_absent_query(const char* path);
int CARRIER_absent_list(const char* path, unsigned list_flags, CADB_list_callback cb, void* arg);
int CARRIER_absent_erase(BIO** b, const char* path);
// Slots of the BIO driver of such a carrier: the method exists with its name and type, and
// its open command fails with (32, 103, 124).
long CARRIER_absent_bio_ctrl(BIO* b, int cmd, long num, void* ptr);
int CARRIER_absent_bio_destroy(BIO* b);

// Shared by the records.
// File-system rules for a path (platform file status).
int CARRIER_fs_is_file(const char* path);
int CARRIER_fs_is_directory(const char* path);
// Size of a file; 0 for a directory; -1 when it does not exist.
long CARRIER_fs_length(const char* path);
// Makes the directory named by path with those above it; whether it exists afterwards.
int CARRIER_fs_make_directory(const char* path);
// Makes the directory writable and removes it; 1 when it was removed.
int CARRIER_fs_remove_directory(const char* path);
// Creates the missing file-system directories of path: those above its last component and,
// with include_last, the last component as well. 1 when they all exist afterwards; failures
// are recorded (66, 376, 12). Token paths need nothing (1).
int CADB_make_directories(const char* path, bool include_last, bool private_dirs = false);
// Listing of a carrier that hands the layer a list of entries (TOKEN_DIR_LIST): the path must
// exist, a non-directory is reported alone; with CADB_LIST_RECURSE subdirectories are listed
// first (their results are ignored); directories are reported only with CADB_LIST_DIRECTORIES.
struct TOKEN_DIR_LIST;
int CARRIER_list_entries(const char* path, unsigned list_flags, CADB_list_callback cb, void* arg,
                         int (*exists)(const char*), int (*is_directory)(const char*),
                         int (*list_fn)(const char*, TOKEN_DIR_LIST*));
// One call-back call with path; no call-back counts as going on. 1 to go on.
int CARRIER_report(const char* path, CADB_list_callback cb, void* arg);

}  // namespace jarnel
