// Native methods of ru.halvorit.io.TokenFile, TokenFileInputStream and TokenFileOutputStream.
// Each runs in the common frame (jni_frame.h): it converts its Java arguments, calls one
// operation of the file layer and converts the result back; the frame prints and empties the
// thread's error queue (report_token_errors) and releases what was taken. Java learns of a
// failure only from the return value; the reasons go to standard error. The lines recorded
// with each failing step are fixed: they are part of the printed output that callers read.
#include <jni.h>

#include <cstring>

#include "crypto/bio/token.h"
#include "crypto/cadb/buffer.h"
#include "crypto/cadb/cadb.h"
#include "crypto/jarnel/jni_frame.h"
#include "crypto/mem.h"

using namespace jarnel;

namespace {

// Open flags of the entry points: the argument is the JNI_CALLBACK_CTX; 2 more for a private
// file.
constexpr std::uint32_t OPEN_FLAGS = TOKEN_FLAG_CALLBACK;
constexpr std::uint32_t PRIVATE_OPEN_FLAGS = TOKEN_FLAG_CALLBACK | TOKEN_FLAG_PRIVATE;

// The fixed line of each failing step, as it appears in the printed output.
struct ReadLines {
  static constexpr int NO_CLASS = 170, NO_PATH = 181, READ_FAILED = 188, NO_ARRAY = 195;
};
struct WriteLines {
  int no_class, no_path, no_elements, short_write;
};
constexpr WriteLines WRITE_LINES{.no_class = 227, .no_path = 238, .no_elements = 246, .short_write = 253};
constexpr WriteLines PRIVATE_WRITE_LINES{
    .no_class = 284, .no_path = 295, .no_elements = 303, .short_write = 310};
struct LengthLines {
  static constexpr int NO_CLASS = 339, NO_PATH = 350;
};
struct DeleteLines {
  static constexpr int NO_CLASS = 382, NO_PATH = 393, RMDIR_FAILED = 401, ERASE_FAILED = 409;
};
struct PredicateLines {
  static constexpr int EXISTS_NO_PATH = 436, IS_FILE_NO_PATH = 463, IS_DIRECTORY_NO_PATH = 495,
                       IS_INSERTED_NO_PATH = 522;
};
struct MkdirLines {
  static constexpr int NO_CLASS = 550, NO_PATH = 561, MKDIR_FAILED = 567;
};
struct ListLines {
  static constexpr int NO_PATH = 641, NOT_A_DIRECTORY = 647, NO_LIST = 654, LIST_FAILED = 660,
                       NO_ARRAY = 670;
};
struct LogoutLines {
  static constexpr int NO_PATH = 702, LOGOUT_FAILED = 708;
};

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

struct NameListOwner {
  NameList* list;
  ~NameListOwner() { name_list_free(list); }
};

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

// tokenFileWrite and tokenPrivateFileWrite differ only in their flags and lines. The written
// bytes may be key material: the virtual machine's copy of them is wiped.
jint write_file(JNIEnv* env, jobject self, jstring jpath, jbyteArray data, std::uint32_t flags,
                const WriteLines& lines) {
  return jni_run<jint>(env, self, {.func = JNI_F_TOKEN_FILE_WRITE}, [&](JniFrame& f) -> std::optional<jint> {
    JNI_CALLBACK_CTX* ctx = f.callback();
    if (!ctx) return f.fail(lines.no_class);
    const char* path = f.string(jpath);
    if (!path) return f.fail(lines.no_path);
    std::optional<JniBytes> bytes = f.bytes(data, JniSecrecy::Secret);
    if (!bytes) return f.fail(lines.no_elements);
    if (CADB_write_file(path, bytes->data, bytes->length, flags, ctx) != bytes->length)
      return f.fail(lines.short_write);
    return bytes->length;
  });
}

// The four predicates share one shape: the path, the test, no failure of their own.
jboolean predicate(JNIEnv* env, jstring jpath, int func, int no_path_line, int (*test)(const char*)) {
  return jni_run<jboolean>(env, nullptr, {.func = func}, [&](JniFrame& f) -> std::optional<jboolean> {
    const char* path = f.string(jpath);
    if (!path) return f.fail(no_path_line);
    return test(path) ? JNI_TRUE : JNI_FALSE;
  });
}

}  // namespace

extern "C" {

JNIEXPORT jbyteArray JNICALL Java_ru_halvorit_io_TokenFileInputStream_tokenFileRead(
    JNIEnv* env, jobject self, jstring jpath) {
  using L = ReadLines;
  return jni_run<jbyteArray>(env, self, {.func = JNI_F_TOKEN_FILE_READ}, [&](JniFrame& f) -> std::optional<jbyteArray> {
    JNI_CALLBACK_CTX* ctx = f.callback();
    if (!ctx) return f.fail(L::NO_CLASS);
    const char* path = f.string(jpath);
    if (!path) return f.fail(L::NO_PATH);
    BUFFER* buf = BUFFER_read_file(path, OPEN_FLAGS, ctx);
    if (!buf) return f.fail(L::READ_FAILED);
    jbyteArray result = f.new_byte_array(buf->data, buf->length);
    BUFFER_free(buf);
    if (!result) return f.fail(L::NO_ARRAY);
    return result;
  });
}

JNIEXPORT jint JNICALL Java_ru_halvorit_io_TokenFileOutputStream_tokenFileWrite(
    JNIEnv* env, jobject self, jstring jpath, jbyteArray data) {
  return write_file(env, self, jpath, data, OPEN_FLAGS, WRITE_LINES);
}

JNIEXPORT jint JNICALL Java_ru_halvorit_io_TokenFileOutputStream_tokenPrivateFileWrite(
    JNIEnv* env, jobject self, jstring jpath, jbyteArray data) {
  return write_file(env, self, jpath, data, PRIVATE_OPEN_FLAGS, PRIVATE_WRITE_LINES);
}

JNIEXPORT jlong JNICALL Java_ru_halvorit_io_TokenFile_tokenFileLength(JNIEnv* env, jobject self,
                                                                      jstring jpath) {
  using L = LengthLines;
  return jni_run<jlong>(env, self, {.func = JNI_F_TOKEN_FILE_LENGTH}, [&](JniFrame& f) -> std::optional<jlong> {
    JNI_CALLBACK_CTX* ctx = f.callback();
    if (!ctx) return f.fail(L::NO_CLASS);
    const char* path = f.string(jpath);
    if (!path) return f.fail(L::NO_PATH);
    // -1 (the size cannot be determined) is a result, not a failure of the call.
    return static_cast<jlong>(CADB_file_length(path, OPEN_FLAGS, ctx));
  });
}

JNIEXPORT jboolean JNICALL Java_ru_halvorit_io_TokenFile_tokenFileDelete(JNIEnv* env, jobject self,
                                                                         jstring jpath) {
  using L = DeleteLines;
  return jni_run<jboolean>(env, self, {.func = JNI_F_TOKEN_FILE_DELETE}, [&](JniFrame& f) -> std::optional<jboolean> {
    JNI_CALLBACK_CTX* ctx = f.callback();
    if (!ctx) return f.fail(L::NO_CLASS);
    const char* path = f.string(jpath);
    if (!path) return f.fail(L::NO_PATH);
    if (CADB_is_directory(path)) {
      if (!CADB_token_rmdir(path, OPEN_FLAGS, ctx)) return f.fail(L::RMDIR_FAILED);
    } else if (!CADB_erase_file(path, OPEN_FLAGS, ctx)) {
      return f.fail(L::ERASE_FAILED);
    }
    return JNI_TRUE;
  });
}

JNIEXPORT jboolean JNICALL Java_ru_halvorit_io_TokenFile_tokenFileExists(JNIEnv* env, jobject,
                                                                         jstring jpath) {
  return predicate(env, jpath, JNI_F_TOKEN_FILE_EXISTS, PredicateLines::EXISTS_NO_PATH, CADB_file_exists);
}

JNIEXPORT jboolean JNICALL Java_ru_halvorit_io_TokenFile_tokenIsFile(JNIEnv* env, jobject,
                                                                     jstring jpath) {
  return predicate(env, jpath, JNI_F_TOKEN_IS_FILE, PredicateLines::IS_FILE_NO_PATH, CADB_is_file);
}

JNIEXPORT jboolean JNICALL Java_ru_halvorit_io_TokenFile_tokenIsDirectory(JNIEnv* env, jobject,
                                                                          jstring jpath) {
  return predicate(env, jpath, JNI_F_TOKEN_IS_DIRECTORY, PredicateLines::IS_DIRECTORY_NO_PATH,
                   CADB_is_directory);
}

JNIEXPORT jboolean JNICALL Java_ru_halvorit_io_TokenFile_tokenIsInserted(JNIEnv* env, jobject,
                                                                         jstring jpath) {
  return predicate(env, jpath, JNI_F_TOKEN_IS_INSERTED, PredicateLines::IS_INSERTED_NO_PATH,
                   CADB_is_inserted);
}

JNIEXPORT jboolean JNICALL Java_ru_halvorit_io_TokenFile_tokenMkdir(JNIEnv* env, jobject self,
                                                                    jstring jpath) {
  using L = MkdirLines;
  return jni_run<jboolean>(env, self, {.func = JNI_F_TOKEN_MKDIR}, [&](JniFrame& f) -> std::optional<jboolean> {
    JNI_CALLBACK_CTX* ctx = f.callback();
    if (!ctx) return f.fail(L::NO_CLASS);
    const char* path = f.string(jpath);
    if (!path) return f.fail(L::NO_PATH);
    if (!CADB_token_mkdir(path, OPEN_FLAGS, ctx)) return f.fail(L::MKDIR_FAILED);
    return JNI_TRUE;
  });
}

JNIEXPORT jobjectArray JNICALL Java_ru_halvorit_io_TokenFile_tokenFileList(JNIEnv* env, jobject,
                                                                           jstring jpath) {
  using L = ListLines;
  return jni_run<jobjectArray>(env, nullptr, {.func = JNI_F_TOKEN_FILE_LIST}, [&](JniFrame& f) -> std::optional<jobjectArray> {
    const char* path = f.string(jpath);
    if (!path) return f.fail(L::NO_PATH);
    if (!CADB_is_directory(path)) return f.fail(L::NOT_A_DIRECTORY);
    NameListOwner names{name_list_new()};
    if (!names.list) return f.fail(L::NO_LIST);
    if (!CADB_list_directory(path, CADB_LIST_DIRECTORIES, add_name, names.list))
      return f.fail(L::LIST_FAILED);
    // An empty directory gives an empty array, so that null always means the listing failed.
    jobjectArray array = f.new_string_array(names.list->count, [&](jsize i) {
      return reinterpret_cast<const char*>(names.list->items[i]->data);
    });
    if (!array) return f.fail(L::NO_ARRAY);
    return array;
  });
}

JNIEXPORT jboolean JNICALL Java_ru_halvorit_io_TokenFile_tokenLogout(JNIEnv* env, jobject,
                                                                     jstring jpath) {
  using L = LogoutLines;
  // A logout leaves the token-error words as the driver set them.
  return jni_run<jboolean>(env, nullptr, {.func = JNI_F_TOKEN_LOGOUT, .clears_token_error = false},
                           [&](JniFrame& f) -> std::optional<jboolean> {
    const char* path = f.string(jpath);
    if (!path) return f.fail(L::NO_PATH);
    if (!CADB_logout(path)) return f.fail(L::LOGOUT_FAILED);
    return JNI_TRUE;
  });
}

}  // extern "C"
