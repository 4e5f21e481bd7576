// The seven programs' C++ allocations, with a reserve for when the system has
// no memory left (an address-space limit, say). The C++ runtime can report a
// failed allocation only by throwing, and the object it throws must itself be
// allocated: from the heap, else from an emergency pool that the runtime
// tries to set aside at start-up. Under a limit tight enough that the pool
// could not be had, a throw ends the process in std::terminate. Served from
// the reserve instead, the allocation succeeds, the run goes on, and what
// fails for lack of memory (OpenSSL's allocations, a system call) is reported
// through the error codes as usual. Only the programs carry this: a library
// must leave its host's allocator alone.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <new>

namespace {

constexpr std::size_t kReserveSize = 256 * 1024;  // far more than a run's C++ objects
constexpr std::size_t kAlignment = alignof(std::max_align_t);

alignas(kAlignment) unsigned char g_reserve[kReserveSize];
std::size_t g_used = 0;  // the programs are single-threaded

bool InReserve(const void* p) {
    const auto* bytes = static_cast<const unsigned char*>(p);
    return bytes >= g_reserve && bytes < g_reserve + kReserveSize;
}

// Reserve memory is handed out once and never reused: it is needed only for
// the few allocations a starved run still makes before it reports and ends.
void* FromReserve(std::size_t size, std::size_t alignment) {
    std::size_t start = (g_used + alignment - 1) / alignment * alignment;
    if (start > kReserveSize || size > kReserveSize - start) return nullptr;
    g_used = start + size;
    return g_reserve + start;
}

void* Allocate(std::size_t size, std::size_t alignment) noexcept {
    if (size == 0) size = 1;
    void* p = alignment <= kAlignment
                  ? std::malloc(size)
                  : std::aligned_alloc(alignment, (size + alignment - 1) / alignment * alignment);
    return p != nullptr ? p : FromReserve(size, alignment < kAlignment ? kAlignment : alignment);
}

void Release(void* p) noexcept {
    if (p != nullptr && !InReserve(p)) std::free(p);
}

void* AllocateOrThrow(std::size_t size, std::size_t alignment) {
    void* p = Allocate(size, alignment);
    if (p == nullptr) throw std::bad_alloc();
    return p;
}

}  // namespace

void* operator new(std::size_t size) { return AllocateOrThrow(size, kAlignment); }
void* operator new[](std::size_t size) { return AllocateOrThrow(size, kAlignment); }
void* operator new(std::size_t size, const std::nothrow_t&) noexcept { return Allocate(size, kAlignment); }
void* operator new[](std::size_t size, const std::nothrow_t&) noexcept { return Allocate(size, kAlignment); }
void* operator new(std::size_t size, std::align_val_t al) { return AllocateOrThrow(size, static_cast<std::size_t>(al)); }
void* operator new[](std::size_t size, std::align_val_t al) {
    return AllocateOrThrow(size, static_cast<std::size_t>(al));
}
void* operator new(std::size_t size, std::align_val_t al, const std::nothrow_t&) noexcept {
    return Allocate(size, static_cast<std::size_t>(al));
}
void* operator new[](std::size_t size, std::align_val_t al, const std::nothrow_t&) noexcept {
    return Allocate(size, static_cast<std::size_t>(al));
}

void operator delete(void* p) noexcept { Release(p); }
void operator delete[](void* p) noexcept { Release(p); }
void operator delete(void* p, std::size_t) noexcept { Release(p); }
void operator delete[](void* p, std::size_t) noexcept { Release(p); }
void operator delete(void* p, const std::nothrow_t&) noexcept { Release(p); }
void operator delete[](void* p, const std::nothrow_t&) noexcept { Release(p); }
void operator delete(void* p, std::align_val_t) noexcept { Release(p); }
void operator delete[](void* p, std::align_val_t) noexcept { Release(p); }
void operator delete(void* p, std::size_t, std::align_val_t) noexcept { Release(p); }
void operator delete[](void* p, std::size_t, std::align_val_t) noexcept { Release(p); }
void operator delete(void* p, std::align_val_t, const std::nothrow_t&) noexcept { Release(p); }
void operator delete[](void* p, std::align_val_t, const std::nothrow_t&) noexcept { Release(p); }
