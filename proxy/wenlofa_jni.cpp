// The two native methods of ru.halvorit.pellucor.InternetExplorerConfiguration.
#include <jni.h>

#include <new>
#include <string>
#include <string_view>

#include "conn_options.h"
#include "proxy_switch.h"

using namespace jarnel::proxy;

extern "C" JNIEXPORT void JNICALL
Java_ru_halvorit_pellucor_InternetExplorerConfiguration_changeSettings(JNIEnv* env, jobject,
                                                                       jstring host, jint port) {
  if (host == nullptr) return;
  // The host as UTF-16 straight from the string: the modified UTF-8 form would carry
  // supplementary characters as two encoded surrogates, which no UTF-8 decoder accepts.
  const jsize length = env->GetStringLength(host);
  const jchar* chars = env->GetStringChars(host, nullptr);
  if (chars == nullptr) return;  // out of memory; the JVM has raised the error
  std::string ansi;
  bool converted = false;
  try {
    converted = ansi_from_utf16(
        std::u16string_view(reinterpret_cast<const char16_t*>(chars), static_cast<std::size_t>(length)),
        ansi);
  } catch (const std::bad_alloc&) {
    converted = false;
  }
  env->ReleaseStringChars(host, chars);
  if (!converted) return;
  proxy_change_settings(proxy_state(), ansi, static_cast<std::int32_t>(port));
}

extern "C" JNIEXPORT void JNICALL
Java_ru_halvorit_pellucor_InternetExplorerConfiguration_restoreSettings(JNIEnv*, jobject) {
  proxy_restore_settings(proxy_state());
}
