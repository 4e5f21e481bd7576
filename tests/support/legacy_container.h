// Containers as an earlier version of the store made them, with names of up
// to 4,095 bytes, which today's store no longer creates but still serves.
#ifndef KEYHOLD_TESTS_LEGACY_CONTAINER_H
#define KEYHOLD_TESTS_LEGACY_CONTAINER_H

#include <fcntl.h>
#include <unistd.h>

#include <string>

#include "store/area.h"
#include "store/container_file.h"

namespace keyhold_test {

// Writes an empty container `name` straight into the area's directory (made
// when missing), owned by the caller, mode 0600. False when anything fails.
inline bool PlantLegacyContainer(const std::string& name, bool machine = false) {
    keyhold::Area area;
    if (keyhold::LocateArea(machine, true, area) != ERROR_SUCCESS) return false;
    keyhold::ContainerRecord record;
    record.name = name;
    const keyhold::SecureBytes bytes = keyhold::EncodeContainerFile(record);
    const std::string path = area.dir + "/" + keyhold::ContainerFileName(name);
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd < 0) return false;
    const bool written = !bytes.empty() && write(fd, bytes.data(), bytes.size()) == static_cast<ssize_t>(bytes.size());
    return close(fd) == 0 && written;
}

}  // namespace keyhold_test

#endif
