// Listing: per candidate file one openat, one pread and close (and, for
// users other than root, one fstat for the owner), and no allocation but the
// name itself, since an area may hold very many containers. Users other
// than root see only their own files, so only root needs an owner check for
// names too long to be listed to others.
#include <algorithm>
#include <vector>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

#include "core/last_error.h"
#include "store/area_dir.h"
#include "store/container_store.h"
#include "store/digest.h"

namespace keyhold {

namespace {

int HexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
}

// A container file name decoded to the digest it spells; false for other names.
bool ParseFileName(const char* name, unsigned char (&digest)[kSha256Size]) {
    for (std::size_t i = 0; i < kSha256Size; ++i) {
        const int hi = HexValue(name[2 * i]);
        const int lo = hi < 0 ? -1 : HexValue(name[2 * i + 1]);
        if (lo < 0) return false;
        digest[i] = static_cast<unsigned char>(hi << 4 | lo);
    }
    return name[2 * kSha256Size] == '\0';
}

}  // namespace

DWORD ListContainerNames(const Area& area, std::vector<std::string>& names) {
    names.clear();
    UniqueFd dirFd;
    DWORD rc = OpenAreaDir(area, dirFd);
    if (rc == ERROR_PATH_NOT_FOUND) return ERROR_SUCCESS;
    if (rc != ERROR_SUCCESS) return rc;
    const UniqueDir dir = OpenDirStream(dirFd.get());
    if (!dir) return Win32ErrorFromErrno(errno);

    Sha256Hasher hasher;
    // One byte more than the longest container file; it holds keys too, so
    // it is wiped when it goes.
    SecureBytes file(kMaxContainerFileSize + 1);
    const uid_t me = geteuid();
    std::string name;
    for (;;) {
        errno = 0;
        const dirent* entry = readdir(dir.get());
        if (entry == nullptr) {
            if (errno != 0) return Win32ErrorFromErrno(errno);
            break;
        }
        if (entry->d_type != DT_REG && entry->d_type != DT_UNKNOWN) continue;
        unsigned char expected[kSha256Size];
        if (!ParseFileName(entry->d_name, expected)) continue;

        const UniqueFd fd(openat(dirFd.get(), entry->d_name, O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK));
        if (!fd) continue;
        // Only a container's owner or root may use it. Root needs no fstat:
        // the read itself fails on what is no regular file (a FIFO, a
        // directory) and tells whether the length is within bounds.
        if (me != 0) {
            struct stat st {};
            if (fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode) || st.st_uid != me) continue;
        }
        ssize_t got;
        do {
            got = pread(fd.get(), file.data(), file.size(), 0);
        } while (got < 0 && errno == EINTR);
        // The length bounds ReadContainer applies; a read that fills the
        // buffer is of a file too long.
        if (got < static_cast<ssize_t>(kMinContainerFileSize) || got > static_cast<ssize_t>(kMaxContainerFileSize))
            continue;
        if (DecodeContainerName(file.data(), static_cast<std::size_t>(got), name) != ERROR_SUCCESS) continue;
        // A name too long for the listing programs' buffer would stop their
        // listing there. Earlier versions made such names; they are listed
        // for their owner alone, so no user's name can hide others' containers.
        if (name.size() > kMaxNewContainerNameLength && me == 0) {
            struct stat st {};
            if (fstat(fd.get(), &st) != 0 || st.st_uid != me) continue;
        }
        unsigned char actual[kSha256Size];
        if (!hasher.Hash(name.data(), name.size(), actual) || std::memcmp(actual, expected, kSha256Size) != 0)
            continue;
        names.push_back(name);
    }
    std::sort(names.begin(), names.end());
    return ERROR_SUCCESS;
}

}  // namespace keyhold
