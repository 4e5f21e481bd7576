#include <windows.h>

#include <errno.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <climits>

#include "core/file_table.h"
#include "core/last_error.h"
#include "core/guard.h"

namespace {

using keyhold::Fail;

// Linux moves at most this much per call anyway; asking for less keeps the
// count inside ssize_t on every platform.
constexpr size_t kMaxChunk = 0x7FFFF000;

}  // namespace

extern "C" DWORD GetFileSize(HANDLE hFile, LPDWORD lpFileSizeHigh) {
    return keyhold::GuardedCall<DWORD>(INVALID_FILE_SIZE, [&]() -> DWORD {
        const auto file = keyhold::FindFile(hFile);
        if (!file) {
            SetLastError(ERROR_INVALID_HANDLE);
            return INVALID_FILE_SIZE;
        }
        struct stat st {};
        if (fstat(file->fd.get(), &st) != 0) {
            SetLastError(keyhold::Win32ErrorFromErrno(errno));
            return INVALID_FILE_SIZE;
        }
        const uint64_t size = static_cast<uint64_t>(st.st_size);
        const DWORD low = static_cast<DWORD>(size & 0xFFFFFFFFu);
        if (lpFileSizeHigh == nullptr && size > 0xFFFFFFFFu) {
            // The low half alone would be a wrong answer, not a short one.
            SetLastError(ERROR_FILE_TOO_LARGE);
            return INVALID_FILE_SIZE;
        }
        if (lpFileSizeHigh != nullptr) *lpFileSizeHigh = static_cast<DWORD>(size >> 32);
        // A low half of 0xFFFFFFFF is told apart from failure by a zero last error.
        if (low == INVALID_FILE_SIZE) SetLastError(NO_ERROR);
        return low;
    });
}

extern "C" BOOL ReadFile(HANDLE hFile, LPVOID lpBuffer, DWORD nNumberOfBytesToRead, LPDWORD lpNumberOfBytesRead,
                         LPOVERLAPPED lpOverlapped) {
    return keyhold::GuardedCall<BOOL>(FALSE, [&]() -> BOOL {
        if (lpNumberOfBytesRead != nullptr) *lpNumberOfBytesRead = 0;
        if (lpOverlapped != nullptr) return Fail(ERROR_INVALID_PARAMETER);
        const auto file = keyhold::FindFile(hFile);
        if (!file) return Fail(ERROR_INVALID_HANDLE);
        if (!file->readable) return Fail(ERROR_ACCESS_DENIED);
        if (lpBuffer == nullptr && nNumberOfBytesToRead > 0) return Fail(ERROR_INVALID_PARAMETER);

        auto* out = static_cast<unsigned char*>(lpBuffer);
        size_t done = 0;
        DWORD error = ERROR_SUCCESS;
        while (done < nNumberOfBytesToRead) {
            const ssize_t n = read(file->fd.get(), out + done, std::min<size_t>(nNumberOfBytesToRead - done, kMaxChunk));
            if (n > 0) {
                done += static_cast<size_t>(n);
            } else if (n == 0) {
                error = ERROR_HANDLE_EOF;
                break;
            } else if (errno != EINTR) {
                error = keyhold::Win32ErrorFromErrno(errno);
                break;
            }
        }
        if (lpNumberOfBytesRead != nullptr) *lpNumberOfBytesRead = static_cast<DWORD>(done);
        return error == ERROR_SUCCESS ? TRUE : Fail(error);
    });
}

extern "C" BOOL WriteFile(HANDLE hFile, LPCVOID lpBuffer, DWORD nNumberOfBytesToWrite,
                          LPDWORD lpNumberOfBytesWritten, LPOVERLAPPED lpOverlapped) {
    return keyhold::GuardedCall<BOOL>(FALSE, [&]() -> BOOL {
        if (lpNumberOfBytesWritten != nullptr) *lpNumberOfBytesWritten = 0;
        if (lpOverlapped != nullptr) return Fail(ERROR_INVALID_PARAMETER);
        const auto file = keyhold::FindFile(hFile);
        if (!file) return Fail(ERROR_INVALID_HANDLE);
        if (!file->writable) return Fail(ERROR_ACCESS_DENIED);
        if (lpBuffer == nullptr && nNumberOfBytesToWrite > 0) return Fail(ERROR_INVALID_PARAMETER);

        const auto* in = static_cast<const unsigned char*>(lpBuffer);
        size_t done = 0;
        DWORD error = ERROR_SUCCESS;
        while (done < nNumberOfBytesToWrite) {
            const ssize_t n = write(file->fd.get(), in + done, std::min<size_t>(nNumberOfBytesToWrite - done, kMaxChunk));
            if (n > 0) {
                done += static_cast<size_t>(n);
            } else if (n == 0) {
                error = ERROR_WRITE_FAULT;  // no progress and no reason given
                break;
            } else if (errno != EINTR) {
                error = keyhold::Win32ErrorFromErrno(errno);
                break;
            }
        }
        if (lpNumberOfBytesWritten != nullptr) *lpNumberOfBytesWritten = static_cast<DWORD>(done);
        return error == ERROR_SUCCESS ? TRUE : Fail(error);
    });
}

extern "C" BOOL FlushFileBuffers(HANDLE hFile) {
    return keyhold::GuardedCall<BOOL>(FALSE, [&]() -> BOOL {
        const auto file = keyhold::FindFile(hFile);
        if (!file) return Fail(ERROR_INVALID_HANDLE);
        if (!file->writable) return Fail(ERROR_ACCESS_DENIED);
        while (fsync(file->fd.get()) != 0) {
            if (errno != EINTR) return Fail(keyhold::Win32ErrorFromErrno(errno));
        }
        return TRUE;
    });
}

extern "C" BOOL CloseHandle(HANDLE hObject) {
    return keyhold::GuardedCall<BOOL>(FALSE, [&]() -> BOOL {
        const auto file = keyhold::RemoveFile(hObject);
        if (!file) return Fail(ERROR_INVALID_HANDLE);
        // A call still running in another thread keeps the descriptor until it
        // is done; the wrapper closes it then.
        if (file.use_count() > 1) return TRUE;
        // Closed here rather than by the wrapper, so that a late write error that
        // the file system reports only at close reaches the caller.
        if (close(file->fd.release()) != 0 && errno != EINTR) return Fail(keyhold::Win32ErrorFromErrno(errno));
        return TRUE;
    });
}
