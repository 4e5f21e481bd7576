#include "store/container_store.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

#include "core/last_error.h"
#include "store/area_dir.h"
#include "store/container_lock.h"
#include "store/container_write.h"

namespace keyhold {

namespace {

bool NameFits(std::string_view name, std::size_t limit) {
    return !name.empty() && name.size() <= limit && name.find('\0') == std::string_view::npos;
}

// Opens the area for a change; a missing area holds no container.
DWORD OpenAreaForChange(const Area& area, UniqueFd& dir) {
    const DWORD rc = OpenAreaDir(area, dir);
    return rc == ERROR_PATH_NOT_FOUND ? NTE_BAD_KEYSET : rc;
}

}  // namespace

DWORD CheckContainerName(std::string_view name) {
    return NameFits(name, kMaxContainerNameLength) ? ERROR_SUCCESS : NTE_BAD_KEYSET_PARAM;
}

DWORD CheckNewContainerName(std::string_view name) {
    return NameFits(name, kMaxNewContainerNameLength) ? ERROR_SUCCESS : NTE_BAD_KEYSET_PARAM;
}

DWORD ReadContainer(const Area& area, std::string_view name, ContainerRecord& out) {
    DWORD rc = CheckContainerName(name);
    if (rc != ERROR_SUCCESS) return rc;
    UniqueFd dir;
    rc = OpenAreaForChange(area, dir);
    if (rc != ERROR_SUCCESS) return rc;
    return ReadContainerAt(dir.get(), name, out);
}

DWORD CreateContainer(const Area& area, std::string_view name) {
    DWORD rc = CheckNewContainerName(name);
    if (rc != ERROR_SUCCESS) return rc;
    UniqueFd dir;
    rc = OpenAreaDir(area, dir);
    if (rc != ERROR_SUCCESS) return rc;
    ContainerRecord record;
    record.name.assign(name);
    const SecureBytes data = EncodeContainerFile(record);
    if (data.empty()) return NTE_FAIL;
    return StoreNewContainerFile(dir.get(), ContainerFileName(name), data);
}

DWORD RemoveContainer(const Area& area, std::string_view name) {
    DWORD rc = CheckContainerName(name);
    if (rc != ERROR_SUCCESS) return rc;
    UniqueFd dir;
    rc = OpenAreaForChange(area, dir);
    if (rc != ERROR_SUCCESS) return rc;
    // A damaged container can be removed too, so its content is not judged;
    // only that it is no directory and its owner's (or root removes it).
    const std::string fileName = ContainerFileName(name);
    struct stat st {};
    if (fstatat(dir.get(), fileName.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0)
        return errno == ENOENT ? NTE_BAD_KEYSET : Win32ErrorFromErrno(errno);
    if (!MayUseContainerFile(st)) return ERROR_ACCESS_DENIED;
    if (S_ISDIR(st.st_mode)) return NTE_KEYSET_ENTRY_BAD;
    // The owner's removal waits for the owner's writers, so that none of them
    // brings the container back after it is gone. Root removing another
    // user's container takes no lock that user could hold against it.
    // A file its owner made unreadable, or a damaged one, cannot be locked,
    // and no writer could use it anyway.
    LockedContainer locked;
    if (S_ISREG(st.st_mode) && st.st_uid == geteuid() && (st.st_mode & S_IRUSR) != 0) {
        rc = LockOwnContainerFile(dir.get(), fileName, locked);
        if (rc != ERROR_SUCCESS && rc != NTE_KEYSET_ENTRY_BAD) return rc;
    }
    if (unlinkat(dir.get(), fileName.c_str(), 0) != 0)
        return errno == ENOENT ? NTE_BAD_KEYSET : Win32ErrorFromErrno(errno);
    // A writer killed before its rename leaves the record it meant to store,
    // keys and all: it must not outlive the container.
    RemoveDeadWritersRecord(dir.get(), fileName, st.st_uid);
    if (fsync(dir.get()) != 0) return Win32ErrorFromErrno(errno);
    return ERROR_SUCCESS;
}

DWORD UpdateContainer(const Area& area, std::string_view name,
                      const std::function<DWORD(ContainerRecord&)>& change) {
    DWORD rc = CheckContainerName(name);
    if (rc != ERROR_SUCCESS) return rc;
    UniqueFd dir;
    rc = OpenAreaForChange(area, dir);
    if (rc != ERROR_SUCCESS) return rc;
    const std::string fileName = ContainerFileName(name);
    LockedContainer locked;
    rc = LockOwnContainerFile(dir.get(), fileName, locked);
    if (rc != ERROR_SUCCESS) return rc;
    ContainerRecord record;
    rc = ReadContainerFile(locked.fd.get(), locked.st, name, record);
    if (rc != ERROR_SUCCESS) return rc;
    rc = change(record);
    if (rc != ERROR_SUCCESS) return rc;
    // The change may not rename the container: its file name is the name's hash.
    if (record.name != name || !RecordFitsLayout(record)) return NTE_BAD_DATA;
    const SecureBytes data = EncodeContainerFile(record);
    if (data.empty()) return NTE_FAIL;
    RemoveDeadWritersRecord(dir.get(), fileName, geteuid());
    return ReplaceContainerFile(dir.get(), fileName, data);
}

}  // namespace keyhold
