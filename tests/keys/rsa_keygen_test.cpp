// Key pair generation racing on every core: what the winner must be, and what
// the race must not leave behind.
#include <dirent.h>

#include <openssl/core_names.h>
#include <openssl/err.h>

#include <gtest/gtest.h>

#include "keys/rsa_keygen.h"

namespace {

using keyhold::EvpPkeyCtxPtr;
using keyhold::EvpPkeyPtr;
using keyhold::GenerateRsaKey;

int ThreadCount() {
    int count = 0;
    DIR* dir = opendir("/proc/self/task");
    if (dir == nullptr) return -1;
    while (const dirent* entry = readdir(dir))
        if (entry->d_name[0] != '.') ++count;
    closedir(dir);
    return count;
}

unsigned long Exponent(const EVP_PKEY* key) {
    BIGNUM* e = nullptr;
    if (EVP_PKEY_get_bn_param(key, OSSL_PKEY_PARAM_RSA_E, &e) != 1) return 0;
    const unsigned long value = BN_get_word(e);
    BN_free(e);
    return value;
}

bool SameModulus(const EVP_PKEY* a, const EVP_PKEY* b) {
    BIGNUM* na = nullptr;
    BIGNUM* nb = nullptr;
    const bool same = EVP_PKEY_get_bn_param(a, OSSL_PKEY_PARAM_RSA_N, &na) == 1 &&
                      EVP_PKEY_get_bn_param(b, OSSL_PKEY_PARAM_RSA_N, &nb) == 1 && BN_cmp(na, nb) == 0;
    BN_free(na);
    BN_free(nb);
    return same;
}

TEST(RsaKeygen, WinnerHasTheAskedSizeAndExponentAndPassesOpenSslsFullCheck) {
    for (const unsigned bits : {1024u, 2048u, 1032u}) {
        for (const unsigned long exponent : {65537ul, 3ul}) {
            EvpPkeyPtr key;
            ASSERT_EQ(GenerateRsaKey(bits, exponent, key), static_cast<DWORD>(ERROR_SUCCESS)) << bits;
            ASSERT_TRUE(key);
            EXPECT_EQ(EVP_PKEY_get_bits(key.get()), static_cast<int>(bits));
            EXPECT_EQ(Exponent(key.get()), exponent);
            // The full check: primality of the factors, the pair and the CRT values.
            EvpPkeyCtxPtr ctx(EVP_PKEY_CTX_new_from_pkey(nullptr, key.get(), nullptr));
            ASSERT_TRUE(ctx);
            EXPECT_EQ(EVP_PKEY_check(ctx.get()), 1) << bits;
            // Losers' cancellations leave nothing in this thread's error queue.
            EXPECT_EQ(ERR_peek_error(), 0ul);
        }
    }
}

TEST(RsaKeygen, EveryCallGivesANewKeyAndNoThreadOutlivesIt) {
    const int before = ThreadCount();
    ASSERT_GT(before, 0);
    EvpPkeyPtr first;
    EvpPkeyPtr second;
    ASSERT_EQ(GenerateRsaKey(1024, 65537, first), static_cast<DWORD>(ERROR_SUCCESS));
    EXPECT_EQ(ThreadCount(), before);
    ASSERT_EQ(GenerateRsaKey(1024, 65537, second), static_cast<DWORD>(ERROR_SUCCESS));
    EXPECT_EQ(ThreadCount(), before);
    EXPECT_FALSE(SameModulus(first.get(), second.get()));
}

TEST(RsaKeygen, ImpossibleParametersFailCleanlyOnEveryRacer) {
    const int before = ThreadCount();
    EvpPkeyPtr key;
    // Below OpenSSL's least modulus, and an even exponent: no racer can win.
    EXPECT_EQ(GenerateRsaKey(256, 65537, key), static_cast<DWORD>(NTE_FAIL));
    EXPECT_FALSE(key);
    EXPECT_EQ(GenerateRsaKey(1024, 4, key), static_cast<DWORD>(NTE_FAIL));
    EXPECT_FALSE(key);
    EXPECT_EQ(ThreadCount(), before);
    EXPECT_EQ(ERR_peek_error(), 0ul);
}

}  // namespace
