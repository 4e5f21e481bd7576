// OpenSSL set-up for the key store.
#ifndef KEYHOLD_CORE_CRYPTO_INIT_H
#define KEYHOLD_CORE_CRYPTO_INIT_H

#include <openssl/types.h>

namespace keyhold {

// Initialises libcrypto without the system's openssl.cnf and without the
// legacy cipher and digest tables: the store fetches what it uses from the
// built-in default provider, so a local configuration cannot change its
// algorithms, and a one-shot program does not pay for reading and applying
// it. Call before the first other OpenSSL call; later calls cost nothing.
// False when OpenSSL could not start (short of memory): then no other
// OpenSSL call may be made. Once a library context is set (below) it starts
// nothing and answers true: the process is then another program's, whose own
// start of OpenSSL must stay as it is.
bool InitCrypto();

// The store inside another program (the PKCS#11 module): every algorithm the
// store fetches itself comes from `context` instead of OpenSSL's default one.
// Set once, before any other store call; the context must live as long as
// the process.
void UseLibraryContext(OSSL_LIB_CTX* context);

// The context set by UseLibraryContext, or null for OpenSSL's default one.
OSSL_LIB_CTX* LibraryContext();

}  // namespace keyhold

#endif
