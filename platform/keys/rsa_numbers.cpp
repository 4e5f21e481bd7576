#include "keys/rsa_numbers.h"

#include <openssl/core_names.h>
#include <openssl/err.h>
#include <openssl/params.h>

#include "core/secure_bytes.h"

namespace keyhold {

bool ReadRsaNumbers(const EVP_PKEY* key, RsaNumbers& out) {
    static const char* const names[kRsaNumberCount] = {OSSL_PKEY_PARAM_RSA_N,         OSSL_PKEY_PARAM_RSA_E,
                                                       OSSL_PKEY_PARAM_RSA_D,         OSSL_PKEY_PARAM_RSA_FACTOR1,
                                                       OSSL_PKEY_PARAM_RSA_FACTOR2,   OSSL_PKEY_PARAM_RSA_EXPONENT1,
                                                       OSSL_PKEY_PARAM_RSA_EXPONENT2, OSSL_PKEY_PARAM_RSA_COEFFICIENT1};
    if (key == nullptr || EVP_PKEY_get_base_id(key) != EVP_PKEY_RSA) return false;
    // No number of the key is longer than its modulus. The buffers are ours,
    // so the private numbers they receive are wiped when they go.
    const int size = EVP_PKEY_get_size(key);
    if (size <= 0) return false;
    const std::size_t each = static_cast<std::size_t>(size);
    SecureBytes buffer(each * kRsaNumberCount);
    OSSL_PARAM params[kRsaNumberCount + 1];
    for (int i = 0; i < kRsaNumberCount; ++i)
        params[i] = OSSL_PARAM_construct_BN(names[i], buffer.data() + each * static_cast<std::size_t>(i), each);
    params[kRsaNumberCount] = OSSL_PARAM_construct_end();
    if (EVP_PKEY_get_params(const_cast<EVP_PKEY*>(key), params) != 1) {
        ERR_clear_error();
        return false;
    }
    RsaNumbers numbers;
    for (int i = 0; i < kRsaNumberCount; ++i) {
        if (!OSSL_PARAM_modified(&params[i])) continue;
        BIGNUM* value = nullptr;
        if (OSSL_PARAM_get_BN(&params[i], &value) != 1) {
            ERR_clear_error();
            return false;
        }
        numbers.value[i].reset(value);
    }
    if (!numbers.value[kRsaN] || !numbers.value[kRsaE]) return false;
    for (int i = 0; i < kRsaNumberCount; ++i) out.value[i] = std::move(numbers.value[i]);
    return true;
}

EvpPkeyPtr RsaKeyFromNumbers(const BIGNUM* const (&values)[kRsaNumberCount], bool pair, OSSL_LIB_CTX* libctx) {
    static const char* const names[kRsaNumberCount] = {OSSL_PKEY_PARAM_RSA_N,         OSSL_PKEY_PARAM_RSA_E,
                                                       OSSL_PKEY_PARAM_RSA_D,         OSSL_PKEY_PARAM_RSA_FACTOR1,
                                                       OSSL_PKEY_PARAM_RSA_FACTOR2,   OSSL_PKEY_PARAM_RSA_EXPONENT1,
                                                       OSSL_PKEY_PARAM_RSA_EXPONENT2, OSSL_PKEY_PARAM_RSA_COEFFICIENT1};
    ParamBldPtr bld(OSSL_PARAM_BLD_new());
    if (!bld) return nullptr;
    const int count = pair ? kRsaNumberCount : kRsaD;
    for (int i = 0; i < count; ++i)
        if (values[i] == nullptr || OSSL_PARAM_BLD_push_BN(bld.get(), names[i], values[i]) != 1) return nullptr;
    ParamPtr params(OSSL_PARAM_BLD_to_param(bld.get()));
    EvpPkeyCtxPtr ctx(EVP_PKEY_CTX_new_from_name(libctx, kProviderRsaName, nullptr));
    EVP_PKEY* made = nullptr;
    if (!params || !ctx || EVP_PKEY_fromdata_init(ctx.get()) != 1 ||
        EVP_PKEY_fromdata(ctx.get(), &made, pair ? EVP_PKEY_KEYPAIR : EVP_PKEY_PUBLIC_KEY, params.get()) != 1)
        return nullptr;
    return EvpPkeyPtr(made);
}

}  // namespace keyhold
