// The reason of the last failed token-file call on the calling thread, for the exceptions of
// ru.halvorit.io.TokenFileInputStream and TokenFileOutputStream. The queue itself is still
// printed on standard error by the failing call.
#include <jni.h>

#include "crypto/jarnel/jni_util.h"

extern "C" {

JNIEXPORT jstring JNICALL Java_ru_halvorit_io_TokenFile_tokenLastReason(JNIEnv* env, jclass) {
  const char* text = jarnel::last_reason_text();
  jstring s = env->NewStringUTF(text ? text : "");
  if (!s) env->ExceptionClear();
  return s;
}

JNIEXPORT jint JNICALL Java_ru_halvorit_io_TokenFile_tokenLastErrno(JNIEnv*, jclass) {
  return jarnel::last_reason_errno();
}

}  // extern "C"
