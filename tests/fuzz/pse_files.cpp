// Key-container files from outside: the master-key, mask, KEK and random-state files (four
// pieces with 16-bit lengths) opened through the container context (first byte: whether the
// random state is used). No mask password is given: a password-protected mask is the
// protected buffer, fuzzed by buffer_decrypt, and its 2048 PBKDF2 iterations per try would
// slow this target to a few runs a second.
#include <cstdlib>

#include "crypto/cadb/pse_ctx.h"
#include "crypto/pse/mask.h"
#include "crypto/pse/pse.h"
#include "fuzz_util.h"

using namespace jarnel;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  fuzz::RunScope scope;
  fuzz::Input in(data, size);
  const std::uint8_t sel = in.byte();
  auto mk = in.long_piece();
  auto mask = in.long_piece();
  auto kek = in.long_piece();
  auto rand = in.long_piece();

  PSE_CTX* ctx = PSE_CTX_new();
  if (!ctx) return 0;
  // A folder that does not exist: every item comes from the context.
  PSE_CTX_set_path(ctx, "/nonexistent/jarnel-fuzz/container", 0);
  PSE_CTX_set_flags(ctx, sel & 1 ? 0 : 1);  // bit 0: leave the generator alone
  auto set = [&](int (*setter)(PSE_CTX*, const unsigned char*, int), std::span<const std::uint8_t> s) {
    if (!s.empty()) setter(ctx, s.data(), static_cast<int>(s.size()));
  };
  set(PSE_CTX_set_mk, mk);
  set(PSE_CTX_set_mask, mask);
  set(PSE_CTX_set_kek, kek);
  if (sel & 1) set(PSE_CTX_set_rand, rand);
  if (PSE_CTX_read(ctx) == 1) {
    PSE* pse = PSE_CTX_get_pse(ctx);
    if (pse && (!MASK_key_is_masked(&pse->mkey) || !MASK_key_is_masked(&pse->kek))) std::abort();
  }
  PSE_CTX_free(ctx);
  return 0;
}
