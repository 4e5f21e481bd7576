// keyhold_keygen_parts: where the key store's generation time goes, in this
// process, for the modulus lengths given:
//
//   keyhold_keygen_parts RUNS BITS...
//
// For each length it times RUNS primes of half the length from each
// generator, one at a time on one thread (nettle's, proven as it is made, and
// OpenSSL's BN_generate_prime_ex2, tested with its Miller-Rabin rounds), the
// checks a new pair passes before it is kept, and GenerateRsaKey itself.
// Lines (times in µs):
//   prime GENERATOR BITS RUNS MEDIAN P90 MEAN       one prime of BITS/2 bits
//   pair GENERATOR BITS MEDIAN P90                  a pair's primes on two cores, from those
//   check BITS MEDIAN                               NewRsaPairIsSound
//   pairwise_check BITS MEDIAN                      OpenSSL's EVP_PKEY_pairwise_check, for scale
//   generate BITS RUNS MEDIAN P90 CPU_MEDIAN THREADS GENERATOR
//
// "pair" is what two cores make of the generator's primes, worked out from
// the one-core times: each core searches on until two primes are in, and the
// pair has the second (the second of the times at which two cores, each
// making primes one after another, finish; primes drawn from the times
// measured, 20,000 times, with a fixed seed).
#include <time.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <vector>

#include <openssl/err.h>

#include "keys/openssl_ptr.h"
#include "keys/proven_prime.h"
#include "keys/rsa_consistency.h"
#include "keys/rsa_keygen.h"
#include "stats.h"

namespace {

using Clock = std::chrono::steady_clock;

double Since(Clock::time_point start) { return std::chrono::duration<double, std::micro>(Clock::now() - start).count(); }

double ProcessCpuMicros() {
    timespec t{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) * 1e6 + static_cast<double>(t.tv_nsec) / 1e3;
}

double Quantile(std::vector<double> v, double p) {
    std::sort(v.begin(), v.end());
    return p == 0.5 ? keyhold_bench::Median(v) : keyhold_bench::Percentile(v, p);
}

double Mean(const std::vector<double>& v) {
    double sum = 0;
    for (const double x : v) sum += x;
    return sum / static_cast<double>(v.size());
}

bool OpenSslPrime(int bits, BN_CTX* ctx) {
    keyhold::BignumPtr prime(BN_secure_new());
    return prime && BN_generate_prime_ex2(prime.get(), bits, 0, nullptr, nullptr, nullptr, ctx) == 1;
}

bool NettlePrime(int bits, BN_CTX*) {
    keyhold::BignumPtr prime;
    return keyhold::ProvenPrime(bits, nullptr, nullptr, prime) == ERROR_SUCCESS;
}

template <typename Make>
std::vector<double> TimePrimes(int runs, int bits, Make make) {
    keyhold::BnCtxPtr ctx(BN_CTX_secure_new());
    std::vector<double> times;
    for (int i = 0; i < runs; ++i) {
        const auto start = Clock::now();
        if (!make(bits, ctx.get())) {
            std::fprintf(stderr, "keygen_parts: no prime of %d bits\n", bits);
            std::exit(1);
        }
        times.push_back(Since(start));
    }
    return times;
}

std::vector<double> RacedPairs(const std::vector<double>& primes) {
    std::mt19937 draw(2048);
    std::uniform_int_distribution<std::size_t> any(0, primes.size() - 1);
    std::vector<double> pairs;
    for (int i = 0; i < 20000; ++i) {
        const double a = primes[any(draw)], b = primes[any(draw)];
        double ends[] = {a, a + primes[any(draw)], b, b + primes[any(draw)]};
        std::sort(std::begin(ends), std::end(ends));
        pairs.push_back(ends[1]);
    }
    return pairs;
}

void Report(const char* name, unsigned bits, const std::vector<double>& primes, const std::vector<double>& pairs) {
    std::printf("prime %s %u %zu %.1f %.1f %.1f\n", name, bits, primes.size(), Quantile(primes, 0.5),
                Quantile(primes, 0.9), Mean(primes));
    std::printf("pair %s %u %.1f %.1f\n", name, bits, Quantile(pairs, 0.5), Quantile(pairs, 0.9));
}

}  // namespace

int main(int argc, char* argv[]) {
    if (argc < 3) {
        std::fprintf(stderr, "usage: %s RUNS BITS...\n", argv[0]);
        return 2;
    }
    const int runs = std::max(4, std::atoi(argv[1]));
    for (int a = 2; a < argc; ++a) {
        const unsigned bits = static_cast<unsigned>(std::atoi(argv[a]));
        const int half = static_cast<int>(bits / 2);
        const std::vector<double> nettle = TimePrimes(runs, half, NettlePrime);
        Report("nettle", bits, nettle, RacedPairs(nettle));
        const std::vector<double> openssl = TimePrimes(runs, half, OpenSslPrime);
        Report("openssl", bits, openssl, RacedPairs(openssl));

        std::vector<double> generate, cpu, check;
        keyhold::EvpPkeyPtr key;
        for (int i = 0; i < runs; ++i) {
            const double cpuStart = ProcessCpuMicros();
            const auto start = Clock::now();
            if (keyhold::GenerateRsaKey(bits, 65537, key) != ERROR_SUCCESS) {
                std::fprintf(stderr, "keygen_parts: no key of %u bits\n", bits);
                return 1;
            }
            generate.push_back(Since(start));
            cpu.push_back(ProcessCpuMicros() - cpuStart);
            const auto checkStart = Clock::now();
            if (!keyhold::NewRsaPairIsSound(key.get(), nullptr)) return 1;
            check.push_back(Since(checkStart));
        }
        std::vector<double> pairwise;
        for (int i = 0; i < 3; ++i) {
            keyhold::EvpPkeyCtxPtr ctx(EVP_PKEY_CTX_new_from_pkey(nullptr, key.get(), nullptr));
            const auto start = Clock::now();
            if (!ctx || EVP_PKEY_pairwise_check(ctx.get()) != 1) return 1;
            pairwise.push_back(Since(start));
        }
        std::printf("check %u %.1f\n", bits, Quantile(check, 0.5));
        std::printf("pairwise_check %u %.1f\n", bits, Quantile(pairwise, 0.5));
        std::printf("generate %u %d %.1f %.1f %.1f %u %s\n", bits, runs, Quantile(generate, 0.5),
                    Quantile(generate, 0.9), Quantile(cpu, 0.5), keyhold::RsaSearcherCount(),
                    keyhold::RsaPrimesAreProven(bits) ? "nettle" : "openssl");
        std::fflush(stdout);
    }
    return 0;
}
