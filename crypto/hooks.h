#pragma once
// Start-up, shut-down and attach steps that belong to the library's modules. The core calls
// them in a fixed order (see startup.cpp); each module defines its own. A module that is not
// built yet keeps its steps in its pending.cpp, where they do nothing and report success.

namespace jarnel {

// The password call-back shape shared by the carrier drivers and PKCS#11 logins: fills buf
// with at most size bytes of the password (no terminating zero) and returns the count, 0 on
// failure. rwflag is ignored; u is the JNI_CALLBACK_CTX of the calling entry point.
using password_cb = int (*)(char* buf, int size, int rwflag, void* u);

// Carrier drivers start, stop and take their password call-back through their carrier records
// (crypto/cadb/carrier.h: CARRIER_startup_all, CARRIER_shutdown_all, CARRIER_set_passwd_cb_all).

// PKCS#11 module binding and objects (crypto/pkcs11).
int PKCS11_startup();
void PKCS11_shutdown();
void PKCS11_set_default_passwd_cb(password_cb cb);

// Key masking (crypto/pse).
int MASK_startup();
void MASK_shutdown();

// Random generator (crypto/rand): the generator itself during the library start-up, the
// seeding from a hardware board and the container seed at the key-store start-up.
int RAND_startup(int arg);
int PSE_rand_startup();
void PSE_rand_shutdown();

// GOST ciphers and digests offered to the base library (crypto/rus).
int GOST_register_algorithms();
// Certificate extensions and the certificate-name text conversion (crypto/cadb).
int X509V3_register_extensions();
void CERT_set_name_conversion(int in_mode, int out_mode);

// Power-on self-test (crypto/check); 1 when every check passed.
int CHECK_power_on();

// Error texts of each module.
void ERR_load_CADB_strings();
void ERR_load_BIO_token_strings();
void ERR_load_ETOKEN_strings();
void ERR_load_RUTOKEN_strings();
void ERR_load_ETR2_strings();
void ERR_load_TM_strings();
void ERR_load_PKCS11_strings();
void ERR_load_PSE_strings();
void ERR_load_GOSTE_strings();
void ERR_load_GOSTH_strings();
void ERR_load_R3410_strings();
void ERR_load_ECGOST_strings();
void ERR_load_RAND_strings();
void ERR_load_GOSTS_strings();

}  // namespace jarnel
