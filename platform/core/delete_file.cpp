#include <windows.h>

#include <errno.h>
#include <unistd.h>

#include "core/last_error.h"
#include "core/guard.h"

extern "C" BOOL DeleteFileA(LPCSTR lpFileName) {
    return keyhold::GuardedCall<BOOL>(FALSE, [&]() -> BOOL {
        if (lpFileName == nullptr || *lpFileName == '\0') return keyhold::Fail(ERROR_PATH_NOT_FOUND);
        // unlink refuses a directory with EISDIR, which maps to ERROR_ACCESS_DENIED.
        if (unlink(lpFileName) != 0) return keyhold::Fail(keyhold::PathErrorFromErrno(errno, lpFileName));
        return TRUE;
    });
}
