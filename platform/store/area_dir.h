// An open area directory and the container files in it. All container file
// operations go through the directory's descriptor (openat and friends), so a
// directory swapped for a link after the checks cannot redirect them.
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

// Opens the area by walking from its base, each directory by descriptor and
// without following links. ERROR_PATH_NOT_FOUND when it does not exist;
// ERROR_ACCESS_DENIED when a directory of the store on the way is a link,
// no directory, owned by another user than root and the caller (a user area:
// by anyone but the caller), or writable by others without the sticky bit.
DWORD OpenAreaDir(const Area& area, UniqueFd& out);

// Opens the directory `name` in `parentFd` under the same checks.
DWORD OpenStoreDirectory(int parentFd, const std::string& name, bool ownOnly, UniqueFd& out);

// Only a container's owner, or root, may read or remove it.
bool MayUseContainerFile(const struct stat& st);

// Opens the container file `fileName` in `dirFd` for reading: NTE_BAD_KEYSET
// when missing, ERROR_ACCESS_DENIED when it is another user's (see
// MayUseContainerFile), NTE_KEYSET_ENTRY_BAD when it is no regular file of a
// possible length. `st` receives its status.
DWORD OpenContainerFile(int dirFd, const std::string& fileName, UniqueFd& out, struct stat& st);

// Reads and checks the container `name` from its open file.
DWORD ReadContainerFile(int fd, const struct stat& st, std::string_view name, ContainerRecord& out);

// Reads and checks the container `name` whose file is in `dirFd`. Errors as
// OpenContainerFile, then as ReadContainerFile.
DWORD ReadContainerAt(int dirFd, std::string_view name, ContainerRecord& out);

}  // namespace keyhold

#endif
