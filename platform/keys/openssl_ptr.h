// Owning pointers for the OpenSSL objects the key half uses. Numbers that may
// be private are freed with BN_clear_free, so they are wiped on every path.
#ifndef KEYHOLD_KEYS_OPENSSL_PTR_H
#define KEYHOLD_KEYS_OPENSSL_PTR_H

#include <memory>

#include <openssl/bio.h>
#include <openssl/bn.h>
#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/param_build.h>

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
struct BnGencbDeleter {
    void operator()(BN_GENCB* p) const { BN_GENCB_free(p); }
};
struct ParamBldDeleter {
    void operator()(OSSL_PARAM_BLD* p) const { OSSL_PARAM_BLD_free(p); }
};
// OSSL_PARAM_free wipes only numbers that came from secure BIGNUMs; the
// values are wiped here first, so private numbers from any source are.
struct ParamDeleter {
    void operator()(OSSL_PARAM* p) const {
        for (OSSL_PARAM* q = p; q != nullptr && q->key != nullptr; ++q)
            if (q->data != nullptr) OPENSSL_cleanse(q->data, q->data_size);
        OSSL_PARAM_free(p);
    }
};

using EvpPkeyPtr = std::unique_ptr<EVP_PKEY, EvpPkeyDeleter>;
using EvpPkeyCtxPtr = std::unique_ptr<EVP_PKEY_CTX, EvpPkeyCtxDeleter>;
using BioPtr = std::unique_ptr<BIO, BioDeleter>;
using BignumPtr = std::unique_ptr<BIGNUM, BignumDeleter>;
using BnCtxPtr = std::unique_ptr<BN_CTX, BnCtxDeleter>;
using BnGencbPtr = std::unique_ptr<BN_GENCB, BnGencbDeleter>;
using ParamBldPtr = std::unique_ptr<OSSL_PARAM_BLD, ParamBldDeleter>;
using ParamPtr = std::unique_ptr<OSSL_PARAM, ParamDeleter>;

}  // namespace keyhold

#endif
