#include "store/container_write.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "core/pending_file.h"

namespace keyhold {

namespace {

// Names under this prefix are never container files (those are 64 hex digits).
constexpr const char* kTemporaryPrefix = ".khtmp-";

}  // namespace

std::string TemporaryNameOf(const std::string& fileName) { return kTemporaryPrefix + fileName; }

DWORD StoreNewContainerFile(int dirFd, const std::string& fileName, const SecureBytes& data) {
    PendingFile file;
    DWORD rc = file.Create(dirFd, std::string(), kTemporaryPrefix);
    if (rc == ERROR_SUCCESS) rc = file.Fill(data.data(), data.size());
    if (rc == ERROR_SUCCESS) rc = file.Link(fileName);
    if (rc == ERROR_FILE_EXISTS) return NTE_EXISTS;
    if (rc == ERROR_SUCCESS) rc = file.SyncDirectory();
    return rc;
}

DWORD ReplaceContainerFile(int dirFd, const std::string& fileName, const SecureBytes& data) {
    PendingFile file;
    // Should another user have planted a file under the usual temporary name
    // (the machine area is shared), a random one serves instead.
    DWORD rc = file.Create(dirFd, TemporaryNameOf(fileName), kTemporaryPrefix);
    if (rc == ERROR_SUCCESS) rc = file.Fill(data.data(), data.size());
    if (rc == ERROR_SUCCESS) rc = file.MoveOver(fileName);
    if (rc == ERROR_SUCCESS) rc = file.SyncDirectory();
    return rc;
}

void RemoveDeadWritersRecord(int dirFd, const std::string& fileName, uid_t owner) {
    const std::string name = TemporaryNameOf(fileName);
    struct stat st {};
    if (fstatat(dirFd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISREG(st.st_mode) && st.st_uid == owner)
        unlinkat(dirFd, name.c_str(), 0);
}

}  // namespace keyhold
