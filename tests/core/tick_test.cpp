#include <windows.h>

#include <time.h>

#include <gtest/gtest.h>

namespace {
uint64_t MonotonicMilliseconds() {
    struct timespec now {};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<uint64_t>(now.tv_sec) * 1000u + static_cast<uint64_t>(now.tv_nsec) / 1000000u;
}
}  // namespace

// The count is the monotonic clock in milliseconds, cut to 32 bits: it lies
// between two readings of that clock taken around it.
TEST(GetTickCount, IsTheMonotonicClockInMillisecondsModulo32Bits) {
    for (int i = 0; i < 100; ++i) {
        const uint64_t before = MonotonicMilliseconds();
        const DWORD tick = GetTickCount();
        const uint64_t after = MonotonicMilliseconds();
        const DWORD sinceBefore = tick - static_cast<DWORD>(before);  // wrap-safe differences
        EXPECT_LE(sinceBefore, static_cast<DWORD>(after - before));
    }
}
