#include "crypto/jarnel/jni_util.h"

#include <atomic>
#include <cstdio>
#include <cstring>

#include "crypto/mem.h"
#include "platform/text.h"

namespace jarnel {
namespace {

ERR_STRING_DATA g_jni_functions[] = {
    {ERR_pack(LIB_JNI, 100, 0), "nativeGenerateKeyPair"},
    {ERR_pack(LIB_JNI, 101, 0), "nativeSign"},
    {ERR_pack(LIB_JNI, 102, 0), "nativeGetPublickey"},
    {ERR_pack(LIB_JNI, 103, 0), "token_passwd_callback"},
    {ERR_pack(LIB_JNI, 104, 0), "nativeDerive"},
    {ERR_pack(LIB_JNI, 105, 0), "tokenFileRead"},
    {ERR_pack(LIB_JNI, 106, 0), "tokenFileWrite"},
    {ERR_pack(LIB_JNI, 107, 0), "tokenFileLength"},
    {ERR_pack(LIB_JNI, 108, 0), "tokenFileDerete"},
    {ERR_pack(LIB_JNI, 110, 0), "tokenFileExists"},
    {ERR_pack(LIB_JNI, 111, 0), "tokenIsFile"},
    {ERR_pack(LIB_JNI, 112, 0), "tokenIsDirectory"},
    {ERR_pack(LIB_JNI, 113, 0), "tokenIsInserted"},
    {ERR_pack(LIB_JNI, 114, 0), "tokenMkDir"},
    {ERR_pack(LIB_JNI, 115, 0), "tokenFileList"},
    {ERR_pack(LIB_JNI, 116, 0), "tokenLogout"},
    {ERR_pack(LIB_JNI, 117, 0), "nativePriateKeyAliases"},
    {ERR_pack(LIB_JNI, 118, 0), "nativeCertificateAliases"},
    {ERR_pack(LIB_JNI, 119, 0), "nativeGetCertificate"},
    {ERR_pack(LIB_JNI, 120, 0), "nativeAddCertificate"},
    {ERR_pack(LIB_JNI, 121, 0), "nativeDestroyEntry"},
    {ERR_pack(LIB_JNI, 122, 0), "nativeReadPSE"},
    {ERR_pack(LIB_JNI, 123, 0), "nativeWritePSE"},
    {ERR_pack(LIB_JNI, 124, 0), "nativeErasePSE"},
    {0, nullptr}};

ERR_STRING_DATA g_jni_reasons[] = {
    {ERR_pack(LIB_JNI, 0, 100), "unknown parameters"},
    {ERR_pack(LIB_JNI, 0, 101), "unknown or usupportedalgorithm"},
    {ERR_pack(LIB_JNI, 0, 102), "unsupported mechamism"},
    {ERR_pack(LIB_JNI, 0, 103), "PSE not found or corrupted"},
    {0, nullptr}};

}  // namespace

void ERR_load_JNI_strings() {
  // Registering a table twice is a no-op, so a repeated attach cannot duplicate it.
  ERR_load_strings(LIB_JNI, g_jni_functions);
  ERR_load_strings(LIB_JNI, g_jni_reasons);
}

void set_java_error(JNIEnv* env, jobject obj, jclass cls, jint code) {
  if (!env || !obj || !cls) return;
  jmethodID mid = env->GetMethodID(cls, "setError", "(I)V");
  if (!mid) {
    // GetMethodID leaves NoSuchMethodError pending; the object simply has no such method.
    env->ExceptionClear();
    return;
  }
  env->CallVoidMethod(obj, mid, code ? code : 5);
}

int token_passwd_callback(char* buf, int size, int /*rwflag*/, void* ctx_arg) {
  auto* ctx = static_cast<JNI_CALLBACK_CTX*>(ctx_arg);
  if (!buf || !ctx || !ctx->env || !ctx->cls) return 0;
  JNIEnv* env = ctx->env;

  jmethodID mid = env->GetMethodID(ctx->cls, "callback", "()[C");
  if (!mid) {
    env->ExceptionClear();
    JARNEL_JNI_ERR(JNI_F_TOKEN_PASSWD_CALLBACK, R_INTERNAL_ERROR);
    return 0;
  }
  auto chars = static_cast<jcharArray>(env->CallObjectMethod(ctx->obj, mid));
  if (env->ExceptionCheck()) {
    // The Java side failed to give a password; that is a failed call-back, not a crash.
    env->ExceptionClear();
    if (chars) env->DeleteLocalRef(chars);
    JARNEL_JNI_ERR(JNI_F_TOKEN_PASSWD_CALLBACK, R_INTERNAL_ERROR);
    return 0;
  }
  if (!chars) {
    JARNEL_JNI_ERR(JNI_F_TOKEN_PASSWD_CALLBACK, R_INTERNAL_ERROR);
    return 0;
  }

  int copied = 0;
  jsize n = env->GetArrayLength(chars);
  jchar* elems = env->GetCharArrayElements(chars, nullptr);
  if (!elems) {
    env->ExceptionClear();
    JARNEL_JNI_ERR(JNI_F_TOKEN_PASSWD_CALLBACK, R_INTERNAL_ERROR);
    env->DeleteLocalRef(chars);
    return 0;
  }

  SecureBuffer ucs;
  SecureBuffer utf8;
  do {
    std::size_t count = static_cast<std::size_t>(n);
    if (count && !ucs.resize(count * sizeof(char16_t))) {
      JARNEL_JNI_ERR(JNI_F_TOKEN_PASSWD_CALLBACK, R_MALLOC_FAILURE);
      break;
    }
    if (count) std::memcpy(ucs.data(), elems, count * sizeof(char16_t));
    const auto* text = reinterpret_cast<const char16_t*>(ucs.data());
    long len = platform::utf16_to_utf8(text, count, nullptr, 0);
    if (len < 0) {
      JARNEL_JNI_ERR(JNI_F_TOKEN_PASSWD_CALLBACK, R_INTERNAL_ERROR);
      break;
    }
    if (len > 0) {
      if (!utf8.resize(static_cast<std::size_t>(len))) {
        JARNEL_JNI_ERR(JNI_F_TOKEN_PASSWD_CALLBACK, R_MALLOC_FAILURE);
        break;
      }
      platform::utf16_to_utf8(text, count, utf8.data(), utf8.size());
    }
    std::size_t room = size > 0 ? static_cast<std::size_t>(size) : 0;
    std::size_t take = utf8.size() < room ? utf8.size() : room;
    if (take) std::memcpy(buf, utf8.data(), take);
    copied = static_cast<int>(take);
  } while (false);

  // callback() hands its array over: once read, the password is wiped in it and in any scratch
  // copy the JVM made (mode 0 copies the zeros back into the Java array), so no copy of it stays
  // on either side.
  mem_cleanse(elems, static_cast<std::size_t>(n) * sizeof(jchar));
  env->ReleaseCharArrayElements(chars, elems, 0);
  env->DeleteLocalRef(chars);
  return copied;
}

namespace {
thread_local char t_last_reason[256];
thread_local int t_last_errno;
}  // namespace

void record_last_reason() {
  t_last_reason[0] = '\0';
  t_last_errno = 0;
  ERR_STATE* st = ERR_get_state();
  if (!st || st->top == st->bottom) return;
  // The oldest entry is the innermost failure: the system's reason when a system call failed,
  // else the first reason of a library's own (numbers from 100 up).
  const char* specific = nullptr;
  for (int i = (st->bottom + 1) % ERR_NUM_ERRORS;; i = (i + 1) % ERR_NUM_ERRORS) {
    const unsigned long e = st->err_buffer[i];
    const char* text = e ? ERR_reason_error_string(e) : nullptr;
    if (text && ERR_get_lib(e) == LIB_SYS) {
      t_last_errno = ERR_get_reason(e);
      std::snprintf(t_last_reason, sizeof t_last_reason, "%s", text);
      return;
    }
    if (text && !specific && ERR_get_reason(e) >= 100) specific = text;
    if (i == st->top) break;
  }
  if (specific) std::snprintf(t_last_reason, sizeof t_last_reason, "%s", specific);
}

const char* last_reason_text() { return t_last_reason; }
int last_reason_errno() { return t_last_errno; }

void report_token_errors() {
  record_last_reason();
  if (std::uint32_t code = ERR_get_token_error()) {
    std::fprintf(stderr, "token error: 0x%lx\n", static_cast<unsigned long>(code));
    ERR_set_token_error(0, 0);
  }
  ERR_print_errors_fp(stderr);
  std::fflush(stderr);
}

}  // namespace jarnel
