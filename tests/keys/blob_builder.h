// Test helpers: RSA keys from chosen primes, and key blobs laid out byte by byte
// from their numbers, independently of the encoder under test.
#ifndef KEYHOLD_TESTS_KEYS_BLOB_BUILDER_H
#define KEYHOLD_TESTS_KEYS_BLOB_BUILDER_H

#include <cstdint>
#include <stdexcept>
#include <vector>

#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/evp.h>
#include <openssl/param_build.h>
#include <openssl/rsa.h>

#include <wincrypt.h>

#include "keys/openssl_ptr.h"

namespace keyhold_test {

using Bytes = std::vector<unsigned char>;
using keyhold::BignumPtr;
using keyhold::EvpPkeyPtr;

struct RsaNumbers {
    BignumPtr n, e, d, p, q, dp, dq, qinv;
};

inline BignumPtr Param(const EVP_PKEY* key, const char* name) {
    BIGNUM* value = nullptr;
    if (EVP_PKEY_get_bn_param(key, name, &value) != 1) throw std::runtime_error(name);
    return BignumPtr(value);
}

inline RsaNumbers NumbersOf(const EVP_PKEY* key) {
    RsaNumbers r;
    r.n = Param(key, OSSL_PKEY_PARAM_RSA_N);
    r.e = Param(key, OSSL_PKEY_PARAM_RSA_E);
    r.d = Param(key, OSSL_PKEY_PARAM_RSA_D);
    r.p = Param(key, OSSL_PKEY_PARAM_RSA_FACTOR1);
    r.q = Param(key, OSSL_PKEY_PARAM_RSA_FACTOR2);
    r.dp = Param(key, OSSL_PKEY_PARAM_RSA_EXPONENT1);
    r.dq = Param(key, OSSL_PKEY_PARAM_RSA_EXPONENT2);
    r.qinv = Param(key, OSSL_PKEY_PARAM_RSA_COEFFICIENT1);
    return r;
}

inline EvpPkeyPtr GenerateTestKey(unsigned bits) {
    keyhold::EvpPkeyCtxPtr ctx(EVP_PKEY_CTX_new_from_name(nullptr, "RSA", nullptr));
    EVP_PKEY* key = nullptr;
    if (!ctx || EVP_PKEY_keygen_init(ctx.get()) != 1 || EVP_PKEY_CTX_set_rsa_keygen_bits(ctx.get(), bits) != 1 ||
        EVP_PKEY_keygen(ctx.get(), &key) != 1)
        throw std::runtime_error("keygen");
    return EvpPkeyPtr(key);
}

// A key pair from two chosen primes and e, its other numbers derived here.
inline EvpPkeyPtr KeyFromPrimes(const BIGNUM* p, const BIGNUM* q, unsigned long eValue) {
    keyhold::BnCtxPtr ctx(BN_CTX_new());
    BignumPtr n(BN_new()), e(BN_new()), d(BN_new()), pm1(BN_new()), qm1(BN_new()), phi(BN_new()),
        dp(BN_new()), dq(BN_new()), qinv(BN_new());
    BN_set_word(e.get(), eValue);
    BN_mul(n.get(), p, q, ctx.get());
    BN_sub(pm1.get(), p, BN_value_one());
    BN_sub(qm1.get(), q, BN_value_one());
    BN_mul(phi.get(), pm1.get(), qm1.get(), ctx.get());
    if (!BN_mod_inverse(d.get(), e.get(), phi.get(), ctx.get())) throw std::runtime_error("e not invertible");
    BN_mod(dp.get(), d.get(), pm1.get(), ctx.get());
    BN_mod(dq.get(), d.get(), qm1.get(), ctx.get());
    BN_mod_inverse(qinv.get(), q, p, ctx.get());

    std::unique_ptr<OSSL_PARAM_BLD, void (*)(OSSL_PARAM_BLD*)> bld(OSSL_PARAM_BLD_new(), OSSL_PARAM_BLD_free);
    OSSL_PARAM_BLD_push_BN(bld.get(), OSSL_PKEY_PARAM_RSA_N, n.get());
    OSSL_PARAM_BLD_push_BN(bld.get(), OSSL_PKEY_PARAM_RSA_E, e.get());
    OSSL_PARAM_BLD_push_BN(bld.get(), OSSL_PKEY_PARAM_RSA_D, d.get());
    OSSL_PARAM_BLD_push_BN(bld.get(), OSSL_PKEY_PARAM_RSA_FACTOR1, p);
    OSSL_PARAM_BLD_push_BN(bld.get(), OSSL_PKEY_PARAM_RSA_FACTOR2, q);
    OSSL_PARAM_BLD_push_BN(bld.get(), OSSL_PKEY_PARAM_RSA_EXPONENT1, dp.get());
    OSSL_PARAM_BLD_push_BN(bld.get(), OSSL_PKEY_PARAM_RSA_EXPONENT2, dq.get());
    OSSL_PARAM_BLD_push_BN(bld.get(), OSSL_PKEY_PARAM_RSA_COEFFICIENT1, qinv.get());
    std::unique_ptr<OSSL_PARAM, void (*)(OSSL_PARAM*)> params(OSSL_PARAM_BLD_to_param(bld.get()), OSSL_PARAM_free);
    keyhold::EvpPkeyCtxPtr kctx(EVP_PKEY_CTX_new_from_name(nullptr, "RSA", nullptr));
    EVP_PKEY* key = nullptr;
    if (!kctx || EVP_PKEY_fromdata_init(kctx.get()) != 1 ||
        EVP_PKEY_fromdata(kctx.get(), &key, EVP_PKEY_KEYPAIR, params.get()) != 1)
        throw std::runtime_error("fromdata");
    return EvpPkeyPtr(key);
}

inline BignumPtr RandomPrime(int bits) {
    BignumPtr prime(BN_new());
    if (!BN_generate_prime_ex(prime.get(), bits, 0, nullptr, nullptr, nullptr)) throw std::runtime_error("prime");
    return prime;
}

inline void PutDword(Bytes& out, uint32_t v) {
    for (int i = 0; i < 4; ++i) out.push_back(static_cast<unsigned char>(v >> (8 * i)));
}

inline void PutNumber(Bytes& out, const BIGNUM* v, size_t width) {
    const size_t at = out.size();
    out.resize(at + width);
    if (BN_bn2lebinpad(v, out.data() + at, static_cast<int>(width)) < 0) throw std::runtime_error("width");
}

// The published layout: BLOBHEADER, RSAPUBKEY, modulus, and for a private blob
// p, q, dp, dq, qinv (half width, rounded up) and d.
inline Bytes HandBlob(BYTE type, ALG_ID alg, uint32_t bitlen, const RsaNumbers& k, uint32_t magic = 0) {
    Bytes out{type, 2, 0, 0};
    PutDword(out, alg);
    PutDword(out, magic ? magic : (type == PRIVATEKEYBLOB ? 0x32415352u : 0x31415352u));
    PutDword(out, bitlen);
    PutDword(out, static_cast<uint32_t>(BN_get_word(k.e.get())));
    const size_t full = (bitlen + 7) / 8, half = (bitlen + 15) / 16;
    PutNumber(out, k.n.get(), full);
    if (type == PRIVATEKEYBLOB) {
        PutNumber(out, k.p.get(), half);
        PutNumber(out, k.q.get(), half);
        PutNumber(out, k.dp.get(), half);
        PutNumber(out, k.dq.get(), half);
        PutNumber(out, k.qinv.get(), half);
        PutNumber(out, k.d.get(), full);
    }
    return out;
}

inline void SetDword(Bytes& blob, size_t offset, uint32_t v) {
    for (int i = 0; i < 4; ++i) blob[offset + i] = static_cast<unsigned char>(v >> (8 * i));
}

}  // namespace keyhold_test

#endif
