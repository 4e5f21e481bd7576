// RSA key pairs from two primes made at once on every core the caller may use.
//
// Every core searches, and the first two suitable primes make the key; the
// other searches are then stopped at their next candidate. Where the primes
// come from depends on the size; both generators are the libraries' own, and
// neither's primes are tested again:
//
// - Up to kLargestProvenModulus: nettle's. Each prime is built from a smaller
//   one and proven prime by Pocklington's theorem as it is made, where
//   OpenSSL's generator ends every prime with 64 Miller-Rabin rounds that at
//   these sizes cost more than nettle's whole construction.
// - Above it, OpenSSL's (BN_generate_prime_ex2), whose arithmetic is then
//   the quicker.
//
// The pair is built as OpenSSL builds keys from its generated primes (p - 1
// prime to e, |p - q| and d large enough), and must then pass the pairwise
// checks of NewRsaPairIsSound before anyone sees it.
#include "keys/rsa_keygen.h"

#include <sched.h>

#include <algorithm>
#include <atomic>
#include <mutex>
#include <system_error>
#include <thread>
#include <vector>

#include <openssl/core_names.h>
#include <openssl/err.h>

#include "keys/proven_prime.h"
#include "keys/rsa_consistency.h"
#include "keys/rsa_numbers.h"

namespace keyhold {

namespace {

constexpr unsigned kMaxSearchers = 16;
// OpenSSL's least modulus; its generation refuses anything shorter.
constexpr unsigned kMinBits = 512;
// The primes of a pair differ in more than their low bits by this much: |p - q|
// must exceed 2^(half - 100), so that n is not factored from its square root.
constexpr int kLeastPrimeDistanceBits = 100;
// How far nettle's generator is the quicker, in the time one prime takes (both
// are raced alike). Measured on a two-core AMD EPYC, 100 primes of each
// generator and size (bench/keygen_parts.cpp): for 1536-bit primes nettle's
// took 84 ms at the median and 126 on average, OpenSSL's 109 and 127; for
// 2048-bit primes 248 and 316, against 283 and 330. For 4096-bit primes (six
// of each) nettle's mean was 3.8 s against 3.3 s, with a 90th percentile of
// 12.5 s against 7.0 s: above 4096 bits GMP's arithmetic falls behind.
constexpr unsigned kLargestProvenModulus = 4096;

struct Search {
    int halfBits = 0;
    const BIGNUM* e = nullptr;
    OSSL_LIB_CTX* libctx = nullptr;
    bool proven = false;  // nettle's primes, else OpenSSL's
    std::atomic<bool> done{false};
    std::mutex mutex;
    BignumPtr first;  // the first suitable prime found, waiting for its partner
    EvpPkeyPtr key;
    DWORD failure = ERROR_SUCCESS;
};

BignumPtr SecureNumber() { return BignumPtr(BN_secure_new()); }

// OpenSSL calls this between the steps of its prime search; 0 aborts it.
int KeepSearching(int, int, BN_GENCB* cb) {
    const auto* search = static_cast<const Search*>(BN_GENCB_get_arg(cb));
    return search->done.load(std::memory_order_relaxed) ? 0 : 1;
}

// gcd(p - 1, e) = 1, so that e has an inverse modulo p - 1.
bool FitsExponent(const BIGNUM* p, const BIGNUM* e, BN_CTX* ctx) {
    BignumPtr p1 = SecureNumber();
    BignumPtr gcd = SecureNumber();
    return p1 && gcd && BN_sub(p1.get(), p, BN_value_one()) == 1 && BN_gcd(gcd.get(), p1.get(), e, ctx) == 1 &&
           BN_is_one(gcd.get());
}

enum class Pair { kMade, kUnsuitable, kFailed };

// The key of the primes a and b. kUnsuitable when the two make no good pair:
// the caller then drops the newer one and searches on. The larger prime is p.
Pair MakeKey(const BIGNUM* a, const BIGNUM* b, const BIGNUM* e, int halfBits, BN_CTX* ctx, OSSL_LIB_CTX* libctx,
             EvpPkeyPtr& out) {
    const BIGNUM* p = BN_cmp(a, b) >= 0 ? a : b;
    const BIGNUM* q = p == a ? b : a;
    BignumPtr n(BN_new()), distance = SecureNumber(), p1 = SecureNumber(), q1 = SecureNumber(),
        gcd = SecureNumber(), product = SecureNumber(), lambda = SecureNumber(), d = SecureNumber(),
        dmp1 = SecureNumber(), dmq1 = SecureNumber(), iqmp = SecureNumber(), pTime = SecureNumber();
    if (!n || !distance || !p1 || !q1 || !gcd || !product || !lambda || !d || !dmp1 || !dmq1 || !iqmp || !pTime ||
        BN_sub(distance.get(), p, q) != 1 || BN_mul(n.get(), p, q, ctx) != 1)
        return Pair::kFailed;
    if (BN_num_bits(distance.get()) <= halfBits - kLeastPrimeDistanceBits || BN_num_bits(n.get()) != 2 * halfBits)
        return Pair::kUnsuitable;
    // d = e^-1 mod lcm(p - 1, q - 1), computed without branching on the secret:
    // OpenSSL's constant-time division and inverse go by the flags.
    if (BN_sub(p1.get(), p, BN_value_one()) != 1 || BN_sub(q1.get(), q, BN_value_one()) != 1 ||
        BN_gcd(gcd.get(), p1.get(), q1.get(), ctx) != 1 || BN_mul(product.get(), p1.get(), q1.get(), ctx) != 1)
        return Pair::kFailed;
    BN_set_flags(product.get(), BN_FLG_CONSTTIME);
    BN_set_flags(gcd.get(), BN_FLG_CONSTTIME);
    if (BN_div(lambda.get(), nullptr, product.get(), gcd.get(), ctx) != 1) return Pair::kFailed;
    BN_set_flags(lambda.get(), BN_FLG_CONSTTIME);
    // Both primes fit e, so the inverse exists; its absence is a failure.
    if (BN_mod_inverse(d.get(), e, lambda.get(), ctx) == nullptr) return Pair::kFailed;
    // A small private exponent would be open to lattice attacks.
    if (BN_num_bits(d.get()) <= halfBits) return Pair::kUnsuitable;
    BN_set_flags(d.get(), BN_FLG_CONSTTIME);
    if (BN_mod(dmp1.get(), d.get(), p1.get(), ctx) != 1 || BN_mod(dmq1.get(), d.get(), q1.get(), ctx) != 1 ||
        BN_copy(pTime.get(), p) == nullptr)
        return Pair::kFailed;
    BN_set_flags(pTime.get(), BN_FLG_CONSTTIME);
    if (BN_mod_inverse(iqmp.get(), q, pTime.get(), ctx) == nullptr) return Pair::kFailed;

    const BIGNUM* const numbers[kRsaNumberCount] = {n.get(), e, d.get(), p, q, dmp1.get(), dmq1.get(), iqmp.get()};
    out = RsaKeyFromNumbers(numbers, true, libctx);
    return out ? Pair::kMade : Pair::kFailed;
}

void EndSearch(Search& search, DWORD failure) {
    std::lock_guard<std::mutex> lock(search.mutex);
    if (search.done.load()) return;
    search.failure = failure;
    search.done.store(true);
}

DWORD NextPrime(Search& search, BN_CTX* ctx, BN_GENCB* cb, BignumPtr& prime) {
    if (search.proven) return ProvenPrime(search.halfBits, search.libctx, &search.done, prime);
    prime = SecureNumber();
    if (!prime) return NTE_NO_MEMORY;
    return BN_generate_prime_ex2(prime.get(), search.halfBits, 0, nullptr, nullptr, cb, ctx) == 1 ? ERROR_SUCCESS
                                                                                                    : NTE_FAIL;
}

void Searcher(Search& search) {
    BnCtxPtr ctx(BN_CTX_secure_new_ex(search.libctx));
    BnGencbPtr cb(BN_GENCB_new());
    if (!ctx || !cb) return EndSearch(search, NTE_NO_MEMORY);
    BN_GENCB_set(cb.get(), KeepSearching, &search);
    while (!search.done.load()) {
        BignumPtr prime;
        const DWORD made = NextPrime(search, ctx.get(), cb.get(), prime);
        // A search stopped because the key is made is no failure.
        if (made != ERROR_SUCCESS) return EndSearch(search, made);
        // A prime the key cannot use is dropped, and this searcher goes on.
        if (!FitsExponent(prime.get(), search.e, ctx.get())) continue;
        std::lock_guard<std::mutex> lock(search.mutex);
        if (search.done.load()) return;
        if (!search.first) {
            search.first = std::move(prime);
            continue;
        }
        const Pair pair = MakeKey(search.first.get(), prime.get(), search.e, search.halfBits, ctx.get(),
                                  search.libctx, search.key);
        if (pair == Pair::kUnsuitable) continue;
        search.first.reset();
        if (pair == Pair::kFailed) search.failure = NTE_FAIL;
        search.done.store(true);
    }
}

}  // namespace

// One searcher per core this thread may run on. Where other work holds some
// of the cores, the searchers share what is left with it; the scheduler then
// gives the search more of the machine than a lone one would get, so a busy
// machine is no reason to search with fewer. More than the cores only splits them.
unsigned RsaSearcherCount() {
    cpu_set_t set;
    CPU_ZERO(&set);
    unsigned cores = 0;
    if (sched_getaffinity(0, sizeof set, &set) == 0) cores = static_cast<unsigned>(CPU_COUNT(&set));
    if (cores == 0) cores = std::thread::hardware_concurrency();
    return std::clamp(cores, 1u, kMaxSearchers);
}

bool RsaPrimesAreProven(unsigned bits) { return bits <= kLargestProvenModulus; }

DWORD GenerateRsaKey(unsigned bits, unsigned long exponent, EvpPkeyPtr& out, OSSL_LIB_CTX* libctx,
                     bool callingThreadOnly) {
    // As OpenSSL's own generation: an odd exponent above 1, a modulus of at
    // least 512 bits. Lengths are even here (the callers take multiples of 8).
    if (bits < kMinBits || bits % 2 != 0 || exponent < 3 || exponent % 2 == 0) return NTE_FAIL;
    BignumPtr e(BN_new());
    if (!e || BN_set_word(e.get(), exponent) != 1) return NTE_NO_MEMORY;
    Search search;
    search.halfBits = static_cast<int>(bits / 2);
    search.e = e.get();
    search.libctx = libctx;
    const unsigned searchers = callingThreadOnly ? 1 : RsaSearcherCount();
    search.proven = RsaPrimesAreProven(bits);
    std::vector<std::thread> helpers;
    try {
        helpers.reserve(searchers - 1);
        for (unsigned i = 1; i < searchers; ++i) helpers.emplace_back(Searcher, std::ref(search));
    } catch (const std::exception&) {
        // Fewer helpers then (no memory or no threads left): this thread still
        // searches, so generation goes on without them.
    }
    Searcher(search);
    // No helper outlives the call; after the end each stops at its next step.
    for (std::thread& helper : helpers) helper.join();
    // The aborts of the cancelled searches are no error of the caller's.
    ERR_clear_error();
    if (!search.key) return search.failure != ERROR_SUCCESS ? search.failure : NTE_FAIL;
    // The primes were tested (OpenSSL) or proven (nettle) as they were made;
    // what is left to check is that the numbers make one working pair.
    const bool sound = NewRsaPairIsSound(search.key.get(), search.libctx);
    ERR_clear_error();
    if (!sound) return NTE_FAIL;
    out = std::move(search.key);
    return ERROR_SUCCESS;
}

}  // namespace keyhold
