// Key pair generation searching on every core: what the key must be, and what
// the search must not leave behind.
#include <dirent.h>
#include <sched.h>

#include <thread>

#include <openssl/core_names.h>
#include <openssl/err.h>

#include <gtest/gtest.h>

#include "keys/rsa_keygen.h"

namespace {

using keyhold::EvpPkeyCtxPtr;
using keyhold::EvpPkeyPtr;
using keyhold::GenerateRsaKey;
using keyhold::RsaSearcherCount;

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

BIGNUM* Number(const EVP_PKEY* key, const char* name) {
    BIGNUM* value = nullptr;
    return EVP_PKEY_get_bn_param(key, name, &value) == 1 ? value : nullptr;
}

// What a pair needs beyond OpenSSL's check: factors of half the length each,
// far apart (|p - q| > 2^(half - 100)), the larger first, and a large d.
void ExpectWellSpreadFactors(const EVP_PKEY* key, unsigned bits) {
    BIGNUM* p = Number(key, OSSL_PKEY_PARAM_RSA_FACTOR1);
    BIGNUM* q = Number(key, OSSL_PKEY_PARAM_RSA_FACTOR2);
    BIGNUM* d = Number(key, OSSL_PKEY_PARAM_RSA_D);
    BIGNUM* distance = BN_new();
    ASSERT_TRUE(p && q && d && distance);
    EXPECT_EQ(BN_num_bits(p), static_cast<int>(bits / 2));
    EXPECT_EQ(BN_num_bits(q), static_cast<int>(bits / 2));
    EXPECT_GT(BN_cmp(p, q), 0);
    ASSERT_EQ(BN_sub(distance, p, q), 1);
    EXPECT_GT(BN_num_bits(distance), static_cast<int>(bits / 2) - 100);
    EXPECT_GT(BN_num_bits(d), static_cast<int>(bits / 2));
    BN_clear_free(p);
    BN_clear_free(q);
    BN_clear_free(d);
    BN_free(distance);
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

TEST(RsaKeygen, KeyHasTheAskedSizeAndExponentAndPassesOpenSslsFullCheck) {
    for (const unsigned bits : {1024u, 2048u, 1032u}) {
        for (const unsigned long exponent : {65537ul, 3ul}) {
            EvpPkeyPtr key;
            ASSERT_EQ(GenerateRsaKey(bits, exponent, key), static_cast<DWORD>(ERROR_SUCCESS)) << bits;
            ASSERT_TRUE(key);
            EXPECT_EQ(EVP_PKEY_get_bits(key.get()), static_cast<int>(bits));
            EXPECT_EQ(Exponent(key.get()), exponent);
            ExpectWellSpreadFactors(key.get(), bits);
            // The full check: primality of the factors, the pair and the CRT values.
            EvpPkeyCtxPtr ctx(EVP_PKEY_CTX_new_from_pkey(nullptr, key.get(), nullptr));
            ASSERT_TRUE(ctx);
            EXPECT_EQ(EVP_PKEY_check(ctx.get()), 1) << bits;
            // The cancelled searches leave nothing in this thread's error queue.
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

TEST(RsaKeygen, ImpossibleParametersFailCleanly) {
    const int before = ThreadCount();
    EvpPkeyPtr key;
    // Below OpenSSL's least modulus, an even exponent, or 1: no key can come of these.
    EXPECT_EQ(GenerateRsaKey(256, 65537, key), static_cast<DWORD>(NTE_FAIL));
    EXPECT_FALSE(key);
    EXPECT_EQ(GenerateRsaKey(1024, 4, key), static_cast<DWORD>(NTE_FAIL));
    EXPECT_FALSE(key);
    EXPECT_EQ(GenerateRsaKey(1024, 1, key), static_cast<DWORD>(NTE_FAIL));
    EXPECT_EQ(GenerateRsaKey(504, 65537, key), static_cast<DWORD>(NTE_FAIL));
    EXPECT_FALSE(key);
    EXPECT_EQ(ThreadCount(), before);
    EXPECT_EQ(ERR_peek_error(), 0ul);
}

TEST(RsaKeygen, SearchesOnOneThreadPerCoreTheCallerMayUse) {
    cpu_set_t all;
    ASSERT_EQ(sched_getaffinity(0, sizeof all, &all), 0);
    EXPECT_EQ(RsaSearcherCount(), std::min(16u, static_cast<unsigned>(CPU_COUNT(&all))));
    // A thread held to one core searches alone, and still gets a good key.
    unsigned pinned = 0;
    DWORD status = NTE_FAIL;
    std::thread([&] {
        cpu_set_t one;
        CPU_ZERO(&one);
        for (int cpu = 0; cpu < CPU_SETSIZE; ++cpu)
            if (CPU_ISSET(cpu, &all)) {
                CPU_SET(cpu, &one);
                break;
            }
        if (sched_setaffinity(0, sizeof one, &one) != 0) return;
        pinned = RsaSearcherCount();
        EvpPkeyPtr key;
        status = GenerateRsaKey(1024, 65537, key);
    }).join();
    EXPECT_EQ(pinned, 1u);
    EXPECT_EQ(status, static_cast<DWORD>(ERROR_SUCCESS));
}

}  // namespace
