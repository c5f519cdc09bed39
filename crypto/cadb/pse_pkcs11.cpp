// "PSE_CTX pkcs11 method": a container whose path begins with "pkcs11" keeps its four items as
// data objects on the token (crypto/pkcs11/store.h); the container logic of the default method
// runs on their contents. The container path serves only to reach the module and slot, so a
// token holds one container.
#include <cstring>
#include <memory>
#include <mutex>
#include <optional>

#include "crypto/cadb/pse_ctx.h"
#include "crypto/cadb/pse_method_util.h"
#include "crypto/err/err.h"
#include "crypto/mem.h"
#include "crypto/mem_guard.h"
#include "crypto/pkcs11/store.h"
#include "crypto/pse/pse_rand.h"
#include "crypto/rand/rand.h"

namespace jarnel {
namespace {

struct ConnFree {
  void operator()(PKCS11_OBJECT* c) const { PKCS11_OBJECT_free(c); }
};
using ConnPtr = std::unique_ptr<PKCS11_OBJECT, ConnFree>;
struct PseFree {
  void operator()(PSE* p) const { PSE_free(p); }
};
using PsePtr = std::unique_ptr<PSE, PseFree>;

// Container operations of this process run one at a time: an open replaces the random-state
// object, and two replacements interleaved would destroy each other's objects.
std::recursive_mutex g_container_mutex;

#define P11_STEP(func) ERR_put_error(LIB_PKCS11, (func), R_INTERNAL_ERROR, __FILE__, __LINE__)

// A connection to the container's token with the context's call-back data as the PIN
// call-back's argument; opened unless open is false.
ConnPtr connect(PSE_CTX* ctx, bool open) {
  ConnPtr c(PKCS11_OBJECT_new());
  if (!c || !PKCS11_OBJECT_set_path(c.get(), PSE_CTX_get_path(ctx)) ||
      !PKCS11_OBJECT_set_callback_arg(c.get(), ctx->callback_data))
    return nullptr;
  if (open && !PKCS11_open(c.get())) return nullptr;
  return c;
}

// The mechanism check; its answer is kept for the token's key operations, which are not
// needed by the container itself, so a module without the mechanism is no failure.
void check_mechanism(PKCS11_OBJECT* c) {
  int before = ERR_count_errors();
  PKCS11_has_mechanism(c, CKM_GOSTR3410);
  ERR_pop_to_count(before);
}

// Reads item into the context through set. Missing: 0 (no error recorded when absent is
// allowed and the object simply is not there).
int read_into(PSE_CTX* ctx, PKCS11_OBJECT* c, int item,
              int (*set)(PSE_CTX*, const unsigned char*, int)) {
  CK_ULONG length = 0;
  if (!PKCS11_read_item(item, c, nullptr, &length)) return 0;
  SecureBuffer buf(length);
  if (buf.empty()) {
    JARNEL_ERR(LIB_PKCS11, PKCS11_F_PSE_READ, R_MALLOC_FAILURE);
    return 0;
  }
  if (!PKCS11_read_item(item, c, buf.data(), &length)) return 0;
  return set(ctx, buf.data(), static_cast<int>(length));
}

// Whether the item's object is there (searched without reading it).
int item_present(PKCS11_OBJECT* c, int item, bool* present) {
  PKCS11_TEMPLATE* t = PKCS11_template(Pkcs11Template::ContainerFile);
  int ok = t && PKCS11_TEMPLATE_add_string(t, CKA_LABEL, PKCS11_item_label(item));
  if (ok) {
    int before = ERR_count_errors();
    *present = PKCS11_find_one(c, t) != 0;
    ok = ERR_count_errors() == before;
  }
  PKCS11_TEMPLATE_free(t);
  return ok;
}

PSE* pkcs11_generate(PSE_CTX* ctx) { return PSE_CTX_default_method()->generate(ctx); }

PSE* pkcs11_read(PSE_CTX* ctx) {
  const char* path = PSE_CTX_get_path(ctx);
  if (!path) {
    ERR_set_status(PSE_STATUS_BAD_ARGUMENT);
    JARNEL_ERR(LIB_PKCS11, PKCS11_F_PSE_READ, R_PASSED_NULL_PARAMETER);
    return nullptr;
  }
  PsePtr shell(PSE_new());
  if (!shell || !PSE_set_path(shell.get(), path)) {
    JARNEL_ERR(LIB_PKCS11, PKCS11_F_PSE_READ, R_MALLOC_FAILURE);
    return nullptr;
  }
  ConnPtr c = connect(ctx, false);
  if (!c) {
    P11_STEP(PKCS11_F_PSE_READ);
    return nullptr;
  }
  // Keys of such a container are used on the token; its items are needed only to bring up the
  // generator or to export the container.
  if ((RAND_get_method() != nullptr) && !(ctx->flags & PSE_CTX_FLAG_EXPORT)) return shell.release();
  std::lock_guard<std::recursive_mutex> serial(g_container_mutex);
  PsePtr pse;
  do {
    if (!PKCS11_open(c.get())) break;
    check_mechanism(c.get());
    if (!PKCS11_login(c.get(), 0)) break;
    if (!read_into(ctx, c.get(), 0, PSE_CTX_set_mk) || !read_into(ctx, c.get(), 1, PSE_CTX_set_mask) ||
        !read_into(ctx, c.get(), 2, PSE_CTX_set_kek))
      break;
    bool have_rand = false;
    if (!item_present(c.get(), 3, &have_rand)) break;
    BUFFER_free(ctx->rand);
    ctx->rand = nullptr;
    if (have_rand) {
      RandNotify notify(ctx);
      if (!read_into(ctx, c.get(), 3, PSE_CTX_set_rand)) break;
    }
    bool was_running = RAND_get_method() != nullptr;
    pse.reset(PSE_CTX_default_method()->read(ctx));
    if (!pse) break;
    // The state just used is replaced on the token by a fresh one.
    if (!(ctx->flags & PSE_CTX_FLAG_NO_RAND) && (RAND_get_method() != nullptr)) {
      unsigned char fresh[PSE_OPAQUE_BYTES];
      bool ok = PSE_rand_save_state(pse.get(), fresh) != 0;
      if (ok) {
        RandNotify notify(ctx);
        ok = PKCS11_update_random_state(c.get(), fresh, PSE_OPAQUE_BYTES) != 0;
      }
      mem_cleanse(fresh, sizeof fresh);
      if (!ok) {
        // A generator this open brought up goes down with it; one that ran before stays.
        if (!was_running) PSE_rand_cleanup();
        pse.reset();
        break;
      }
    }
    return pse.release();
  } while (false);
  P11_STEP(PKCS11_F_PSE_READ);
  ERR_set_status_once(PSE_STATUS_NOT_FOUND);
  return nullptr;
}

int pkcs11_write(PSE_CTX* ctx) {
  if (!ctx->pse || !ctx->mk || !ctx->mask || !ctx->kek) {
    ERR_set_status(PSE_STATUS_BAD_ARGUMENT);
    JARNEL_ERR(LIB_PKCS11, PKCS11_F_PSE_WRITE, R_PASSED_NULL_PARAMETER);
    return 0;
  }
  std::lock_guard<std::recursive_mutex> serial(g_container_mutex);
  ConnPtr c = connect(ctx, true);
  bool ok = c && PKCS11_login(c.get(), 0);
  if (ok) check_mechanism(c.get());
  // The four contents, in item order; a missing random state is not written.
  SecureBuffer contents[4];
  int lengths[4] = {};
  auto take = [&](int i, int (*get)(PSE_CTX*, unsigned char*, int*)) {
    return get(ctx, nullptr, &lengths[i]) && contents[i].resize(lengths[i]) &&
           get(ctx, contents[i].data(), &lengths[i]);
  };
  ok = ok && take(0, PSE_CTX_get_mk) && take(1, PSE_CTX_get_mask) && take(2, PSE_CTX_get_kek);
  bool with_rand = ok && (RAND_get_method() != nullptr);
  if (with_rand) {
    lengths[3] = PSE_OPAQUE_BYTES;
    ok = contents[3].resize(PSE_OPAQUE_BYTES) && PSE_rand_save_state(ctx->pse, contents[3].data());
  }
  // Every new object is made before any old one goes: a failure takes back what this write
  // made and leaves the container that was there whole.
  // The list of what was made has its room before anything is made, so that recording a
  // new object cannot fail once the object exists.
  MemVector<CK_OBJECT_HANDLE> old[4], made;
  ok = ok && alloc_guard(LIB_PKCS11, PKCS11_F_PSE_WRITE, false, [&] {
         made.reserve(4);
         return true;
       });
  for (int i = 0; i < 4 && ok; ++i) ok = PKCS11_item_objects(i, c.get(), old[i]) != 0;
  for (int i = 0; ok && i < (with_rand ? 4 : 3); ++i) {
    std::optional<RandNotify> notify;
    if (i == 3) notify.emplace(ctx);
    CK_OBJECT_HANDLE h = 0;
    ok = PKCS11_create_item(i, contents[i].data(), static_cast<CK_ULONG>(lengths[i]), c.get(),
                            &h) != 0;
    if (ok) made.push_back(h);
  }
  if (ok) {
    // A random state left from an earlier container would not match this one, so it goes
    // even when this write has none.
    for (int i = 0; i < 4 && ok; ++i) ok = PKCS11_destroy_objects(c.get(), old[i]) != 0;
    if (ok) return 1;
  } else if (c) {
    PKCS11_destroy_objects(c.get(), made);
  }
  P11_STEP(PKCS11_F_PSE_WRITE);
  ERR_set_status_once(PSE_STATUS_NOT_FOUND);
  return 0;
}

int pkcs11_erase(PSE_CTX* ctx) {
  if (!PSE_CTX_get_path(ctx)) {
    ERR_set_status(PSE_STATUS_BAD_ARGUMENT);
    JARNEL_ERR(LIB_PKCS11, PKCS11_F_PSE_ERASE, R_PASSED_NULL_PARAMETER);
    return 0;
  }
  std::lock_guard<std::recursive_mutex> serial(g_container_mutex);
  ConnPtr c = connect(ctx, true);
  bool ok = c != nullptr;
  if (ok) check_mechanism(c.get());
  ok = ok && PKCS11_login(c.get(), 0);
  for (int item = 0; item < 4 && ok; ++item) ok = PKCS11_delete_item(item, c.get()) != 0;
  if (ok) return 1;
  P11_STEP(PKCS11_F_PSE_ERASE);
  return 0;
}

const PSE_CTX_METHOD kPkcs11Method = {"PSE_CTX pkcs11 method", pkcs11_generate, pkcs11_read,
                                      pkcs11_write, pkcs11_erase};

}  // namespace

const PSE_CTX_METHOD* PSE_CTX_pkcs11_method() { return &kPkcs11Method; }

}  // namespace jarnel
