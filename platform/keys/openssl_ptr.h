// Owning pointers for the OpenSSL objects the key half uses. Numbers that may
// be private are freed with BN_clear_free, so they are wiped on every path.
#ifndef KEYHOLD_KEYS_OPENSSL_PTR_H
#define KEYHOLD_KEYS_OPENSSL_PTR_H

#include <memory>

#include <openssl/bio.h>
#include <openssl/bn.h>
#include <openssl/evp.h>

namespace keyhold {

struct EvpPkeyDeleter {
    void operator()(EVP_PKEY* p) const { EVP_PKEY_free(p); }
};
struct EvpPkeyCtxDeleter {
    void operator()(EVP_PKEY_CTX* p) const { EVP_PKEY_CTX_free(p); }
};
struct BioDeleter {
    void operator()(BIO* p) const { BIO_free(p); }
};
struct BignumDeleter {
    void operator()(BIGNUM* p) const { BN_clear_free(p); }
};
struct BnCtxDeleter {
    void operator()(BN_CTX* p) const { BN_CTX_free(p); }
};

using EvpPkeyPtr = std::unique_ptr<EVP_PKEY, EvpPkeyDeleter>;
using EvpPkeyCtxPtr = std::unique_ptr<EVP_PKEY_CTX, EvpPkeyCtxDeleter>;
using BioPtr = std::unique_ptr<BIO, BioDeleter>;
using BignumPtr = std::unique_ptr<BIGNUM, BignumDeleter>;
using BnCtxPtr = std::unique_ptr<BN_CTX, BnCtxDeleter>;

}  // namespace keyhold

#endif
