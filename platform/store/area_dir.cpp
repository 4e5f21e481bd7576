#include "store/area_dir.h"

#include <cerrno>
#include <fcntl.h>
#include <unistd.h>

#include "core/last_error.h"

namespace keyhold {

namespace {

// No one but root and the caller may be able to replace what is in a
// directory of the store: it must be owned by one of them, and if others may
// write into it, the sticky bit must keep them to their own entries (as
// OpenSSH's StrictModes judges a home directory). A user area (`ownOnly`)
// is its user's alone: no one else may even add to it.
DWORD CheckStoreDirectory(int fd, bool ownOnly) {
    struct stat st {};
    if (fstat(fd, &st) != 0) return Win32ErrorFromErrno(errno);
    const uid_t me = geteuid();
    const bool othersWrite = (st.st_mode & (S_IWGRP | S_IWOTH)) != 0;
    if (!S_ISDIR(st.st_mode)) return ERROR_ACCESS_DENIED;
    if (st.st_uid != me && (ownOnly || st.st_uid != 0)) return ERROR_ACCESS_DENIED;
    if (othersWrite && (ownOnly || (st.st_mode & S_ISVTX) == 0)) return ERROR_ACCESS_DENIED;
    return ERROR_SUCCESS;
}

}  // namespace

DWORD OpenStoreDirectory(int parentFd, const std::string& name, bool ownOnly, UniqueFd& out) {
    UniqueFd fd(openat(parentFd, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (!fd) {
        if (errno == ENOENT) return ERROR_PATH_NOT_FOUND;
        if (errno == ELOOP || errno == ENOTDIR) return ERROR_ACCESS_DENIED;
        return Win32ErrorFromErrno(errno);
    }
    const DWORD rc = CheckStoreDirectory(fd.get(), ownOnly);
    if (rc != ERROR_SUCCESS) return rc;
    out = std::move(fd);
    return ERROR_SUCCESS;
}

DWORD OpenAreaDir(const Area& area, UniqueFd& out) {
    UniqueFd current(open(area.base.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!current) {
        if (errno == ENOENT) return ERROR_PATH_NOT_FOUND;
        if (errno == ENOTDIR) return ERROR_ACCESS_DENIED;
        return Win32ErrorFromErrno(errno);
    }
    if (area.baseIsStore) {
        const DWORD rc = CheckStoreDirectory(current.get(), false);
        if (rc != ERROR_SUCCESS) return rc;
    }
    for (std::size_t i = 0; i < area.below.size(); ++i) {
        // A user area is its user's alone.
        const bool ownOnly = !area.machine && i + 1 == area.below.size();
        UniqueFd next;
        const DWORD rc = OpenStoreDirectory(current.get(), area.below[i], ownOnly, next);
        if (rc != ERROR_SUCCESS) return rc;
        current = std::move(next);
    }
    out = std::move(current);
    return ERROR_SUCCESS;
}

bool MayUseContainerFile(const struct stat& st) {
    const uid_t me = geteuid();
    return me == 0 || st.st_uid == me;
}

DWORD OpenContainerFile(int dirFd, const std::string& fileName, UniqueFd& out, struct stat& st) {
    // O_NONBLOCK: a FIFO planted under a container's name must not hang us.
    UniqueFd fd(openat(dirFd, fileName.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK));
    if (!fd) {
        switch (errno) {
        case ENOENT: return NTE_BAD_KEYSET;
        case EACCES:
        case EPERM: return ERROR_ACCESS_DENIED;
        case ELOOP: return NTE_KEYSET_ENTRY_BAD;
        default: return Win32ErrorFromErrno(errno);
        }
    }
    if (fstat(fd.get(), &st) != 0) return Win32ErrorFromErrno(errno);
    if (!MayUseContainerFile(st)) return ERROR_ACCESS_DENIED;
    if (!S_ISREG(st.st_mode) || st.st_size < static_cast<off_t>(kMinContainerFileSize) ||
        st.st_size > static_cast<off_t>(kMaxContainerFileSize))
        return NTE_KEYSET_ENTRY_BAD;
    out = std::move(fd);
    return ERROR_SUCCESS;
}

DWORD ReadContainerFile(int fd, const struct stat& st, std::string_view name, ContainerRecord& out) {
    SecureBytes data(static_cast<std::size_t>(st.st_size));
    std::size_t done = 0;
    while (done < data.size()) {
        const ssize_t n = pread(fd, data.data() + done, data.size() - done, static_cast<off_t>(done));
        if (n < 0) {
            if (errno == EINTR) continue;
            return Win32ErrorFromErrno(errno);
        }
        if (n == 0) return NTE_KEYSET_ENTRY_BAD;  // shorter than it said
        done += static_cast<std::size_t>(n);
    }
    ContainerRecord record;
    const DWORD rc = DecodeContainerFile(data.data(), data.size(), record);
    if (rc != ERROR_SUCCESS) return rc;
    if (record.name != name) return NTE_KEYSET_ENTRY_BAD;
    out = std::move(record);
    return ERROR_SUCCESS;
}

DWORD ReadContainerAt(int dirFd, std::string_view name, ContainerRecord& out) {
    UniqueFd fd;
    struct stat st {};
    const DWORD rc = OpenContainerFile(dirFd, ContainerFileName(name), fd, st);
    if (rc != ERROR_SUCCESS) return rc;
    return ReadContainerFile(fd.get(), st, name, out);
}

}  // namespace keyhold
