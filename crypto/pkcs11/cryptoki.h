#pragma once
// The PKCS#11 interface as p11-kit's header gives it (version 2.40 names and values), with the
// GOST structures of version 2.30 it lacks.
#include <p11-kit/pkcs11.h>

namespace jarnel {

struct CK_GOSTR3410_DERIVE_PARAMS {
  CK_ULONG kdf;
  CK_BYTE_PTR pPublicData;
  CK_ULONG ulPublicDataLen;
  CK_BYTE_PTR pUKM;
  CK_ULONG ulUKMLen;
};

struct CK_GOSTR3410_KEY_WRAP_PARAMS {
  CK_BYTE_PTR pWrapOID;
  CK_ULONG ulWrapOIDLen;
  CK_BYTE_PTR pUKM;
  CK_ULONG ulUKMLen;
  CK_OBJECT_HANDLE hKey;
};

}  // namespace jarnel
