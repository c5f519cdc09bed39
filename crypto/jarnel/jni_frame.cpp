#include "crypto/jarnel/jni_frame.h"

#include <cstring>

#include "crypto/mem.h"

namespace jarnel {

JniFrame::JniFrame(JNIEnv* env, jobject self, const JniEntry& entry)
    : env_(env), self_(self), entry_(entry) {}

JniFrame::~JniFrame() {
  for (int i = n_arrays_; i-- > 0;) {
    HeldArray& h = arrays_[static_cast<std::size_t>(i)];
    // Only the virtual machine's copy is wiped: pinned elements are the caller's own array.
    if (h.wipe) mem_cleanse(h.elems, static_cast<std::size_t>(h.length) * sizeof(jbyte));
    // The elements were only read: nothing is copied back.
    env_->ReleaseByteArrayElements(h.a, h.elems, JNI_ABORT);
  }
  for (int i = n_strings_; i-- > 0;) {
    HeldString& h = strings_[static_cast<std::size_t>(i)];
    mem_free(h.utf8);
    env_->ReleaseStringUTFChars(h.s, h.chars);
  }
}

JNI_CALLBACK_CTX* JniFrame::callback() {
  if (have_ctx_) return &ctx_;
  jclass cls = self_ ? env_->GetObjectClass(self_) : nullptr;
  if (!cls) {
    env_->ExceptionClear();
    return nullptr;
  }
  ctx_ = {env_, cls, self_};
  have_ctx_ = true;
  return &ctx_;
}

bool JniFrame::hold_string(jstring s, const char* chars, char* utf8) {
  if (n_strings_ == MAX_HELD) return false;
  strings_[static_cast<std::size_t>(n_strings_++)] = {s, chars, utf8};
  return true;
}

const char* JniFrame::string(jstring s) {
  if (!s) return nullptr;
  const char* chars = env_->GetStringUTFChars(s, nullptr);
  if (!chars) {
    env_->ExceptionClear();  // out of memory: reported as a missing string
    return nullptr;
  }
  std::size_t n = std::strlen(chars);
  char* utf8 = static_cast<char*>(mem_alloc(n + 1));
  if (!hold_string(s, chars, utf8)) {
    mem_free(utf8);
    env_->ReleaseStringUTFChars(s, chars);
    return nullptr;
  }
  if (!utf8) return nullptr;
  // A character outside the Basic Multilingual Plane comes as two encoded surrogates of three
  // bytes each; the pair becomes the one four-byte sequence of standard UTF-8, which is how the
  // file system spells the name. Everything else is kept as the virtual machine gives it.
  const auto* in = reinterpret_cast<const unsigned char*>(chars);
  std::size_t o = 0;
  for (std::size_t i = 0; i < n;) {
    if (i + 5 < n && in[i] == 0xED && (in[i + 1] & 0xF0) == 0xA0 && (in[i + 2] & 0xC0) == 0x80 &&
        in[i + 3] == 0xED && (in[i + 4] & 0xF0) == 0xB0 && (in[i + 5] & 0xC0) == 0x80) {
      unsigned hi = 0xD000u | ((in[i + 1] & 0x3Fu) << 6) | (in[i + 2] & 0x3Fu);
      unsigned lo = 0xD000u | ((in[i + 4] & 0x3Fu) << 6) | (in[i + 5] & 0x3Fu);
      unsigned cp = 0x10000u + ((hi - 0xD800u) << 10) + (lo - 0xDC00u);
      utf8[o++] = static_cast<char>(0xF0 | (cp >> 18));
      utf8[o++] = static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
      utf8[o++] = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
      utf8[o++] = static_cast<char>(0x80 | (cp & 0x3F));
      i += 6;
    } else {
      utf8[o++] = chars[i++];
    }
  }
  utf8[o] = '\0';
  return utf8;
}

std::optional<JniBytes> JniFrame::bytes(jbyteArray a, JniSecrecy secrecy) {
  if (!a || n_arrays_ == MAX_HELD) return std::nullopt;
  jsize n = env_->GetArrayLength(a);
  jboolean is_copy = JNI_FALSE;
  jbyte* elems = env_->GetByteArrayElements(a, &is_copy);
  if (!elems) {
    env_->ExceptionClear();
    return std::nullopt;
  }
  bool wipe = secrecy == JniSecrecy::Secret && is_copy;
  arrays_[static_cast<std::size_t>(n_arrays_++)] = {a, elems, n, wipe};
  return JniBytes{elems, n};
}

std::nullopt_t JniFrame::fail(int line, int reason) {
  ERR_put_error(LIB_JNI, entry_.func, reason, JNI_SOURCE_FILE, line);
  return std::nullopt;
}

jbyteArray JniFrame::new_byte_array(const void* data, jsize length) {
  jbyteArray a = env_->NewByteArray(length);
  if (!a) {
    env_->ExceptionClear();
    return nullptr;
  }
  if (length > 0) env_->SetByteArrayRegion(a, 0, length, static_cast<const jbyte*>(data));
  return a;
}

jstring JniFrame::new_string(const char* text) {
  std::size_t n = std::strlen(text);
  auto* units = static_cast<jchar*>(mem_alloc((n + 1) * sizeof(jchar)));
  if (!units) return nullptr;
  std::size_t out = 0;
  const auto* s = reinterpret_cast<const unsigned char*>(text);
  for (std::size_t i = 0; i < n;) {
    unsigned c = s[i];
    int extra = c < 0x80 ? 0 : (c & 0xE0) == 0xC0 ? 1 : (c & 0xF0) == 0xE0 ? 2 : (c & 0xF8) == 0xF0 ? 3 : -1;
    unsigned cp = extra == 0 ? c : extra == 1 ? (c & 0x1F) : extra == 2 ? (c & 0x0F) : (c & 0x07);
    bool ok = extra >= 0;
    for (int k = 1; ok && k <= extra; ++k) {
      if (i + static_cast<std::size_t>(k) >= n || (s[i + k] & 0xC0) != 0x80) ok = false;
      else cp = (cp << 6) | (s[i + k] & 0x3F);
    }
    static constexpr unsigned min_for[] = {0, 0x80, 0x800, 0x10000};
    if (ok && (cp < min_for[extra] || cp > 0x10FFFF)) ok = false;
    if (!ok) {
      units[out++] = 0xFFFD;
      ++i;
      continue;
    }
    i += static_cast<std::size_t>(extra) + 1;
    if (cp >= 0x10000) {
      // n bytes always give at most n units: a four-byte sequence gives two.
      cp -= 0x10000;
      units[out++] = static_cast<jchar>(0xD800 + (cp >> 10));
      units[out++] = static_cast<jchar>(0xDC00 + (cp & 0x3FF));
    } else {
      units[out++] = static_cast<jchar>(cp);
    }
  }
  jstring result = env_->NewString(units, static_cast<jsize>(out));
  mem_free(units);
  if (!result) env_->ExceptionClear();
  return result;
}

void JniFrame::finish(bool succeeded) noexcept {
  if (succeeded) {
    if (entry_.clears_token_error) ERR_set_token_error(0, 0);
  } else if (entry_.sets_java_error) {
    JNI_CALLBACK_CTX* ctx = callback();
    set_java_error(env_, self_, ctx ? ctx->cls : nullptr, static_cast<jint>(ERR_get_token_error()));
  }
  report_token_errors();
}

void JniFrame::unexpected() noexcept { JARNEL_JNI_ERR(entry_.func, R_INTERNAL_ERROR); }

}  // namespace jarnel
