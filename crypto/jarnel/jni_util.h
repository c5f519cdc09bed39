#pragma once
// What every Java entry point shares: the error report to the calling Java object, the
// password call-back into Java, and the hand-over of the error queue at the end of a call.
#include <jni.h>

#include "crypto/err/err.h"

namespace jarnel {

// Built on the stack of each entry point that may need a password and passed down to the
// drivers and PKCS#11 logins as the call-back argument. Lives only as long as the entry point.
struct JNI_CALLBACK_CTX {
  JNIEnv* env;
  jclass cls;
  jobject obj;
};

// Function numbers of the JNI layer (library 85).
enum JniFunction : int {
  JNI_F_NATIVE_GENERATE_KEY_PAIR = 100,
  JNI_F_NATIVE_SIGN = 101,
  JNI_F_NATIVE_GET_PUBLIC_KEY = 102,
  JNI_F_TOKEN_PASSWD_CALLBACK = 103,
  JNI_F_NATIVE_DERIVE = 104,
  JNI_F_TOKEN_FILE_READ = 105,
  JNI_F_TOKEN_FILE_WRITE = 106,
  JNI_F_TOKEN_FILE_LENGTH = 107,
  JNI_F_TOKEN_FILE_DELETE = 108,
  JNI_F_TOKEN_FILE_EXISTS = 110,
  JNI_F_TOKEN_IS_FILE = 111,
  JNI_F_TOKEN_IS_DIRECTORY = 112,
  JNI_F_TOKEN_IS_INSERTED = 113,
  JNI_F_TOKEN_MKDIR = 114,
  JNI_F_TOKEN_FILE_LIST = 115,
  JNI_F_TOKEN_LOGOUT = 116,
  JNI_F_NATIVE_PRIVATE_KEY_ALIASES = 117,
  JNI_F_NATIVE_CERTIFICATE_ALIASES = 118,
  JNI_F_NATIVE_GET_CERTIFICATE = 119,
  JNI_F_NATIVE_ADD_CERTIFICATE = 120,
  JNI_F_NATIVE_DESTROY_ENTRY = 121,
  JNI_F_NATIVE_READ_PSE = 122,
  JNI_F_NATIVE_WRITE_PSE = 123,
  JNI_F_NATIVE_ERASE_PSE = 124,
};

enum JniReason : int {
  JNI_R_UNKNOWN_PARAMETERS = 100,
  JNI_R_UNKNOWN_ALGORITHM = 101,
  JNI_R_UNSUPPORTED_MECHANISM = 102,
  JNI_R_PSE_NOT_FOUND = 103,
};

// The source name the JNI layer records with its errors.
inline constexpr const char* JNI_SOURCE_FILE = "..\\..\\crypto\\jarnel\\jarnel";

// Loads the function and reason texts of library 85 (once).
void ERR_load_JNI_strings();

// Calls the object's setError(int) with code, or 5 when code is 0. Does nothing when any
// argument is null or the class has no such method.
void set_java_error(JNIEnv* env, jobject obj, jclass cls, jint code);

// Asks the calling Java object's callback() for a password and writes its UTF-8 bytes to buf:
// min(size, length) bytes, no terminating zero. Returns the count, 0 on any failure (recorded
// as (85, 103, 12), or (85, 103, 33) when memory is short). A size of 0 or less is a buffer
// that holds nothing.
int token_passwd_callback(char* buf, int size, int rwflag, void* ctx);

// At the end of every Java entry point: prints the pending vendor status as
// "token error: 0x%lx\n" and clears it, prints and empties the error queue, flushes stderr.
void report_token_errors();
// The reason report_token_errors found last on this thread (the system's text when a system call
// failed, else the library's most specific one; empty when none), and the system's error number
// with it (0 when the reason is not the system's). Java reads them to word its exceptions.
void record_last_reason();
const char* last_reason_text();
int last_reason_errno();

}  // namespace jarnel

// Records a failure of the JNI layer that has no fixed line of its own (the password
// call-back, an unexpected exception in an entry point): (85, func, reason) with the JNI
// source name and this line. Entry points record their failing steps at fixed lines
// (JniFrame::fail).
#define JARNEL_JNI_ERR(func, reason) \
  ::jarnel::ERR_put_error(::jarnel::LIB_JNI, (func), (reason), ::jarnel::JNI_SOURCE_FILE, __LINE__)
