// Allocation-failure sweeps (tests/robust/sweep.h) over the key store's Java entry points, on a
// folder container and on a container of the GOST test module. The binary holds the entry points themselves and runs one virtual machine
// in the process; the rows call Java_..._PKCS11Wrapper_native* directly with its JNIEnv and a
// real PKCS11Wrapper. Only the library's and OpenSSL's allocations are failed (the watching
// allocator never sees the virtual machine's own).
//
// Every run must end in success, or in what Java is told of a failure: null or false, no
// exception pending, the wrapper's last error set and the library's reason text given by
// lastReason(). Besides, nothing leaks, no container or entry file is left half-written or
// half-removed, and no copy of the master key, the KEK, the private key, the VKO result or the
// token's PIN is found in freed memory.
#include <gtest/gtest.h>
#include <jni.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <set>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

#include "crypto/cadb/pkey.h"
#include "crypto/hooks.h"
#include "crypto/jarnel/jni_util.h"
#include "tests/cert/fixture.h"
#include "tests/robust/robust_fixture.h"
#include "tests/robust/sweep.h"
#ifdef SIM_DIR
#include "tests/tokenkeys/gost_module.h"
#endif

#define WRAPPER(name) Java_ru_halvorit_crypto_pkcs11_PKCS11Wrapper_##name

extern "C" {
JNIEXPORT jbyteArray JNICALL WRAPPER(nativeGenerateKeyPair)(JNIEnv*, jobject, jstring, jstring,
                                                           jstring);
JNIEXPORT jbyteArray JNICALL WRAPPER(nativeGetPublicKey)(JNIEnv*, jobject, jstring);
JNIEXPORT jbyteArray JNICALL WRAPPER(nativeSign)(JNIEnv*, jobject, jstring, jbyteArray);
JNIEXPORT jbyteArray JNICALL WRAPPER(nativeDerive)(JNIEnv*, jobject, jstring, jbyteArray,
                                                  jbyteArray, jint);
JNIEXPORT jobjectArray JNICALL WRAPPER(nativePrivateKeyAliases)(JNIEnv*, jobject, jstring);
JNIEXPORT jobjectArray JNICALL WRAPPER(nativeCertificateAliases)(JNIEnv*, jobject, jstring);
JNIEXPORT jbyteArray JNICALL WRAPPER(nativeGetCertificate)(JNIEnv*, jobject, jstring);
JNIEXPORT jboolean JNICALL WRAPPER(nativeAddCertificate)(JNIEnv*, jobject, jstring, jbyteArray,
                                                        jboolean);
JNIEXPORT jboolean JNICALL WRAPPER(nativeDestroyEntry)(JNIEnv*, jobject, jstring);
JNIEXPORT jbyteArray JNICALL WRAPPER(nativeReadPSE)(JNIEnv*, jobject, jstring);
JNIEXPORT jboolean JNICALL WRAPPER(nativeWritePSE)(JNIEnv*, jobject, jstring, jbyteArray,
                                                  jbyteArray, jbyteArray, jbyteArray);
JNIEXPORT jboolean JNICALL WRAPPER(nativeErasePSE)(JNIEnv*, jobject, jstring);
JNIEXPORT jstring JNICALL WRAPPER(lastReason)(JNIEnv*, jclass);

// Under AddressSanitizer: the virtual machine handles its own SIGSEGV (implicit null checks,
// stack banging) and runs Java on stacks ASan does not know, so ASan leaves those signals and
// the stack alone. The blocks the virtual machine allocates for itself and keeps until the
// process ends are not leaks of the library: the suppressions name the JDK's own libraries
// only, so a leak of the library still fails the test.
JNIEXPORT const char* __asan_default_options() {
  return "detect_leaks=1:handle_segv=0:allow_user_segv_handler=1:use_sigaltstack=0:"
         "detect_stack_use_after_return=0";
}
JNIEXPORT const char* __lsan_default_suppressions() { return "leak:libjvm.so\n"; }

// PKCS11Wrapper loads "jarnel" when its class is initialised. This binary has the entry points
// built in, and the virtual machine takes a library whose JNI_OnLoad_<name> the process already
// exports as loaded (statically linked JNI libraries): its native methods are then looked up in
// the process itself. The library was started by the test fixture.
JNIEXPORT jint JNICALL JNI_OnLoad_jarnel(JavaVM*, void*) { return JNI_VERSION_1_8; }
}

namespace robust {
namespace {

using namespace jarnel;
using Bytes = std::vector<unsigned char>;
using PkeyCtxPtr = Owned<PKEY_CTX>;

JavaVM* g_vm = nullptr;
JNIEnv* g_env = nullptr;

// One virtual machine for the whole binary: the class path holds the shipped classes only, as
// a folder (a jar would have the JDK's zip reader keep blocks to the end of the process).
void start_vm() {
  if (g_env) return;
  std::string class_path = "-Djava.class.path=" JARNEL_CLASSES;
  JavaVMOption options[] = {
      {const_cast<char*>(class_path.c_str()), nullptr},
      // No signal handlers of its own beyond what it needs, a small heap, one collector thread
      // and only the interpreter: the few Java calls here need no more.
      {const_cast<char*>("-Xrs"), nullptr},
      {const_cast<char*>("-Xmx64m"), nullptr},
      {const_cast<char*>("-XX:+UseSerialGC"), nullptr},
      {const_cast<char*>("-Xint"), nullptr},
      {const_cast<char*>("-XX:-UsePerfData"), nullptr},
  };
  JavaVMInitArgs args{};
  args.version = JNI_VERSION_1_8;
  args.nOptions = static_cast<jint>(std::size(options));
  args.options = options;
  args.ignoreUnrecognized = JNI_FALSE;
  void* env = nullptr;
  ASSERT_EQ(JNI_CreateJavaVM(&g_vm, &env, &args), JNI_OK);
  g_env = static_cast<JNIEnv*>(env);
}

// The library prints the error queue of every failed call on standard error: thousands of
// failing runs would bury the test's own output, so the runs write it to /dev/null.
class QuietStderr {
 public:
  QuietStderr() {
    if (std::getenv("SWEEP_VERBOSE")) return;  // to see the library's queue when debugging
    std::fflush(stderr);
    saved_ = dup(2);
    if (FILE* null = std::fopen("/dev/null", "w")) {
      dup2(fileno(null), 2);
      std::fclose(null);
    }
  }
  ~QuietStderr() {
    std::fflush(stderr);
    if (saved_ >= 0) {
      dup2(saved_, 2);
      close(saved_);
    }
  }
  QuietStderr(const QuietStderr&) = delete;
  QuietStderr& operator=(const QuietStderr&) = delete;

 private:
  int saved_ = -1;
};

class KeyStoreSweep : public Fixture {
 protected:
  static void SetUpTestSuite() {
    Fixture::SetUpTestSuite();
    start_vm();
  }

  void SetUp() override {
    ASSERT_TRUE(g_env) << "no virtual machine";
    Fixture::SetUp();
    env_ = g_env;
    ASSERT_EQ(env_->PushLocalFrame(64), 0);
    jclass cls = env_->FindClass("ru/halvorit/crypto/pkcs11/PKCS11Wrapper");
    ASSERT_TRUE(cls) << describe_exception();
    cls_ = static_cast<jclass>(env_->NewGlobalRef(cls));
    get_last_error_ = env_->GetMethodID(cls_, "getLastError", "()I");
    clear_last_error_ = env_->GetMethodID(cls_, "clearLastError", "()V");
    ASSERT_TRUE(get_last_error_ && clear_last_error_) << describe_exception();
    env_->PopLocalFrame(nullptr);
    make_wrapper(nullptr);
    key_file_ = container_ + "/keys/00000001.key";
  }

  // The calling object: a PKCS11Wrapper whose password source always answers pin (none: the
  // default source).
  void make_wrapper(const char* pin) {
    if (self_) env_->DeleteGlobalRef(self_);
    self_ = nullptr;
    ASSERT_EQ(env_->PushLocalFrame(16), 0);
    jobject source = nullptr;
    if (pin) {
      jclass sources = env_->FindClass("ru/halvorit/io/PasswordSource");
      ASSERT_TRUE(sources) << describe_exception();
      jmethodID of = env_->GetStaticMethodID(sources, "of", "([C)Lru/halvorit/io/PasswordSource;");
      ASSERT_TRUE(of) << describe_exception();
      const std::size_t n = std::strlen(pin);
      jcharArray chars = env_->NewCharArray(static_cast<jsize>(n));
      std::vector<jchar> units(pin, pin + n);
      env_->SetCharArrayRegion(chars, 0, static_cast<jsize>(n), units.data());
      source = env_->CallStaticObjectMethod(sources, of, chars);
      ASSERT_TRUE(source) << describe_exception();
    }
    jmethodID init = env_->GetMethodID(cls_, "<init>", "(Lru/halvorit/io/PasswordSource;)V");
    ASSERT_TRUE(init) << describe_exception();
    jobject w = env_->NewObject(cls_, init, source);
    ASSERT_TRUE(w) << describe_exception();
    self_ = env_->NewGlobalRef(w);
    env_->PopLocalFrame(nullptr);
  }

  void TearDown() override {
    if (env_) {
      if (self_) env_->DeleteGlobalRef(self_);
      if (cls_) env_->DeleteGlobalRef(cls_);
      env_->ExceptionClear();
    }
    Fixture::TearDown();
  }

  std::string describe_exception() {
    if (!env_->ExceptionCheck()) return "";
    env_->ExceptionDescribe();  // prints and clears
    return "a Java exception was thrown";
  }

  jstring jstr(const std::string& s) { return env_->NewStringUTF(s.c_str()); }
  jbyteArray jbytes(const Bytes& b) {
    jbyteArray a = env_->NewByteArray(static_cast<jsize>(b.size()));
    if (a && !b.empty())
      env_->SetByteArrayRegion(a, 0, static_cast<jsize>(b.size()),
                               reinterpret_cast<const jbyte*>(b.data()));
    return a;
  }
  Bytes from_java(jbyteArray a) {
    Bytes b(static_cast<std::size_t>(env_->GetArrayLength(a)));
    if (!b.empty())
      env_->GetByteArrayRegion(a, 0, static_cast<jsize>(b.size()),
                               reinterpret_cast<jbyte*>(b.data()));
    return b;
  }
  std::vector<std::string> from_java(jobjectArray a) {
    std::vector<std::string> out;
    for (jsize i = 0; a && i < env_->GetArrayLength(a); ++i) {
      auto s = static_cast<jstring>(env_->GetObjectArrayElement(a, i));
      const char* c = s ? env_->GetStringUTFChars(s, nullptr) : nullptr;
      out.emplace_back(c ? c : "<null>");
      if (c) env_->ReleaseStringUTFChars(s, c);
    }
    return out;
  }

  // Runs one entry point (call gets the JNIEnv, the wrapper and its arguments made in a local
  // frame of its own) and checks what Java sees: a result, or null/false with no exception
  // pending, a status for getLastError() and the library's reason for lastReason(). Returns the
  // result (null on failure) for the row to check, valid until the next call.
  // A listing that finds nothing returns null without a failure: with empty_ok that is taken
  // as an empty result.
  template <typename Call>
  auto call(Call&& c, bool empty_ok = false) {
    env_->CallVoidMethod(self_, clear_last_error_);
    using R = decltype(c(env_, self_));
    R r{};
    {
      QuietStderr quiet;
      r = c(env_, self_);
    }
    if (env_->ExceptionCheck()) {
      ADD_FAILURE() << "an exception is pending after the call: " << describe_exception();
      return R{};
    }
    if (r) return r;
    const jint status = env_->CallIntMethod(self_, get_last_error_);
    auto reason = WRAPPER(lastReason)(env_, cls_);
    const char* text = reason ? env_->GetStringUTFChars(reason, nullptr) : nullptr;
    last_reason_ = text ? text : "";
    if (text) env_->ReleaseStringUTFChars(reason, text);
    if (empty_ok && status == 0 && last_reason_.empty()) return R{};
    EXPECT_NE(status, 0) << "a failure without a status for Java";
    EXPECT_FALSE(last_reason_.empty()) << "a failure without a reason for Java";
    return R{};
  }

  // A row whose run makes its Java arguments and calls inside a local frame.
  Row row(const char* name, std::function<void()> prepare, std::function<bool()> run,
          std::function<void(bool)> after) {
    return Row{name, std::move(prepare),
               [this, run = std::move(run)] {
                 if (env_->PushLocalFrame(64) != 0) return false;
                 const bool ok = run();
                 env_->PopLocalFrame(nullptr);
                 return ok;
               },
               std::move(after), mem_watch::Scope::All, false, false};
  }

  // The files of the container's key folder, by name.
  std::set<std::string> key_folder() const {
    std::set<std::string> names;
    std::error_code ec;
    for (const auto& e : fs::directory_iterator(container_ + "/keys", ec))
      names.insert(e.path().filename().string());
    return names;
  }

  // Generates the container's key through the entry point, untouched, and loads it back.
  void make_key() {
    ASSERT_EQ(env_->PushLocalFrame(16), 0);
    jbyteArray spki = WRAPPER(nativeGenerateKeyPair)(env_, self_, jstr(container_),
                                                     jstr("ECGOST3410"), jstr("CP-A"));
    ASSERT_TRUE(spki);
    spki_ = from_java(spki);
    env_->PopLocalFrame(nullptr);
    opened_ = context(container_);
    ASSERT_EQ(PSE_CTX_read(opened_.get()), 1);
    key_.reset(PKEY_CTX_new());
    ASSERT_TRUE(key_);
    ASSERT_EQ(PKEY_CTX_set_pse(key_.get(), PSE_CTX_get_pse(opened_.get())), 1);
    ASSERT_EQ(PKEY_CTX_set_path(key_.get(), key_file_.c_str()), 1);
    ASSERT_EQ(PKEY_CTX_read(key_.get()), 1);
    PKEY* k = PKEY_CTX_get_key(key_.get());
    ASSERT_TRUE(k && k->key && k->key->ec);
    BnPtr d(BN_secure_new());
    ASSERT_TRUE(d && ECGOST_get_private(k->key->ec, d.get()) == 1 &&
                BN_bn2binpad(d.get(), private_, 32) == 32);
    ERR_clear_error();
  }
  void watch_key() {
    watch_container_files();
    mem_watch::watch("private key", {private_, 32});
  }

  JNIEnv* env_ = nullptr;
  jclass cls_ = nullptr;
  jobject self_ = nullptr;
  jmethodID get_last_error_ = nullptr, clear_last_error_ = nullptr;
  std::string key_file_, last_reason_;
  Bytes spki_;
  CtxPtr opened_;
  PkeyCtxPtr key_;
  unsigned char private_[32] = {};

  ~KeyStoreSweep() override { mem_cleanse(private_, sizeof private_); }
};

// A new key never leaves a half-written key file: after a failure there is none, after a
// success a whole one whose public key is the one returned.
TEST_F(KeyStoreSweep, GenerateKeyPair) {
  Bytes spki;
  sweep(row(
      "Java generate key pair",
      [&] {
        fs::remove(key_file_);
        spki.clear();
        watch_container_files();
      },
      [&] {
        jbyteArray r = call([&](JNIEnv* e, jobject s) {
          return WRAPPER(nativeGenerateKeyPair)(e, s, jstr(container_), jstr("ECGOST3410"),
                                                jstr("CP-A"));
        });
        if (r) spki = from_java(r);
        return r != nullptr;
      },
      [&](bool ok) {
        expect_container_unchanged();
        if (!ok) {
          EXPECT_FALSE(fs::exists(key_file_)) << "a failed generation left a key file";
          EXPECT_TRUE(key_folder().empty()) << "a failed generation left files in the key folder";
          return;
        }
        EXPECT_EQ(key_folder(), std::set<std::string>{"00000001.key"});
        ASSERT_EQ(env_->PushLocalFrame(8), 0);
        jbyteArray again = WRAPPER(nativeGetPublicKey)(env_, self_, jstr(container_));
        EXPECT_TRUE(again && from_java(again) == spki) << "the key file does not hold the key";
        env_->PopLocalFrame(nullptr);
      }));
}

// The operations on an existing key: public key, signature, VKO and the key aliases.
TEST_F(KeyStoreSweep, KeyOperations) {
  make_key();
  PKEY_KEY* own = PKEY_CTX_get_key(key_.get())->key;
  // The data to sign: its 32 bytes are the hash value as the signature takes it.
  Bytes digest(32);
  for (std::size_t i = 0; i < digest.size(); ++i) digest[i] = static_cast<unsigned char>(7 * i + 3);
  Bytes sig;
  // The peer of the agreement and the key-encryption key it must give.
  Owned<PKEY> peer(PKEY_generate(PKEY_TYPE_ECGOST_CP, 0, nullptr, nullptr, nullptr));
  ASSERT_TRUE(peer);
  Bytes peer_spki(static_cast<std::size_t>(i2d_PKEY_KEY_PUBKEY(peer->key, nullptr)));
  unsigned char* w = peer_spki.data();
  ASSERT_EQ(i2d_PKEY_KEY_PUBKEY(peer->key, &w), static_cast<int>(peer_spki.size()));
  const Bytes ukm = {1, 1, 2, 3, 5, 8, 13, 21};
  unsigned char shared[32];
  std::size_t shared_len = sizeof shared;
  ASSERT_EQ(PKEY_KEY_derive(own, ECGOST_get_public(peer->key->ec), ukm.data(), shared,
                            &shared_len),
            1);
  Bytes kek;
  const std::vector<std::string> key_aliases = {"00000001.key"};
  auto unchanged = [&](bool) {
    expect_container_unchanged();
    EXPECT_EQ(key_folder(), std::set<std::string>{"00000001.key"});
  };

  const Row rows[] = {
      row("Java get public key", [&] { watch_key(); },
          [&] {
            jbyteArray r = call([&](JNIEnv* e, jobject s) {
              return WRAPPER(nativeGetPublicKey)(e, s, jstr(container_));
            });
            return r && from_java(r) == spki_;
          },
          unchanged),
      row("Java sign",
          [&] {
            watch_key();
            sig.clear();
          },
          [&] {
            jbyteArray r = call([&](JNIEnv* e, jobject s) {
              return WRAPPER(nativeSign)(e, s, jstr(key_file_), jbytes(digest));
            });
            if (r) sig = from_java(r);
            return r != nullptr;
          },
          [&](bool ok) {
            unchanged(ok);
            if (ok) {
              EXPECT_EQ(PKEY_KEY_verify(own, ECGOST_SIG_CP, digest.data(), 32, sig.data(),
                                        static_cast<int>(sig.size())),
                        1)
                  << "the signature does not verify";
            }
          }),
      row("Java derive",
          [&] {
            watch_key();
            mem_watch::watch("VKO result", {shared, 32});
            mem_cleanse(kek.data(), kek.size());
            kek.clear();
          },
          [&] {
            jbyteArray r = call([&](JNIEnv* e, jobject s) {
              return WRAPPER(nativeDerive)(e, s, jstr(container_), jbytes(peer_spki), jbytes(ukm),
                                           0);
            });
            if (!r) return false;
            kek = from_java(r);
            // The Java array is the caller's: it is not looked for in freed memory.
            env_->SetByteArrayRegion(r, 0, env_->GetArrayLength(r),
                                     reinterpret_cast<const jbyte*>(Bytes(32).data()));
            return kek.size() == 32 && std::memcmp(kek.data(), shared, 32) == 0;
          },
          [&](bool ok) {
            unchanged(ok);
            mem_cleanse(kek.data(), kek.size());
          }),
      row("Java private key aliases", [&] { watch_key(); },
          [&] {
            jobjectArray r = call([&](JNIEnv* e, jobject s) {
              return WRAPPER(nativePrivateKeyAliases)(e, s, jstr(container_));
            });
            return r && from_java(r) == key_aliases;
          },
          unchanged),
  };
  for (const auto& r : rows) sweep(r);
  mem_cleanse(shared, sizeof shared);
}

// Certificates of a folder container: adding one writes a whole NNNNNNNN.cer or nothing,
// listing and reading give it back, destroying it removes it or leaves it whole.
TEST_F(KeyStoreSweep, Certificates) {
  certtest::CertPlan plan;
  plan.key = "gost";
  const Bytes der = certtest::make_cert(plan);
  const std::string cert_file = container_ + "/keys/00000001.cer";
  const std::string der_text(der.begin(), der.end());
  auto put_cert = [&] {
    fs::create_directories(container_ + "/keys");
    put_file(cert_file, der_text);
  };
  auto cert_unchanged = [&](bool) {
    expect_container_unchanged();
    EXPECT_EQ(key_folder(), std::set<std::string>{"00000001.cer"});
    EXPECT_EQ(get_file(cert_file), der_text);
  };
  const std::vector<std::string> cert_aliases = {"00000001.cer"};

  const Row rows[] = {
      row("Java add certificate",
          [&] {
            fs::remove_all(container_ + "/keys");
            watch_container_files();
          },
          [&] {
            return call([&](JNIEnv* e, jobject s) {
                     return WRAPPER(nativeAddCertificate)(e, s, jstr(container_), jbytes(der),
                                                          JNI_FALSE);
                   }) == JNI_TRUE;
          },
          [&](bool ok) {
            expect_container_unchanged();
            if (ok) {
              EXPECT_EQ(key_folder(), std::set<std::string>{"00000001.cer"});
              EXPECT_EQ(get_file(cert_file), der_text);
            } else {
              EXPECT_TRUE(key_folder().empty()) << "a failed add left a file";
            }
          }),
      row("Java certificate aliases", put_cert,
          [&] {
            jobjectArray r = call([&](JNIEnv* e, jobject s) {
              return WRAPPER(nativeCertificateAliases)(e, s, jstr(container_));
            });
            return r && from_java(r) == cert_aliases;
          },
          cert_unchanged),
      row("Java get certificate", put_cert,
          [&] {
            jbyteArray r = call([&](JNIEnv* e, jobject s) {
              return WRAPPER(nativeGetCertificate)(e, s, jstr(cert_file));
            });
            return r && from_java(r) == der;
          },
          cert_unchanged),
      row("Java destroy entry", put_cert,
          [&] {
            return call([&](JNIEnv* e, jobject s) {
                     return WRAPPER(nativeDestroyEntry)(e, s, jstr(cert_file));
                   }) == JNI_TRUE;
          },
          [&](bool ok) {
            expect_container_unchanged();
            if (ok) {
              EXPECT_FALSE(fs::exists(cert_file));
            } else {
              EXPECT_EQ(get_file(cert_file), der_text) << "a failed destroy changed the file";
            }
          }),
  };
  for (const auto& r : rows) sweep(r);
}

// A container image: writing it makes all four files or none, erasing removes all or none
// (a half-erased container would be lost). Reading one is for tokens only: a folder
// container's image is its files.
TEST_F(KeyStoreSweep, ContainerImage) {
  make_key();  // the random state is written with the first key
  static constexpr const char* kAll[] = {"mk.db3", "masks.db3", "kek.opq", "rand.opq"};
  std::vector<Bytes> parts;
  for (const char* f : kAll) {
    const std::string s = get_file(container_ + "/" + f);
    ASSERT_FALSE(s.empty()) << f;
    parts.emplace_back(s.begin(), s.end());
  }
  const std::string copy = dir("copy");

  const Row rows[] = {
      row("Java write container image",
          [&] {
            fs::remove_all(copy);
            watch_container_files();
          },
          [&] {
            return call([&](JNIEnv* e, jobject s) {
                     return WRAPPER(nativeWritePSE)(e, s, jstr(copy), jbytes(parts[0]),
                                                    jbytes(parts[1]), jbytes(parts[2]),
                                                    jbytes(parts[3]));
                   }) == JNI_TRUE;
          },
          [&](bool ok) {
            expect_container_unchanged();
            if (!ok) {
              EXPECT_EQ(container_files(copy), 0) << "a failed write left part of a container";
              return;
            }
            // The random state is written fresh (a copy must not repeat the original's
            // random numbers): only its size is the same.
            for (std::size_t i = 0; i < std::size(kAll); ++i) {
              const std::string got = get_file(copy + "/" + kAll[i]);
              if (i == 3) {
                EXPECT_EQ(got.size(), parts[i].size()) << kAll[i];
              } else {
                EXPECT_EQ(got, std::string(parts[i].begin(), parts[i].end())) << kAll[i];
              }
            }
          }),
      row("Java erase container image",
          [&] {
            fs::remove_all(copy);
            fs::create_directories(copy);
            for (std::size_t i = 0; i < std::size(kAll); ++i)
              put_file(copy + "/" + kAll[i], std::string(parts[i].begin(), parts[i].end()));
            watch_container_files();
          },
          [&] {
            return call([&](JNIEnv* e, jobject s) {
                     return WRAPPER(nativeErasePSE)(e, s, jstr(copy));
                   }) == JNI_TRUE;
          },
          [&](bool ok) {
            expect_container_unchanged();
            if (ok) {
              EXPECT_EQ(container_files(copy), 0) << "an erase reported success and left files";
              return;
            }
            // Files already erased cannot come back: the failure is reported, and erasing
            // again finishes the work.
            ASSERT_EQ(env_->PushLocalFrame(8), 0);
            EXPECT_TRUE(WRAPPER(nativeErasePSE)(env_, self_, jstr(copy)))
                << "a failed erase cannot be repeated";
            env_->PopLocalFrame(nullptr);
            EXPECT_EQ(container_files(copy), 0) << "a repeated erase left files";
          }),
  };
  for (const auto& r : rows) sweep(r);
}


#ifdef SIM_DIR
// The same entry points on a container of the GOST test module, the PIN coming from the
// wrapper's password source through the library's call-back. The PIN is watched as well. A
// failed run must leave the token so that the untouched operation still works: no half-written
// container or entry that blocks the next write, nothing removed that a failure reports kept.
class TokenKeyStoreSweep : public KeyStoreSweep {
 protected:
  static constexpr char kPin[] = "sweep PIN 4711-0815";
  static constexpr char kToken[] = "pkcs11:\\pkcs11gost";
  static constexpr char kContainer[] = "pkcs11:\\pkcs11gost\\pse";
  static constexpr char kKeyEntry[] = "pkcs11:\\pkcs11gost\\pse\\keys\\00000001.key";

  void SetUp() override {
    setenv("JARNEL_LIBRARY_PATH", SIM_DIR, 1);
    setenv("PKCS11GOST_PIN", kPin, 1);
    ASSERT_TRUE(gosttest::module().load()) << dlerror();
    gosttest::module().control("reset");
    KeyStoreSweep::SetUp();
    make_wrapper(kPin);
    // The folder container's image, copied onto the token.
    make_key();
    for (const char* f : {"mk.db3", "masks.db3", "kek.opq", "rand.opq"}) {
      const std::string c = get_file(container_ + "/" + f);
      parts_.emplace_back(c.begin(), c.end());
    }
    ASSERT_TRUE(write_image()) << last_reason_;
  }
  void TearDown() override {
    PKCS11_shutdown();
    PKCS11_startup();
    PKCS11_set_default_passwd_cb(&token_passwd_callback);
    gosttest::module().control("reset");
    KeyStoreSweep::TearDown();
    unsetenv("PKCS11GOST_PIN");
  }

  // A fresh library state: the next call opens the module and logs in again.
  void restart() {
    PKCS11_shutdown();
    PKCS11_startup();
    PKCS11_set_default_passwd_cb(&token_passwd_callback);
  }
  void watch_all() {
    watch_container_files();
    mem_watch::watch("PIN", {bytes(kPin), std::strlen(kPin)});
  }

  // Untouched calls for the rows' preparations and checks.
  template <typename F>
  auto untouched(F&& f) {
    env_->PushLocalFrame(16);
    auto r = call(std::forward<F>(f), true);
    using R = decltype(r);
    if constexpr (std::is_same_v<R, jbyteArray>) {
      Bytes b = r ? from_java(r) : Bytes();
      env_->PopLocalFrame(nullptr);
      return std::make_pair(r != nullptr, b);
    } else if constexpr (std::is_same_v<R, jobjectArray>) {
      std::vector<std::string> v = from_java(r);
      env_->PopLocalFrame(nullptr);
      return std::make_pair(r != nullptr, v);
    } else {
      env_->PopLocalFrame(nullptr);
      return std::make_pair(r == JNI_TRUE, 0);
    }
  }
  bool write_image() {
    return untouched([&](JNIEnv* e, jobject s) {
             return WRAPPER(nativeWritePSE)(e, s, jstr(kContainer), jbytes(parts_[0]),
                                            jbytes(parts_[1]), jbytes(parts_[2]),
                                            jbytes(parts_[3]));
           }).first;
  }
  std::pair<bool, Bytes> read_image() {
    return untouched([&](JNIEnv* e, jobject s) {
      return WRAPPER(nativeReadPSE)(e, s, jstr(kContainer));
    });
  }
  std::pair<bool, std::vector<std::string>> aliases(bool keys) {
    return untouched([&](JNIEnv* e, jobject s) {
      return keys ? WRAPPER(nativePrivateKeyAliases)(e, s, jstr(kContainer))
                  : WRAPPER(nativeCertificateAliases)(e, s, jstr(kContainer));
    });
  }
  bool destroy(const std::string& path) {
    return untouched([&](JNIEnv* e, jobject s) {
             return WRAPPER(nativeDestroyEntry)(e, s, jstr(path));
           }).first;
  }
  void destroy_certificates() {
    for (const std::string& a : aliases(false).second) destroy(std::string(kToken) + "\\" + a);
  }
  // The image read back holds the master key, mask and KEK written (the random state is the
  // token's own).
  void expect_image(const Bytes& got) {
    Bytes head;
    for (int i = 0; i < 3; ++i) head.insert(head.end(), parts_[i].begin(), parts_[i].end());
    ASSERT_GE(got.size(), head.size());
    EXPECT_TRUE(std::equal(head.begin(), head.end(), got.begin())) << "the image differs";
  }

  gosttest::TokenDir dir_;
  std::vector<Bytes> parts_;
};

TEST_F(TokenKeyStoreSweep, ContainerImage) {
  const Row rows[] = {
      row("Java read container image (token)",
          [&] {
            restart();
            watch_all();
          },
          [&] {
            jbyteArray r = call([&](JNIEnv* e, jobject s) {
              return WRAPPER(nativeReadPSE)(e, s, jstr(kContainer));
            });
            if (r) expect_image(from_java(r));
            return r != nullptr;
          },
          [&](bool) {}),
      row("Java write container image (token)",
          [&] {
            ASSERT_TRUE(untouched([&](JNIEnv* e, jobject s) {
                          return WRAPPER(nativeErasePSE)(e, s, jstr(kContainer));
                        }).first);
            restart();
            watch_all();
          },
          [&] {
            return call([&](JNIEnv* e, jobject s) {
                     return WRAPPER(nativeWritePSE)(e, s, jstr(kContainer), jbytes(parts_[0]),
                                                    jbytes(parts_[1]), jbytes(parts_[2]),
                                                    jbytes(parts_[3]));
                   }) == JNI_TRUE;
          },
          [&](bool ok) {
            if (!ok) {
              EXPECT_FALSE(read_image().first) << "a failed write left a container";
              // Nothing left behind stands in the way of writing it again.
              EXPECT_TRUE(write_image()) << "after a failed write: " << last_reason_;
            }
            auto [read, image] = read_image();
            EXPECT_TRUE(read) << last_reason_;
            if (read) expect_image(image);
          }),
      row("Java erase container image (token)",
          [&] {
            if (!read_image().first) {
              ASSERT_TRUE(write_image()) << last_reason_;
            }
            restart();
            watch_all();
          },
          [&] {
            return call([&](JNIEnv* e, jobject s) {
                     return WRAPPER(nativeErasePSE)(e, s, jstr(kContainer));
                   }) == JNI_TRUE;
          },
          [&](bool ok) {
            if (!ok) {
              EXPECT_TRUE(untouched([&](JNIEnv* e, jobject s) {
                            return WRAPPER(nativeErasePSE)(e, s, jstr(kContainer));
                          }).first)
                  << "a failed erase cannot be repeated: " << last_reason_;
            }
            EXPECT_FALSE(read_image().first) << "the container is still there";
          }),
  };
  for (const auto& r : rows) sweep(r);
}

TEST_F(TokenKeyStoreSweep, Keys) {
  const std::vector<std::string> key_aliases = {"pse\\keys\\00000001.key"};
  Bytes spki;
  auto generate_row = row(
      "Java generate key pair (token)",
      [&] {
        destroy(kKeyEntry);
        restart();
        watch_all();
        spki.clear();
      },
      [&] {
        jbyteArray r = call([&](JNIEnv* e, jobject s) {
          return WRAPPER(nativeGenerateKeyPair)(e, s, jstr(kContainer), jstr("ECGOST3410"),
                                                jstr("CP-A"));
        });
        if (r) spki = from_java(r);
        return r != nullptr;
      },
      [&](bool ok) {
        auto [listed, names] = aliases(true);
        if (!ok) {
          EXPECT_TRUE(names.empty()) << "a failed generation left a key";
          return;
        }
        EXPECT_EQ(names, key_aliases);
        auto [got, pub] = untouched([&](JNIEnv* e, jobject s) {
          return WRAPPER(nativeGetPublicKey)(e, s, jstr(kContainer));
        });
        EXPECT_TRUE(got && pub == spki) << "the token does not hold the key returned";
      });
  sweep(generate_row);
  if (HasFailure()) return;
  ASSERT_FALSE(spki.empty());

  // The key the sweep left, checked from outside: its public key, a peer and the VKO result.
  const unsigned char* p = spki.data();
  Owned<PKEY_KEY> own_public(d2i_PKEY_KEY_PUBKEY(&p, static_cast<long>(spki.size())));
  ASSERT_TRUE(own_public && own_public->ec);
  Owned<PKEY> peer(PKEY_generate(PKEY_TYPE_ECGOST_CP, 0, nullptr, nullptr, nullptr));
  ASSERT_TRUE(peer);
  Bytes peer_spki(static_cast<std::size_t>(i2d_PKEY_KEY_PUBKEY(peer->key, nullptr)));
  unsigned char* w = peer_spki.data();
  ASSERT_EQ(i2d_PKEY_KEY_PUBKEY(peer->key, &w), static_cast<int>(peer_spki.size()));
  const Bytes ukm = {2, 7, 1, 8, 2, 8, 1, 8};
  unsigned char shared[32];
  std::size_t shared_len = sizeof shared;
  ASSERT_EQ(PKEY_KEY_derive(peer->key, ECGOST_get_public(own_public->ec), ukm.data(), shared,
                            &shared_len),
            1);
  Bytes digest(32, 0x5a), sig;
  auto key_kept = [&](bool) { EXPECT_EQ(aliases(true).second, key_aliases); };

  const Row rows[] = {
      row("Java get public key (token)",
          [&] {
            restart();
            watch_all();
          },
          [&] {
            jbyteArray r = call([&](JNIEnv* e, jobject s) {
              return WRAPPER(nativeGetPublicKey)(e, s, jstr(kContainer));
            });
            return r && from_java(r) == spki;
          },
          key_kept),
      row("Java sign (token)",
          [&] {
            restart();
            watch_all();
            sig.clear();
          },
          [&] {
            jbyteArray r = call([&](JNIEnv* e, jobject s) {
              return WRAPPER(nativeSign)(e, s, jstr(kContainer), jbytes(digest));
            });
            if (r) sig = from_java(r);
            return r != nullptr;
          },
          [&](bool ok) {
            key_kept(ok);
            if (ok) {
              EXPECT_EQ(PKEY_KEY_verify(own_public.get(), ECGOST_SIG_CP, digest.data(), 32,
                                        sig.data(), static_cast<int>(sig.size())),
                        1)
                  << "the signature does not verify";
            }
          }),
      row("Java derive (token)",
          [&] {
            restart();
            watch_all();
            mem_watch::watch("VKO result", {shared, 32});
          },
          [&] {
            jbyteArray r = call([&](JNIEnv* e, jobject s) {
              return WRAPPER(nativeDerive)(e, s, jstr(kContainer), jbytes(peer_spki),
                                           jbytes(ukm), 0);
            });
            if (!r) return false;
            const Bytes kek = from_java(r);
            env_->SetByteArrayRegion(r, 0, env_->GetArrayLength(r),
                                     reinterpret_cast<const jbyte*>(Bytes(32).data()));
            return kek.size() == 32 && std::memcmp(kek.data(), shared, 32) == 0;
          },
          key_kept),
      row("Java private key aliases (token)",
          [&] {
            restart();
            watch_all();
          },
          [&] {
            jobjectArray r = call([&](JNIEnv* e, jobject s) {
              return WRAPPER(nativePrivateKeyAliases)(e, s, jstr(kContainer));
            });
            return r && from_java(r) == key_aliases;
          },
          key_kept),
      row("Java destroy key (token)",
          [&] {
            if (aliases(true).second.empty()) {
              ASSERT_TRUE(untouched([&](JNIEnv* e, jobject s) {
                            return WRAPPER(nativeGenerateKeyPair)(
                                e, s, jstr(kContainer), jstr("ECGOST3410"), jstr("CP-A"));
                          }).first);
            }
            restart();
            watch_all();
          },
          [&] {
            return call([&](JNIEnv* e, jobject s) {
                     return WRAPPER(nativeDestroyEntry)(e, s, jstr(kKeyEntry));
                   }) == JNI_TRUE;
          },
          [&](bool ok) {
            if (ok) {
              EXPECT_TRUE(aliases(true).second.empty()) << "the key is still there";
            } else {
              // Either untouched or gone; a destroy repeated untouched finishes the work.
              EXPECT_TRUE(aliases(true).second.empty() || destroy(kKeyEntry))
                  << "a failed destroy cannot be repeated: " << last_reason_;
              EXPECT_TRUE(aliases(true).second.empty());
            }
          }),
  };
  for (const auto& r : rows) sweep(r);
  mem_cleanse(shared, sizeof shared);
}

TEST_F(TokenKeyStoreSweep, Certificates) {
  certtest::CertPlan plan;
  plan.key = "gost";
  const Bytes der = certtest::make_cert(plan);
  auto one_certificate = [&] {
    auto [listed, names] = aliases(false);
    EXPECT_EQ(names.size(), 1u) << "certificates on the token: " << names.size();
    return names.empty() ? std::string() : std::string(kToken) + "\\" + names[0];
  };
  std::string cert_path;  // the certificate's entry, found before the run
  auto put_cert = [&] {
    if (aliases(false).second.empty()) {
      ASSERT_TRUE(untouched([&](JNIEnv* e, jobject s) {
                    return WRAPPER(nativeAddCertificate)(e, s, jstr(kContainer), jbytes(der),
                                                         JNI_FALSE);
                  }).first);
    }
    cert_path = one_certificate();
    restart();
    watch_all();
  };
  auto cert_kept = [&](bool) {
    const std::string path = one_certificate();
    auto [got, bytes] = untouched([&](JNIEnv* e, jobject s) {
      return WRAPPER(nativeGetCertificate)(e, s, jstr(path));
    });
    EXPECT_TRUE(got && bytes == der) << "the certificate changed";
  };

  const Row rows[] = {
      row("Java add certificate (token)",
          [&] {
            destroy_certificates();
            restart();
            watch_all();
          },
          [&] {
            return call([&](JNIEnv* e, jobject s) {
                     return WRAPPER(nativeAddCertificate)(e, s, jstr(kContainer), jbytes(der),
                                                          JNI_FALSE);
                   }) == JNI_TRUE;
          },
          [&](bool ok) {
            if (ok) {
              cert_kept(ok);
            } else {
              EXPECT_TRUE(aliases(false).second.empty()) << "a failed add left a certificate";
            }
          }),
      row("Java certificate aliases (token)", put_cert,
          [&] {
            jobjectArray r = call([&](JNIEnv* e, jobject s) {
              return WRAPPER(nativeCertificateAliases)(e, s, jstr(kContainer));
            });
            return r && from_java(r).size() == 1;
          },
          cert_kept),
      row("Java get certificate (token)", put_cert,
          [&] {
            jbyteArray r = call([&](JNIEnv* e, jobject s) {
              return WRAPPER(nativeGetCertificate)(e, s, jstr(cert_path));
            });
            return r && from_java(r) == der;
          },
          cert_kept),
      row("Java destroy certificate (token)", put_cert,
          [&] {
            return call([&](JNIEnv* e, jobject s) {
                     return WRAPPER(nativeDestroyEntry)(e, s, jstr(cert_path));
                   }) == JNI_TRUE;
          },
          [&](bool ok) {
            if (ok) {
              EXPECT_TRUE(aliases(false).second.empty()) << "the certificate is still there";
            } else {
              cert_kept(ok);
            }
          }),
  };
  for (const auto& r : rows) sweep(r);
}
#endif  // SIM_DIR
}  // namespace
}  // namespace robust
