// keyhold_make_store: fills the current user's key area ($KEYHOLD_ROOT) with
// COUNT containers named "bench-<i>", quickly: each file is written with the
// store's own encoder under ContainerFileName(name), without fsync, so large
// stores take seconds, not the hours a durable create of each would.
//
//   keyhold_make_store COUNT [BLOBFILE]
//
// With BLOBFILE (a key blob as Faldren writes it) every container holds that
// blob as its exchange key, so files have the size of real ones.
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "store/area.h"
#include "store/container_file.h"

using namespace keyhold;

namespace {

bool ReadWholeFile(const char* path, SecureBytes& out) {
    FILE* file = std::fopen(path, "rb");
    if (file == nullptr) return false;
    unsigned char buffer[4096];
    std::size_t got;
    while ((got = std::fread(buffer, 1, sizeof buffer, file)) > 0) out.insert(out.end(), buffer, buffer + got);
    const bool ok = std::ferror(file) == 0;
    std::fclose(file);
    return ok && !out.empty();
}

bool WriteNew(int dirFd, const std::string& fileName, const SecureBytes& data) {
    const int fd = openat(dirFd, fileName.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd < 0) return false;
    const bool ok = write(fd, data.data(), data.size()) == static_cast<ssize_t>(data.size());
    return close(fd) == 0 && ok;
}

}  // namespace

int main(int argc, char* argv[]) {
    if (argc < 2 || argc > 3) {
        std::fprintf(stderr, "usage: %s COUNT [BLOBFILE]\n", argv[0]);
        return 2;
    }
    const long count = std::strtol(argv[1], nullptr, 10);
    ContainerRecord record;
    if (argc == 3) {
        record.keys[kExchangeSlot].present = true;
        record.keys[kExchangeSlot].exportable = true;
        if (!ReadWholeFile(argv[2], record.keys[kExchangeSlot].blob)) {
            std::fprintf(stderr, "make_store: cannot read %s\n", argv[2]);
            return 1;
        }
    }
    Area area;
    if (LocateArea(false, true, area) != ERROR_SUCCESS) {
        std::fprintf(stderr, "make_store: cannot create the user area\n");
        return 1;
    }
    const int dirFd = open(area.dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dirFd < 0) return 1;
    for (long i = 0; i < count; ++i) {
        record.name = "bench-" + std::to_string(i);
        const SecureBytes data = EncodeContainerFile(record);
        if (data.empty() || !WriteNew(dirFd, ContainerFileName(record.name), data)) {
            std::fprintf(stderr, "make_store: cannot write container %ld\n", i);
            close(dirFd);
            return 1;
        }
    }
    close(dirFd);
    return 0;
}
