// Whether the numbers of an RSA key pair belong together.
#ifndef KEYHOLD_KEYS_RSA_CONSISTENCY_H
#define KEYHOLD_KEYS_RSA_CONSISTENCY_H

#include <openssl/evp.h>

namespace keyhold {

// True when n = p*q with p, q > 1, the CRT exponents are d mod (p-1) and
// d mod (q-1), the coefficient is q's inverse mod p, and e*d = 1 modulo both
// p-1 and q-1. Primality is not tested: a blob's primes are taken on trust.
bool RsaPairIsConsistent(const EVP_PKEY* key);

}  // namespace keyhold

#endif
