#include "core/crypto_init.h"

#include <openssl/crypto.h>

namespace keyhold {

bool InitCrypto() {
    // OpenSSL remembers it was initialised, and cannot be started again after
    // a failed start; only the first call does work.
    static const bool done = OPENSSL_init_crypto(OPENSSL_INIT_NO_LOAD_CONFIG | OPENSSL_INIT_NO_ADD_ALL_CIPHERS |
                                                     OPENSSL_INIT_NO_ADD_ALL_DIGESTS,
                                                 nullptr) == 1;
    return done;
}

}  // namespace keyhold
