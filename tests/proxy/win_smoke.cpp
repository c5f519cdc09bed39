// Windows smoke test of wenlofa.dll: loads the DLL, calls its two JNI functions through a
// minimal JNI environment and checks through WinINet and the registry that the LAN proxy is
// switched and then put back exactly. Exit status 0 when every check passes.
#include <windows.h>
#include <wininet.h>

#include <jni.h>

#include <cstdio>
#include <cstring>
#include <string>

namespace {

int failures = 0;

void check(bool ok, const char* what) {
  std::printf("%s: %s\n", ok ? "ok" : "FAIL", what);
  if (!ok) ++failures;
}

// A Java string as the fake environment hands it out.
struct FakeString {
  std::u16string chars;
};

jsize JNICALL get_string_length(JNIEnv*, jstring s) {
  return static_cast<jsize>(reinterpret_cast<FakeString*>(s)->chars.size());
}

int strings_held = 0;

const jchar* JNICALL get_string_chars(JNIEnv*, jstring s, jboolean* is_copy) {
  if (is_copy != nullptr) *is_copy = JNI_FALSE;
  ++strings_held;
  return reinterpret_cast<const jchar*>(reinterpret_cast<FakeString*>(s)->chars.c_str());
}

void JNICALL release_string_chars(JNIEnv*, jstring, const jchar*) {
  --strings_held;
}

struct Lan {
  bool read = false;
  std::string server;  // "(none)" when absent
  DWORD flags = 0;
};

Lan read_lan() {
  INTERNET_PER_CONN_OPTIONA options[2];
  options[0].dwOption = INTERNET_PER_CONN_PROXY_SERVER;
  options[1].dwOption = INTERNET_PER_CONN_FLAGS;
  INTERNET_PER_CONN_OPTION_LISTA list{};
  list.dwSize = sizeof(list);
  list.dwOptionCount = 2;
  list.pOptions = options;
  DWORD length = sizeof(list);
  Lan lan;
  if (!InternetQueryOptionA(nullptr, INTERNET_OPTION_PER_CONNECTION_OPTION, &list, &length)) return lan;
  lan.read = true;
  lan.server = options[0].Value.pszValue ? options[0].Value.pszValue : "(none)";
  if (options[0].Value.pszValue) GlobalFree(options[0].Value.pszValue);
  lan.flags = options[1].Value.dwValue;
  return lan;
}

bool set_lan(const char* server, DWORD flags) {
  INTERNET_PER_CONN_OPTIONA options[2];
  options[0].dwOption = INTERNET_PER_CONN_PROXY_SERVER;
  options[0].Value.pszValue = const_cast<char*>(server);
  options[1].dwOption = INTERNET_PER_CONN_FLAGS;
  options[1].Value.dwValue = flags;
  INTERNET_PER_CONN_OPTION_LISTA list{};
  list.dwSize = sizeof(list);
  list.dwOptionCount = 2;
  list.pOptions = options;
  return InternetSetOptionA(nullptr, INTERNET_OPTION_PER_CONNECTION_OPTION, &list, sizeof(list)) != FALSE;
}

// The proxy server as the registry keeps it for the current user; "(none)" when absent.
std::string registry_server() {
  HKEY key;
  if (RegOpenKeyExA(HKEY_CURRENT_USER, "Software\\Microsoft\\Windows\\CurrentVersion\\Internet Settings", 0,
                    KEY_READ, &key) != ERROR_SUCCESS) {
    return "(no key)";
  }
  char value[512] = {};
  DWORD size = sizeof(value) - 1;
  DWORD type = 0;
  const LONG rc = RegQueryValueExA(key, "ProxyServer", nullptr, &type, reinterpret_cast<BYTE*>(value), &size);
  RegCloseKey(key);
  if (rc != ERROR_SUCCESS) return "(none)";
  return value;
}

using ChangeFn = void(JNICALL*)(JNIEnv*, jobject, jstring, jint);
using RestoreFn = void(JNICALL*)(JNIEnv*, jobject);

template <typename Fn>
Fn lookup(HMODULE dll, const char* name) {
  return reinterpret_cast<Fn>(reinterpret_cast<void (*)()>(GetProcAddress(dll, name)));
}

}  // namespace

int main() {
  HMODULE dll = LoadLibraryA("wenlofa.dll");
  check(dll != nullptr, "wenlofa.dll loads");
  if (dll == nullptr) return 1;
  auto change = lookup<ChangeFn>(dll, "Java_ru_halvorit_pellucor_InternetExplorerConfiguration_changeSettings");
  auto restore = lookup<RestoreFn>(dll, "Java_ru_halvorit_pellucor_InternetExplorerConfiguration_restoreSettings");
  check(change != nullptr && restore != nullptr, "both JNI functions are exported under their plain names");
  if (change == nullptr || restore == nullptr) return 1;

  JNINativeInterface_ table{};
  table.GetStringLength = get_string_length;
  table.GetStringChars = get_string_chars;
  table.ReleaseStringChars = release_string_chars;
  JNIEnv env{};
  env.functions = &table;
  FakeString host{u"h"};
  FakeString other{u"elsewhere"};
  auto* jhost = reinterpret_cast<jstring>(&host);
  auto* jother = reinterpret_cast<jstring>(&other);

  // A single proxy for every protocol: HTTP moves to h:3128, the other protocols keep it.
  check(set_lan("proxy:8080", PROXY_TYPE_DIRECT | PROXY_TYPE_PROXY), "LAN proxy prepared");
  const Lan before = read_lan();
  check(before.read && before.server == "proxy:8080", "prepared LAN proxy reads back");

  change(&env, nullptr, jhost, 3128);
  const Lan during = read_lan();
  const std::string expected = "ftp=proxy:8080;gopher=proxy:8080;http=h:3128;https=proxy:8080";
  std::printf("  switched server: %s (flags %lu)\n", during.server.c_str(), during.flags);
  // Windows reports the whole text; wine's WinINet keeps only the HTTP proxy of it.
  check(during.server == expected || during.server == "h:3128", "WinINet reports the switched HTTP proxy");
  check((during.flags & PROXY_TYPE_PROXY) != 0, "LAN proxy enabled");
  check(registry_server() == expected, "switched proxy is in the registry");

  change(&env, nullptr, jother, 1);
  check(read_lan().server == during.server && registry_server() == expected,
        "a second change before the restore changes nothing");

  restore(&env, nullptr);
  const Lan after = read_lan();
  std::printf("  restored server: %s (flags %lu)\n", after.server.c_str(), after.flags);
  check(after.server == before.server && after.flags == before.flags, "LAN proxy restored exactly");
  check(registry_server() == "proxy:8080", "restored proxy is in the registry");

  // No proxy at all: the switch adds one and the restore removes it again.
  check(set_lan(nullptr, PROXY_TYPE_DIRECT), "LAN set to direct");
  const Lan direct = read_lan();
  change(&env, nullptr, jhost, 3128);
  const std::string http_only = read_lan().server;
  check(http_only == "http=h:3128" || http_only == "h:3128", "WinINet reports the HTTP proxy on a direct LAN");
  check(registry_server() == "http=h:3128", "direct LAN gets the HTTP proxy only");
  restore(&env, nullptr);
  const Lan back = read_lan();
  check(back.server == direct.server && back.flags == direct.flags, "direct LAN restored exactly");
  check(registry_server() == "(none)", "no proxy left in the registry");

  restore(&env, nullptr);
  check(read_lan().server == direct.server, "a restore without a change does nothing");
  check(strings_held == 0, "every Java string was released");

  FreeLibrary(dll);
  std::printf("%s\n", failures == 0 ? "PASS" : "FAILED");
  return failures == 0 ? 0 : 1;
}
