#pragma once
// The key container the private-key harnesses load GOST keys through: a container in memory
// with a fixed master key and KEK (no files), so that driver/make_record_seeds.cpp writes key
// files the harnesses' container loads.
#include "crypto/pse/pse.h"
#include "fuzz_util.h"

namespace fuzz {

inline jarnel::PSE* record_pse() {
  static jarnel::PSE* pse = [] {
    start_library();
    unsigned char mkey[32], kek[32];
    for (int i = 0; i < 32; ++i) {
      mkey[i] = static_cast<unsigned char>(0xa5 ^ (i * 29));
      kek[i] = static_cast<unsigned char>(0x3c ^ (i * 53));
    }
    jarnel::PSE* made = jarnel::PSE_new();
    if (made && (!jarnel::PSE_set_path(made, "/nonexistent/jarnel-fuzz-container") ||
                 !jarnel::PSE_set_mkey(made, mkey) || !jarnel::PSE_set_kek(made, kek))) {
      jarnel::PSE_free(made);
      made = nullptr;
    }
    return made;
  }();
  return pse;
}

// The password of the encrypted seeds.
inline constexpr char kRecordPassword[] = "fuzz password";

}  // namespace fuzz
