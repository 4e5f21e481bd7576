// A new file being prepared in an opened directory before it takes its place:
// the durable-write step that container files and key blob files share.
#ifndef KEYHOLD_CORE_PENDING_FILE_H
#define KEYHOLD_CORE_PENDING_FILE_H

#include <windows.h>

#include <sys/stat.h>

#include <cstddef>
#include <string>
#include <string_view>

#include "core/file_descriptor.h"

namespace keyhold {

class PendingFile {
public:
    PendingFile() = default;
    ~PendingFile();
    PendingFile(const PendingFile&) = delete;
    PendingFile& operator=(const PendingFile&) = delete;

    // A new empty file in `dirFd`, mode 0600, the caller's own. It has no name
    // where the file system allows (O_TMPFILE), so that a writer killed while
    // filling it leaves nothing behind. A name is needed only for a replacing
    // move, or where unnamed files are not supported: then `tempName` is
    // used, or, when that is taken by anything, "<prefix><32 random hex>"
    // (so a name planted by someone else costs one failed attempt).
    DWORD Create(int dirFd, std::string tempName, std::string_view randomPrefix);

    int fd() const { return fd_.get(); }

    // Writes all of `data` and flushes it to disk.
    DWORD Fill(const void* data, std::size_t size);

    // Gives the file `name` without replacing anything (ERROR_FILE_EXISTS
    // when anything has that name), and closes it.
    DWORD Link(const std::string& name);

    // Closes the file and moves it over `name`, replacing what is there, in
    // one rename.
    DWORD MoveOver(const std::string& name);

    // Syncs the directory, so the new name survives a crash.
    DWORD SyncDirectory() const;

private:
    DWORD LinkTo(const std::string& name);
    DWORD TakeTemporaryName();
    DWORD Close();
    void RemoveName(const std::string& name) const;

    int dirFd_ = -1;
    FileDescriptor fd_;
    bool unnamed_ = false;
    std::string tempName_;      // the preferred temporary name
    std::string randomPrefix_;
    std::string named_;         // the name it has now (temporary), empty if none
    struct stat self_ {};       // which file it is, for removing only its own names
};

}  // namespace keyhold

#endif
