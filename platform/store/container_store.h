// Containers on disk: one file per container in its area. Every change is
// atomic and durable (a new file, fsync, no-replace link or rename, fsync of
// the directory); writers of one container serialise on a lock on its file,
// readers take none.
#ifndef KEYHOLD_STORE_CONTAINER_STORE_H
#define KEYHOLD_STORE_CONTAINER_STORE_H

#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include <wincrypt.h>

#include "store/area.h"
#include "store/container_file.h"

namespace keyhold {

// New containers' names are at most this long, so that every name fits the
// listing programs' 1,024-byte buffer and no name can stop a listing.
constexpr std::size_t kMaxNewContainerNameLength = 1023;

// A name that may be stored: 1..4095 bytes without NUL (names up to 4095
// bytes that earlier versions made stay readable and deletable); else
// NTE_BAD_KEYSET_PARAM.
DWORD CheckContainerName(std::string_view name);

// A name a new container may take: 1..1023 bytes without NUL; else
// NTE_BAD_KEYSET_PARAM.
DWORD CheckNewContainerName(std::string_view name);

// NTE_BAD_KEYSET when missing, ERROR_ACCESS_DENIED when another user's,
// NTE_KEYSET_ENTRY_BAD when the file fails its checks or holds another name.
// Takes no lock: writers replace files atomically.
DWORD ReadContainer(const Area& area, std::string_view name, ContainerRecord& out);

// Creates an empty container, the caller's own; NTE_EXISTS when the name is
// taken (exactly one of several racing creators wins).
DWORD CreateContainer(const Area& area, std::string_view name);

// Removes the container's file; NTE_BAD_KEYSET when missing, ERROR_ACCESS_DENIED
// when another user's (root may remove any).
DWORD RemoveContainer(const Area& area, std::string_view name);

// Under the container's writers' lock: reads the container, lets `change`
// modify the record, and writes it back atomically when `change` returns
// ERROR_SUCCESS. Any other result of `change` is returned and nothing is
// written; a record that `change` renamed or filled beyond the file layout's
// limits gives NTE_BAD_DATA. Reading fails as ReadContainer does; only the
// file's owner may change it, root included (else ERROR_ACCESS_DENIED), so
// that no user can make another write key material into a file of theirs.
DWORD UpdateContainer(const Area& area, std::string_view name,
                      const std::function<DWORD(ContainerRecord&)>& change);

// The names of the containers in the area that this user can read, sorted by
// their bytes. A missing area has none.
DWORD ListContainerNames(const Area& area, std::vector<std::string>& names);

}  // namespace keyhold

#endif
