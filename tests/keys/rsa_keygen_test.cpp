// Key pair generation on every core, with nettle's proven primes or OpenSSL's:
// what the key must be, what is refused before it is kept, and what the
// search must not leave behind.
#include <dirent.h>
#include <sched.h>

#include <atomic>
#include <chrono>
#include <thread>

#include <openssl/core_names.h>
#include <openssl/err.h>
#include <openssl/pem.h>

#include <gtest/gtest.h>

#include "keys/proven_prime.h"
#include "keys/rsa_consistency.h"
#include "keys/rsa_keygen.h"
#include "keys/rsa_numbers.h"
#include "run_program.h"

namespace {

using keyhold::EvpPkeyCtxPtr;
using keyhold::EvpPkeyPtr;
using keyhold::GenerateRsaKey;
using keyhold::RsaSearcherCount;
using keyhold_test::RunProgram;
using keyhold_test::TempDir;

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

// What `openssl rsa -check` (both factors prime, n = pq, d and the CRT values)
// says of the key.
std::string OpenSslCheck(EVP_PKEY* key) {
    const TempDir dir;
    const std::string path = dir / "key.pem";
    FILE* file = std::fopen(path.c_str(), "w");
    if (file == nullptr) return "cannot write " + path;
    const bool written = PEM_write_PrivateKey(file, key, nullptr, nullptr, 0, nullptr, nullptr) == 1;
    if (std::fclose(file) != 0 || !written) return "cannot write " + path;
    const auto r = RunProgram("/usr/bin/openssl", {"rsa", "-check", "-noout", "-in", path});
    return r.out + r.err;
}

// Runs `work` on a thread that may use only the first `cores` of the cores
// this one may.
template <typename Work>
void OnCores(int cores, Work work) {
    std::thread([&] {
        cpu_set_t all, some;
        ASSERT_EQ(sched_getaffinity(0, sizeof all, &all), 0);
        CPU_ZERO(&some);
        for (int cpu = 0, taken = 0; cpu < CPU_SETSIZE && taken < cores; ++cpu)
            if (CPU_ISSET(cpu, &all)) {
                CPU_SET(cpu, &some);
                ++taken;
            }
        ASSERT_EQ(sched_setaffinity(0, sizeof some, &some), 0);
        work();
    }).join();
}

TEST(RsaKeygen, KeysOfBothGeneratorsHaveTheAskedSizeAndPassOpenSslsCheck) {
    // nettle's primes up to 4096 bits and OpenSSL's from 4104 on, two cores
    // racing for them.
    OnCores(2, [] {
        ASSERT_TRUE(keyhold::RsaPrimesAreProven(4096));
        ASSERT_FALSE(keyhold::RsaPrimesAreProven(4104));
        const struct {
            unsigned bits;
            unsigned long exponent;
        } cases[] = {{512, 65537}, {1032, 3}, {2560, 65537}, {4104, 3}};
        const int threads = ThreadCount();
        for (const auto& c : cases) {
            SCOPED_TRACE(c.bits);
            EvpPkeyPtr key;
            ASSERT_EQ(GenerateRsaKey(c.bits, c.exponent, key), static_cast<DWORD>(ERROR_SUCCESS));
            ASSERT_TRUE(key);
            EXPECT_EQ(EVP_PKEY_get_bits(key.get()), static_cast<int>(c.bits));
            EXPECT_EQ(Exponent(key.get()), c.exponent);
            ExpectWellSpreadFactors(key.get(), c.bits);
            EXPECT_EQ(OpenSslCheck(key.get()), "RSA key ok\n");
            // The cancelled searches leave nothing in this thread's error queue,
            // and no searcher outlives the call.
            EXPECT_EQ(ERR_peek_error(), 0ul);
            EXPECT_EQ(ThreadCount(), threads);
        }
    });
}

// The pair with one of its numbers changed, as OpenSSL takes it without a word.
EvpPkeyPtr WithOneNumberChanged(const EVP_PKEY* pair, int which) {
    static const char* const names[keyhold::kRsaNumberCount] = {
        OSSL_PKEY_PARAM_RSA_N,         OSSL_PKEY_PARAM_RSA_E,         OSSL_PKEY_PARAM_RSA_D,
        OSSL_PKEY_PARAM_RSA_FACTOR1,   OSSL_PKEY_PARAM_RSA_FACTOR2,   OSSL_PKEY_PARAM_RSA_EXPONENT1,
        OSSL_PKEY_PARAM_RSA_EXPONENT2, OSSL_PKEY_PARAM_RSA_COEFFICIENT1};
    keyhold::RsaNumbers numbers;
    if (!keyhold::ReadRsaNumbers(pair, numbers) || BN_add_word(numbers.value[which].get(), 2) != 1) return nullptr;
    OSSL_PARAM_BLD* bld = OSSL_PARAM_BLD_new();
    for (int i = 0; i < keyhold::kRsaNumberCount; ++i)
        OSSL_PARAM_BLD_push_BN(bld, names[i], numbers.value[i].get());
    OSSL_PARAM* params = OSSL_PARAM_BLD_to_param(bld);
    EVP_PKEY_CTX* ctx = EVP_PKEY_CTX_new_from_name(nullptr, "RSA", nullptr);
    EVP_PKEY* key = nullptr;
    if (params == nullptr || EVP_PKEY_fromdata_init(ctx) != 1 ||
        EVP_PKEY_fromdata(ctx, &key, EVP_PKEY_KEYPAIR, params) != 1)
        key = nullptr;
    EVP_PKEY_CTX_free(ctx);
    OSSL_PARAM_free(params);
    OSSL_PARAM_BLD_free(bld);
    return EvpPkeyPtr(key);
}

TEST(RsaKeygen, APairWithAnyNumberWrongIsRefusedBeforeItIsKept) {
    EvpPkeyPtr pair;
    ASSERT_EQ(GenerateRsaKey(1024, 65537, pair), static_cast<DWORD>(ERROR_SUCCESS));
    EXPECT_TRUE(keyhold::NewRsaPairIsSound(pair.get(), nullptr));
    // OpenSSL's round trip alone passes a wrong d, p, q or CRT value (its
    // private operation falls back to a slower path); the check must not.
    for (int which = 0; which < keyhold::kRsaNumberCount; ++which) {
        SCOPED_TRACE(which);
        const EvpPkeyPtr broken = WithOneNumberChanged(pair.get(), which);
        ASSERT_TRUE(broken);
        EXPECT_FALSE(keyhold::NewRsaPairIsSound(broken.get(), nullptr));
        ERR_clear_error();
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

TEST(RsaKeygen, AProvenPrimeSearchStopsWhenToldAndTheNextOneIsWhole) {
    keyhold::BignumPtr prime;
    std::atomic<bool> stop{true};
    EXPECT_EQ(keyhold::ProvenPrime(1024, nullptr, &stop, prime), static_cast<DWORD>(ERROR_CANCELLED));
    EXPECT_FALSE(prime);
    // Stopped midway: a 1536-bit prime takes far longer than the pause.
    stop = false;
    std::thread stopper([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(3));
        stop = true;
    });
    const DWORD midway = keyhold::ProvenPrime(1536, nullptr, &stop, prime);
    stopper.join();
    EXPECT_EQ(midway, static_cast<DWORD>(ERROR_CANCELLED));
    // What the stopped searches left (GMP's memory, the error queue) spoils nothing after them.
    stop = false;
    ASSERT_EQ(keyhold::ProvenPrime(512, nullptr, &stop, prime), static_cast<DWORD>(ERROR_SUCCESS));
    EXPECT_EQ(BN_num_bits(prime.get()), 512);
    EXPECT_EQ(BN_check_prime(prime.get(), nullptr, nullptr), 1);
    EXPECT_EQ(ERR_peek_error(), 0ul);
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
