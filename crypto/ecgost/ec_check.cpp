// Curve table integrity check: a GOST R 34.11-94 digest over the curve list (each record's
// identifier word, then its strings, fixed-base points included), compared with the first
// digest taken in this process.
#include <cstring>

#include "crypto/ecgost/ec_local.h"
#include "crypto/lock.h"
#include "crypto/rus/gosth.h"

namespace jarnel {
namespace {

unsigned char g_digest[32];
bool g_have_digest = false;

bool hash_string(GOSTH_CTX* h, const char* s) {
  if (!s) return true;
  const int n = static_cast<int>(std::strlen(s));
  return n == 0 || GOSTH_update(h, s, n) == n;
}

bool digest_list(unsigned char out[32]) {
  Owned<GOSTH_CTX> owner(GOSTH_new());
  GOSTH_CTX* h = owner.get();
  bool ok = h && GOSTH_init(h, nullptr, nullptr);
  int count = 0;
  const ECURVE_DESC* const* list = ECURVE_desc_list(&count);
  for (int i = 0; ok && i < count; ++i) {
    const ECURVE_DESC* d = list[i];
    unsigned char id[4];
    for (int b = 0; b < 4; ++b) id[b] = static_cast<unsigned char>(static_cast<unsigned>(d->nid) >> (8 * b));
    ok = GOSTH_update(h, id, 4) == 4 && hash_string(h, d->p) && hash_string(h, d->a) &&
         hash_string(h, d->b) && hash_string(h, d->g) && hash_string(h, d->q) &&
         hash_string(h, d->h) && hash_string(h, d->opt) && hash_string(h, d->j);
    if (ok && d->table)
      for (int k = 0; ok && k < d->table->count; ++k) ok = hash_string(h, d->table->points[k]);
  }
  return ok && GOSTH_final(h, out) == 32;
}

}  // namespace

int ECURVE_tables_check() {
  unsigned char now[32];
  bool ok = digest_list(now);
  if (ok) {
    LockGuard g(locks::RAND);
    if (!g_have_digest) {
      std::memcpy(g_digest, now, 32);
      g_have_digest = true;
    } else {
      ok = std::memcmp(g_digest, now, 32) == 0;
    }
  }
  if (!ok) {
    ECGOST_ERR(ECGOST_F_CURVES_CHECK, R_INTERNAL_ERROR);
    return 0;
  }
  return 1;
}

int ECURVE_tables_digest(unsigned char out[32]) {
  LockGuard g(locks::RAND);
  if (!g_have_digest) return 0;
  std::memcpy(out, g_digest, 32);
  return 1;
}

}  // namespace jarnel
