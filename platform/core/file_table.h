// The open files behind file HANDLEs.
#ifndef KEYHOLD_CORE_FILE_TABLE_H
#define KEYHOLD_CORE_FILE_TABLE_H

#include <windows.h>

#include <memory>

#include "core/file_descriptor.h"

namespace keyhold {

struct OpenFile {
    FileDescriptor fd;
    bool readable = false;
    bool writable = false;
};

// Registers `file` and returns its new handle.
HANDLE AddFile(std::shared_ptr<OpenFile> file);
// The open file behind `handle`, or null when it is not a live file handle.
std::shared_ptr<OpenFile> FindFile(HANDLE handle);
// Unregisters `handle` and returns its file (null when it was not live).
std::shared_ptr<OpenFile> RemoveFile(HANDLE handle);

}  // namespace keyhold

#endif
