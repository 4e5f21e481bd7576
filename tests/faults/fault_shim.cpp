// A preloaded library that fails one chosen system call of a program, so the
// campaign can see what each failure on the store's and the key blob file's
// mutation paths leaves behind.
//
// Only calls on paths below the directories in KH_FAULT_PATHS (colon-separated,
// absolute, without symbolic links) are counted, and descriptor calls (write,
// fsync, fdatasync, close) on descriptors that name such a path: the loading of
// shared libraries, the console and the random source are never hit.
//
//   KH_FAULT_LOG    file that receives one line per counted call:
//                   "<class> <path>", plus " INJECTED <errno>" for the failed one
//   KH_FAULT_CLASS  the class to fail (open, open-dir, write, fsync, dirfsync,
//                   rename, link, unlink, mkdir, close); unset: only count
//   KH_FAULT_N      which call of that class fails, from 1
//   KH_FAULT_ERRNO  the error it fails with (default EIO)
//   KH_FAULT_SHORT=1  the chosen write moves only half its bytes (at least
//                   one) and reports that count: no failure, which a caller
//                   must finish by writing the rest
//   KH_FAULT_SWALLOW=1  instead of failing, skip the call and report success,
//                   as a careless caller would see it (to prove the campaign's
//                   judge notices what such a caller leaves)
//
// "open" is an open that may create or write (an unnamed O_TMPFILE file too); "open-read" an open of a file
// for reading; "open-dir" an open of a directory (the store's lock and every directory fsync start there); "close"
// is the close of a descriptor that was written to. A failed close closes the
// descriptor all the same, as Linux does.
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

namespace {

template <typename F>
F Real(const char* name) {
    return reinterpret_cast<F>(dlsym(RTLD_NEXT, name));
}

struct Settings {
    bool loaded = false;
    std::vector<std::string> roots;
    std::string log;
    std::string injectClass;
    long injectAt = 0;
    int injectErrno = EIO;
    bool swallow = false;
    bool shortWrite = false;
};

Settings& Config() {
    static Settings settings;
    if (!settings.loaded) {
        settings.loaded = true;
        if (const char* paths = getenv("KH_FAULT_PATHS")) {
            std::string all(paths);
            std::size_t start = 0;
            while (start <= all.size()) {
                const std::size_t colon = all.find(':', start);
                const std::string one = all.substr(start, colon == std::string::npos ? std::string::npos : colon - start);
                if (!one.empty()) settings.roots.push_back(one);
                if (colon == std::string::npos) break;
                start = colon + 1;
            }
        }
        if (const char* log = getenv("KH_FAULT_LOG")) settings.log = log;
        if (const char* cls = getenv("KH_FAULT_CLASS")) settings.injectClass = cls;
        if (const char* n = getenv("KH_FAULT_N")) settings.injectAt = strtol(n, nullptr, 10);
        if (const char* e = getenv("KH_FAULT_ERRNO")) settings.injectErrno = static_cast<int>(strtol(e, nullptr, 10));
        if (const char* w = getenv("KH_FAULT_SWALLOW")) settings.swallow = strcmp(w, "1") == 0;
        if (const char* w = getenv("KH_FAULT_SHORT")) settings.shortWrite = strcmp(w, "1") == 0;
    }
    return settings;
}

// Descriptors that were written to, so that only their close counts.
bool g_written[4096];

bool Below(const std::string& path) {
    for (const std::string& root : Config().roots) {
        if (path.compare(0, root.size(), root) == 0 && (path.size() == root.size() || path[root.size()] == '/'))
            return true;
    }
    return false;
}

std::string FdPath(int fd) {
    char link[64];
    snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
    char target[PATH_MAX];
    const ssize_t n = readlink(link, target, sizeof target - 1);
    if (n <= 0) return {};
    // An unnamed (O_TMPFILE) file reads as "<dir>/#<inode> (deleted)"; the log
    // is split at spaces.
    std::string path(target, static_cast<std::size_t>(n));
    const std::string deleted = " (deleted)";
    if (path.size() > deleted.size() && path.compare(path.size() - deleted.size(), deleted.size(), deleted) == 0)
        path.resize(path.size() - deleted.size());
    return path;
}

// The absolute form of a path given relative to `dirFd`, lexically.
std::string AbsolutePath(int dirFd, const char* path) {
    if (path == nullptr) return {};
    if (path[0] == '/') return path;
    std::string base;
    if (dirFd == AT_FDCWD) {
        char cwd[PATH_MAX];
        if (getcwd(cwd, sizeof cwd) == nullptr) return {};
        base = cwd;
    } else {
        base = FdPath(dirFd);
    }
    if (base.empty()) return {};
    std::string rel(path);
    while (rel.compare(0, 2, "./") == 0) rel.erase(0, 2);
    if (rel == ".") return base;
    return base + "/" + rel;
}

void Log(const char* cls, const std::string& path, int injected) {
    const Settings& s = Config();
    if (s.log.empty()) return;
    using OpenFn = int (*)(const char*, int, ...);
    using WriteFn = ssize_t (*)(int, const void*, size_t);
    using CloseFn = int (*)(int);
    static OpenFn realOpen = Real<OpenFn>("open");
    static WriteFn realWrite = Real<WriteFn>("write");
    static CloseFn realClose = Real<CloseFn>("close");
    std::string line = std::string(cls) + " " + path;
    if (injected != 0) line += " INJECTED " + std::to_string(injected);
    line += "\n";
    const int fd = realOpen(s.log.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
    if (fd < 0) return;
    realWrite(fd, line.data(), line.size());
    realClose(fd);
}

enum class Action { Pass, Fail, Skip, Short };

// Counts a matching call and says what becomes of it (errno is set for Fail).
Action Decide(const char* cls, const std::string& path) {
    static long counts[16];
    static const char* const kClasses[] = {"open", "open-read", "open-dir", "write", "fsync", "dirfsync",
                                           "rename", "link", "unlink", "mkdir", "close"};
    int index = 0;
    for (int i = 0; i < 11; ++i)
        if (strcmp(kClasses[i], cls) == 0) index = i;
    const Settings& s = Config();
    const long n = ++counts[index];
    const bool chosen = s.injectClass == cls && n == s.injectAt;
    // A short write carries no error; it is marked all the same.
    Log(cls, path, chosen ? (s.injectErrno != 0 ? s.injectErrno : -1) : 0);
    if (!chosen) return Action::Pass;
    if (s.swallow) return Action::Skip;
    if (s.shortWrite && strcmp(cls, "write") == 0) return Action::Short;
    errno = s.injectErrno;
    return Action::Fail;
}

// For calls that cannot be skipped: a swallowed one fails all the same.
bool Hit(const char* cls, const std::string& path) {
    const Action a = Decide(cls, path);
    if (a == Action::Skip || a == Action::Short) errno = Config().injectErrno;
    return a != Action::Pass;
}

const char* OpenClass(const std::string& path, int flags) {
    // O_TMPFILE holds O_DIRECTORY's bit, but makes a file to be written.
    if ((flags & O_TMPFILE) == O_TMPFILE) return "open";
    if (flags & O_DIRECTORY) return "open-dir";
    if ((flags & O_ACCMODE) != O_RDONLY || (flags & (O_CREAT | O_TRUNC))) return "open";
    struct stat st {};
    if (stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) return "open-dir";
    return "open-read";
}

bool OpenFails(int dirFd, const char* path, int flags) {
    if (Config().roots.empty()) return false;
    const std::string abs = AbsolutePath(dirFd, path);
    if (!Below(abs)) return false;
    const char* cls = OpenClass(abs, flags);
    return cls != nullptr && Hit(cls, abs);
}

void Opened(int fd) {
    if (fd >= 0 && fd < 4096) g_written[fd] = false;
}

Action PathAction(const char* cls, int dirFd, const char* path) {
    if (Config().roots.empty()) return Action::Pass;
    const std::string abs = AbsolutePath(dirFd, path);
    return Below(abs) ? Decide(cls, abs) : Action::Pass;
}

Action TwoPathAction(const char* cls, int fromDir, const char* from, int toDir, const char* to) {
    if (Config().roots.empty()) return Action::Pass;
    const std::string a = AbsolutePath(fromDir, from);
    const std::string b = AbsolutePath(toDir, to);
    if (!Below(a) && !Below(b)) return Action::Pass;
    return Decide(cls, Below(b) ? b : a);
}

Action SyncAction(int fd) {
    if (Config().roots.empty()) return Action::Pass;
    const std::string path = FdPath(fd);
    if (!Below(path)) return Action::Pass;
    struct stat st {};
    const bool dir = fstat(fd, &st) == 0 && S_ISDIR(st.st_mode);
    return Decide(dir ? "dirfsync" : "fsync", path);
}

// Runs `call` unless the action says otherwise.
template <typename Call>
int Apply(Action a, Call call) {
    if (a == Action::Fail) return -1;
    if (a == Action::Skip) return 0;
    return call();  // a short transfer is for writes only
}

mode_t ModeArg(int flags, va_list ap) {
    return (flags & O_CREAT) || (flags & O_TMPFILE) == O_TMPFILE ? static_cast<mode_t>(va_arg(ap, int)) : 0;
}

}  // namespace

extern "C" {

int open(const char* path, int flags, ...) {
    va_list ap;
    va_start(ap, flags);
    const mode_t mode = ModeArg(flags, ap);
    va_end(ap);
    static auto real = Real<int (*)(const char*, int, ...)>("open");
    if (OpenFails(AT_FDCWD, path, flags)) return -1;
    const int fd = real(path, flags, mode);
    Opened(fd);
    return fd;
}

int open64(const char* path, int flags, ...) {
    va_list ap;
    va_start(ap, flags);
    const mode_t mode = ModeArg(flags, ap);
    va_end(ap);
    static auto real = Real<int (*)(const char*, int, ...)>("open64");
    if (OpenFails(AT_FDCWD, path, flags)) return -1;
    const int fd = real(path, flags, mode);
    Opened(fd);
    return fd;
}

int openat(int dirFd, const char* path, int flags, ...) {
    va_list ap;
    va_start(ap, flags);
    const mode_t mode = ModeArg(flags, ap);
    va_end(ap);
    static auto real = Real<int (*)(int, const char*, int, ...)>("openat");
    if (OpenFails(dirFd, path, flags)) return -1;
    const int fd = real(dirFd, path, flags, mode);
    Opened(fd);
    return fd;
}

int openat64(int dirFd, const char* path, int flags, ...) {
    va_list ap;
    va_start(ap, flags);
    const mode_t mode = ModeArg(flags, ap);
    va_end(ap);
    static auto real = Real<int (*)(int, const char*, int, ...)>("openat64");
    if (OpenFails(dirFd, path, flags)) return -1;
    const int fd = real(dirFd, path, flags, mode);
    Opened(fd);
    return fd;
}

ssize_t write(int fd, const void* data, size_t size) {
    static auto real = Real<ssize_t (*)(int, const void*, size_t)>("write");
    if (!Config().roots.empty() && fd > 2) {
        const std::string path = FdPath(fd);
        if (Below(path)) {
            const Action a = Decide("write", path);
            if (a == Action::Fail) return -1;
            if (a == Action::Skip) return static_cast<ssize_t>(size);
            if (a == Action::Short) {
                if (fd < 4096) g_written[fd] = true;
                return real(fd, data, size > 1 ? size / 2 : size);
            }
            if (fd < 4096) g_written[fd] = true;
        }
    }
    return real(fd, data, size);
}

int fsync(int fd) {
    static auto real = Real<int (*)(int)>("fsync");
    return Apply(SyncAction(fd), [&] { return real(fd); });
}

int fdatasync(int fd) {
    static auto real = Real<int (*)(int)>("fdatasync");
    return Apply(SyncAction(fd), [&] { return real(fd); });
}

int close(int fd) {
    static auto real = Real<int (*)(int)>("close");
    if (fd >= 0 && fd < 4096 && g_written[fd]) {
        g_written[fd] = false;
        const std::string path = FdPath(fd);
        if (Below(path) && Hit("close", path)) {
            const int err = errno;
            real(fd);
            errno = err;
            return -1;
        }
    }
    return real(fd);
}

int rename(const char* from, const char* to) {
    static auto real = Real<int (*)(const char*, const char*)>("rename");
    return Apply(TwoPathAction("rename", AT_FDCWD, from, AT_FDCWD, to), [&] { return real(from, to); });
}

int renameat(int fromDir, const char* from, int toDir, const char* to) {
    static auto real = Real<int (*)(int, const char*, int, const char*)>("renameat");
    return Apply(TwoPathAction("rename", fromDir, from, toDir, to), [&] { return real(fromDir, from, toDir, to); });
}

int renameat2(int fromDir, const char* from, int toDir, const char* to, unsigned int flags) {
    static auto real = Real<int (*)(int, const char*, int, const char*, unsigned int)>("renameat2");
    return Apply(TwoPathAction("rename", fromDir, from, toDir, to), [&] { return real(fromDir, from, toDir, to, flags); });
}

int link(const char* from, const char* to) {
    static auto real = Real<int (*)(const char*, const char*)>("link");
    return Apply(TwoPathAction("link", AT_FDCWD, from, AT_FDCWD, to), [&] { return real(from, to); });
}

int linkat(int fromDir, const char* from, int toDir, const char* to, int flags) {
    static auto real = Real<int (*)(int, const char*, int, const char*, int)>("linkat");
    return Apply(TwoPathAction("link", fromDir, from, toDir, to), [&] { return real(fromDir, from, toDir, to, flags); });
}

int unlink(const char* path) {
    static auto real = Real<int (*)(const char*)>("unlink");
    return Apply(PathAction("unlink", AT_FDCWD, path), [&] { return real(path); });
}

int unlinkat(int dirFd, const char* path, int flags) {
    static auto real = Real<int (*)(int, const char*, int)>("unlinkat");
    return Apply(PathAction("unlink", dirFd, path), [&] { return real(dirFd, path, flags); });
}

int mkdir(const char* path, mode_t mode) {
    static auto real = Real<int (*)(const char*, mode_t)>("mkdir");
    return Apply(PathAction("mkdir", AT_FDCWD, path), [&] { return real(path, mode); });
}

int mkdirat(int dirFd, const char* path, mode_t mode) {
    static auto real = Real<int (*)(int, const char*, mode_t)>("mkdirat");
    return Apply(PathAction("mkdir", dirFd, path), [&] { return real(dirFd, path, mode); });
}

}  // extern "C"
