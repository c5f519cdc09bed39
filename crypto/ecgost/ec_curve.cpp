// Curves: the built-in descriptions, curve objects, set-up from a description (with the
// j-invariant), the two generator methods and the shared fixed-base tables.
#include <openssl/bn.h>

#include <cstring>
#include <memory>

#include "crypto/ecgost/ec_local.h"
#include "crypto/lock.h"
#include "crypto/mem.h"

namespace jarnel {

using ec::BnCtxPtr;

#include "crypto/ecgost/ec_curve_data.inc"

namespace {

const ECURVE_DESC* const k_numbered[] = {&k_curve_p256,  &k_curve_cp_a,  &k_curve_cp_b,
                                         &k_curve_cp_c,  &k_curve_cp_xa, &k_curve_cp_xb,
                                         &k_curve_test};
const ECURVE_DESC* const k_list[] = {&k_curve_p256,  &k_curve_cp_a,  &k_curve_cp_b,
                                     &k_curve_cp_c,  &k_curve_cp_xa, &k_curve_cp_xb,
                                     &k_curve_test,  &k_curve_secp112r2};


// Parsed tables of the built-in descriptions, built once and kept for the life of the process
// (they are constants; every curve made from the description shares them).
struct TableCacheEntry {
  const ECURVE_TABLE_DESC* desc;
  EC_FBW* table;
};
TableCacheEntry g_table_cache[8];

// k * G for a k that may be secret. G has order q, so k is first reduced mod q; the
// multiplication then runs over q's length whatever k is.
int mul_generator_ct(ECPOINT* r, const BIGNUM* k, const ECURVE* curve, bool use_table) {
  if (BN_is_negative(k)) return ECPOINT_mul(r, curve->G, k);
  ec::BnPtr kr(BN_secure_new());
  BnCtxPtr ctx(BN_CTX_new());
  if (!kr || !ctx) {
    ECGOST_ERR(ECGOST_F_ECPOINT_MUL, R_MALLOC_FAILURE);
    return 0;
  }
  BN_set_flags(kr.get(), BN_FLG_CONSTTIME);
  if (!ec::mod_q_fixed_length(kr.get(), k, curve->q, ctx.get())) {
    ECGOST_ERR(ECGOST_F_ECPOINT_MUL, R_MALLOC_FAILURE);
    return 0;
  }
  ec::JPoint v;
  // k < q now and G has order q: the additions never meet the doubling case.
  bool done = use_table && curve->meth_data &&
              ec::jp_mul_comb_ct(*curve, v, *curve->meth_data, kr.get(), true);
  if (!done) done = ec::jp_mul_ct(*curve, v, curve->G->P, kr.get(), BN_num_bits(curve->q), true);
  if (!done) {
    ECGOST_ERR(ECGOST_F_ECPOINT_MUL, R_MALLOC_FAILURE);
    return 0;
  }
  if (curve->mode != ECURVE_PROJECTIVE) {
    ec::jp_to_affine(*curve, r->P, v);
    r->form = 0;
  } else {
    r->P = v;
    r->form = (v.inf || v.z1) ? 0 : 1;
  }
  return 1;
}

int mul_generator_default(ECPOINT* r, const BIGNUM* k, const ECURVE* curve) {
  return mul_generator_ct(r, k, curve, false);
}

int mul_generator_fbw(ECPOINT* r, const BIGNUM* k, const ECURVE* curve) {
  return mul_generator_ct(r, k, curve, true);
}

bool parse_hex(const char* s, BIGNUM** out) {
  if (!s) return true;
  BIGNUM* b = nullptr;
  const int n = BN_hex2bn(&b, s);
  if (n <= 0 || s[n] != '\0') {
    BN_free(b);
    return false;
  }
  *out = b;
  return true;
}

// Parses a description's table into Montgomery affine points on curve c.
EC_FBW* parse_table(ECURVE* c, const ECURVE_TABLE_DESC* td) {
  EC_FBW* t = EC_FBW_alloc(td->count);
  ECPOINT* pt = ECPOINT_new_weak(c);
  if (!t || !pt) {
    EC_FBW_free(t);
    ECPOINT_free(pt);
    return nullptr;
  }
  t->bits = td->bits;
  t->w = td->w;
  for (int i = 0; i < td->count; ++i) {
    if (!ECPOINT_hex2point(pt, td->points[i]) || pt->P.inf) {
      EC_FBW_free(t);
      ECPOINT_free(pt);
      return nullptr;
    }
    t->x[i] = pt->P.X;
    t->y[i] = pt->P.Y;
  }
  ECPOINT_free(pt);
  return t;
}

EC_FBW* shared_table(ECURVE* c, const ECURVE_TABLE_DESC* td) {
  LockGuard g(locks::EC);
  for (auto& e : g_table_cache) {
    if (e.desc == td) {
      EC_FBW_up_ref(e.table);
      return e.table;
    }
  }
  EC_FBW* t = parse_table(c, td);
  if (!t) return nullptr;
  for (auto& e : g_table_cache) {
    if (!e.desc) {
      e.desc = td;
      e.table = t;
      EC_FBW_up_ref(t);  // the cache's own reference
      break;
    }
  }
  return t;
}

void clear_numbers(ECURVE* c) {
  BN_free(c->p);
  BN_free(c->a);
  BN_free(c->b);
  BN_free(c->q);
  BN_free(c->h);
  BN_free(c->opt);
  BN_free(c->j);
  c->p = c->a = c->b = c->q = c->h = c->opt = c->j = nullptr;
  ECPOINT_free(c->G);
  c->G = nullptr;
  EC_FBW_free(c->meth_data);
  c->meth_data = nullptr;
  c->meth = &ECURVE_default_method;
  c->ready = false;
}

}  // namespace

void* ec::alloc_on_curve(std::size_t n, ECURVE*& curve, int func) {
  if (curve) {
    ECURVE_up_ref(curve);
  } else if (!(curve = ECURVE_init(nullptr))) {
    ECGOST_ERR(func, R_INTERNAL_ERROR);
    return nullptr;
  }
  void* p = mem_alloc(n);
  if (!p) {
    ECURVE_free(curve);
    curve = nullptr;
    ECGOST_ERR(func, R_MALLOC_FAILURE);
    ERR_set_status(ECGOST_STATUS_NO_MEMORY);
    return nullptr;
  }
  std::memset(p, 0, n);
  return p;
}

const ECURVE_METHOD ECURVE_default_method{"default", mul_generator_default};
const ECURVE_METHOD ECURVE_fbw_method{"fixed base window", mul_generator_fbw};

const ECURVE_DESC* ECURVE_desc_by_number(int number) {
  if (number < ECURVE_P256 || number > ECURVE_TEST) {
    ERR_set_status(ECGOST_STATUS_UNKNOWN);
    return nullptr;
  }
  return k_numbered[number - ECURVE_P256];
}

int ECURVE_number_by_paramset(int nid) {
  switch (nid) {
    case NID_CP_2001_A: return ECURVE_CP_A;
    case NID_CP_2001_B: return ECURVE_CP_B;
    case NID_CP_2001_C: return ECURVE_CP_C;
    case NID_CP_2001_XCHA: return ECURVE_CP_XCHA;
    case NID_CP_2001_XCHB: return ECURVE_CP_XCHB;
    default: return ECURVE_P256;
  }
}

const ECURVE_DESC* const* ECURVE_desc_list(int* count) {
  if (count) *count = static_cast<int>(sizeof k_list / sizeof k_list[0]);
  return k_list;
}

const ECURVE_DESC* ECURVE_desc_secp128r1() { return &k_curve_secp128r1; }

ECURVE* ECURVE_new(int mode) {
  auto* c = static_cast<ECURVE*>(mem_alloc(sizeof(ECURVE)));
  if (!c) {
    ECGOST_ERR(ECGOST_F_ECURVE_NEW, R_MALLOC_FAILURE);
    ERR_set_status(ECGOST_STATUS_NO_MEMORY);
    return nullptr;
  }
  std::memset(static_cast<void*>(c), 0, sizeof *c);
  c->mode = mode == ECURVE_PROJECTIVE ? ECURVE_PROJECTIVE : ECURVE_AFFINE;
  c->references = 1;
  c->meth = &ECURVE_default_method;
  return c;
}

int ECURVE_up_ref(ECURVE* curve) {
  if (!curve) return 0;
  ec::ref_up(curve->references);
  return 1;
}

void ECURVE_free(ECURVE* curve) {
  if (!curve || !ec::ref_down(curve->references)) return;
  clear_numbers(curve);
  mem_free(curve);
}

int ECURVE_get_coefficients(ECURVE* c) {
  if (!c || !c->p || !c->j) {
    ECGOST_ERR(ECGOST_F_ECURVE_GET_COEFFICIENTS, ECGOST_R_INVALID_PARAMETERS);
    ERR_set_status(ECGOST_STATUS_BAD_ARGS);
    return 0;
  }
  BnCtxPtr ctx(BN_CTX_new());
  BIGNUM* k = BN_new();
  BIGNUM* d = BN_new();
  BIGNUM* a = BN_new();
  BIGNUM* b = BN_new();
  bool ok = ctx && k && d && a && b && !BN_is_zero(c->j) && BN_set_word(d, 1728) &&
            BN_mod_sub(d, d, c->j, c->p, ctx.get()) && !BN_is_zero(d);
  if (ok) {
    ec::ossl_mark();
    ok = BN_mod_inverse(d, d, c->p, ctx.get()) != nullptr;
    ec::ossl_pop();
  }
  ok = ok && BN_mod_mul(k, c->j, d, c->p, ctx.get()) && BN_set_word(a, 3) &&
       BN_mod_mul(a, a, k, c->p, ctx.get()) && BN_set_word(b, 2) &&
       BN_mod_mul(b, b, k, c->p, ctx.get());
  BN_free(k);
  BN_free(d);
  if (!ok) {
    BN_free(a);
    BN_free(b);
    ECGOST_ERR(ECGOST_F_ECURVE_GET_COEFFICIENTS, R_INTERNAL_ERROR);
    return 0;
  }
  BN_free(c->a);
  BN_free(c->b);
  c->a = a;
  c->b = b;
  return 1;
}

int ECURVE_set(ECURVE* c, const ECURVE_DESC* desc) {
  if (!c || !desc || !desc->p || !desc->g || !desc->q) {
    ECGOST_ERR(ECGOST_F_ECURVE_SET, ECGOST_R_INVALID_PARAMETERS);
    ERR_set_status(ECGOST_STATUS_BAD_ARGS);
    return 0;
  }
  clear_numbers(c);
  c->nid = desc->nid;
  bool ok = parse_hex(desc->p, &c->p) && parse_hex(desc->a, &c->a) &&
            parse_hex(desc->b, &c->b) && parse_hex(desc->q, &c->q) &&
            parse_hex(desc->h, &c->h) && parse_hex(desc->opt, &c->opt) &&
            parse_hex(desc->j, &c->j) && ec::field_init(c->field, c->p) && !BN_is_zero(c->q);
  if (ok && !c->a) ok = (c->a = BN_new()) != nullptr;
  if (ok && !c->b) ok = (c->b = BN_new()) != nullptr;
  if (ok && BN_is_zero(c->a) && BN_is_zero(c->b) && c->j) ok = ECURVE_get_coefficients(c);
  BnCtxPtr ctx(BN_CTX_new());
  ok = ok && ctx && BN_nnmod(c->a, c->a, c->p, ctx.get()) &&
       BN_nnmod(c->b, c->b, c->p, ctx.get()) && ec::fe_from_bn(c->field, c->a_m, c->a) &&
       ec::fe_from_bn(c->field, c->b_m, c->b);
  if (ok) {
    BIGNUM* t = BN_new();
    ok = t && BN_sub(t, c->p, c->a);
    if (ok && BN_is_word(t, 3)) c->flags |= 1;
    else c->flags &= ~1;
    BN_free(t);
  }
  c->ready = ok;
  if (ok) ok = (c->G = ECPOINT_new_weak(c)) != nullptr && ECPOINT_hex2point(c->G, desc->g);
  if (ok && desc->table) {
    c->meth_data = shared_table(c, desc->table);
    ok = c->meth_data != nullptr;
    if (ok) {
      c->meth = &ECURVE_fbw_method;
      EC_FBW_up_ref(c->meth_data);
      c->G->table = c->meth_data;
    }
  }
  if (!ok) {
    clear_numbers(c);
    ECGOST_ERR(ECGOST_F_ECURVE_SET, R_INTERNAL_ERROR);
    return 0;
  }
  return 1;
}

ECURVE* ECURVE_init(const ECURVE_DESC* desc) {
  if (!desc) desc = &k_curve_p256;
  ECURVE* c = ECURVE_new(ECURVE_PROJECTIVE);
  if (!c) {
    ECGOST_ERR(ECGOST_F_ECURVE_INIT, R_MALLOC_FAILURE);
    return nullptr;
  }
  if (!ECURVE_set(c, desc)) {
    ECURVE_free(c);
    ECGOST_ERR(ECGOST_F_ECURVE_INIT, R_INTERNAL_ERROR);
    return nullptr;
  }
  return c;
}

ECURVE* ECURVE_by_number(int number) {
  const ECURVE_DESC* d = ECURVE_desc_by_number(number);
  return d ? ECURVE_init(d) : nullptr;
}

const BIGNUM* ECURVE_get_p(const ECURVE* c) { return c ? c->p : nullptr; }
const BIGNUM* ECURVE_get_a(const ECURVE* c) { return c ? c->a : nullptr; }
const BIGNUM* ECURVE_get_b(const ECURVE* c) { return c ? c->b : nullptr; }
const BIGNUM* ECURVE_get_q(const ECURVE* c) { return c ? c->q : nullptr; }
const BIGNUM* ECURVE_get_h(const ECURVE* c) { return c ? c->h : nullptr; }
const ECPOINT* ECURVE_get_generator(const ECURVE* c) { return c ? c->G : nullptr; }
int ECURVE_get_nid(const ECURVE* c) { return c ? c->nid : 0; }
int ECURVE_get_flags(const ECURVE* c) { return c ? c->flags : 0; }
const char* ECURVE_method_name(const ECURVE* c) { return c ? c->meth->name : nullptr; }
int ECURVE_field_bytes(const ECURVE* c) { return c ? c->field.bytes : 0; }
int ECURVE_order_bytes(const ECURVE* c) { return c && c->q ? BN_num_bytes(c->q) : 0; }

}  // namespace jarnel
