// GMP's memory while nettle's generator makes a prime. GMP allocates and frees
// on its own the numbers the generator works with (the prime, and the smaller
// primes and factors it is built from), and its default allocator ends the
// process when memory runs out.
#ifndef KEYHOLD_KEYS_GMP_MEMORY_H
#define KEYHOLD_KEYS_GMP_MEMORY_H

#include <cstddef>

namespace keyhold {

// While one lives, GMP's allocations on the thread that made it come from a
// block of its own, taken when it is made: GMP then never meets a full heap
// midway (nettle's largest prime here keeps under 2 KB of numbers live at
// once). Every block is wiped when GMP frees it and the whole when the arena
// goes. Make one before the thread's first GMP number and let it go after the
// last is cleared; check valid() first. One at a time on a thread.
//
// Beside it, every block GMP frees anywhere in the process is wiped first.
// The memory functions in place before stay underneath (a host's own
// included), so blocks allocated before the change are still freed by the
// functions that allocated them. Inside another program (the PKCS#11 module)
// a host that sets GMP's memory functions later takes its allocations over
// from these.
class GmpArena {
public:
    GmpArena();
    ~GmpArena();
    GmpArena(const GmpArena&) = delete;
    GmpArena& operator=(const GmpArena&) = delete;

    // False when the block could not be had: make no GMP number then.
    bool valid() const { return base_ != nullptr; }

    // For GMP's memory functions.
    bool Owns(const void* block) const;
    void* Take(std::size_t size);
    void Give(void* block, std::size_t size);
    bool Fits(std::size_t oldSize, std::size_t newSize) const;

    // Whether GMP ever had to go beyond the block while this arena lived. Until
    // it has, every number made meanwhile is in the block, and a computation
    // abandoned midway leaves nothing behind once the arena goes.
    bool Spilled() const { return spilled_; }
    void NoteSpill() { spilled_ = true; }

private:
    static constexpr std::size_t kBytes = 32 * 1024;
    static constexpr int kClasses = 12;  // blocks of 16 bytes to 32 KB

    struct FreeBlock {
        FreeBlock* next;
    };

    unsigned char* base_ = nullptr;
    std::size_t top_ = 0;
    FreeBlock* free_[kClasses] = {};
    bool spilled_ = false;
};

}  // namespace keyhold

#endif
