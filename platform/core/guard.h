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
Result GuardedCall(Result failed, DWORD memoryError, DWORD otherError, Body&& body) noexcept {
    try {
        return body();
    } catch (const std::bad_alloc&) {
        SetLastError(memoryError);
    } catch (...) {
        SetLastError(otherError);
    }
    return failed;
}

// The common case: a BOOL function. NTE_NO_MEMORY as `memoryError` marks a
// key store function, whose other failures are NTE_FAIL.
template <typename Body>
BOOL Guarded(DWORD memoryError, Body&& body) noexcept {
    const DWORD otherError = memoryError == ERROR_NOT_ENOUGH_MEMORY ? ERROR_GEN_FAILURE : static_cast<DWORD>(NTE_FAIL);
    return GuardedCall<BOOL>(FALSE, memoryError, otherError, static_cast<Body&&>(body));
}

}  // namespace keyhold

#endif
