// The boundary of every published function: no C++ exception ever leaves it.
// The callers are C programs that know only results and the last error code,
// so an allocation that failed deep inside becomes that function's failure.
#ifndef KEYHOLD_CORE_GUARD_H
#define KEYHOLD_CORE_GUARD_H

#include <windows.h>
#include <wincrypt.h>

#include <new>

namespace keyhold {

// Runs `body`; if it throws, sets the last error (`memoryError` for an
// allocation failure, `otherError` for anything else) and returns `failed`.
template <typename Result, typename Body>
Result GuardedCall(Result failed, Body&& body, DWORD memoryError = ERROR_NOT_ENOUGH_MEMORY,
                   DWORD otherError = ERROR_GEN_FAILURE) noexcept {
    try {
        return body();
    } catch (const std::bad_alloc&) {
        SetLastError(memoryError);
    } catch (...) {
        SetLastError(otherError);
    }
    return failed;
}

// The key store functions report a failed allocation as NTE_NO_MEMORY.
template <typename Body>
BOOL GuardedKeyStoreCall(Body&& body) noexcept {
    return GuardedCall<BOOL>(FALSE, static_cast<Body&&>(body), static_cast<DWORD>(NTE_NO_MEMORY),
                             static_cast<DWORD>(NTE_FAIL));
}

}  // namespace keyhold

#endif
