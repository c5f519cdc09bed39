// Test-only JNI entry points over the core's JNI helpers, for the Java tests of the password
// call-back and the error report. Never shipped.
#include <jni.h>

#include <string>

#include "crypto/err/err.h"
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

}  // extern "C"
