// GMP's numbers while a prime is made: held in the thread's arena and wiped
// there as GMP lets them go, also when a number grows out of its block.
#include <gmp.h>

#include <algorithm>

#include <gtest/gtest.h>

#include "keys/gmp_memory.h"

namespace {

// A freed block's first word links it to the arena's other free blocks.
bool Wiped(const mp_limb_t* limbs, std::size_t count) {
    return std::all_of(limbs + 1, limbs + count, [](mp_limb_t limb) { return limb == 0; });
}

TEST(GmpArena, NumbersLiveInTheArenaAndAreWipedWhenFreedOrMoved) {
    const keyhold::GmpArena arena;
    ASSERT_TRUE(arena.valid());
    mpz_t number;
    mpz_init_set_str(number, "f0e1d2c3b4a5968778695a4b3c2d1e0ff0e1d2c3b4a5968778695a4b3c2d1e0f", 16);
    const mp_limb_t* first = mpz_limbs_read(number);
    const std::size_t firstCount = mpz_size(number);
    ASSERT_TRUE(arena.Owns(first));
    // Grown far beyond its block: moved to another, and the old one wiped.
    mpz_mul_2exp(number, number, 4096);
    const mp_limb_t* second = mpz_limbs_read(number);
    const std::size_t secondCount = mpz_size(number);
    ASSERT_NE(second, first);
    EXPECT_TRUE(arena.Owns(second));
    EXPECT_TRUE(Wiped(first, firstCount));
    mpz_clear(number);
    // The arena's memory is still there to look at, and holds nothing of it.
    EXPECT_TRUE(Wiped(second, secondCount));
}

}  // namespace
