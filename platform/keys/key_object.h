// Key objects, as the handles HCRYPTKEY name them. Each owns its own copy of
// the key, so a key handle outlives the context it came from and never sees a
// later change to the container.
#ifndef KEYHOLD_KEYS_KEY_OBJECT_H
#define KEYHOLD_KEYS_KEY_OBJECT_H

#include <memory>

#include <wincrypt.h>

#include "core/handle_table.h"
#include "keys/openssl_ptr.h"

namespace keyhold {

struct KeyObject {
    EvpPkeyPtr key;
    ALG_ID algorithm = 0;     // CALG_RSA_KEYX or CALG_RSA_SIGN
    bool exportable = false;  // a PRIVATEKEYBLOB may be exported
    bool publicOnly = false;  // imported from a PUBLICKEYBLOB: no private numbers
    DWORD bitLength = 0;      // nominal modulus length, a multiple of 8
};

// The live key handles (tag 2: no key handle equals a context handle).
HandleTable<KeyObject>& KeyHandles();

// Gives `object` a handle in `*phKey`; TRUE.
inline BOOL HandOutKey(std::shared_ptr<KeyObject> object, HCRYPTKEY* phKey) {
    *phKey = KeyHandles().Add(std::move(object));
    return TRUE;
}

}  // namespace keyhold

#endif
