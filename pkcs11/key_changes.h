// The changes a caller may make to a token: a new key pair, a key removed.
#ifndef KEYHOLD_PKCS11_KEY_CHANGES_H
#define KEYHOLD_PKCS11_KEY_CHANGES_H

#include "cryptoki.h"
#include "library.h"

namespace keyhold::p11 {

// C_GenerateKeyPair on the session's token (the session is read-write).
CK_RV GenerateKeyPair(Library& library, const Session& session, const CK_MECHANISM* mechanism,
                      const CK_ATTRIBUTE* publicTemplate, CK_ULONG publicCount, const CK_ATTRIBUTE* privateTemplate,
                      CK_ULONG privateCount, CK_OBJECT_HANDLE& publicKey, CK_OBJECT_HANDLE& privateKey);

// C_DestroyObject: the key leaves its container (the container stays).
CK_RV DestroyObject(Library& library, const Session& session, CK_OBJECT_HANDLE object);

// A store failure as PKCS#11 gives it: no memory is CKR_HOST_MEMORY, anything
// else `otherwise` (for reading a key, that the object is no more).
CK_RV ReadFailure(DWORD storeError, CK_RV otherwise);

}  // namespace keyhold::p11

#endif
