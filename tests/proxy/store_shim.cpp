// Test-only JNI library (never shipped): lets Java tests fill and inspect the in-process settings
// store that libwenlofa.so writes to, through the class ru.halvorit.pellucor.ProxyStore.
#include <jni.h>

#include <optional>
#include <string>

#include "posix/conn_store.h"

using namespace jarnel::proxy;

namespace {

// A Java string as the store's text: null stays absent. Test texts are ASCII, where modified
// UTF-8 and UTF-8 agree.
std::optional<std::string> text_of(JNIEnv* env, jstring s) {
  if (s == nullptr) return std::nullopt;
  const char* chars = env->GetStringUTFChars(s, nullptr);
  if (chars == nullptr) return std::nullopt;
  std::string out(chars);
  env->ReleaseStringUTFChars(s, chars);
  return out;
}

std::optional<store::Connection> connection(JNIEnv* env, jstring name) {
  const std::optional<std::string> n = text_of(env, name);
  return store::get(n ? n->c_str() : nullptr);
}

}  // namespace

extern "C" {

JNIEXPORT void JNICALL Java_ru_halvorit_pellucor_ProxyStore_reset(JNIEnv*, jclass) {
  store::reset();
}

JNIEXPORT void JNICALL Java_ru_halvorit_pellucor_ProxyStore_put(JNIEnv* env, jclass, jstring name, jstring url,
                                                                jint autodiscovery, jint flags, jstring bypass,
                                                                jstring server) {
  store::Connection c;
  c.autoconfig_url = text_of(env, url);
  c.autodiscovery_flags = static_cast<std::uint32_t>(autodiscovery);
  c.flags = static_cast<std::uint32_t>(flags);
  c.proxy_bypass = text_of(env, bypass);
  c.proxy_server = text_of(env, server);
  const std::optional<std::string> n = text_of(env, name);
  store::put(n ? n->c_str() : nullptr, c);
}

// The bytes of a text option, or null when the option or the connection is absent.
JNIEXPORT jbyteArray JNICALL Java_ru_halvorit_pellucor_ProxyStore_text(JNIEnv* env, jclass, jstring name,
                                                                       jint option) {
  const std::optional<store::Connection> c = connection(env, name);
  if (!c) return nullptr;
  std::optional<std::string> text;
  switch (option) {
    case OPT_PROXY_SERVER: text = c->proxy_server; break;
    case OPT_PROXY_BYPASS: text = c->proxy_bypass; break;
    case OPT_AUTOCONFIG_URL: text = c->autoconfig_url; break;
    default: return nullptr;
  }
  if (!text) return nullptr;
  jbyteArray out = env->NewByteArray(static_cast<jsize>(text->size()));
  if (out == nullptr) return nullptr;
  env->SetByteArrayRegion(out, 0, static_cast<jsize>(text->size()), reinterpret_cast<const jbyte*>(text->data()));
  return out;
}

JNIEXPORT jint JNICALL Java_ru_halvorit_pellucor_ProxyStore_number(JNIEnv* env, jclass, jstring name, jint option) {
  const std::optional<store::Connection> c = connection(env, name);
  if (!c) return -1;
  if (option == OPT_FLAGS) return static_cast<jint>(c->flags);
  if (option == OPT_AUTODISCOVERY_FLAGS) return static_cast<jint>(c->autodiscovery_flags);
  return -1;
}

JNIEXPORT void JNICALL Java_ru_halvorit_pellucor_ProxyStore_failQueries(JNIEnv* env, jclass, jstring name,
                                                                        jboolean fail) {
  const std::optional<std::string> n = text_of(env, name);
  store::fail_queries(n ? n->c_str() : nullptr, fail == JNI_TRUE);
}

JNIEXPORT jobjectArray JNICALL Java_ru_halvorit_pellucor_ProxyStore_calls(JNIEnv* env, jclass) {
  const std::vector<std::string> calls = store::calls();
  jclass string_class = env->FindClass("java/lang/String");
  if (string_class == nullptr) return nullptr;
  jobjectArray out = env->NewObjectArray(static_cast<jsize>(calls.size()), string_class, nullptr);
  env->DeleteLocalRef(string_class);
  if (out == nullptr) return nullptr;
  for (std::size_t i = 0; i < calls.size(); ++i) {
    jstring s = env->NewStringUTF(calls[i].c_str());
    if (s == nullptr) return nullptr;
    env->SetObjectArrayElement(out, static_cast<jsize>(i), s);
    env->DeleteLocalRef(s);
  }
  return out;
}

}  // extern "C"
