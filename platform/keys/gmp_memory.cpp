#include "keys/gmp_memory.h"

#include <gmp.h>

#include <algorithm>
#include <cstring>
#include <mutex>
#include <new>

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

thread_local GmpArena* t_arena = nullptr;

// Blocks of 16 << n bytes.
int ClassOf(std::size_t size) {
    int n = 0;
    for (std::size_t bytes = 16; bytes < size; bytes <<= 1) ++n;
    return n;
}

void* Allocate(size_t size) {
    if (t_arena != nullptr) {
        if (void* block = t_arena->Take(size)) return block;
        t_arena->NoteSpill();
    }
    return g_under.allocate(size);
}

// GMP passes the size it allocated with.
void Release(void* block, size_t size) {
    if (t_arena != nullptr && t_arena->Owns(block)) return t_arena->Give(block, size);
    OPENSSL_cleanse(block, size);
    g_under.release(block, size);
}

// A move to a new block unless the arena's block already fits: the old one is
// wiped before it goes back, whatever the underlying realloc would have done.
void* Reallocate(void* old, size_t oldSize, size_t newSize) {
    if (t_arena != nullptr && t_arena->Owns(old) && t_arena->Fits(oldSize, newSize)) return old;
    void* moved = Allocate(newSize);
    std::memcpy(moved, old, std::min(oldSize, newSize));
    Release(old, oldSize);
    return moved;
}

void UseWipingFunctions() {
    static std::once_flag once;
    std::call_once(once, [] {
        mp_get_memory_functions(&g_under.allocate, &g_under.reallocate, &g_under.release);
        mp_set_memory_functions(Allocate, Reallocate, Release);
    });
}

}  // namespace

GmpArena::GmpArena() {
    UseWipingFunctions();
    base_ = static_cast<unsigned char*>(OPENSSL_malloc(kBytes));
    if (base_ == nullptr) return;
    t_arena = this;
}

GmpArena::~GmpArena() {
    if (base_ == nullptr) return;
    t_arena = nullptr;
    OPENSSL_clear_free(base_, kBytes);
}

bool GmpArena::Owns(const void* block) const {
    const auto* bytes = static_cast<const unsigned char*>(block);
    return base_ != nullptr && bytes >= base_ && bytes < base_ + kBytes;
}

void* GmpArena::Take(std::size_t size) {
    const int n = ClassOf(size);
    if (n >= kClasses) return nullptr;
    if (FreeBlock* block = free_[n]) {
        free_[n] = block->next;
        block->next = nullptr;
        return block;
    }
    const std::size_t bytes = std::size_t{16} << n;
    if (bytes > kBytes - top_) return nullptr;
    void* block = base_ + top_;
    top_ += bytes;
    return block;
}

void GmpArena::Give(void* block, std::size_t size) {
    const int n = ClassOf(size);
    OPENSSL_cleanse(block, std::size_t{16} << n);
    free_[n] = new (block) FreeBlock{free_[n]};
}

bool GmpArena::Fits(std::size_t oldSize, std::size_t newSize) const { return ClassOf(oldSize) == ClassOf(newSize); }

}  // namespace keyhold
