#include <windows.h>

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "core/last_error.h"
#include "core/file_descriptor.h"
#include "core/guard.h"

namespace {

using keyhold::Fail;

std::string DirectoryOf(const std::string& path) {
    std::string dir(path);
    while (dir.size() > 1 && dir.back() == '/') dir.pop_back();
    const auto slash = dir.find_last_of('/');
    if (slash == std::string::npos) return ".";
    return slash == 0 ? "/" : dir.substr(0, slash);
}

int SyncDirectory(const std::string& dir) {
    keyhold::FileDescriptor fd(open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!fd) return errno;
    while (fsync(fd.get()) != 0) {
        if (errno != EINTR) return errno;
    }
    return 0;
}

// The code for a failed move: a missing source is judged against the source
// path, anything else against the target.
DWORD MoveError(int err, const char* from, const char* to) {
    if (err == EEXIST || err == ENOTEMPTY) return ERROR_ALREADY_EXISTS;
    if (err == ENOENT || err == ENOTDIR) {
        struct stat st {};
        if (lstat(from, &st) != 0) return keyhold::PathErrorFromErrno(errno, from);
        return keyhold::PathErrorFromErrno(ENOENT, to);  // the source is there: the target side is missing
    }
    return keyhold::Win32ErrorFromErrno(err);
}

bool IsDirectory(const char* path) {
    struct stat st {};
    return lstat(path, &st) == 0 && S_ISDIR(st.st_mode);
}

// Moves without ever replacing: where the file system cannot rename with
// RENAME_NOREPLACE, a hard link (which never replaces) and an unlink do it.
int RenameNoReplace(const char* from, const char* to) {
    if (renameat2(AT_FDCWD, from, AT_FDCWD, to, RENAME_NOREPLACE) == 0) return 0;
    if (errno != EINVAL && errno != ENOSYS && errno != EOPNOTSUPP) return errno;
    if (link(from, to) != 0) return errno;
    if (unlink(from) != 0) {
        const int err = errno;
        unlink(to);
        return err;
    }
    return 0;
}

}  // namespace

extern "C" BOOL MoveFileExA(LPCSTR lpExistingFileName, LPCSTR lpNewFileName, DWORD dwFlags) {
    return keyhold::GuardedCall<BOOL>(FALSE, [&]() -> BOOL {
        if ((dwFlags & ~static_cast<DWORD>(MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) != 0)
            return Fail(ERROR_INVALID_PARAMETER);
        if (lpExistingFileName == nullptr || *lpExistingFileName == '\0' || lpNewFileName == nullptr ||
            *lpNewFileName == '\0')
            return Fail(ERROR_PATH_NOT_FOUND);

        if (dwFlags & MOVEFILE_REPLACE_EXISTING) {
            // rename(2) would let a directory replace an empty directory; a
            // replacing move is for files.
            if (IsDirectory(lpNewFileName)) return Fail(ERROR_ACCESS_DENIED);
            if (rename(lpExistingFileName, lpNewFileName) != 0)
                return Fail(MoveError(errno, lpExistingFileName, lpNewFileName));
        } else if (const int err = RenameNoReplace(lpExistingFileName, lpNewFileName); err != 0) {
            return Fail(MoveError(err, lpExistingFileName, lpNewFileName));
        }

        if (dwFlags & MOVEFILE_WRITE_THROUGH) {
            // The move is durable once both directory entries are on disk.
            const std::string target = DirectoryOf(lpNewFileName);
            const std::string source = DirectoryOf(lpExistingFileName);
            if (const int err = SyncDirectory(target); err != 0) return Fail(keyhold::Win32ErrorFromErrno(err));
            if (source != target) {
                if (const int err = SyncDirectory(source); err != 0) return Fail(keyhold::Win32ErrorFromErrno(err));
            }
        }
        return TRUE;
    });
}
