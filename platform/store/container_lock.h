// Writers of one container serialise on a lock on the container file itself.
// Only the file's owner (and root) can open it, so no other user can ever
// make a writer wait; creation needs no lock, since it never replaces.
#ifndef KEYHOLD_STORE_CONTAINER_LOCK_H
#define KEYHOLD_STORE_CONTAINER_LOCK_H

#include <string>

#include <sys/stat.h>
#include <wincrypt.h>

#include "store/unique_fd.h"

namespace keyhold {

struct LockedContainer {
    UniqueFd fd;        // the container file, locked until this closes
    struct stat st {};  // its status
};

// Opens the caller's own container file `fileName` in `dirFd` and takes its
// writers' lock. Errors as OpenContainerFile, and ERROR_ACCESS_DENIED for a
// file the caller does not own (root included: key material is written only
// into the writer's own files). When the lock is won, the name holds the
// locked file (a writer before us may have replaced it; then we lock the new one).
DWORD LockOwnContainerFile(int dirFd, const std::string& fileName, LockedContainer& out);

}  // namespace keyhold

#endif
