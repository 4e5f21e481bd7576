// Whether the numbers of an RSA key pair belong together.
#ifndef KEYHOLD_KEYS_RSA_CONSISTENCY_H
#define KEYHOLD_KEYS_RSA_CONSISTENCY_H

#include <openssl/evp.h>

namespace keyhold {

// True when n = p*q with p, q > 1, the CRT exponents are d mod (p-1) and
// d mod (q-1), the coefficient is q's inverse mod p, and e*d = 1 modulo both
// p-1 and q-1. Primality is not tested: a blob's primes are taken on trust.
bool RsaPairIsConsistent(const EVP_PKEY* key);

// The checks a newly made pair passes before it is kept: RsaPairIsConsistent,
// and the pairwise consistency test OpenSSL runs on the pairs it generates in
// FIPS mode, a message encrypted with the public key and decrypted with the
// private one through OpenSSL (of `libctx`, null: the default one). The round
// trip alone would pass a pair with a wrong d, p, q or CRT value, since
// OpenSSL's private operation recomputes a result its CRT values got wrong;
// the arithmetic sees those. The primes are not tested again: that is the
// generator's part.
bool NewRsaPairIsSound(EVP_PKEY* key, OSSL_LIB_CTX* libctx);

}  // namespace keyhold

#endif
