#pragma once
// The frame every Java entry point runs in. jni_run takes the entry point's body and runs it
// inside what all entry points share:
//   - the calling object's class and the password call-back context (JNI_CALLBACK_CTX) built
//     on the entry point's stack;
//   - Java strings and byte arrays taken from the virtual machine and released when the call
//     ends (the elements of a secret array are wiped first);
//   - on success, the token-error words cleared; on failure of a key-store entry point, the
//     caller's setError(int) with the recorded vendor status (or 5);
//   - report_token_errors at the end of every call, and then the releases;
//   - no C++ exception reaches the virtual machine: one is recorded as a failure.
//
// A body is a callable (JniFrame&) -> std::optional<R>. It returns its result on success and
// `return f.fail(LINE)` on a failing step, which records (85, function, reason) at that fixed
// line; the entry point then returns R{} (null, 0 or false).
//
//   return jni_run<jboolean>(env, self, MY_ENTRY, [&](JniFrame& f) -> std::optional<jboolean> {
//     JNI_CALLBACK_CTX* ctx = f.callback();
//     if (!ctx) return f.fail(MyLines::NO_CLASS);
//     const char* path = f.string(jpath);
//     if (!path) return f.fail(MyLines::NO_PATH);
//     ...
//     return JNI_TRUE;
//   });
#include <jni.h>

#include <array>
#include <cstdint>
#include <optional>

#include "crypto/err/err.h"
#include "crypto/jarnel/jni_util.h"

namespace jarnel {

// What distinguishes one entry point's frame.
struct JniEntry {
  // Function number (library 85) recorded with the entry point's failures.
  int func;
  // Key-store entry points tell the calling object of a failure through setError(int).
  bool sets_java_error = false;
  // Whether a successful call clears the token-error words (all but a few do).
  bool clears_token_error = true;
};

// Whether the bytes of a Java array are secret: the virtual machine's copy of a secret array
// is overwritten with zeros before it is released.
enum class JniSecrecy { Public, Secret };

// Bytes of a Java array, valid until the frame ends. Read-only: nothing is copied back.
struct JniBytes {
  const jbyte* data;
  jsize length;
};

class JniFrame {
 public:
  JniFrame(JNIEnv* env, jobject self, const JniEntry& entry);
  ~JniFrame();
  JniFrame(const JniFrame&) = delete;
  JniFrame& operator=(const JniFrame&) = delete;

  JNIEnv* env() const { return env_; }
  jobject self() const { return self_; }

  // The call-back context {env, class of the calling object, calling object}, for drivers and
  // PKCS#11 logins that ask Java for a PIN; null when the class cannot be had.
  JNI_CALLBACK_CTX* callback();

  // The characters of s as the file layer takes them (UTF-8; the virtual machine's modified
  // UTF-8 surrogate pairs become the standard four-byte form), kept until the frame ends. Null
  // for a null string or when the virtual machine or memory cannot give them.
  const char* string(jstring s);

  // The elements of a byte array, released when the frame ends (wiped first when secret).
  // Empty when the array is null or its elements cannot be had.
  std::optional<JniBytes> bytes(jbyteArray a, JniSecrecy secrecy);

  // Records (85, function, reason) at line and marks the call failed.
  std::nullopt_t fail(int line, int reason = R_INTERNAL_ERROR);

  // Results for Java. Null when the virtual machine cannot make them (nothing is left pending).
  jbyteArray new_byte_array(const void* data, jsize length);
  // A Java string from UTF-8 as a carrier reports it; bytes that are not valid UTF-8 become
  // U+FFFD, so a foreign name can never upset the virtual machine.
  jstring new_string(const char* utf8);
  // A String[] of count elements, element i from name_at(i) (const char*, UTF-8).
  template <typename NameAt>
  jobjectArray new_string_array(jsize count, NameAt&& name_at);

  // Runs the end of the call: token-error words or setError, then report_token_errors. Called
  // by jni_run; the releases follow in the destructor.
  void finish(bool succeeded) noexcept;
  // A C++ exception left the body: recorded as a failure of the entry point.
  void unexpected() noexcept;

 private:
  static constexpr int MAX_HELD = 6;
  struct HeldString {
    jstring s;
    const char* chars;
    char* utf8;
  };
  struct HeldArray {
    jbyteArray a;
    jbyte* elems;
    jsize length;
    bool wipe;
  };
  bool hold_string(jstring s, const char* chars, char* utf8);

  JNIEnv* env_;
  jobject self_;
  JniEntry entry_;
  JNI_CALLBACK_CTX ctx_{};
  bool have_ctx_ = false;
  std::array<HeldString, MAX_HELD> strings_{};
  int n_strings_ = 0;
  std::array<HeldArray, MAX_HELD> arrays_{};
  int n_arrays_ = 0;
};

template <typename NameAt>
jobjectArray JniFrame::new_string_array(jsize count, NameAt&& name_at) {
  jclass string_class = env_->FindClass("java/lang/String");
  jstring empty = string_class ? env_->NewStringUTF("") : nullptr;
  jobjectArray array = empty ? env_->NewObjectArray(count, string_class, empty) : nullptr;
  bool ok = array != nullptr;
  for (jsize i = 0; ok && i < count; ++i) {
    jstring s = new_string(name_at(i));
    if (!s) {
      ok = false;
      break;
    }
    env_->SetObjectArrayElement(array, i, s);
    env_->DeleteLocalRef(s);
  }
  if (empty) env_->DeleteLocalRef(empty);
  if (string_class) env_->DeleteLocalRef(string_class);
  if (!ok) {
    env_->ExceptionClear();
    if (array) env_->DeleteLocalRef(array);
    return nullptr;
  }
  return array;
}

// Runs body inside the frame of an entry point and returns its result, or R{} when it failed.
template <typename R, typename Body>
R jni_run(JNIEnv* env, jobject self, const JniEntry& entry, Body&& body) noexcept {
  JniFrame frame(env, self, entry);
  std::optional<R> result;
  try {
    result = body(frame);
  } catch (...) {
    frame.unexpected();
    result.reset();
  }
  frame.finish(result.has_value());
  return result ? *result : R{};
}

}  // namespace jarnel
