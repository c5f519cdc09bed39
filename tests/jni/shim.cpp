// Test-only JNI entry points over the core's JNI helpers, for the Java tests of the password
// call-back and the error report. Never shipped.
#include <dlfcn.h>
#include <jni.h>

#include <cstring>
#include <stdexcept>
#include <string>

#include "crypto/err/err.h"
#include "crypto/jarnel/jni_frame.h"
#include "crypto/jarnel/jni_util.h"
#include "crypto/startup.h"

using namespace jarnel;

extern "C" {

JNIEXPORT jint JNICALL JNI_OnLoad(JavaVM*, void*) {
  jarnel_process_attach();
  return JNI_VERSION_1_8;
}

// Calls token_passwd_callback with a buffer of `size` bytes whose call-back context is
// `source`; returns the bytes written (the array's length is the call-back's result).
JNIEXPORT jbyteArray JNICALL Java_ru_halvorit_nativetest_NativeShim_passwd(JNIEnv* env, jclass,
                                                                           jobject source,
                                                                           jint size) {
  JNI_CALLBACK_CTX ctx{env, source ? env->GetObjectClass(source) : nullptr, source};
  // Bytes past `size` are a canary: the call-back must never write there.
  std::string buf(static_cast<std::size_t>(size > 0 ? size : 0) + 16, '\x5a');
  int n = token_passwd_callback(buf.data(), size, 0, &ctx);
  for (std::size_t i = static_cast<std::size_t>(size > 0 ? size : 0); i < buf.size(); ++i) {
    if (buf[i] != '\x5a') {
      env->ThrowNew(env->FindClass("java/lang/AssertionError"), "call-back wrote past the buffer");
      return nullptr;
    }
  }
  jbyteArray out = env->NewByteArray(n);
  if (out && n > 0) env->SetByteArrayRegion(out, 0, n, reinterpret_cast<const jbyte*>(buf.data()));
  return out;
}

JNIEXPORT void JNICALL Java_ru_halvorit_nativetest_NativeShim_setError(JNIEnv* env, jclass,
                                                                       jobject target, jint code) {
  set_java_error(env, target, target ? env->GetObjectClass(target) : nullptr, code);
}

// Prints and empties the calling thread's error queue into a string, one line per entry.
JNIEXPORT jstring JNICALL Java_ru_halvorit_nativetest_NativeShim_drainErrors(JNIEnv* env, jclass) {
  std::string text;
  ERR_print_errors_cb(
      [](const char* s, std::size_t n, void* u) {
        static_cast<std::string*>(u)->append(s, n);
        return 1;
      },
      &text);
  return env->NewStringUTF(text.c_str());
}

// An entry point of the key-store kind (setError on failure) run in the common frame on target.
// mode 0: takes s and data and returns 1000 * strlen(s) + data length; 1: records the token
// error 0x71 and fails with reason 101; 2: fails without a token error; 3: throws.
JNIEXPORT jint JNICALL Java_ru_halvorit_nativetest_NativeShim_keyStoreFrame(
    JNIEnv* env, jclass, jobject target, jint mode, jstring s, jbyteArray data) {
  const JniEntry entry{.func = JNI_F_NATIVE_SIGN, .sets_java_error = true};
  return jni_run<jint>(env, target, entry, [&](JniFrame& f) -> std::optional<jint> {
    if (!f.callback()) return f.fail(1);
    const char* text = f.string(s);
    if (!text) return f.fail(2);
    std::optional<JniBytes> bytes = f.bytes(data, JniSecrecy::Secret);
    if (!bytes) return f.fail(3);
    switch (mode) {
      case 1:
        ERR_set_token_error(0x71, 3);
        return f.fail(4, JNI_R_UNKNOWN_ALGORITHM);
      case 2:
        return f.fail(5);
      case 3:
        throw std::runtime_error("unexpected");
      default:
        return static_cast<jint>(1000 * std::strlen(text)) + bytes->length;
    }
  });
}

// What the virtual machine was handed back by the one ReleaseByteArrayElements call that a
// write entry point makes.
namespace {
const JNINativeInterface_* g_real_functions = nullptr;
struct {
  int calls;
  jint mode;
  bool all_zero;
} g_release;

void JNICALL watch_release(JNIEnv* env, jbyteArray array, jbyte* elems, jint mode) {
  jsize n = g_real_functions->GetArrayLength(env, array);
  bool zero = true;
  for (jsize i = 0; i < n; ++i) zero = zero && elems[i] == 0;
  g_release = {g_release.calls + 1, mode, zero};
  g_real_functions->ReleaseByteArrayElements(env, array, elems, mode);
}
}  // namespace

// Calls the shipped library's tokenFileWrite (or tokenPrivateFileWrite) with this thread's
// real JNI environment, whose function table is swapped for the call with one that watches
// ReleaseByteArrayElements. Returns {result, release calls, release mode, 1 when the released
// elements were all zeros}.
JNIEXPORT jintArray JNICALL Java_ru_halvorit_nativetest_NativeShim_writeAndWatchRelease(
    JNIEnv* env, jclass, jstring jlibrary, jboolean private_file, jobject self, jstring path,
    jbyteArray data) {
  const char* library = env->GetStringUTFChars(jlibrary, nullptr);
  void* handle = library ? dlopen(library, RTLD_NOW) : nullptr;
  if (library) env->ReleaseStringUTFChars(jlibrary, library);
  const char* name = private_file ? "Java_ru_halvorit_io_TokenFileOutputStream_tokenPrivateFileWrite"
                                  : "Java_ru_halvorit_io_TokenFileOutputStream_tokenFileWrite";
  using Write = jint (*)(JNIEnv*, jobject, jstring, jbyteArray);
  auto write = handle ? reinterpret_cast<Write>(dlsym(handle, name)) : nullptr;
  if (!write) {
    env->ThrowNew(env->FindClass("java/lang/AssertionError"), "cannot reach the write entry point");
    return nullptr;
  }
  JNINativeInterface_ watched = *env->functions;
  watched.ReleaseByteArrayElements = watch_release;
  g_real_functions = env->functions;
  g_release = {0, -1, false};
  env->functions = &watched;
  jint result = write(env, self, path, data);
  env->functions = g_real_functions;
  dlclose(handle);
  jint out[] = {result, g_release.calls, g_release.mode, g_release.all_zero ? 1 : 0};
  jintArray array = env->NewIntArray(4);
  if (array) env->SetIntArrayRegion(array, 0, 4, out);
  return array;
}

}  // extern "C"
