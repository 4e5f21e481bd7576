// An open area directory. All container file operations go through this
// descriptor (openat and friends), so a directory swapped for a link after the
// checks cannot redirect them; the writers' lock is flock on it as well.
#ifndef KEYHOLD_STORE_AREA_DIR_H
#define KEYHOLD_STORE_AREA_DIR_H

#include <string>
#include <string_view>

#include <sys/stat.h>
#include <wincrypt.h>

#include "store/area.h"
#include "store/container_file.h"
#include "store/unique_fd.h"

namespace keyhold {

// ERROR_PATH_NOT_FOUND when the area does not exist, ERROR_ACCESS_DENIED when it
// is a link, not a directory or (a user area) another user's.
DWORD OpenAreaDir(const Area& area, UniqueFd& out);

// Blocks until this process holds the area's writers' lock; it is held until
// `dirFd` is closed.
DWORD LockAreaForWriting(int dirFd);

// Only a container's owner, or root, may read, replace or remove it.
bool MayUseContainerFile(const struct stat& st);

// Reads and checks the container `name` whose file is in `dirFd`. `st` receives
// the file's status. Errors as ReadContainer.
DWORD ReadContainerAt(int dirFd, std::string_view name, ContainerRecord& out, struct stat& st);

// Writes `data` atomically as `fileName` (call with the lock held): a
// temporary file, fsync, then rename
// over (replace) or link without replacing (NTE_EXISTS when taken), then fsync
// of the directory. With `owner`, root hands the new file to that owner, so an
// update by root does not take a container away from its user. On failure
// nothing but the old file remains.
DWORD WriteFileAtomically(int dirFd, const std::string& fileName, const SecureBytes& data,
                          bool replace, const struct stat* owner);

// Removes every temporary file a crashed writer left that this user may
// remove. Call with the lock held: then none belongs to a live writer. It
// scans the directory, so writers call it only when a leftover under their
// usual temporary name shows that a writer crashed, or that name is blocked.
void RemoveStaleTemporaries(int dirFd);

// The temporary name a user's writers use unless it is blocked.
std::string PreferredTemporaryName(uid_t uid);

// True for the names WriteFileAtomically gives its temporary files.
bool IsTemporaryFileName(std::string_view name);

}  // namespace keyhold

#endif
