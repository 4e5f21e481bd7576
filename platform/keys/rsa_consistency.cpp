#include "keys/rsa_consistency.h"

#include <vector>

#include <openssl/rsa.h>

#include "keys/rsa_numbers.h"

namespace keyhold {
namespace {

BignumPtr NewNumber() { return BignumPtr(BN_secure_new()); }

// Encrypts a fixed message below n with the public key, unpadded, decrypts it
// with the private key and compares.
bool RoundTripIsExact(EVP_PKEY* key, OSSL_LIB_CTX* libctx) {
    const int size = EVP_PKEY_get_size(key);
    if (size <= 1) return false;
    const std::size_t length = static_cast<std::size_t>(size);
    std::vector<unsigned char> message(length), sealed(length), opened(length);
    // A leading zero keeps the message below n; the rest is not all zero.
    for (std::size_t i = 1; i < length; ++i) message[i] = static_cast<unsigned char>(i);
    const EvpPkeyCtxPtr ctx(EVP_PKEY_CTX_new_from_pkey(libctx, key, nullptr));
    std::size_t sealedLength = length, openedLength = length;
    return ctx && EVP_PKEY_encrypt_init(ctx.get()) == 1 &&
           EVP_PKEY_CTX_set_rsa_padding(ctx.get(), RSA_NO_PADDING) == 1 &&
           EVP_PKEY_encrypt(ctx.get(), sealed.data(), &sealedLength, message.data(), length) == 1 &&
           EVP_PKEY_decrypt_init(ctx.get()) == 1 && EVP_PKEY_CTX_set_rsa_padding(ctx.get(), RSA_NO_PADDING) == 1 &&
           EVP_PKEY_decrypt(ctx.get(), opened.data(), &openedLength, sealed.data(), sealedLength) == 1 &&
           openedLength == length && opened == message;
}

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

bool NewRsaPairIsSound(EVP_PKEY* key, OSSL_LIB_CTX* libctx) {
    return RsaPairIsConsistent(key) && RoundTripIsExact(key, libctx);
}

}  // namespace keyhold
