#include <cerrno>
#include <cstdint>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <openssl/rand.h>

#include "core/last_error.h"
#include "store/area_dir.h"

namespace keyhold {

namespace {

constexpr std::string_view kTempPrefix = ".khtmp-";
constexpr std::size_t kTempRandomLength = 16;

bool IsLowerHex(char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'); }

std::string HexName(std::uint64_t value) {
    static const char kHex[] = "0123456789abcdef";
    std::string name(kTempPrefix);
    for (int shift = 4 * (kTempRandomLength - 1); shift >= 0; shift -= 4)
        name.push_back(kHex[value >> shift & 0xF]);
    return name;
}

// Writers hold the lock, so each user needs one temporary name only: removing
// it first clears what a crashed writer of ours left, without scanning a
// directory that may hold very many containers. Should another user have
// planted a file under that name (the machine area is shared), we fall back to
// random names, mkstemp-like; those leftovers are swept whenever a crash shows.
DWORD CreateTemporary(int dirFd, std::string& name, UniqueFd& out) {
    constexpr int kFlags = O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC;
    name = PreferredTemporaryName(geteuid());
    // A leftover under our name means a writer crashed; then sweep for more.
    if (unlinkat(dirFd, name.c_str(), 0) == 0) RemoveStaleTemporaries(dirFd);
    UniqueFd fd(openat(dirFd, name.c_str(), kFlags, 0600));
    if (fd) {
        out = std::move(fd);
        return ERROR_SUCCESS;
    }
    if (errno != EEXIST) return Win32ErrorFromErrno(errno);
    RemoveStaleTemporaries(dirFd);
    for (int attempt = 0; attempt < 100; ++attempt) {
        std::uint64_t random = 0;
        if (RAND_bytes(reinterpret_cast<unsigned char*>(&random), sizeof random) != 1) return NTE_FAIL;
        name = HexName(random);
        fd.reset(openat(dirFd, name.c_str(), kFlags, 0600));
        if (fd) {
            out = std::move(fd);
            return ERROR_SUCCESS;
        }
        if (errno != EEXIST) return Win32ErrorFromErrno(errno);
    }
    return ERROR_FILE_EXISTS;
}

DWORD WriteAll(int fd, const unsigned char* data, std::size_t size) {
    std::size_t done = 0;
    while (done < size) {
        const ssize_t n = write(fd, data + done, size - done);
        if (n < 0) {
            if (errno == EINTR) continue;
            return Win32ErrorFromErrno(errno);
        }
        done += static_cast<std::size_t>(n);
    }
    return ERROR_SUCCESS;
}

// Fills and closes the temporary file; close is checked, since some file
// systems report write-back errors only there.
DWORD FillTemporary(UniqueFd fd, const SecureBytes& data, const struct stat* owner) {
    // The umask may have taken bits from the mode given to openat.
    if (fchmod(fd.get(), 0600) != 0) return Win32ErrorFromErrno(errno);
    if (owner != nullptr && geteuid() == 0 && owner->st_uid != 0 &&
        fchown(fd.get(), owner->st_uid, owner->st_gid) != 0)
        return Win32ErrorFromErrno(errno);
    DWORD rc = WriteAll(fd.get(), data.data(), data.size());
    if (rc != ERROR_SUCCESS) return rc;
    if (fsync(fd.get()) != 0) return Win32ErrorFromErrno(errno);
    if (close(fd.release()) != 0) return Win32ErrorFromErrno(errno);
    return ERROR_SUCCESS;
}

}  // namespace

std::string PreferredTemporaryName(uid_t uid) { return HexName(uid); }

bool IsTemporaryFileName(std::string_view name) {
    if (name.size() != kTempPrefix.size() + kTempRandomLength || name.substr(0, kTempPrefix.size()) != kTempPrefix)
        return false;
    for (char c : name.substr(kTempPrefix.size()))
        if (!IsLowerHex(c)) return false;
    return true;
}

DWORD WriteFileAtomically(int dirFd, const std::string& fileName, const SecureBytes& data,
                          bool replace, const struct stat* owner) {
    std::string tempName;
    UniqueFd fd;
    DWORD rc = CreateTemporary(dirFd, tempName, fd);
    if (rc != ERROR_SUCCESS) return rc;
    rc = FillTemporary(std::move(fd), data, owner);
    if (rc == ERROR_SUCCESS) {
        if (replace) {
            if (renameat(dirFd, tempName.c_str(), dirFd, fileName.c_str()) != 0)
                rc = Win32ErrorFromErrno(errno);
        } else if (linkat(dirFd, tempName.c_str(), dirFd, fileName.c_str(), 0) != 0) {
            rc = errno == EEXIST ? NTE_EXISTS : Win32ErrorFromErrno(errno);
        }
    }
    // After a rename the name is gone already; otherwise the temporary goes now.
    if (!replace || rc != ERROR_SUCCESS) unlinkat(dirFd, tempName.c_str(), 0);
    if (rc != ERROR_SUCCESS) return rc;
    if (fsync(dirFd) != 0) return Win32ErrorFromErrno(errno);
    return ERROR_SUCCESS;
}

void RemoveStaleTemporaries(int dirFd) {
    const UniqueDir dir = OpenDirStream(dirFd);
    if (!dir) return;
    while (const dirent* entry = readdir(dir.get())) {
        // Another user's leftovers in the machine area are not ours to remove:
        // that unlink fails and is ignored.
        if (IsTemporaryFileName(entry->d_name)) unlinkat(dirFd, entry->d_name, 0);
    }
}

}  // namespace keyhold
