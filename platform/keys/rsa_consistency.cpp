#include "keys/rsa_consistency.h"

#include <openssl/core_names.h>

#include "keys/openssl_ptr.h"

namespace keyhold {
namespace {

BignumPtr GetNumber(const EVP_PKEY* key, const char* name) {
    BIGNUM* value = nullptr;
    if (EVP_PKEY_get_bn_param(key, name, &value) != 1) return nullptr;
    return BignumPtr(value);
}

BignumPtr NewNumber() { return BignumPtr(BN_secure_new()); }

}  // namespace

bool RsaPairIsConsistent(const EVP_PKEY* key) {
    const BignumPtr n = GetNumber(key, OSSL_PKEY_PARAM_RSA_N);
    const BignumPtr e = GetNumber(key, OSSL_PKEY_PARAM_RSA_E);
    const BignumPtr d = GetNumber(key, OSSL_PKEY_PARAM_RSA_D);
    const BignumPtr p = GetNumber(key, OSSL_PKEY_PARAM_RSA_FACTOR1);
    const BignumPtr q = GetNumber(key, OSSL_PKEY_PARAM_RSA_FACTOR2);
    const BignumPtr dp = GetNumber(key, OSSL_PKEY_PARAM_RSA_EXPONENT1);
    const BignumPtr dq = GetNumber(key, OSSL_PKEY_PARAM_RSA_EXPONENT2);
    const BignumPtr qinv = GetNumber(key, OSSL_PKEY_PARAM_RSA_COEFFICIENT1);
    if (!n || !e || !d || !p || !q || !dp || !dq || !qinv) return false;
    if (BN_cmp(p.get(), BN_value_one()) <= 0 || BN_cmp(q.get(), BN_value_one()) <= 0) return false;

    const BnCtxPtr ctx(BN_CTX_secure_new());
    BignumPtr product = NewNumber(), pm1 = NewNumber(), qm1 = NewNumber(), rem = NewNumber();
    if (!ctx || !product || !pm1 || !qm1 || !rem) return false;

    if (!BN_mul(product.get(), p.get(), q.get(), ctx.get()) || BN_cmp(product.get(), n.get()) != 0)
        return false;
    if (!BN_sub(pm1.get(), p.get(), BN_value_one()) || !BN_sub(qm1.get(), q.get(), BN_value_one()))
        return false;

    // The CRT exponents must be d reduced modulo p-1 and q-1.
    if (!BN_nnmod(rem.get(), d.get(), pm1.get(), ctx.get()) || BN_cmp(rem.get(), dp.get()) != 0)
        return false;
    if (!BN_nnmod(rem.get(), d.get(), qm1.get(), ctx.get()) || BN_cmp(rem.get(), dq.get()) != 0)
        return false;

    // coefficient * q = 1 (mod p), and the coefficient itself reduced below p.
    if (BN_cmp(qinv.get(), p.get()) >= 0) return false;
    if (!BN_mod_mul(rem.get(), qinv.get(), q.get(), p.get(), ctx.get()) || !BN_is_one(rem.get()))
        return false;

    // e*d = 1 modulo p-1 and q-1, so that decryption undoes encryption.
    if (!BN_mod_mul(rem.get(), e.get(), d.get(), pm1.get(), ctx.get()) || !BN_is_one(rem.get()))
        return false;
    if (!BN_mod_mul(rem.get(), e.get(), d.get(), qm1.get(), ctx.get()) || !BN_is_one(rem.get()))
        return false;
    return true;
}

}  // namespace keyhold
