#include "keys/rsa_keygen.h"

#include <openssl/err.h>
#include <openssl/rsa.h>

namespace keyhold {

DWORD GenerateRsaKey(unsigned bits, unsigned long exponent, EvpPkeyPtr& out) {
    EvpPkeyCtxPtr ctx(EVP_PKEY_CTX_new_from_name(nullptr, "RSA", nullptr));
    BignumPtr e(BN_new());
    if (!ctx || !e || BN_set_word(e.get(), exponent) != 1) {
        ERR_clear_error();
        return NTE_NO_MEMORY;
    }
    EVP_PKEY* key = nullptr;
    if (EVP_PKEY_keygen_init(ctx.get()) != 1 || EVP_PKEY_CTX_set_rsa_keygen_bits(ctx.get(), static_cast<int>(bits)) != 1 ||
        EVP_PKEY_CTX_set1_rsa_keygen_pubexp(ctx.get(), e.get()) != 1 || EVP_PKEY_keygen(ctx.get(), &key) != 1) {
        ERR_clear_error();
        return NTE_FAIL;
    }
    out.reset(key);
    return ERROR_SUCCESS;
}

}  // namespace keyhold
