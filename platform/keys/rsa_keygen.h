// RSA key pair generation. Kept apart and free of any lock, since generation
// takes seconds and several may run at once.
#ifndef KEYHOLD_KEYS_RSA_KEYGEN_H
#define KEYHOLD_KEYS_RSA_KEYGEN_H

#include <wincrypt.h>

#include "keys/openssl_ptr.h"

namespace keyhold {

// A new key pair with a modulus of exactly `bits` bits and public exponent
// `exponent`. ERROR_SUCCESS, NTE_NO_MEMORY or NTE_FAIL.
DWORD GenerateRsaKey(unsigned bits, unsigned long exponent, EvpPkeyPtr& out);

// Whether GenerateRsaKey makes the primes of a `bits`-bit modulus with nettle's
// generator, which proves them (else with OpenSSL's, which tests them).
bool RsaPrimesAreProven(unsigned bits);

// One per core the calling thread may run on, at least one and at most 16.
unsigned RsaSearcherCount();

// How many threads GenerateRsaKey, called from this thread, makes the primes of
// a `bits`-bit modulus with: RsaSearcherCount() for OpenSSL's primes, at most
// two (one per prime the key needs) for nettle's.
unsigned RsaSearchersFor(unsigned bits);

}  // namespace keyhold

#endif
