#include <windows.h>

#include <errno.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <memory>
#include <string>

#include "core/file_table.h"
#include "core/last_error.h"
#include "core/file_descriptor.h"
#include "core/path_resolve.h"
#include "core/guard.h"

namespace {

using keyhold::FileDescriptor;

constexpr mode_t kNewFileMode = 0600;  // a key blob file may hold a private key
constexpr int kCreateAttempts = 16;    // bounds the create/open race with other processes

HANDLE FailOpen(DWORD code) {
    SetLastError(code);
    return INVALID_HANDLE_VALUE;
}

DWORD OpenError(int err) {
    switch (err) {
    case ENXIO:      // a FIFO without a reader, a socket
    case ENODEV:     // a device without a driver
    case ETXTBSY:
    case ELOOP: return ERROR_ACCESS_DENIED;
    case EEXIST: return ERROR_FILE_EXISTS;
    default: return keyhold::Win32ErrorFromErrno(err);
    }
}

// Removes the file this call created, unless someone has replaced it since.
void RemoveCreated(const keyhold::ResolvedPath& path, int fd) {
    struct stat ours {}, there {};
    if (fstat(fd, &ours) == 0 && fstatat(path.dir.get(), path.name.c_str(), &there, AT_SYMLINK_NOFOLLOW) == 0 &&
        ours.st_dev == there.st_dev && ours.st_ino == there.st_ino)
        unlinkat(path.dir.get(), path.name.c_str(), 0);
}

struct Opened {
    FileDescriptor fd;
    bool created = false;
};

// Opens the resolved name for the disposition; on failure returns an invalid
// fd with the error in `*error`. O_NOFOLLOW throughout: the path's links were
// followed once already, and a link found there now was put there since.
Opened OpenForDisposition(const keyhold::ResolvedPath& path, int flags, DWORD disposition, DWORD* error) {
    Opened result;
    const int dir = path.dir.get();
    const char* name = path.name.c_str();
    flags |= O_NOFOLLOW;
    switch (disposition) {
    case CREATE_NEW:
        result.fd.reset(openat(dir, name, flags | O_CREAT | O_EXCL, kNewFileMode));
        result.created = result.fd.valid();
        if (!result.fd) *error = OpenError(errno);
        return result;
    case OPEN_EXISTING:
    case TRUNCATE_EXISTING:
        result.fd.reset(openat(dir, name, flags));
        if (!result.fd) *error = OpenError(errno);
        return result;
    default:  // CREATE_ALWAYS, OPEN_ALWAYS: create, or open what is there
        for (int attempt = 0; attempt < kCreateAttempts; ++attempt) {
            result.fd.reset(openat(dir, name, flags | O_CREAT | O_EXCL, kNewFileMode));
            if (result.fd) {
                result.created = true;
                return result;
            }
            if (errno != EEXIST) {
                *error = OpenError(errno);
                return result;
            }
            result.fd.reset(openat(dir, name, flags));
            if (result.fd) return result;
            // EEXIST then ENOENT: the file went away in between; try again.
            if (errno != ENOENT) {
                *error = OpenError(errno);
                return result;
            }
        }
        *error = ERROR_SHARING_VIOLATION;  // others keep creating and removing it under us
        return result;
    }
}

bool TakeLock(int fd, int operation) {
    while (flock(fd, operation | LOCK_NB) != 0) {
        if (errno != EINTR) return false;
    }
    return true;
}

}  // namespace

extern "C" HANDLE CreateFileA(LPCSTR lpFileName, DWORD dwDesiredAccess, DWORD dwShareMode,
                              LPSECURITY_ATTRIBUTES lpSecurityAttributes, DWORD dwCreationDisposition,
                              DWORD dwFlagsAndAttributes, HANDLE hTemplateFile) {
    return keyhold::GuardedCall<HANDLE>(INVALID_HANDLE_VALUE, [&]() -> HANDLE {
        // Sharing is decided by the access asked for (an advisory lock per open),
        // so the share mode, the attributes and the security attributes have no
        // further effect here.
        (void)dwShareMode;
        (void)lpSecurityAttributes;
        (void)dwFlagsAndAttributes;

        if (lpFileName == nullptr || *lpFileName == '\0') return FailOpen(ERROR_PATH_NOT_FOUND);
        const DWORD accessBits = GENERIC_READ | GENERIC_WRITE;
        if (dwDesiredAccess == 0 || (dwDesiredAccess & ~accessBits) != 0) return FailOpen(ERROR_INVALID_PARAMETER);
        if (dwCreationDisposition < CREATE_NEW || dwCreationDisposition > TRUNCATE_EXISTING)
            return FailOpen(ERROR_INVALID_PARAMETER);
        const bool readable = (dwDesiredAccess & GENERIC_READ) != 0;
        const bool writable = (dwDesiredAccess & GENERIC_WRITE) != 0;
        if (dwCreationDisposition == TRUNCATE_EXISTING && !writable) return FailOpen(ERROR_INVALID_PARAMETER);
        const bool truncates = dwCreationDisposition == CREATE_ALWAYS || dwCreationDisposition == TRUNCATE_EXISTING;

        // Truncating is writing, so a read-only CREATE_ALWAYS still needs a
        // descriptor that may write; the handle itself stays read-only.
        int flags = O_CLOEXEC | O_NOCTTY | O_NONBLOCK;  // O_NONBLOCK: a FIFO must not hang the open
        flags |= (writable || truncates) ? (readable || !writable ? O_RDWR : O_WRONLY) : O_RDONLY;

        keyhold::ResolvedPath path;
        DWORD error = keyhold::ResolvePath(lpFileName, path);
        if (error != ERROR_SUCCESS) return FailOpen(error);
        Opened opened = OpenForDisposition(path, flags, dwCreationDisposition, &error);
        if (!opened.fd) return FailOpen(error);
        const int fd = opened.fd.get();
        auto fail = [&](DWORD code) {
            if (opened.created) RemoveCreated(path, fd);
            return FailOpen(code);
        };

        struct stat st {};
        if (fstat(fd, &st) != 0) return fail(keyhold::Win32ErrorFromErrno(errno));
        if (!S_ISREG(st.st_mode)) return fail(ERROR_ACCESS_DENIED);
        const int statusFlags = fcntl(fd, F_GETFL);
        if (statusFlags < 0 || fcntl(fd, F_SETFL, statusFlags & ~O_NONBLOCK) != 0)
            return fail(keyhold::Win32ErrorFromErrno(errno));

        if (!TakeLock(fd, (writable || truncates) ? LOCK_EX : LOCK_SH))
            return fail(errno == EWOULDBLOCK ? ERROR_SHARING_VIOLATION : keyhold::Win32ErrorFromErrno(errno));
        if (truncates && !opened.created && ftruncate(fd, 0) != 0) return fail(keyhold::Win32ErrorFromErrno(errno));
        if (!writable && truncates && !TakeLock(fd, LOCK_SH))  // a reader shares once the truncation is done
            return fail(errno == EWOULDBLOCK ? ERROR_SHARING_VIOLATION : keyhold::Win32ErrorFromErrno(errno));

        if (opened.created && hTemplateFile != nullptr && hTemplateFile != INVALID_HANDLE_VALUE) {
            // A replacement file keeps the mode of the file it replaces, and when
            // root replaces another user's file, its owner too: else the user
            // could no longer use, or in a sticky directory even remove, it.
            if (const auto templateFile = keyhold::FindFile(hTemplateFile)) {
                struct stat templateStat {};
                if (fstat(templateFile->fd.get(), &templateStat) != 0 ||
                    (geteuid() == 0 && fchown(fd, templateStat.st_uid, templateStat.st_gid) != 0) ||
                    fchmod(fd, templateStat.st_mode & 0777) != 0)
                    return fail(keyhold::Win32ErrorFromErrno(errno));
            }
        }

        auto file = std::make_shared<keyhold::OpenFile>();
        file->fd = std::move(opened.fd);
        file->readable = readable;
        file->writable = writable;
        const bool existed = !opened.created;
        HANDLE handle = keyhold::AddFile(std::move(file));
        // The published convention: these two report whether the file was there.
        if (dwCreationDisposition == CREATE_ALWAYS || dwCreationDisposition == OPEN_ALWAYS)
            SetLastError(existed ? ERROR_ALREADY_EXISTS : ERROR_SUCCESS);
        return handle;
    });
}
