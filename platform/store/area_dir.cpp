#include "store/area_dir.h"

#include <cerrno>
#include <fcntl.h>
#include <unistd.h>

#include "core/last_error.h"

namespace keyhold {

DWORD OpenAreaDir(const Area& area, UniqueFd& out) {
    UniqueFd fd(open(area.dir.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (!fd) {
        if (errno == ENOENT) return ERROR_PATH_NOT_FOUND;
        if (errno == ELOOP || errno == ENOTDIR) return ERROR_ACCESS_DENIED;
        return Win32ErrorFromErrno(errno);
    }
    struct stat st {};
    if (fstat(fd.get(), &st) != 0) return Win32ErrorFromErrno(errno);
    if (!area.machine && st.st_uid != geteuid()) return ERROR_ACCESS_DENIED;
    out = std::move(fd);
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
