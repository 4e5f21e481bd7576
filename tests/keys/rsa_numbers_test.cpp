// An RSA key's numbers read in one call: the same numbers OpenSSL gives one by
// one, and none that a public key does not have.
#include <openssl/core_names.h>
#include <openssl/rsa.h>

#include <gtest/gtest.h>

#include "keys/blob_codec.h"
#include "keys/rsa_numbers.h"

namespace {

using keyhold::EvpPkeyPtr;
using keyhold::RsaNumbers;

const char* const kNames[keyhold::kRsaNumberCount] = {
    OSSL_PKEY_PARAM_RSA_N,         OSSL_PKEY_PARAM_RSA_E,         OSSL_PKEY_PARAM_RSA_D,
    OSSL_PKEY_PARAM_RSA_FACTOR1,   OSSL_PKEY_PARAM_RSA_FACTOR2,   OSSL_PKEY_PARAM_RSA_EXPONENT1,
    OSSL_PKEY_PARAM_RSA_EXPONENT2, OSSL_PKEY_PARAM_RSA_COEFFICIENT1};

EvpPkeyPtr PublicHalf(EVP_PKEY* pair) {
    OSSL_PARAM* params = nullptr;
    EVP_PKEY* key = nullptr;
    EVP_PKEY_CTX* ctx = EVP_PKEY_CTX_new_from_name(nullptr, "RSA", nullptr);
    if (EVP_PKEY_todata(pair, EVP_PKEY_PUBLIC_KEY, &params) != 1 || EVP_PKEY_fromdata_init(ctx) != 1 ||
        EVP_PKEY_fromdata(ctx, &key, EVP_PKEY_PUBLIC_KEY, params) != 1)
        key = nullptr;
    OSSL_PARAM_free(params);
    EVP_PKEY_CTX_free(ctx);
    return EvpPkeyPtr(key);
}

TEST(RsaNumbers, AreOpenSslsNumbersOfThePairAndOnlyThePublicOnesOfAPublicKey) {
    for (const unsigned bits : {512u, 1032u, 2056u}) {
        EvpPkeyPtr pair(EVP_RSA_gen(bits));
        ASSERT_TRUE(pair);
        RsaNumbers numbers;
        ASSERT_TRUE(keyhold::ReadRsaNumbers(pair.get(), numbers));
        for (int i = 0; i < keyhold::kRsaNumberCount; ++i) {
            BIGNUM* expected = nullptr;
            ASSERT_EQ(EVP_PKEY_get_bn_param(pair.get(), kNames[i], &expected), 1);
            ASSERT_NE(numbers.value[i], nullptr) << kNames[i];
            EXPECT_EQ(BN_cmp(numbers.value[i].get(), expected), 0) << bits << " " << kNames[i];
            BN_clear_free(expected);
        }

        const EvpPkeyPtr pub = PublicHalf(pair.get());
        ASSERT_TRUE(pub);
        RsaNumbers publicNumbers;
        ASSERT_TRUE(keyhold::ReadRsaNumbers(pub.get(), publicNumbers));
        EXPECT_EQ(BN_cmp(publicNumbers.get(keyhold::kRsaN), numbers.get(keyhold::kRsaN)), 0);
        EXPECT_EQ(BN_cmp(publicNumbers.get(keyhold::kRsaE), numbers.get(keyhold::kRsaE)), 0);
        for (int i = keyhold::kRsaD; i < keyhold::kRsaNumberCount; ++i) EXPECT_EQ(publicNumbers.value[i], nullptr);
        // The private encoder must refuse it rather than hand it to OpenSSL's
        // writer, which would follow the missing numbers.
        keyhold::SecureBytes blob;
        EXPECT_EQ(keyhold::EncodePrivateKeyBlob(pub.get(), CALG_RSA_KEYX, blob), static_cast<DWORD>(NTE_BAD_KEY_STATE));
        EXPECT_EQ(keyhold::EncodePublicKeyBlob(pub.get(), CALG_RSA_KEYX, blob), static_cast<DWORD>(ERROR_SUCCESS));
    }
    EXPECT_FALSE(keyhold::ReadRsaNumbers(nullptr, *std::make_unique<RsaNumbers>()));
}

}  // namespace
