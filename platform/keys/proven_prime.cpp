#include "keys/proven_prime.h"

#include <gmp.h>
#include <nettle/bignum.h>

#include <algorithm>
#include <csetjmp>
#include <cstdint>
#include <cstring>

#include <openssl/crypto.h>
#include <openssl/rand.h>

#include "keys/gmp_memory.h"

namespace keyhold {
namespace {

// OpenSSL's private generator, drawn in blocks: nettle asks for a few bytes
// about nine hundred times for one 1024-bit prime, and each request of
// OpenSSL's generator costs more than drawing the bytes does.
//
// It is also where a search is stopped: nettle asks for bytes for every
// candidate and offers no other way out, so once told to stop, the source
// jumps back to the start of the search instead of answering. nettle and GMP
// keep nothing across calls, and every number they made meanwhile is in the
// search's GmpArena, which goes as a whole; should GMP have gone beyond the
// arena, the search runs to its prime instead, so that nothing is lost.
class RandomSource {
public:
    RandomSource(OSSL_LIB_CTX* libctx, const std::atomic<bool>* stop, const GmpArena& arena)
        : libctx_(libctx), stop_(stop), arena_(arena) {}
    ~RandomSource() { OPENSSL_cleanse(block_, sizeof block_); }
    RandomSource(const RandomSource&) = delete;
    RandomSource& operator=(const RandomSource&) = delete;

    bool failed() const { return failed_; }

    // Where a stopped search goes back to; set by Search() before nettle runs.
    std::jmp_buf resume;

    void Fill(std::uint8_t* out, size_t length) {
        if (stop_ != nullptr && stop_->load(std::memory_order_relaxed) && !arena_.Spilled()) std::longjmp(resume, 1);
        while (length > 0) {
            if (used_ == sizeof block_ && !Refill()) return Substitute(out, length);
            const size_t take = std::min(length, sizeof block_ - used_);
            std::memcpy(out, block_ + used_, take);
            OPENSSL_cleanse(block_ + used_, take);
            used_ += take;
            out += take;
            length -= take;
        }
    }

private:
    bool Refill() {
        if (failed_ || RAND_priv_bytes_ex(libctx_, block_, sizeof block_, 0) != 1) {
            failed_ = true;
            return false;
        }
        used_ = 0;
        return true;
    }

    // nettle's callback cannot report a failure. Once OpenSSL's generator
    // fails, the prime in the making is worthless, and the caller throws it
    // away; nettle's search must still come to an end, which it does as soon
    // as with random bytes when given a sequence that does not repeat
    // (splitmix64's, whose period is 2^64).
    void Substitute(std::uint8_t* out, size_t length) {
        for (size_t i = 0; i < length; ++i) {
            std::uint64_t z = (counter_ += 0x9E3779B97F4A7C15u);
            z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9u;
            z = (z ^ (z >> 27)) * 0x94D049BB133111EBu;
            out[i] = static_cast<std::uint8_t>(z ^ (z >> 31));
        }
    }

    OSSL_LIB_CTX* libctx_;
    const std::atomic<bool>* stop_;
    const GmpArena& arena_;
    unsigned char block_[4096];
    size_t used_ = sizeof block_;
    bool failed_ = false;
    std::uint64_t counter_ = 0;
};

void RandomBytes(void* source, size_t length, std::uint8_t* out) {
    static_cast<RandomSource*>(source)->Fill(out, length);
}

// An mpz_t that is always cleared (into the GmpArena that is wiped).
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

// nettle's search; false when it was stopped. Nothing between here and the
// source's jump has a destructor to run (nettle is C), and nothing here
// changes after setjmp.
bool Search(mpz_ptr prime, unsigned bits, RandomSource& source) {
    if (setjmp(source.resume) != 0) return false;
    nettle_random_prime(prime, bits, 1, &source, RandomBytes, nullptr, nullptr);
    return true;
}

}  // namespace

DWORD ProvenPrime(int bits, OSSL_LIB_CTX* libctx, const std::atomic<bool>* stop, BignumPtr& out) {
    // Outlives every GMP number below.
    const GmpArena arena;
    if (!arena.valid()) return NTE_NO_MEMORY;
    RandomSource source(libctx, stop, arena);
    Mpz prime;
    if (!Search(prime.get(), static_cast<unsigned>(bits), source)) return ERROR_CANCELLED;
    if (source.failed()) return NTE_FAIL;
    // Into OpenSSL's secure memory by way of a buffer that is wiped as it goes.
    // OpenSSL's allocator, which fails without an exception: this runs on the
    // searching threads, where nothing may throw.
    const size_t size = (mpz_sizeinbase(prime.get(), 2) + 7) / 8;
    unsigned char* bytes = static_cast<unsigned char*>(OPENSSL_malloc(size));
    if (bytes == nullptr) return NTE_NO_MEMORY;
    size_t written = 0;
    mpz_export(bytes, &written, -1, 1, 0, 0, prime.get());
    BignumPtr number(BN_secure_new());
    const bool made = number && BN_lebin2bn(bytes, static_cast<int>(written), number.get()) != nullptr;
    OPENSSL_clear_free(bytes, size);
    if (!made) return NTE_NO_MEMORY;
    out = std::move(number);
    return ERROR_SUCCESS;
}

}  // namespace keyhold
