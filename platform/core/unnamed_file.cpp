#include <keyhold/unnamed_file.h>

#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <memory>
#include <string>

#include "core/file_table.h"
#include "core/last_error.h"

namespace {

constexpr mode_t kNewFileMode = 0600;  // as CreateFileA's: it may hold a private key

HANDLE Fail(DWORD code) {
    SetLastError(code);
    return INVALID_HANDLE_VALUE;
}

}  // namespace

extern "C" HANDLE CreateUnnamedFileA(LPCSTR lpDirectory, HANDLE hTemplateFile) {
    if (lpDirectory == nullptr || *lpDirectory == '\0') return Fail(ERROR_PATH_NOT_FOUND);
    keyhold::FileDescriptor fd(open(lpDirectory, O_TMPFILE | O_RDWR | O_CLOEXEC, kNewFileMode));
    if (!fd) {
        // Kernels and file systems without O_TMPFILE answer with one of these
        // (an old kernel takes the flag for O_DIRECTORY, hence EISDIR).
        if (errno == EOPNOTSUPP || errno == EISDIR || errno == EINVAL) return Fail(ERROR_NOT_SUPPORTED);
        // The directory is the path here: that it is missing is a missing path.
        if (errno == ENOENT || errno == ENOTDIR) return Fail(ERROR_PATH_NOT_FOUND);
        return Fail(keyhold::Win32ErrorFromErrno(errno));
    }
    if (hTemplateFile != nullptr && hTemplateFile != INVALID_HANDLE_VALUE) {
        const auto templateFile = keyhold::FindFile(hTemplateFile);
        if (!templateFile) return Fail(ERROR_INVALID_HANDLE);
        struct stat st {};
        if (fstat(templateFile->fd.get(), &st) != 0 ||
            (geteuid() == 0 && fchown(fd.get(), st.st_uid, st.st_gid) != 0) || fchmod(fd.get(), st.st_mode & 0777) != 0)
            return Fail(keyhold::Win32ErrorFromErrno(errno));
    }
    auto file = std::make_shared<keyhold::OpenFile>();
    file->fd = std::move(fd);
    file->readable = true;
    file->writable = true;
    return keyhold::AddFile(std::move(file));
}

extern "C" BOOL NameUnnamedFileA(HANDLE hFile, LPCSTR lpNewFileName) {
    const auto file = keyhold::FindFile(hFile);
    if (!file) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    if (lpNewFileName == nullptr || *lpNewFileName == '\0') {
        SetLastError(ERROR_PATH_NOT_FOUND);
        return FALSE;
    }
    // Linking the descriptor itself (AT_EMPTY_PATH) needs a privilege; its
    // /proc/self/fd entry does not. linkat never follows a link at the new
    // name and never replaces anything there.
    const std::string self = "/proc/self/fd/" + std::to_string(file->fd.get());
    int rc = linkat(AT_FDCWD, self.c_str(), AT_FDCWD, lpNewFileName, AT_SYMLINK_FOLLOW);
    if (rc != 0 && errno == ENOENT && access("/proc/self/fd", F_OK) != 0)
        rc = linkat(file->fd.get(), "", AT_FDCWD, lpNewFileName, AT_EMPTY_PATH);
    if (rc != 0) {
        SetLastError(errno == EEXIST ? ERROR_FILE_EXISTS : keyhold::PathErrorFromErrno(errno, lpNewFileName));
        return FALSE;
    }
    return TRUE;
}
