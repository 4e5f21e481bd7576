// The numbers of an RSA key, read out of OpenSSL in one call. Every
// EVP_PKEY_get_bn_param call exports the whole key again (about 6 µs for a
// 2048-bit key), so reading a pair number by number costs eight times that.
#ifndef KEYHOLD_KEYS_RSA_NUMBERS_H
#define KEYHOLD_KEYS_RSA_NUMBERS_H

#include <openssl/evp.h>

#include "keys/openssl_ptr.h"

namespace keyhold {

enum RsaNumber { kRsaN, kRsaE, kRsaD, kRsaP, kRsaQ, kRsaDp, kRsaDq, kRsaQinv, kRsaNumberCount };

struct RsaNumbers {
    BignumPtr value[kRsaNumberCount];
    const BIGNUM* get(RsaNumber which) const { return value[which].get(); }
};

// The name under which an RSA key is built from its numbers straight from a
// provider. OpenSSL maps "RSA" to its legacy key type first and asks the
// engines; where a program made an engine the default for RSA (`openssl
// -engine`, nginx's ssl_engine), the engine's methods answer, and they cannot
// build a key from numbers. The OID is one of the default provider's names of
// RSA and has no legacy type, so no engine is asked.
constexpr const char* kProviderRsaName = "1.2.840.113549.1.1.1";

// Every number the key has; one it lacks (the private ones of a public key)
// stays null. False when the key is no RSA key or OpenSSL gives nothing.
bool ReadRsaNumbers(const EVP_PKEY* key, RsaNumbers& out);

// A key of `libctx` (null: OpenSSL's default one) built from its numbers, in
// RsaNumber order, under kProviderRsaName: with `pair` the key pair (every
// number must be there), else the public key of n and e alone. Null when
// OpenSSL refuses them.
EvpPkeyPtr RsaKeyFromNumbers(const BIGNUM* const (&values)[kRsaNumberCount], bool pair, OSSL_LIB_CTX* libctx);

}  // namespace keyhold

#endif
