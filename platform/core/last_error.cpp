#include "core/last_error.h"

#include <cerrno>
#include <string>
#include <sys/stat.h>

namespace {
thread_local DWORD t_lastError = ERROR_SUCCESS;
}

extern "C" DWORD GetLastError(void) { return t_lastError; }
extern "C" void SetLastError(DWORD code) { t_lastError = code; }

namespace keyhold {

DWORD Win32ErrorFromErrno(int err) {
    switch (err) {
    case 0: return ERROR_SUCCESS;
    case ENOENT: return ERROR_FILE_NOT_FOUND;
    case ENOTDIR: return ERROR_PATH_NOT_FOUND;
    case EACCES:
    case EPERM:
    case EROFS:
    case EISDIR: return ERROR_ACCESS_DENIED;
    case EWOULDBLOCK: return ERROR_SHARING_VIOLATION;
    case ENOMEM: return ERROR_NOT_ENOUGH_MEMORY;
    case ENOSPC:
    case EDQUOT: return ERROR_DISK_FULL;
    case ENAMETOOLONG: return ERROR_FILENAME_EXCED_RANGE;
    case EMFILE:
    case ENFILE: return ERROR_TOO_MANY_OPEN_FILES;
    case EEXIST: return ERROR_FILE_EXISTS;
    case EINVAL: return ERROR_INVALID_PARAMETER;
    case EBADF: return ERROR_INVALID_HANDLE;
    case EFBIG: return ERROR_FILE_TOO_LARGE;
    case EXDEV: return ERROR_NOT_SAME_DEVICE;
    case EBUSY: return ERROR_BUSY;
    case ELOOP: return ERROR_CANT_RESOLVE_FILENAME;
    case EPIPE: return ERROR_BROKEN_PIPE;
    case EIO: return ERROR_IO_DEVICE;
    case ENOSYS:
    case EOPNOTSUPP: return ERROR_NOT_SUPPORTED;
    default: return ERROR_GEN_FAILURE;
    }
}

DWORD PathErrorFromErrno(int err, const char* path) {
    if (err != ENOENT && err != ENOTDIR) return Win32ErrorFromErrno(err);
    if (path == nullptr || *path == '\0') return ERROR_PATH_NOT_FOUND;
    if (err == ENOTDIR) return ERROR_PATH_NOT_FOUND;
    std::string dir(path);
    while (dir.size() > 1 && dir.back() == '/') dir.pop_back();
    const auto slash = dir.find_last_of('/');
    if (slash == std::string::npos) return ERROR_FILE_NOT_FOUND;  // the current directory exists
    dir.resize(slash == 0 ? 1 : slash);
    struct stat st {};
    if (stat(dir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) return ERROR_PATH_NOT_FOUND;
    return ERROR_FILE_NOT_FOUND;
}

}  // namespace keyhold
