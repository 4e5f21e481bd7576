// keyhold_read_all: the system-call floor of a listing, as a peer for Quorvin:
// readdir over DIR and, per entry, openat, one pread of 4 KiB, close. It
// checks nothing and prints nothing.
#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>

int main(int argc, char* argv[]) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s DIR\n", argv[0]);
        return 2;
    }
    const int dirFd = open(argv[1], O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    DIR* dir = dirFd < 0 ? nullptr : fdopendir(dirFd);
    if (dir == nullptr) return 1;
    unsigned char buffer[4096];
    long files = 0;
    while (const dirent* entry = readdir(dir)) {
        if (entry->d_name[0] == '.') continue;
        const int fd = openat(dirFd, entry->d_name, O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK);
        if (fd < 0) continue;
        if (pread(fd, buffer, sizeof buffer, 0) > 0) ++files;
        close(fd);
    }
    closedir(dir);
    return files >= 0 ? 0 : 1;
}
