#include "core/pending_file.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include "core/last_error.h"

namespace keyhold {

namespace {

constexpr mode_t kPrivateMode = 0600;
constexpr int kNameAttempts = 8;

std::string RandomName(std::string_view prefix) {
    unsigned char random[16] = {};
    std::size_t got = 0;
    while (got < sizeof random) {
        const ssize_t n = getrandom(random + got, sizeof random - got, 0);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;  // the name is then less random, and at worst taken
        got += static_cast<std::size_t>(n);
    }
    static const char kHex[] = "0123456789abcdef";
    std::string name(prefix);
    for (unsigned char byte : random) {
        name.push_back(kHex[byte >> 4]);
        name.push_back(kHex[byte & 0xF]);
    }
    return name;
}

bool SameFile(const struct stat& a, const struct stat& b) { return a.st_dev == b.st_dev && a.st_ino == b.st_ino; }

}  // namespace

PendingFile::~PendingFile() {
    // A name it still has is a temporary one, which goes.
    if (!named_.empty()) RemoveName(named_);
}

void PendingFile::RemoveName(const std::string& name) const {
    // Only while the name is still this file: in a directory others may
    // write, it could be theirs by now.
    struct stat there {};
    if (fstatat(dirFd_, name.c_str(), &there, AT_SYMLINK_NOFOLLOW) == 0 && SameFile(self_, there))
        unlinkat(dirFd_, name.c_str(), 0);
}

DWORD PendingFile::Close() {
    // Checked: some file systems report write-back errors only here.
    if (fd_ && close(fd_.release()) != 0) return Win32ErrorFromErrno(errno);
    return ERROR_SUCCESS;
}

DWORD PendingFile::Create(int dirFd, std::string tempName, std::string_view randomPrefix) {
    dirFd_ = dirFd;
    tempName_ = std::move(tempName);
    randomPrefix_.assign(randomPrefix);
    fd_.reset(openat(dirFd, ".", O_TMPFILE | O_RDWR | O_CLOEXEC, kPrivateMode));
    if (fd_) {
        unnamed_ = true;
    } else {
        // Kernels and file systems without unnamed files answer with one of
        // these (an old kernel takes the flag for O_DIRECTORY, hence EISDIR).
        if (errno != EOPNOTSUPP && errno != EISDIR && errno != EINVAL) return Win32ErrorFromErrno(errno);
        for (int attempt = 0; attempt < kNameAttempts; ++attempt) {
            std::string name = attempt == 0 && !tempName_.empty() ? tempName_ : RandomName(randomPrefix_);
            fd_.reset(openat(dirFd, name.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, kPrivateMode));
            if (fd_) {
                named_ = std::move(name);
                break;
            }
            if (errno != EEXIST) return Win32ErrorFromErrno(errno);
        }
        if (!fd_) return ERROR_FILE_EXISTS;
    }
    // The umask may have taken bits from the mode asked for; it gives none.
    if (fchmod(fd_.get(), kPrivateMode) != 0 || fstat(fd_.get(), &self_) != 0) return Win32ErrorFromErrno(errno);
    return ERROR_SUCCESS;
}

DWORD PendingFile::Fill(const void* data, std::size_t size) {
    const auto* bytes = static_cast<const unsigned char*>(data);
    std::size_t done = 0;
    while (done < size) {
        const ssize_t n = write(fd_.get(), bytes + done, size - done);
        if (n < 0) {
            if (errno == EINTR) continue;
            return Win32ErrorFromErrno(errno);
        }
        done += static_cast<std::size_t>(n);
    }
    while (fsync(fd_.get()) != 0) {
        if (errno != EINTR) return Win32ErrorFromErrno(errno);
    }
    return ERROR_SUCCESS;
}

DWORD PendingFile::LinkTo(const std::string& name) {
    int rc;
    if (unnamed_) {
        // Linking the descriptor itself (AT_EMPTY_PATH) needs a privilege; its
        // /proc/self/fd entry does not. linkat never follows a link at the new
        // name and never replaces anything there.
        const std::string self = "/proc/self/fd/" + std::to_string(fd_.get());
        rc = linkat(AT_FDCWD, self.c_str(), dirFd_, name.c_str(), AT_SYMLINK_FOLLOW);
        if (rc != 0 && errno == ENOENT && access("/proc/self/fd", F_OK) != 0)
            rc = linkat(fd_.get(), "", dirFd_, name.c_str(), AT_EMPTY_PATH);
    } else {
        rc = linkat(dirFd_, named_.c_str(), dirFd_, name.c_str(), 0);
    }
    if (rc != 0) return errno == EEXIST ? ERROR_FILE_EXISTS : Win32ErrorFromErrno(errno);
    unnamed_ = false;
    return ERROR_SUCCESS;
}

DWORD PendingFile::Link(const std::string& name) {
    DWORD rc = LinkTo(name);
    if (rc != ERROR_SUCCESS) return rc;
    rc = Close();
    if (rc != ERROR_SUCCESS) RemoveName(name);
    return rc;  // a temporary name it had goes with the destructor
}

DWORD PendingFile::TakeTemporaryName() {
    for (int attempt = 0; attempt < kNameAttempts; ++attempt) {
        std::string name = attempt == 0 && !tempName_.empty() ? tempName_ : RandomName(randomPrefix_);
        const DWORD rc = LinkTo(name);
        if (rc == ERROR_SUCCESS) {
            named_ = std::move(name);
            return ERROR_SUCCESS;
        }
        if (rc != ERROR_FILE_EXISTS) return rc;
    }
    return ERROR_FILE_EXISTS;
}

DWORD PendingFile::MoveOver(const std::string& name) {
    if (named_.empty()) {
        const DWORD rc = TakeTemporaryName();
        if (rc != ERROR_SUCCESS) return rc;
    }
    const DWORD rc = Close();
    if (rc != ERROR_SUCCESS) return rc;
    if (renameat(dirFd_, named_.c_str(), dirFd_, name.c_str()) != 0) return Win32ErrorFromErrno(errno);
    named_.clear();
    return ERROR_SUCCESS;
}

DWORD PendingFile::SyncDirectory() const {
    // The directory may be held for lookups only (O_PATH); fsync needs it open.
    FileDescriptor dir(openat(dirFd_, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!dir) return Win32ErrorFromErrno(errno);
    while (fsync(dir.get()) != 0) {
        if (errno != EINTR) return Win32ErrorFromErrno(errno);
    }
    return ERROR_SUCCESS;
}

}  // namespace keyhold
