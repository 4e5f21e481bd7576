// Paths resolved once, by descriptors. Every later step works on the opened
// directory (openat, renameat), so nothing another user does to the path
// afterwards (swapping a file for a link, renaming a directory) can aim the
// caller at another file.
#ifndef KEYHOLD_CORE_PATH_RESOLVE_H
#define KEYHOLD_CORE_PATH_RESOLVE_H

#include <windows.h>

#include <string>

#include "core/file_descriptor.h"

namespace keyhold {

struct ResolvedPath {
    FileDescriptor dir;  // the directory that holds `name` (an O_PATH descriptor)
    std::string name;    // the last component: no link, or missing; "." for a directory path
};

// Walks `path` component by component with O_NOFOLLOW, following links
// (a final one too) as the kernel would, at most 40 of them, but refusing
// with ERROR_ACCESS_DENIED a link in a world-writable sticky directory that
// neither the caller nor the directory's owner made (the fs.protected_symlinks
// rule, applied whatever the kernel's setting). A missing last component is
// fine, unless a link named it: a dangling link is ERROR_FILE_NOT_FOUND. A
// missing directory on the way, or an empty path, is ERROR_PATH_NOT_FOUND;
// a path of PATH_MAX bytes or more, ERROR_FILENAME_EXCED_RANGE.
DWORD ResolvePath(const char* path, ResolvedPath& out);

}  // namespace keyhold

#endif
