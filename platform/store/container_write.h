// Writing container files. Every change is a new file, filled and flushed
// before it has a name, then linked into place without replacing anything
// (creation) or renamed over the old file (update), then the directory is
// flushed: a reader sees the old file or the new, and a crash leaves either.
#ifndef KEYHOLD_STORE_CONTAINER_WRITE_H
#define KEYHOLD_STORE_CONTAINER_WRITE_H

#include <string>

#include <sys/types.h>
#include <wincrypt.h>

#include "core/secure_bytes.h"

namespace keyhold {

// The name an update's new record has for the moment between taking a name
// and the rename: one per container, so that whoever holds the container's
// lock knows a file there to be a dead writer's.
std::string TemporaryNameOf(const std::string& fileName);

// Stores `data` as the new file `fileName`; NTE_EXISTS when the name is
// taken (so exactly one of several racing creators wins).
DWORD StoreNewContainerFile(int dirFd, const std::string& fileName, const SecureBytes& data);

// Replaces the file `fileName` with `data`. Call with the container's lock held.
DWORD ReplaceContainerFile(int dirFd, const std::string& fileName, const SecureBytes& data);

// Removes what a writer of `owner`'s killed between naming its record and the
// rename left: that record, keys and all. Call with the container's lock held
// (or when the container is gone), so that no live writer owns it.
void RemoveDeadWritersRecord(int dirFd, const std::string& fileName, uid_t owner);

}  // namespace keyhold

#endif
