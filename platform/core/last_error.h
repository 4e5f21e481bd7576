// Helpers for setting the thread's last error code from inside the platform layer.
#ifndef KEYHOLD_CORE_LAST_ERROR_H
#define KEYHOLD_CORE_LAST_ERROR_H

#include <windows.h>

namespace keyhold {

// The published Win32 code for a POSIX errno value. ENOENT maps to
// ERROR_FILE_NOT_FOUND; callers that can tell a missing directory on the path
// use PathErrorFromErrno instead. Unknown values give ERROR_GEN_FAILURE.
DWORD Win32ErrorFromErrno(int err);

// As Win32ErrorFromErrno, but for an operation on `path`: ENOENT and ENOTDIR
// become ERROR_PATH_NOT_FOUND when the path is empty or its directory part does
// not exist.
DWORD PathErrorFromErrno(int err, const char* path);

// Sets the last error and returns FALSE, so failures read `return Fail(code);`.
inline BOOL Fail(DWORD code) {
    SetLastError(code);
    return FALSE;
}

}  // namespace keyhold

#endif
