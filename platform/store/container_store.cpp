#include "store/container_store.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

#include "core/last_error.h"
#include "store/area_dir.h"

namespace keyhold {

namespace {

// Opens the area for a change and takes the writers' lock; a missing area
// holds no container.
DWORD OpenAreaForWriting(const Area& area, UniqueFd& dir) {
    DWORD rc = OpenAreaDir(area, dir);
    if (rc == ERROR_PATH_NOT_FOUND) return NTE_BAD_KEYSET;
    if (rc != ERROR_SUCCESS) return rc;
    return LockAreaForWriting(dir.get());
}

}  // namespace

DWORD CheckContainerName(std::string_view name) {
    if (name.empty() || name.size() > kMaxContainerNameLength || name.find('\0') != std::string_view::npos)
        return NTE_BAD_KEYSET_PARAM;
    return ERROR_SUCCESS;
}

DWORD ReadContainer(const Area& area, std::string_view name, ContainerRecord& out) {
    DWORD rc = CheckContainerName(name);
    if (rc != ERROR_SUCCESS) return rc;
    UniqueFd dir;
    rc = OpenAreaDir(area, dir);
    if (rc == ERROR_PATH_NOT_FOUND) return NTE_BAD_KEYSET;
    if (rc != ERROR_SUCCESS) return rc;
    struct stat st {};
    return ReadContainerAt(dir.get(), name, out, st);
}

DWORD CreateContainer(const Area& area, std::string_view name) {
    DWORD rc = CheckContainerName(name);
    if (rc != ERROR_SUCCESS) return rc;
    UniqueFd dir;
    rc = OpenAreaDir(area, dir);
    if (rc != ERROR_SUCCESS) return rc;
    rc = LockAreaForWriting(dir.get());
    if (rc != ERROR_SUCCESS) return rc;

    ContainerRecord record;
    record.name.assign(name);
    const SecureBytes data = EncodeContainerFile(record);
    if (data.empty()) return NTE_FAIL;
    return WriteFileAtomically(dir.get(), ContainerFileName(name), data, false, nullptr);
}

DWORD RemoveContainer(const Area& area, std::string_view name) {
    DWORD rc = CheckContainerName(name);
    if (rc != ERROR_SUCCESS) return rc;
    UniqueFd dir;
    rc = OpenAreaForWriting(area, dir);
    if (rc != ERROR_SUCCESS) return rc;
    // A damaged container can be removed too, so its content is not judged;
    // only that it is a file and its owner's.
    const std::string fileName = ContainerFileName(name);
    struct stat st {};
    if (fstatat(dir.get(), fileName.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0)
        return errno == ENOENT ? NTE_BAD_KEYSET : Win32ErrorFromErrno(errno);
    if (!MayUseContainerFile(st)) return ERROR_ACCESS_DENIED;
    if (S_ISDIR(st.st_mode)) return NTE_KEYSET_ENTRY_BAD;
    if (unlinkat(dir.get(), fileName.c_str(), 0) != 0)
        return errno == ENOENT ? NTE_BAD_KEYSET : Win32ErrorFromErrno(errno);
    // A writer killed before its rename leaves the record it meant to store,
    // keys and all, under our temporary name: it must not outlive the container.
    if (unlinkat(dir.get(), PreferredTemporaryName(geteuid()).c_str(), 0) == 0) RemoveStaleTemporaries(dir.get());
    if (fsync(dir.get()) != 0) return Win32ErrorFromErrno(errno);
    return ERROR_SUCCESS;
}

DWORD UpdateContainer(const Area& area, std::string_view name,
                      const std::function<DWORD(ContainerRecord&)>& change) {
    DWORD rc = CheckContainerName(name);
    if (rc != ERROR_SUCCESS) return rc;
    UniqueFd dir;
    rc = OpenAreaForWriting(area, dir);
    if (rc != ERROR_SUCCESS) return rc;
    ContainerRecord record;
    struct stat st {};
    rc = ReadContainerAt(dir.get(), name, record, st);
    if (rc != ERROR_SUCCESS) return rc;
    rc = change(record);
    if (rc != ERROR_SUCCESS) return rc;
    // The change may not rename the container: its file name is the name's hash.
    if (record.name != name || !RecordFitsLayout(record)) return NTE_BAD_DATA;
    const SecureBytes data = EncodeContainerFile(record);
    if (data.empty()) return NTE_FAIL;
    return WriteFileAtomically(dir.get(), ContainerFileName(name), data, true, &st);
}

}  // namespace keyhold
