#pragma once
// Where the tool takes a PIN from when a carrier asks for one: the first line of --pin-file,
// else the JARNEL_PIN environment variable, else the terminal without echo. Read once, kept in
// wiped memory.
#include "crypto/mem.h"

namespace jarnel::tool {

struct PinSource {
  const char* pin_file = nullptr;
  SecureBuffer pin;
  bool have = false;
  bool failed = false;

  // Reads the PIN on first use; path names the carrier in the terminal prompt.
  bool load(const char* path);
};

// The PIN source of this run and the path its prompt names.
PinSource& pin_source();
void set_pin_prompt_path(const char* path);

// The drivers' password call-back: answers from pin_source(), the run's one PIN source. Its
// argument is not read: the token drivers call it only for an operation that carries a
// call-back argument, so callers give one (any non-null pointer) to have the PIN asked.
int pin_callback(char* buf, int size, int rwflag, void* u);

// Installs pin_callback in the carrier drivers and as the PKCS#11 default.
void install_pin_callback();

}  // namespace jarnel::tool
