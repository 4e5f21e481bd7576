#include "store/area.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <initializer_list>
#include <string>
#include <vector>

#include "core/last_error.h"
#include "store/unique_fd.h"

namespace keyhold {

namespace {

// The password database entry of the effective user, read into `buffer`.
bool LookUpUser(passwd& entry, std::vector<char>& buffer) {
    long size = sysconf(_SC_GETPW_R_SIZE_MAX);
    buffer.resize(size > 0 ? static_cast<std::size_t>(size) : 16384);
    for (;;) {
        passwd* found = nullptr;
        const int rc = getpwuid_r(geteuid(), &entry, buffer.data(), buffer.size(), &found);
        if (rc == ERANGE && buffer.size() < (1u << 20)) {
            buffer.resize(buffer.size() * 2);
            continue;
        }
        return rc == 0 && found != nullptr;
    }
}

std::string HomeDirectory() {
    const char* home = std::getenv("HOME");
    if (home != nullptr && *home != '\0') return home;
    passwd entry{};
    std::vector<char> buffer;
    if (LookUpUser(entry, buffer) && entry.pw_dir != nullptr) return entry.pw_dir;
    return {};
}

std::string WithoutTrailingSlashes(std::string path) {
    while (path.size() > 1 && path.back() == '/') path.pop_back();
    return path;
}

// A relative setting is taken from the current directory, as a shell would.
std::string Absolute(const std::string& path) {
    if (!path.empty() && path.front() == '/') return WithoutTrailingSlashes(path);
    std::vector<char> cwd(4096);
    while (getcwd(cwd.data(), cwd.size()) == nullptr) {
        if (errno != ERANGE) return {};
        cwd.resize(cwd.size() * 2);
    }
    return WithoutTrailingSlashes(std::string(cwd.data()) + "/" + path);
}

struct Subdirectory {
    const char* name;
    mode_t mode;
};

std::string ParentOf(const std::string& path) {
    const auto slash = path.find_last_of('/');
    return slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
}

// A name beside `path` that no other process picks: ".<name>.new-<pid>-<n>".
std::string TemporarySibling(const std::string& path) {
    static unsigned counter = 0;
    const auto slash = path.find_last_of('/');
    const std::string base = slash == std::string::npos ? path : path.substr(slash + 1);
    return ParentOf(path) + "/." + base + ".new-" + std::to_string(getpid()) + "-" + std::to_string(++counter);
}

DWORD MakeWithMode(const std::string& path, mode_t mode) {
    // chmod after mkdir, so that the umask changes nothing.
    if (mkdir(path.c_str(), 0700) != 0) return Win32ErrorFromErrno(errno);
    if (chmod(path.c_str(), mode) != 0) return Win32ErrorFromErrno(errno);
    return ERROR_SUCCESS;
}

void RemoveTemporary(const std::string& temp, std::initializer_list<Subdirectory> inside) {
    for (const Subdirectory& sub : inside) rmdir((temp + "/" + sub.name).c_str());
    rmdir(temp.c_str());
}

// Makes `path` with `mode` and the `inside` directories in it. It is built
// under a temporary name and renamed into place without replacing anything,
// so it appears whole, with its final modes, or not at all: neither a crash
// nor another process ever sees it half made (a shared directory left at 0700
// would lock every other user out for good). Another process's directory that
// got there first wins, and is the caller's to judge.
DWORD MakeDirectoryWhole(const std::string& path, mode_t mode, std::initializer_list<Subdirectory> inside) {
    std::string temp;
    DWORD rc;
    do {
        temp = TemporarySibling(path);
        rc = MakeWithMode(temp, mode);
    } while (rc == ERROR_ALREADY_EXISTS || rc == ERROR_FILE_EXISTS);
    for (const Subdirectory& sub : inside)
        if (rc == ERROR_SUCCESS) rc = MakeWithMode(temp + "/" + sub.name, sub.mode);
    if (rc == ERROR_SUCCESS && inside.size() > 0) {
        const UniqueFd tempFd(open(temp.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
        if (!tempFd || fsync(tempFd.get()) != 0) rc = Win32ErrorFromErrno(errno);
    }
    if (rc != ERROR_SUCCESS) {
        RemoveTemporary(temp, inside);
        return rc;
    }
    if (renameat2(AT_FDCWD, temp.c_str(), AT_FDCWD, path.c_str(), RENAME_NOREPLACE) != 0) {
        const int error = errno;
        RemoveTemporary(temp, inside);
        if (error == EEXIST) return ERROR_SUCCESS;
        if (error != EINVAL && error != ENOSYS) return Win32ErrorFromErrno(error);
        // A file system without RENAME_NOREPLACE: made in place, one by one.
        rc = MakeWithMode(path, mode);
        if (rc == ERROR_ALREADY_EXISTS || rc == ERROR_FILE_EXISTS) return ERROR_SUCCESS;
        for (const Subdirectory& sub : inside)
            if (rc == ERROR_SUCCESS) rc = MakeWithMode(path + "/" + sub.name, sub.mode);
        if (rc != ERROR_SUCCESS) return rc;
    }
    // The new entry must outlive a crash as the containers written into it do.
    const UniqueFd parentFd(open(ParentOf(path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!parentFd || fsync(parentFd.get()) != 0) return Win32ErrorFromErrno(errno);
    return ERROR_SUCCESS;
}

// Makes `path` when it is missing (see MakeDirectoryWhole), and its missing
// parents with `parentMode`; an existing directory keeps the mode it has.
DWORD EnsureDirectory(const std::string& path, mode_t mode, mode_t parentMode,
                      std::initializer_list<Subdirectory> inside = {}) {
    struct stat st {};
    if (lstat(path.c_str(), &st) == 0) return ERROR_SUCCESS;
    if (errno != ENOENT) return Win32ErrorFromErrno(errno);
    const auto slash = path.find_last_of('/');
    if (slash != std::string::npos && slash > 0) {
        const DWORD rc = EnsureDirectory(path.substr(0, slash), parentMode, parentMode);
        if (rc != ERROR_SUCCESS) return rc;
    }
    return MakeDirectoryWhole(path, mode, inside);
}

}  // namespace

DWORD LocateArea(bool machine, bool create, Area& out) {
    Area area;
    area.machine = machine;
    DWORD rc = ERROR_SUCCESS;
    const char* rootSetting = std::getenv("KEYHOLD_ROOT");
    if (rootSetting != nullptr && *rootSetting != '\0') {
        const std::string root = Absolute(rootSetting);
        if (root.empty()) return ERROR_PATH_NOT_FOUND;
        const std::string users = root + "/users";
        area.dir = machine ? root + "/machine" : users + "/" + std::to_string(geteuid());
        if (create) {
            struct stat rootSt {};
            const bool freshRoot = lstat(root.c_str(), &rootSt) != 0 && errno == ENOENT;
            // Whoever makes the root makes both shared directories with it, since
            // no other user could add a missing one to a root that is not theirs.
            rc = EnsureDirectory(root, 0755, 0755, {{"users", 01777}, {"machine", 01777}});
            if (rc == ERROR_SUCCESS && (!machine || freshRoot)) rc = EnsureDirectory(users, 01777, 0755);
            if (rc == ERROR_SUCCESS && freshRoot) rc = EnsureDirectory(root + "/machine", 01777, 0755);
        }
        // The user areas are reached through users/, so a link there would
        // take them elsewhere as surely as a linked area.
        struct stat usersSt {};
        if (rc == ERROR_SUCCESS && !machine && lstat(users.c_str(), &usersSt) == 0 && !S_ISDIR(usersSt.st_mode))
            return ERROR_ACCESS_DENIED;
        if (rc == ERROR_SUCCESS && create) rc = EnsureDirectory(area.dir, machine ? 01777 : 0700, 0755);
    } else if (machine) {
        area.dir = WithoutTrailingSlashes(KEYHOLD_MACHINE_AREA);
        if (create) rc = EnsureDirectory(area.dir, 01777, 0755);
    } else {
        const char* xdg = std::getenv("XDG_DATA_HOME");
        std::string base;
        // Relative values are invalid by the XDG rules and ignored.
        if (xdg != nullptr && xdg[0] == '/') {
            base = WithoutTrailingSlashes(xdg);
        } else {
            const std::string home = HomeDirectory();
            if (home.empty()) return ERROR_PATH_NOT_FOUND;
            base = WithoutTrailingSlashes(Absolute(home)) + "/.local/share";
        }
        area.dir = base + "/keyhold/keys";
        if (create) rc = EnsureDirectory(area.dir, 0700, 0700);
    }
    if (rc != ERROR_SUCCESS) return rc;

    struct stat st {};
    if (lstat(area.dir.c_str(), &st) != 0) {
        // A missing area is simply empty until something is created in it.
        if (errno != ENOENT || create) return PathErrorFromErrno(errno, area.dir.c_str());
    } else if (!S_ISDIR(st.st_mode) || (!machine && st.st_uid != geteuid())) {
        return ERROR_ACCESS_DENIED;
    }
    out = std::move(area);
    return ERROR_SUCCESS;
}

std::string DefaultContainerName() {
    passwd entry{};
    std::vector<char> buffer;
    if (LookUpUser(entry, buffer) && entry.pw_name != nullptr && entry.pw_name[0] != '\0')
        return entry.pw_name;
    return "uid" + std::to_string(geteuid());
}

}  // namespace keyhold
