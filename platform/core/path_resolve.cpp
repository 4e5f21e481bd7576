#include "core/path_resolve.h"

#include <cerrno>
#include <climits>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <deque>
#include <vector>

#include "core/last_error.h"

namespace keyhold {

namespace {

constexpr int kMaxLinks = 40;  // as the kernel's own limit

constexpr int kWalkFlags = O_PATH | O_NOFOLLOW | O_CLOEXEC;

// Splits at '/', dropping empty and "." components; with `front` the parts go
// before those already in `parts` (a link's text replaces the link).
void Split(const std::string& text, std::deque<std::string>& parts, bool front) {
    std::vector<std::string> found;
    std::size_t start = 0;
    while (start <= text.size()) {
        std::size_t end = text.find('/', start);
        if (end == std::string::npos) end = text.size();
        std::string part = text.substr(start, end - start);
        if (!part.empty() && part != ".") found.push_back(std::move(part));
        start = end + 1;
    }
    if (front)
        parts.insert(parts.begin(), found.begin(), found.end());
    else
        parts.insert(parts.end(), found.begin(), found.end());
}

// Whether the text names a directory (ends in "/", "/." or "/..", or is one of them).
bool NamesDirectory(const std::string& text) {
    if (text.empty()) return false;
    if (text.back() == '/') return true;
    const std::size_t slash = text.find_last_of('/');
    const std::string last = slash == std::string::npos ? text : text.substr(slash + 1);
    return last == "." || last == "..";
}

// A link that another user left in a world-writable sticky directory such as
// /tmp is followed only when it is ours or the directory owner's; otherwise
// anyone could aim our writes at any file we may write.
bool IsPlantedLink(int dirFd, const struct stat& link) {
    struct stat dir {};
    if (fstat(dirFd, &dir) != 0) return true;
    const uid_t me = geteuid();
    return (dir.st_mode & (S_ISVTX | S_IWOTH)) == (S_ISVTX | S_IWOTH) && link.st_uid != me &&
           link.st_uid != dir.st_uid;
}

DWORD ReadLinkText(int linkFd, const struct stat& st, std::string& text) {
    std::vector<char> buffer(static_cast<std::size_t>(st.st_size > 0 ? st.st_size : 255) + 1);
    for (;;) {
        const ssize_t n = readlinkat(linkFd, "", buffer.data(), buffer.size());
        if (n < 0) return Win32ErrorFromErrno(errno);
        if (static_cast<std::size_t>(n) < buffer.size()) {
            text.assign(buffer.data(), static_cast<std::size_t>(n));
            return ERROR_SUCCESS;
        }
        if (buffer.size() > 65536) return ERROR_FILENAME_EXCED_RANGE;
        buffer.resize(buffer.size() * 2);  // the link grew since the fstat
    }
}

}  // namespace

DWORD ResolvePath(const char* path, ResolvedPath& out) {
    if (path == nullptr || *path == '\0') return ERROR_PATH_NOT_FOUND;
    // The kernel's own limit on a path it is given, kept for the same answer.
    if (strnlen(path, PATH_MAX) >= PATH_MAX) return ERROR_FILENAME_EXCED_RANGE;
    const std::string text(path);
    std::deque<std::string> parts;
    Split(text, parts, false);
    bool wantDirectory = NamesDirectory(text);
    FileDescriptor current(open(text.front() == '/' ? "/" : ".", O_PATH | O_DIRECTORY | O_CLOEXEC));
    if (!current) return Win32ErrorFromErrno(errno);

    int links = 0;
    bool fromFinalLink = false;  // the parts left came from a link that was the last component
    while (!parts.empty()) {
        const std::string part = std::move(parts.front());
        parts.pop_front();
        const bool last = parts.empty() && !wantDirectory;
        FileDescriptor next(openat(current.get(), part.c_str(), kWalkFlags));
        if (!next) {
            const int err = errno;
            if (err == ENOENT && fromFinalLink) return ERROR_FILE_NOT_FOUND;
            if (err == ENOENT && last) {
                out.dir = std::move(current);
                out.name = part;
                return ERROR_SUCCESS;
            }
            if (err == ENOENT || err == ENOTDIR) return ERROR_PATH_NOT_FOUND;
            return Win32ErrorFromErrno(err);
        }
        struct stat st {};
        if (fstat(next.get(), &st) != 0) return Win32ErrorFromErrno(errno);
        if (S_ISLNK(st.st_mode)) {
            if (++links > kMaxLinks) return ERROR_CANT_RESOLVE_FILENAME;
            if (IsPlantedLink(current.get(), st)) return ERROR_ACCESS_DENIED;
            std::string target;
            const DWORD rc = ReadLinkText(next.get(), st, target);
            if (rc != ERROR_SUCCESS) return rc;
            if (target.empty()) return ERROR_FILE_NOT_FOUND;
            if (parts.empty()) {
                fromFinalLink = true;
                wantDirectory = wantDirectory || NamesDirectory(target);
            }
            if (target.front() == '/') {
                current.reset(open("/", O_PATH | O_DIRECTORY | O_CLOEXEC));
                if (!current) return Win32ErrorFromErrno(errno);
            }
            Split(target, parts, true);
            continue;
        }
        if (last) {
            out.dir = std::move(current);
            out.name = part;
            return ERROR_SUCCESS;
        }
        if (!S_ISDIR(st.st_mode)) return ERROR_PATH_NOT_FOUND;
        current = std::move(next);
    }
    // The path names a directory: it is its own holder, as ".".
    out.dir = std::move(current);
    out.name = ".";
    return ERROR_SUCCESS;
}

}  // namespace keyhold
