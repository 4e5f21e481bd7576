#include "store/container_lock.h"

#include <cerrno>
#include <ctime>
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include "core/last_error.h"
#include "store/area_dir.h"

namespace keyhold {

namespace {

// A file whose mode lets others open it (its owner changed it) could be locked
// by them: then we poll, for at most this long, instead of waiting.
constexpr int kPollMilliseconds = 10000;
// Rounds of "locked it, but a writer had replaced it meanwhile".
constexpr int kMaxRounds = 10000;

DWORD Lock(int fd, const struct stat& st) {
    if ((st.st_mode & 077) == 0) {
        while (flock(fd, LOCK_EX) != 0) {
            if (errno != EINTR) return Win32ErrorFromErrno(errno);
        }
        return ERROR_SUCCESS;
    }
    for (int waited = 0;; ++waited) {
        if (flock(fd, LOCK_EX | LOCK_NB) == 0) return ERROR_SUCCESS;
        if (errno != EWOULDBLOCK && errno != EINTR) return Win32ErrorFromErrno(errno);
        if (waited >= kPollMilliseconds) return ERROR_SHARING_VIOLATION;
        const timespec pause{0, 1000000};
        nanosleep(&pause, nullptr);
    }
}

}  // namespace

DWORD LockOwnContainerFile(int dirFd, const std::string& fileName, LockedContainer& out) {
    for (int round = 0; round < kMaxRounds; ++round) {
        LockedContainer locked;
        DWORD rc = OpenContainerFile(dirFd, fileName, locked.fd, locked.st);
        if (rc != ERROR_SUCCESS) return rc;
        if (locked.st.st_uid != geteuid()) return ERROR_ACCESS_DENIED;
        rc = Lock(locked.fd.get(), locked.st);
        if (rc != ERROR_SUCCESS) return rc;
        struct stat now {};
        if (fstatat(dirFd, fileName.c_str(), &now, AT_SYMLINK_NOFOLLOW) != 0)
            return errno == ENOENT ? NTE_BAD_KEYSET : Win32ErrorFromErrno(errno);
        if (now.st_dev == locked.st.st_dev && now.st_ino == locked.st.st_ino) {
            out = std::move(locked);
            return ERROR_SUCCESS;
        }
    }
    return ERROR_BUSY;
}

}  // namespace keyhold
