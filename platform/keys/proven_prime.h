// Primes proven prime as they are made, by nettle's generator.
#ifndef KEYHOLD_KEYS_PROVEN_PRIME_H
#define KEYHOLD_KEYS_PROVEN_PRIME_H

#include <wincrypt.h>

#include <openssl/types.h>

#include <atomic>

#include "keys/openssl_ptr.h"

namespace keyhold {

// A random prime of exactly `bits` bits with its two top bits set (so that
// two of them make a modulus of exactly twice that), from nettle_random_prime:
// each prime is built from a smaller one with a Pocklington proof, so no
// probabilistic test is needed afterwards. The randomness is OpenSSL's private
// generator of `libctx` (null: the default one). Once `stop` (may be null)
// turns true, the search ends at its next candidate with ERROR_CANCELLED.
// ERROR_SUCCESS, NTE_NO_MEMORY, or NTE_FAIL when OpenSSL's generator failed
// (the prime is then thrown away).
DWORD ProvenPrime(int bits, OSSL_LIB_CTX* libctx, const std::atomic<bool>* stop, BignumPtr& out);

}  // namespace keyhold

#endif
