// An owned file descriptor, closed when it goes out of scope.
#ifndef KEYHOLD_STORE_UNIQUE_FD_H
#define KEYHOLD_STORE_UNIQUE_FD_H

#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <memory>

namespace keyhold {

class UniqueFd {
public:
    UniqueFd() = default;
    explicit UniqueFd(int fd) : fd_(fd) {}
    ~UniqueFd() { reset(); }
    UniqueFd(UniqueFd&& other) noexcept : fd_(other.release()) {}
    UniqueFd& operator=(UniqueFd&& other) noexcept {
        if (this != &other) reset(other.release());
        return *this;
    }
    UniqueFd(const UniqueFd&) = delete;
    UniqueFd& operator=(const UniqueFd&) = delete;

    int get() const { return fd_; }
    explicit operator bool() const { return fd_ >= 0; }
    int release() {
        const int fd = fd_;
        fd_ = -1;
        return fd;
    }
    void reset(int fd = -1) {
        if (fd_ >= 0) ::close(fd_);
        fd_ = fd;
    }

private:
    int fd_ = -1;
};

struct DirCloser {
    void operator()(DIR* dir) const { closedir(dir); }
};
using UniqueDir = std::unique_ptr<DIR, DirCloser>;

// A directory stream over its own duplicate of `dirFd`, so the caller's
// descriptor stays open and its own; null on failure.
inline UniqueDir OpenDirStream(int dirFd) {
    UniqueFd copy(::openat(dirFd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!copy) return nullptr;
    UniqueDir dir(fdopendir(copy.get()));
    if (dir) copy.release();
    return dir;
}

}  // namespace keyhold

#endif
