// WriteKeyBlobFileA: the path is resolved once; the target's check, the new
// file and the final rename all work on the opened directory, so a name
// swapped meanwhile (for a link, by another user in /tmp) can only ever be
// replaced itself, never redirect the write to another file.
#include <keyhold/key_file.h>

#include <cerrno>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <wincrypt.h>

#include "core/guard.h"
#include "core/last_error.h"
#include "core/path_resolve.h"
#include "core/pending_file.h"

namespace keyhold {

namespace {

bool SameFile(const struct stat& a, const struct stat& b) { return a.st_dev == b.st_dev && a.st_ino == b.st_ino; }

// The file there now, opened for writing (which proves we may replace it) and
// locked against other writers. An invalid descriptor when there is none.
DWORD OpenTarget(const ResolvedPath& path, FileDescriptor& out, struct stat& st) {
    // O_NONBLOCK: a FIFO planted under the name must not hang the open.
    FileDescriptor fd(openat(path.dir.get(), path.name.c_str(), O_RDWR | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
    if (!fd) {
        switch (errno) {
        case ENOENT: return ERROR_SUCCESS;
        case ELOOP:  // a link appeared there after the path was resolved
        case ENXIO:
        case ENODEV:
        case ETXTBSY: return ERROR_ACCESS_DENIED;
        default: return Win32ErrorFromErrno(errno);
        }
    }
    if (fstat(fd.get(), &st) != 0) return Win32ErrorFromErrno(errno);
    if (!S_ISREG(st.st_mode)) return ERROR_ACCESS_DENIED;
    while (flock(fd.get(), LOCK_EX | LOCK_NB) != 0) {
        if (errno == EWOULDBLOCK) return ERROR_SHARING_VIOLATION;
        if (errno != EINTR) return Win32ErrorFromErrno(errno);
    }
    out = std::move(fd);
    return ERROR_SUCCESS;
}

// What the new file's owner and mode must be. A secret is ours and 0600 in
// every case. A public blob that replaces a file takes that file's mode (and,
// written by root, its owner, so that the user keeps a file of their own);
// but only while the name still holds the file that was checked: one that
// vanished or was swapped meanwhile makes this a new file, ours and 0600.
DWORD SetAttributes(int fd, const ResolvedPath& path, bool secret, const FileDescriptor& target,
                    const struct stat& targetSt) {
    if (secret || !target) return ERROR_SUCCESS;  // the pending file is ours and 0600 already
    struct stat now {};
    if (fstatat(path.dir.get(), path.name.c_str(), &now, AT_SYMLINK_NOFOLLOW) != 0 || !SameFile(now, targetSt))
        return ERROR_SUCCESS;
    if (geteuid() == 0 && fchown(fd, targetSt.st_uid, targetSt.st_gid) != 0) return Win32ErrorFromErrno(errno);
    if (fchmod(fd, targetSt.st_mode & 0777) != 0) return Win32ErrorFromErrno(errno);
    return ERROR_SUCCESS;
}

DWORD WriteKeyFile(LPCSTR fileName, const BYTE* data, DWORD size) {
    if (data == nullptr && size != 0) return ERROR_INVALID_PARAMETER;
    const bool secret = size == 0 || data[0] != PUBLICKEYBLOB;
    ResolvedPath path;
    DWORD rc = ResolvePath(fileName, path);
    if (rc != ERROR_SUCCESS) return rc;

    FileDescriptor target;
    struct stat targetSt {};
    rc = OpenTarget(path, target, targetSt);
    if (rc != ERROR_SUCCESS) return rc;

    PendingFile pending;
    rc = pending.Create(path.dir.get(), std::string(), ".keyhold-");
    if (rc == ERROR_SUCCESS) rc = pending.Fill(data, size);
    if (rc == ERROR_SUCCESS) rc = SetAttributes(pending.fd(), path, secret, target, targetSt);
    if (rc == ERROR_SUCCESS) rc = pending.MoveOver(path.name);
    if (rc == ERROR_SUCCESS) rc = pending.SyncDirectory();
    return rc;
}

}  // namespace

}  // namespace keyhold

extern "C" BOOL WINAPI WriteKeyBlobFileA(LPCSTR lpFileName, const BYTE* pbData, DWORD dwDataLen) {
    return keyhold::GuardedCall<BOOL>(FALSE, [&]() -> BOOL {
        const DWORD rc = keyhold::WriteKeyFile(lpFileName, pbData, dwDataLen);
        return rc == ERROR_SUCCESS ? TRUE : keyhold::Fail(rc);
    });
}
