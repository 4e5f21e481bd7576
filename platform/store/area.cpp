#include "store/area.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <initializer_list>
#include <utility>
#include <string>
#include <vector>

#include "core/last_error.h"
#include "store/area_dir.h"
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

std::pair<std::string, std::string> SplitLast(const std::string& path) {
    const auto slash = path.find_last_of('/');
    if (slash == std::string::npos) return {".", path};
    return {slash == 0 ? "/" : path.substr(0, slash), path.substr(slash + 1)};
}

// A name in the same directory that no other process picks: ".<name>.new-<pid>-<n>".
std::string TemporarySibling(const std::string& name) {
    static unsigned counter = 0;
    return "." + name + ".new-" + std::to_string(getpid()) + "-" + std::to_string(++counter);
}

// mkdirat, then the mode through the new directory's own descriptor, so that
// the umask changes nothing.
DWORD MakeWithMode(int parentFd, const std::string& name, mode_t mode) {
    if (mkdirat(parentFd, name.c_str(), 0700) != 0) return Win32ErrorFromErrno(errno);
    const UniqueFd fd(openat(parentFd, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (!fd || fchmod(fd.get(), mode) != 0) return Win32ErrorFromErrno(errno);
    return ERROR_SUCCESS;
}

void RemoveTemporary(int parentFd, const std::string& temp, std::initializer_list<Subdirectory> inside) {
    const UniqueFd fd(openat(parentFd, temp.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (fd)
        for (const Subdirectory& sub : inside) unlinkat(fd.get(), sub.name, AT_REMOVEDIR);
    unlinkat(parentFd, temp.c_str(), AT_REMOVEDIR);
}

bool IsExisting(DWORD rc) { return rc == ERROR_ALREADY_EXISTS || rc == ERROR_FILE_EXISTS; }

// Makes `name` in `parentFd` with `mode` and the `inside` directories in it.
// It is built under a temporary name and renamed into place without
// replacing anything, so it appears whole, with its final modes, or not at
// all: neither a crash nor another process ever sees it half made (a shared
// directory left at 0700 would lock every other user out for good). Another
// process's directory that got there first wins, and is the caller's to judge.
DWORD MakeDirectoryWhole(int parentFd, const std::string& name, mode_t mode,
                         std::initializer_list<Subdirectory> inside = {}) {
    std::string temp;
    DWORD rc;
    do {
        temp = TemporarySibling(name);
        rc = MakeWithMode(parentFd, temp, mode);
    } while (IsExisting(rc));
    if (rc == ERROR_SUCCESS) {
        const UniqueFd tempFd(openat(parentFd, temp.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
        if (!tempFd) rc = Win32ErrorFromErrno(errno);
        for (const Subdirectory& sub : inside)
            if (rc == ERROR_SUCCESS) rc = MakeWithMode(tempFd.get(), sub.name, sub.mode);
        if (rc == ERROR_SUCCESS && inside.size() > 0 && fsync(tempFd.get()) != 0) rc = Win32ErrorFromErrno(errno);
    }
    if (rc != ERROR_SUCCESS) {
        RemoveTemporary(parentFd, temp, inside);
        return rc;
    }
    if (renameat2(parentFd, temp.c_str(), parentFd, name.c_str(), RENAME_NOREPLACE) != 0) {
        const int error = errno;
        RemoveTemporary(parentFd, temp, inside);
        if (error == EEXIST) return ERROR_SUCCESS;
        if (error != EINVAL && error != ENOSYS) return Win32ErrorFromErrno(error);
        // A file system without RENAME_NOREPLACE: made in place, one by one.
        rc = MakeWithMode(parentFd, name, mode);
        if (IsExisting(rc)) return ERROR_SUCCESS;
        const UniqueFd fd(openat(parentFd, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
        if (rc == ERROR_SUCCESS && !fd) rc = Win32ErrorFromErrno(errno);
        for (const Subdirectory& sub : inside)
            if (rc == ERROR_SUCCESS) rc = MakeWithMode(fd.get(), sub.name, sub.mode);
        if (rc != ERROR_SUCCESS) return rc;
    }
    // The new entry must outlive a crash as the containers written into it do.
    if (fsync(parentFd) != 0) return Win32ErrorFromErrno(errno);
    return ERROR_SUCCESS;
}

// Makes `name` in `parentFd` when it is missing; an existing one keeps its mode.
DWORD EnsureIn(int parentFd, const std::string& name, mode_t mode, std::initializer_list<Subdirectory> inside = {}) {
    struct stat st {};
    if (fstatat(parentFd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0) return ERROR_SUCCESS;
    if (errno != ENOENT) return Win32ErrorFromErrno(errno);
    return MakeDirectoryWhole(parentFd, name, mode, inside);
}

// Opens the directory `path` as configured (links followed), making it and
// its missing parents with `mode` (and `inside`, for `path` itself) first.
DWORD OpenOrMakePath(const std::string& path, mode_t mode, UniqueFd& out,
                     std::initializer_list<Subdirectory> inside = {}) {
    out.reset(open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (out) return ERROR_SUCCESS;
    if (errno != ENOENT || path == "/") return PathErrorFromErrno(errno, path.c_str());
    const auto [parent, leaf] = SplitLast(path);
    UniqueFd parentFd;
    DWORD rc = OpenOrMakePath(parent, mode, parentFd);
    if (rc == ERROR_SUCCESS) rc = MakeDirectoryWhole(parentFd.get(), leaf, mode, inside);
    if (rc != ERROR_SUCCESS) return rc;
    out.reset(open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    return out ? ERROR_SUCCESS : PathErrorFromErrno(errno, path.c_str());
}

// Makes what is missing of the area, from its base down. Within the store
// every step works on the directory opened and checked before it.
DWORD MakeArea(const Area& area, mode_t baseMode) {
    const bool rooted = area.baseIsStore;
    UniqueFd current;
    // Whoever makes $KEYHOLD_ROOT makes both shared directories with it.
    DWORD rc = rooted ? OpenOrMakePath(area.base, 0755, current, {{"users", 01777}, {"machine", 01777}})
                      : OpenOrMakePath(area.base, baseMode, current);
    if (rc != ERROR_SUCCESS) return rc;
    if (rooted) {
        struct stat st {};
        if (fstat(current.get(), &st) != 0) return Win32ErrorFromErrno(errno);
        // Its owner, or root, adds a shared directory that is missing: no one
        // else could, and an administrator may have made the root alone.
        const uid_t me = geteuid();
        if (me == 0 || st.st_uid == me) {
            for (const char* shared : {"users", "machine"})
                if (rc == ERROR_SUCCESS) rc = EnsureIn(current.get(), shared, 01777);
            if (rc != ERROR_SUCCESS) return rc;
        }
    }
    for (std::size_t i = 0; i < area.below.size(); ++i) {
        const bool last = i + 1 == area.below.size();
        const mode_t mode = !last ? (rooted ? 01777 : baseMode) : area.machine ? 01777 : 0700;
        rc = EnsureIn(current.get(), area.below[i], mode);
        UniqueFd next;
        if (rc == ERROR_SUCCESS) rc = OpenStoreDirectory(current.get(), area.below[i], !area.machine && last, next);
        if (rc != ERROR_SUCCESS) return rc;
        current = std::move(next);
    }
    return ERROR_SUCCESS;
}

}  // namespace

DWORD LocateArea(bool machine, bool create, Area& out) {
    Area area;
    area.machine = machine;
    mode_t baseMode = 0755;
    const char* rootSetting = std::getenv("KEYHOLD_ROOT");
    if (rootSetting != nullptr && *rootSetting != '\0') {
        const std::string root = Absolute(rootSetting);
        if (root.empty()) return ERROR_PATH_NOT_FOUND;
        area.base = root;
        area.baseIsStore = true;
        area.below = machine ? std::vector<std::string>{"machine"}
                             : std::vector<std::string>{"users", std::to_string(geteuid())};
    } else if (machine) {
        const auto [parent, leaf] = SplitLast(WithoutTrailingSlashes(KEYHOLD_MACHINE_AREA));
        area.base = parent;
        area.below = {leaf};
    } else {
        const char* xdg = std::getenv("XDG_DATA_HOME");
        // Relative values are invalid by the XDG rules and ignored.
        if (xdg != nullptr && xdg[0] == '/') {
            area.base = WithoutTrailingSlashes(xdg);
        } else {
            const std::string home = HomeDirectory();
            if (home.empty()) return ERROR_PATH_NOT_FOUND;
            area.base = WithoutTrailingSlashes(Absolute(home)) + "/.local/share";
        }
        area.below = {"keyhold", "keys"};
        baseMode = 0700;
    }
    area.dir = area.base == "/" ? "" : area.base;
    for (const std::string& part : area.below) area.dir += "/" + part;

    // Every use of an area walks to it and checks it again (OpenAreaDir), so
    // locating one for reading touches nothing; a made one is checked whole.
    if (create) {
        DWORD rc = MakeArea(area, baseMode);
        UniqueFd dir;
        if (rc == ERROR_SUCCESS) rc = OpenAreaDir(area, dir);
        if (rc != ERROR_SUCCESS) return rc;
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
