// Native methods of ru.halvorit.io.TokenFile, TokenFileInputStream and TokenFileOutputStream.
// Each converts its Java arguments, calls one operation of the file layer, converts the result
// back and ends by printing and emptying the thread's error queue (report_token_errors). Java
// learns of a failure only from the return value; the reasons go to standard error. The lines
// recorded with each failing step are fixed: they are part of the printed output that callers
// read.
#include <jni.h>

#include <cstring>

#include "crypto/bio/token.h"
#include "crypto/cadb/buffer.h"
#include "crypto/cadb/cadb.h"
#include "crypto/err/err.h"
#include "crypto/jarnel/jni_util.h"
#include "crypto/mem.h"

using namespace jarnel;

namespace {

// Open flags of the entry points: the argument is the JNI_CALLBACK_CTX; 2 more for a private
// file.
constexpr std::uint32_t OPEN_FLAGS = TOKEN_FLAG_CALLBACK;
constexpr std::uint32_t PRIVATE_OPEN_FLAGS = TOKEN_FLAG_CALLBACK | TOKEN_FLAG_PRIVATE;

void fail(int func, int line) {
  ERR_put_error(LIB_JNI, func, R_INTERNAL_ERROR, JNI_SOURCE_FILE, line);
}

// The path string for one call. The virtual machine gives it in modified UTF-8, where a
// character outside the Basic Multilingual Plane is two encoded surrogates of three bytes each;
// such pairs become the one four-byte sequence of standard UTF-8, which is how the file
// system spells the name. Everything else is kept as the virtual machine gives it.
class JavaPath {
 public:
  JavaPath(JNIEnv* env, jstring s) : env_(env), s_(s) {
    if (!s) return;
    chars_ = env->GetStringUTFChars(s, nullptr);
    if (!chars_) {
      env->ExceptionClear();  // out of memory: reported as a missing path
      return;
    }
    std::size_t n = std::strlen(chars_);
    utf8_ = static_cast<char*>(mem_alloc(n + 1));
    if (!utf8_) return;
    const auto* in = reinterpret_cast<const unsigned char*>(chars_);
    std::size_t o = 0;
    for (std::size_t i = 0; i < n;) {
      if (i + 5 < n && in[i] == 0xED && (in[i + 1] & 0xF0) == 0xA0 && (in[i + 2] & 0xC0) == 0x80 &&
          in[i + 3] == 0xED && (in[i + 4] & 0xF0) == 0xB0 && (in[i + 5] & 0xC0) == 0x80) {
        unsigned hi = 0xD000u | ((in[i + 1] & 0x3Fu) << 6) | (in[i + 2] & 0x3Fu);
        unsigned lo = 0xD000u | ((in[i + 4] & 0x3Fu) << 6) | (in[i + 5] & 0x3Fu);
        unsigned cp = 0x10000u + ((hi - 0xD800u) << 10) + (lo - 0xDC00u);
        utf8_[o++] = static_cast<char>(0xF0 | (cp >> 18));
        utf8_[o++] = static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
        utf8_[o++] = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        utf8_[o++] = static_cast<char>(0x80 | (cp & 0x3F));
        i += 6;
      } else {
        utf8_[o++] = chars_[i++];
      }
    }
    utf8_[o] = '\0';
  }
  ~JavaPath() {
    mem_free(utf8_);
    if (chars_) env_->ReleaseStringUTFChars(s_, chars_);
  }
  JavaPath(const JavaPath&) = delete;
  JavaPath& operator=(const JavaPath&) = delete;
  const char* get() const { return utf8_; }

 private:
  JNIEnv* env_;
  jstring s_;
  const char* chars_ = nullptr;
  char* utf8_ = nullptr;
};

// The class of the calling object, or null (any pending exception cleared).
jclass class_of(JNIEnv* env, jobject self) {
  jclass cls = self ? env->GetObjectClass(self) : nullptr;
  if (!cls) env->ExceptionClear();
  return cls;
}

// A Java string from a name as the carrier reports it. Names are decoded as UTF-8 (also the
// virtual machine's own form of surrogates); bytes that are not valid UTF-8 become U+FFFD, so
// a foreign file name can never upset the virtual machine.
jstring new_java_string(JNIEnv* env, const char* text) {
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
  jstring result = env->NewString(units, static_cast<jsize>(out));
  mem_free(units);
  if (!result) env->ExceptionClear();
  return result;
}

// The names a listing collects, as BUFFERs in listing order.
struct NameList {
  BUFFER** items;
  int count;
  int capacity;
};

NameList* name_list_new() {
  auto* l = static_cast<NameList*>(mem_alloc(sizeof(NameList)));
  if (l) *l = {nullptr, 0, 0};
  return l;
}

void name_list_free(NameList* l) {
  if (!l) return;
  for (int i = 0; i < l->count; ++i) BUFFER_free(l->items[i]);
  mem_free(l->items);
  mem_free(l);
}

// Listing call-back: keeps the entry's bare name (after the last "/", else after the last
// backslash, else the whole path). 0 stops the listing when the name cannot be kept.
int add_name(const char* full_path, void* arg) {
  auto* list = static_cast<NameList*>(arg);
  const char* name = std::strrchr(full_path, '/');
  if (!name) name = std::strrchr(full_path, '\\');
  name = name ? name + 1 : full_path;
  if (list->count == list->capacity) {
    int cap = list->capacity ? list->capacity * 2 : 16;
    auto* items = static_cast<BUFFER**>(mem_realloc(list->items, sizeof(BUFFER*) * static_cast<std::size_t>(cap)));
    if (!items) return 0;
    list->items = items;
    list->capacity = cap;
  }
  BUFFER* b = BUFFER_fill(name, -1);
  if (!b) return 0;
  list->items[list->count++] = b;
  return 1;
}

// tokenFileWrite and tokenPrivateFileWrite differ only in their flags and lines.
jint write_file(JNIEnv* env, jobject self, jstring jpath, jbyteArray data, std::uint32_t flags,
                int no_class_line, int no_path_line, int no_elements_line, int short_line) {
  constexpr int F = JNI_F_TOKEN_FILE_WRITE;
  jint result = 0;
  jbyte* bytes = nullptr;
  JavaPath path(env, jpath);
  do {
    jclass cls = class_of(env, self);
    if (!cls) { fail(F, no_class_line); break; }
    JNI_CALLBACK_CTX ctx{env, cls, self};
    if (!path.get()) { fail(F, no_path_line); break; }
    jsize n = data ? env->GetArrayLength(data) : 0;
    bytes = data ? env->GetByteArrayElements(data, nullptr) : nullptr;
    if (!bytes) {
      env->ExceptionClear();
      fail(F, no_elements_line);
      break;
    }
    int written = CADB_write_file(path.get(), bytes, n, flags, &ctx);
    if (written != n) { fail(F, short_line); break; }
    result = n;
    ERR_set_token_error(0, 0);
  } while (false);
  report_token_errors();
  if (bytes) env->ReleaseByteArrayElements(data, bytes, 0);
  return result;
}

// The four predicates share one shape: the path, the test, no failure of their own.
jboolean predicate(JNIEnv* env, jstring jpath, int func, int no_path_line, int (*test)(const char*)) {
  jboolean result = JNI_FALSE;
  JavaPath path(env, jpath);
  if (!path.get()) {
    fail(func, no_path_line);
  } else {
    result = test(path.get()) ? JNI_TRUE : JNI_FALSE;
    ERR_set_token_error(0, 0);
  }
  report_token_errors();
  return result;
}

}  // namespace

extern "C" {

JNIEXPORT jbyteArray JNICALL Java_ru_halvorit_io_TokenFileInputStream_tokenFileRead(
    JNIEnv* env, jobject self, jstring jpath) {
  constexpr int F = JNI_F_TOKEN_FILE_READ;
  jbyteArray result = nullptr;
  BUFFER* buf = nullptr;
  JavaPath path(env, jpath);
  do {
    jclass cls = class_of(env, self);
    if (!cls) { fail(F, 170); break; }
    JNI_CALLBACK_CTX ctx{env, cls, self};
    if (!path.get()) { fail(F, 181); break; }
    buf = BUFFER_read_file(path.get(), OPEN_FLAGS, &ctx);
    if (!buf) { fail(F, 188); break; }
    result = env->NewByteArray(buf->length);
    if (!result) {
      env->ExceptionClear();
      fail(F, 195);
      break;
    }
    if (buf->length > 0)
      env->SetByteArrayRegion(result, 0, buf->length, reinterpret_cast<const jbyte*>(buf->data));
    ERR_set_token_error(0, 0);
  } while (false);
  report_token_errors();
  BUFFER_free(buf);
  return result;
}

JNIEXPORT jint JNICALL Java_ru_halvorit_io_TokenFileOutputStream_tokenFileWrite(
    JNIEnv* env, jobject self, jstring jpath, jbyteArray data) {
  return write_file(env, self, jpath, data, OPEN_FLAGS, 227, 238, 246, 253);
}

JNIEXPORT jint JNICALL Java_ru_halvorit_io_TokenFileOutputStream_tokenPrivateFileWrite(
    JNIEnv* env, jobject self, jstring jpath, jbyteArray data) {
  return write_file(env, self, jpath, data, PRIVATE_OPEN_FLAGS, 284, 295, 303, 310);
}

JNIEXPORT jlong JNICALL Java_ru_halvorit_io_TokenFile_tokenFileLength(JNIEnv* env, jobject self,
                                                                      jstring jpath) {
  constexpr int F = JNI_F_TOKEN_FILE_LENGTH;
  jlong result = 0;
  JavaPath path(env, jpath);
  do {
    jclass cls = class_of(env, self);
    if (!cls) { fail(F, 339); break; }
    JNI_CALLBACK_CTX ctx{env, cls, self};
    if (!path.get()) { fail(F, 350); break; }
    result = static_cast<jlong>(CADB_file_length(path.get(), OPEN_FLAGS, &ctx));
    ERR_set_token_error(0, 0);
  } while (false);
  report_token_errors();
  return result;
}

JNIEXPORT jboolean JNICALL Java_ru_halvorit_io_TokenFile_tokenFileDelete(JNIEnv* env, jobject self,
                                                                         jstring jpath) {
  constexpr int F = JNI_F_TOKEN_FILE_DELETE;
  jboolean result = JNI_FALSE;
  JavaPath path(env, jpath);
  do {
    jclass cls = class_of(env, self);
    if (!cls) { fail(F, 382); break; }
    JNI_CALLBACK_CTX ctx{env, cls, self};
    if (!path.get()) { fail(F, 393); break; }
    if (CADB_is_directory(path.get())) {
      if (!CADB_token_rmdir(path.get(), OPEN_FLAGS, &ctx)) { fail(F, 401); break; }
    } else if (!CADB_erase_file(path.get(), OPEN_FLAGS, &ctx)) {
      fail(F, 409);
      break;
    }
    result = JNI_TRUE;
    ERR_set_token_error(0, 0);
  } while (false);
  report_token_errors();
  return result;
}

JNIEXPORT jboolean JNICALL Java_ru_halvorit_io_TokenFile_tokenFileExists(JNIEnv* env, jobject,
                                                                         jstring jpath) {
  return predicate(env, jpath, JNI_F_TOKEN_FILE_EXISTS, 436, CADB_file_exists);
}

JNIEXPORT jboolean JNICALL Java_ru_halvorit_io_TokenFile_tokenIsFile(JNIEnv* env, jobject,
                                                                     jstring jpath) {
  return predicate(env, jpath, JNI_F_TOKEN_IS_FILE, 463, CADB_is_file);
}

JNIEXPORT jboolean JNICALL Java_ru_halvorit_io_TokenFile_tokenIsDirectory(JNIEnv* env, jobject,
                                                                          jstring jpath) {
  return predicate(env, jpath, JNI_F_TOKEN_IS_DIRECTORY, 495, CADB_is_directory);
}

JNIEXPORT jboolean JNICALL Java_ru_halvorit_io_TokenFile_tokenIsInserted(JNIEnv* env, jobject,
                                                                         jstring jpath) {
  return predicate(env, jpath, JNI_F_TOKEN_IS_INSERTED, 522, CADB_is_inserted);
}

JNIEXPORT jboolean JNICALL Java_ru_halvorit_io_TokenFile_tokenMkdir(JNIEnv* env, jobject self,
                                                                    jstring jpath) {
  constexpr int F = JNI_F_TOKEN_MKDIR;
  jboolean result = JNI_FALSE;
  JavaPath path(env, jpath);
  do {
    jclass cls = class_of(env, self);
    if (!cls) { fail(F, 550); break; }
    JNI_CALLBACK_CTX ctx{env, cls, self};
    if (!path.get()) { fail(F, 561); break; }
    if (!CADB_token_mkdir(path.get(), OPEN_FLAGS, &ctx)) { fail(F, 567); break; }
    result = JNI_TRUE;
    ERR_set_token_error(0, 0);
  } while (false);
  report_token_errors();
  return result;
}

JNIEXPORT jobjectArray JNICALL Java_ru_halvorit_io_TokenFile_tokenFileList(JNIEnv* env, jobject,
                                                                           jstring jpath) {
  constexpr int F = JNI_F_TOKEN_FILE_LIST;
  jobjectArray result = nullptr;
  NameList* names = nullptr;
  JavaPath path(env, jpath);
  do {
    if (!path.get()) { fail(F, 641); break; }
    if (!CADB_is_directory(path.get())) { fail(F, 647); break; }
    names = name_list_new();
    if (!names) { fail(F, 654); break; }
    if (!CADB_list_directory(path.get(), CADB_LIST_DIRECTORIES, add_name, names)) {
      fail(F, 660);
      break;
    }
    // An empty directory gives an empty array, so that null always means the listing failed.
    {
      jclass string_class = env->FindClass("java/lang/String");
      jstring empty = string_class ? env->NewStringUTF("") : nullptr;
      jobjectArray array = empty ? env->NewObjectArray(names->count, string_class, empty) : nullptr;
      bool ok = array != nullptr;
      for (int i = 0; ok && i < names->count; ++i) {
        jstring s = new_java_string(env, reinterpret_cast<const char*>(names->items[i]->data));
        if (!s) {
          ok = false;
          break;
        }
        env->SetObjectArrayElement(array, i, s);
        env->DeleteLocalRef(s);
      }
      if (empty) env->DeleteLocalRef(empty);
      if (string_class) env->DeleteLocalRef(string_class);
      if (!ok) {
        env->ExceptionClear();
        if (array) env->DeleteLocalRef(array);
        fail(F, 670);
        break;
      }
      result = array;
    }
    ERR_set_token_error(0, 0);
  } while (false);
  report_token_errors();
  name_list_free(names);
  return result;
}

JNIEXPORT jboolean JNICALL Java_ru_halvorit_io_TokenFile_tokenLogout(JNIEnv* env, jobject,
                                                                     jstring jpath) {
  constexpr int F = JNI_F_TOKEN_LOGOUT;
  jboolean result = JNI_FALSE;
  JavaPath path(env, jpath);
  if (!path.get()) {
    fail(F, 702);
  } else if (!CADB_logout(path.get())) {
    fail(F, 708);
  } else {
    result = JNI_TRUE;
  }
  report_token_errors();
  return result;
}

}  // extern "C"
