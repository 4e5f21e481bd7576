#include "keys/proven_prime.h"

#include <gmp.h>
#include <nettle/bignum.h>

#include <cstdint>

#include <openssl/rand.h>

#include "core/secure_bytes.h"
#include "keys/gmp_wipe.h"

namespace keyhold {
namespace {

struct RandomSource {
    OSSL_LIB_CTX* libctx = nullptr;
    bool failed = false;
    std::uint64_t counter = 0;
};

// nettle's callback cannot report a failure. Once OpenSSL's generator fails,
// the prime in the making is worthless; distinct bytes from then on let
// nettle's search still come to an end, and the caller throws its result away.
void RandomBytes(void* context, size_t length, std::uint8_t* out) {
    auto* source = static_cast<RandomSource*>(context);
    if (!source->failed && RAND_priv_bytes_ex(source->libctx, out, length, 0) == 1) return;
    source->failed = true;
    for (size_t i = 0; i < length; ++i) out[i] = static_cast<std::uint8_t>(++source->counter * 0x9Du);
}

// An mpz_t that is always cleared; its memory is wiped by WipeGmpMemory.
class Mpz {
public:
    Mpz() { mpz_init(value_); }
    ~Mpz() { mpz_clear(value_); }
    Mpz(const Mpz&) = delete;
    Mpz& operator=(const Mpz&) = delete;
    mpz_ptr get() { return value_; }

private:
    mpz_t value_;
};

}  // namespace

DWORD ProvenPrime(int bits, OSSL_LIB_CTX* libctx, BignumPtr& out) {
    WipeGmpMemory();
    RandomSource source;
    source.libctx = libctx;
    Mpz prime;
    nettle_random_prime(prime.get(), static_cast<unsigned>(bits), 1, &source, RandomBytes, nullptr, nullptr);
    if (source.failed) return NTE_FAIL;
    // Into OpenSSL's secure memory by way of a buffer that is wiped as it goes.
    SecureBytes bytes((mpz_sizeinbase(prime.get(), 2) + 7) / 8);
    size_t written = 0;
    mpz_export(bytes.data(), &written, -1, 1, 0, 0, prime.get());
    BignumPtr number(BN_secure_new());
    if (!number || BN_lebin2bn(bytes.data(), static_cast<int>(written), number.get()) == nullptr) return NTE_NO_MEMORY;
    out = std::move(number);
    return ERROR_SUCCESS;
}

}  // namespace keyhold
