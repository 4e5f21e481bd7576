#include "keys/rsa_keygen.h"

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <system_error>
#include <thread>
#include <vector>

#include <openssl/err.h>
#include <openssl/rsa.h>

#include "store/digest.h"
#include "store/unique_fd.h"

namespace keyhold {

namespace {

// RSA generation time varies widely from run to run (how soon a prime turns
// up), so independent generations on the idle cores race and the first wins:
// its expected time is well below that of a single generation. Each key still
// comes from OpenSSL's own prime search; the others are cancelled.
constexpr unsigned kMaxRacers = 16;

// One racer per idle core: where the cores are busy, racers only share the
// time of the cores left and each runs slower than a lone generation would.
// The count of runnable tasks in /proc/loadavg ("r/t", this thread among
// them) tells how many are busy now; the averages would count our own runs.
unsigned RacerCount() {
    const unsigned cores = std::clamp(std::thread::hardware_concurrency(), 1u, kMaxRacers);
    UniqueFd fd(open("/proc/loadavg", O_RDONLY | O_CLOEXEC));
    char text[128] = {};
    if (!fd || read(fd.get(), text, sizeof text - 1) <= 0) return cores;
    const char* slash = std::strchr(text, '/');
    if (slash == nullptr) return cores;
    const char* start = slash;
    while (start > text && start[-1] >= '0' && start[-1] <= '9') --start;
    const unsigned long running = std::strtoul(start, nullptr, 10);
    const unsigned long others = running > 0 ? running - 1 : 0;
    return others >= cores ? 1u : cores - static_cast<unsigned>(others);
}

struct Race {
    std::atomic<bool> decided{false};
    std::mutex mutex;
    EvpPkeyPtr winner;
    DWORD failure = NTE_FAIL;
};

struct RacerArgs {
    unsigned bits;
    unsigned long exponent;
    Race* race;
};

// OpenSSL's own checks of a new pair: the private numbers in range, and a
// signature by the private key that the public key verifies. The primes are
// not tested again: OpenSSL's generation has just run the same Miller-Rabin
// rounds on them that its full check would repeat, three times over, at a cost
// of a fifth of the generation itself.
bool PassesPairChecks(EVP_PKEY* key) {
    EvpPkeyCtxPtr ctx(EVP_PKEY_CTX_new_from_pkey(nullptr, key, nullptr));
    const EVP_MD* md = Sha256Md();
    if (!ctx || md == nullptr || EVP_PKEY_private_check(ctx.get()) != 1) return false;
    unsigned char digest[kSha256Size];
    if (!Sha256("keyhold pair check", 18, digest)) return false;
    std::vector<unsigned char> signature(static_cast<std::size_t>(EVP_PKEY_get_size(key)));
    std::size_t length = signature.size();
    if (EVP_PKEY_sign_init(ctx.get()) != 1 || EVP_PKEY_CTX_set_rsa_padding(ctx.get(), RSA_PKCS1_PADDING) != 1 ||
        EVP_PKEY_CTX_set_signature_md(ctx.get(), md) != 1 ||
        EVP_PKEY_sign(ctx.get(), signature.data(), &length, digest, sizeof digest) != 1)
        return false;
    return EVP_PKEY_verify_init(ctx.get()) == 1 && EVP_PKEY_CTX_set_rsa_padding(ctx.get(), RSA_PKCS1_PADDING) == 1 &&
           EVP_PKEY_CTX_set_signature_md(ctx.get(), md) == 1 &&
           EVP_PKEY_verify(ctx.get(), signature.data(), length, digest, sizeof digest) == 1;
}

// OpenSSL calls this between the steps of its prime search; 0 aborts it.
int KeepGoing(EVP_PKEY_CTX* ctx) {
    const auto* race = static_cast<const Race*>(EVP_PKEY_CTX_get_app_data(ctx));
    return race->decided.load(std::memory_order_relaxed) ? 0 : 1;
}

void Racer(RacerArgs args) {
    Race& race = *args.race;
    EvpPkeyCtxPtr ctx(EVP_PKEY_CTX_new_from_name(nullptr, "RSA", nullptr));
    BignumPtr e(BN_new());
    EVP_PKEY* made = nullptr;
    DWORD failure = NTE_FAIL;
    if (!ctx || !e || BN_set_word(e.get(), args.exponent) != 1) {
        failure = NTE_NO_MEMORY;
    } else if (EVP_PKEY_keygen_init(ctx.get()) == 1 &&
               EVP_PKEY_CTX_set_rsa_keygen_bits(ctx.get(), static_cast<int>(args.bits)) == 1 &&
               EVP_PKEY_CTX_set1_rsa_keygen_pubexp(ctx.get(), e.get()) == 1) {
        EVP_PKEY_CTX_set_app_data(ctx.get(), &race);
        EVP_PKEY_CTX_set_cb(ctx.get(), KeepGoing);
        if (EVP_PKEY_keygen(ctx.get(), &made) != 1) made = nullptr;
    }
    // A cancelled racer's queue holds only the abort; the caller sees no error.
    ERR_clear_error();
    // Frees (and so wipes) the numbers of a key that came too late.
    EvpPkeyPtr key(made);
    if (key && race.decided.load()) key.reset();
    // The winner must pass the checks before it counts.
    if (key && !PassesPairChecks(key.get())) key.reset();
    ERR_clear_error();
    std::lock_guard<std::mutex> lock(race.mutex);
    if (race.decided.load()) return;
    if (key) {
        race.winner = std::move(key);
        race.decided.store(true);
    } else if (failure == NTE_NO_MEMORY) {
        race.failure = NTE_NO_MEMORY;
    }
}

}  // namespace

DWORD GenerateRsaKey(unsigned bits, unsigned long exponent, EvpPkeyPtr& out) {
    const unsigned racers = RacerCount();
    Race race;
    const RacerArgs args{bits, exponent, &race};
    std::vector<std::thread> helpers;
    try {
        helpers.reserve(racers - 1);
        for (unsigned i = 1; i < racers; ++i) helpers.emplace_back(Racer, args);
    } catch (const std::exception&) {
        // Fewer helpers then (no memory or no threads left): the race still
        // has this thread, so generation goes on without them.
    }
    Racer(args);
    // No helper outlives the call. A helper still searching after this thread
    // failed may yet win; after a win the others stop at their next step.
    for (std::thread& helper : helpers) helper.join();
    if (!race.winner) return race.failure;
    out = std::move(race.winner);
    return ERROR_SUCCESS;
}

}  // namespace keyhold
