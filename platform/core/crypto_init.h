// OpenSSL set-up for the key store.
#ifndef KEYHOLD_CORE_CRYPTO_INIT_H
#define KEYHOLD_CORE_CRYPTO_INIT_H

namespace keyhold {

// Initialises libcrypto without the system's openssl.cnf and without the
// legacy cipher and digest tables: the store fetches what it uses from the
// built-in default provider, so a local configuration cannot change its
// algorithms, and a one-shot program does not pay for reading and applying
// it. Call before the first other OpenSSL call; later calls cost nothing.
// False when OpenSSL could not start (short of memory): then no other
// OpenSSL call may be made.
bool InitCrypto();

}  // namespace keyhold

#endif
