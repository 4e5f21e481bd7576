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

// Every number the key has; one it lacks (the private ones of a public key)
// stays null. False when the key is no RSA key or OpenSSL gives nothing.
bool ReadRsaNumbers(const EVP_PKEY* key, RsaNumbers& out);

}  // namespace keyhold

#endif
