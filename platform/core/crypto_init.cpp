#include "core/crypto_init.h"

#include <atomic>

#include <openssl/crypto.h>

namespace keyhold {

namespace {
std::atomic<OSSL_LIB_CTX*> g_context{nullptr};
}  // namespace

bool InitCrypto() {
    // OPENSSL_INIT_NO_LOAD_CONFIG would keep a host from ever loading its
    // configuration, so a hosted store leaves OpenSSL's start to its host.
    if (LibraryContext() != nullptr) return true;
    // OpenSSL remembers it was initialised, and cannot be started again after
    // a failed start; only the first call does work.
    static const bool done = OPENSSL_init_crypto(OPENSSL_INIT_NO_LOAD_CONFIG | OPENSSL_INIT_NO_ADD_ALL_CIPHERS |
                                                     OPENSSL_INIT_NO_ADD_ALL_DIGESTS,
                                                 nullptr) == 1;
    return done;
}

void UseLibraryContext(OSSL_LIB_CTX* context) { g_context.store(context); }

OSSL_LIB_CTX* LibraryContext() { return g_context.load(); }

}  // namespace keyhold
