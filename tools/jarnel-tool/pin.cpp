// The tool's PIN source and the password call-back it gives the carrier drivers.
#include "pin.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "crypto/bio/token.h"
#include "crypto/cadb/carrier.h"
#include "crypto/hooks.h"
#include "platform/tty.h"

namespace jarnel::tool {
namespace {
PinSource g_pin;
const char* g_prompt_path = nullptr;
}  // namespace

bool PinSource::load(const char* path) {
  if (have) return true;
  if (failed) return false;
  char buf[TOKEN_PASSWORD_MAX + 2] = {};
  long n = -1;
  if (pin_file) {
    if (std::FILE* f = std::fopen(pin_file, "rb")) {
      if (std::fgets(buf, sizeof buf, f)) n = static_cast<long>(std::strcspn(buf, "\r\n"));
      std::fclose(f);
    }
  } else if (const char* env = std::getenv("JARNEL_PIN")) {
    n = static_cast<long>(std::strlen(env));
    if (n > TOKEN_PASSWORD_MAX) n = TOKEN_PASSWORD_MAX;
    std::memcpy(buf, env, static_cast<std::size_t>(n));
  } else {
    char prompt[320];
    std::snprintf(prompt, sizeof prompt, "PIN for %s: ", path ? path : "the token");
    n = platform::read_secret_from_terminal(prompt, buf, sizeof buf);
  }
  if (n >= 0 && pin.resize(static_cast<std::size_t>(n) + 1)) {
    std::memcpy(pin.data(), buf, static_cast<std::size_t>(n));
    pin.data()[n] = 0;
    have = true;
  } else {
    failed = true;
  }
  mem_cleanse(buf, sizeof buf);
  return have;
}

PinSource& pin_source() { return g_pin; }
void set_pin_prompt_path(const char* path) { g_prompt_path = path; }

int pin_callback(char* buf, int size, int, void*) {
  PinSource* src = &g_pin;
  if (!buf || size <= 0 || !src->load(g_prompt_path)) return 0;
  std::size_t n = std::strlen(reinterpret_cast<const char*>(src->pin.data()));
  if (n > static_cast<std::size_t>(size)) n = static_cast<std::size_t>(size);
  std::memcpy(buf, src->pin.data(), n);
  return static_cast<int>(n);
}

void install_pin_callback() {
  CARRIER_set_passwd_cb_all(pin_callback);
  PKCS11_set_default_passwd_cb(pin_callback);
}

}  // namespace jarnel::tool
