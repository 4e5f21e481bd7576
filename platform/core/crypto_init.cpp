#include "core/crypto_init.h"

#include <openssl/crypto.h>

namespace keyhold {

void InitCrypto() {
    // OpenSSL remembers it was initialised; only the first call does work.
    static const bool done = OPENSSL_init_crypto(OPENSSL_INIT_NO_LOAD_CONFIG | OPENSSL_INIT_NO_ADD_ALL_CIPHERS |
                                                     OPENSSL_INIT_NO_ADD_ALL_DIGESTS,
                                                 nullptr) == 1;
    (void)done;
}

}  // namespace keyhold
