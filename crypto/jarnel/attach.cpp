// Process attach and detach of libjarnel: the key-store start-up and the JNI layer's own steps.
#include "crypto/cadb/carrier.h"
#include "crypto/hooks.h"
#include "crypto/jarnel/jni_util.h"
#include "crypto/startup.h"

namespace jarnel {

void jarnel_process_attach() {
  CADB_startup();
  ERR_load_JNI_strings();
  CARRIER_set_passwd_cb_all(&token_passwd_callback);
  PKCS11_set_default_passwd_cb(&token_passwd_callback);
  CERT_set_name_conversion(5, 5);
}

void jarnel_process_detach() { CADB_shutdown(); }

}  // namespace jarnel
