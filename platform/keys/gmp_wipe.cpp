#include "keys/gmp_wipe.h"

#include <gmp.h>

#include <algorithm>
#include <cstring>
#include <mutex>

#include <openssl/crypto.h>

namespace keyhold {
namespace {

// Set once, before GMP is told about the functions below, and never again.
struct Underneath {
    void* (*allocate)(size_t) = nullptr;
    void* (*reallocate)(void*, size_t, size_t) = nullptr;
    void (*release)(void*, size_t) = nullptr;
};
Underneath g_under;

void* Allocate(size_t size) { return g_under.allocate(size); }

// A move to a new block, never a resize in place: the old block is wiped
// before it goes back, whatever the underlying realloc would have done.
void* Reallocate(void* old, size_t oldSize, size_t newSize) {
    void* moved = g_under.allocate(newSize);
    std::memcpy(moved, old, std::min(oldSize, newSize));
    OPENSSL_cleanse(old, oldSize);
    g_under.release(old, oldSize);
    return moved;
}

// GMP passes the size it allocated with.
void Release(void* block, size_t size) {
    OPENSSL_cleanse(block, size);
    g_under.release(block, size);
}

}  // namespace

void WipeGmpMemory() {
    static std::once_flag once;
    std::call_once(once, [] {
        mp_get_memory_functions(&g_under.allocate, &g_under.reallocate, &g_under.release);
        mp_set_memory_functions(Allocate, Reallocate, Release);
    });
}

}  // namespace keyhold
