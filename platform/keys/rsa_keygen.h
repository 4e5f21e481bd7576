// RSA key pair generation. Kept apart and free of any lock, since generation
// takes seconds and several may run at once.
#ifndef KEYHOLD_KEYS_RSA_KEYGEN_H
#define KEYHOLD_KEYS_RSA_KEYGEN_H

#include <wincrypt.h>

#include "keys/openssl_ptr.h"

namespace keyhold {

// A new key pair with a modulus of exactly `bits` bits and public exponent
// `exponent`. ERROR_SUCCESS, NTE_NO_MEMORY or NTE_FAIL. The key, its
// randomness and its check come from `libctx` (null: OpenSSL's default one).
// With `callingThreadOnly` no thread is started: the caller's searches alone.
DWORD GenerateRsaKey(unsigned bits, unsigned long exponent, EvpPkeyPtr& out, OSSL_LIB_CTX* libctx = nullptr,
                     bool callingThreadOnly = false);

// Whether GenerateRsaKey makes the primes of a `bits`-bit modulus with
// nettle's generator, which proves them: up to 4096 bits. Else with OpenSSL's,
// which tests them.
bool RsaPrimesAreProven(unsigned bits);

// How many threads make primes in GenerateRsaKey called from this thread: one
// per core the thread may run on, at least one and at most 16.
unsigned RsaSearcherCount();

}  // namespace keyhold

#endif
