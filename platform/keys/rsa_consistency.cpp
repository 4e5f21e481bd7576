#include "keys/rsa_consistency.h"

#include "keys/rsa_numbers.h"

namespace keyhold {
namespace {

BignumPtr NewNumber() { return BignumPtr(BN_secure_new()); }

}  // namespace

bool RsaPairIsConsistent(const EVP_PKEY* key) {
    RsaNumbers numbers;
    if (!ReadRsaNumbers(key, numbers)) return false;
    const BIGNUM* n = numbers.get(kRsaN);
    const BIGNUM* e = numbers.get(kRsaE);
    const BIGNUM* d = numbers.get(kRsaD);
    const BIGNUM* p = numbers.get(kRsaP);
    const BIGNUM* q = numbers.get(kRsaQ);
    const BIGNUM* dp = numbers.get(kRsaDp);
    const BIGNUM* dq = numbers.get(kRsaDq);
    const BIGNUM* qinv = numbers.get(kRsaQinv);
    if (!n || !e || !d || !p || !q || !dp || !dq || !qinv) return false;
    if (BN_cmp(p, BN_value_one()) <= 0 || BN_cmp(q, BN_value_one()) <= 0) return false;
    const BnCtxPtr ctx(BN_CTX_secure_new());
    BignumPtr product = NewNumber(), pm1 = NewNumber(), qm1 = NewNumber(), rem = NewNumber();
    if (!ctx || !product || !pm1 || !qm1 || !rem) return false;

    if (!BN_mul(product.get(), p, q, ctx.get()) || BN_cmp(product.get(), n) != 0) return false;
    if (!BN_sub(pm1.get(), p, BN_value_one()) || !BN_sub(qm1.get(), q, BN_value_one())) return false;

    // The CRT exponents must be d reduced modulo p-1 and q-1.
    if (!BN_nnmod(rem.get(), d, pm1.get(), ctx.get()) || BN_cmp(rem.get(), dp) != 0) return false;
    if (!BN_nnmod(rem.get(), d, qm1.get(), ctx.get()) || BN_cmp(rem.get(), dq) != 0) return false;

    // coefficient * q = 1 (mod p), and the coefficient itself reduced below p.
    if (BN_cmp(qinv, p) >= 0) return false;
    if (!BN_mod_mul(rem.get(), qinv, q, p, ctx.get()) || !BN_is_one(rem.get())) return false;

    // e*d = 1 modulo p-1 and q-1, so that decryption undoes encryption.
    if (!BN_mod_mul(rem.get(), e, d, pm1.get(), ctx.get()) || !BN_is_one(rem.get())) return false;
    if (!BN_mod_mul(rem.get(), e, d, qm1.get(), ctx.get()) || !BN_is_one(rem.get())) return false;
    return true;
}

}  // namespace keyhold
