// Owned descriptors and directory streams for the store, closed when they go out of scope.
#ifndef KEYHOLD_STORE_UNIQUE_FD_H
#define KEYHOLD_STORE_UNIQUE_FD_H

#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <memory>

#include "core/file_descriptor.h"

namespace keyhold {

// The platform core's descriptor owner serves the store too.
using UniqueFd = FileDescriptor;

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
