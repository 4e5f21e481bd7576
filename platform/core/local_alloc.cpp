#include <windows.h>

#include <cstdlib>

#include "core/guard.h"

// Fixed blocks only: LMEM_FIXED hands out the pointer itself as the handle, and
// that is all the callers use.
extern "C" HLOCAL LocalAlloc(UINT uFlags, size_t uBytes) {
    return keyhold::GuardedCall<HLOCAL>(nullptr, [&]() -> HLOCAL {
        if ((uFlags & ~static_cast<UINT>(LMEM_ZEROINIT)) != 0) {
            SetLastError(ERROR_INVALID_PARAMETER);
            return nullptr;
        }
        const size_t size = uBytes == 0 ? 1 : uBytes;  // a zero-length block is still a live block
        void* block = (uFlags & LMEM_ZEROINIT) ? std::calloc(1, size) : std::malloc(size);
        if (block == nullptr) SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return block;
    });
}

extern "C" HLOCAL LocalFree(HLOCAL hMem) {
    return keyhold::GuardedCall<HLOCAL>(hMem, [&]() -> HLOCAL {
        std::free(hMem);
        return nullptr;
    });
}
