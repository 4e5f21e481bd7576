// Byte buffers for key material: wiped with OPENSSL_cleanse before their memory
// is given back, whatever the path that frees them.
#ifndef KEYHOLD_CORE_SECURE_BYTES_H
#define KEYHOLD_CORE_SECURE_BYTES_H

#include <cstddef>
#include <memory>
#include <vector>

#include <openssl/crypto.h>

namespace keyhold {

template <typename T>
struct CleansingAllocator {
    using value_type = T;
    CleansingAllocator() noexcept = default;
    template <typename U>
    CleansingAllocator(const CleansingAllocator<U>&) noexcept {}
    T* allocate(std::size_t n) { return std::allocator<T>{}.allocate(n); }
    void deallocate(T* p, std::size_t n) noexcept {
        OPENSSL_cleanse(p, n * sizeof(T));
        std::allocator<T>{}.deallocate(p, n);
    }
    template <typename U>
    bool operator==(const CleansingAllocator<U>&) const noexcept { return true; }
    template <typename U>
    bool operator!=(const CleansingAllocator<U>&) const noexcept { return false; }
};

using SecureBytes = std::vector<unsigned char, CleansingAllocator<unsigned char>>;

}  // namespace keyhold

#endif
