// The two key areas (the current user's and the machine-wide one) and where
// they live on disk.
#ifndef KEYHOLD_STORE_AREA_H
#define KEYHOLD_STORE_AREA_H

#include <string>

#include <wincrypt.h>

namespace keyhold {

struct Area {
    std::string dir;  // absolute directory path, no trailing slash
    bool machine = false;
};

// Locates the user's or the machine area. With `create` the directories are made
// on the way with their modes (user area 0700; machine area and the users/
// directory 1777; $KEYHOLD_ROOT 0755). Returns ERROR_SUCCESS or the error code.
DWORD LocateArea(bool machine, bool create, Area& out);

// The name of the default container: the effective user's login name, or
// "uid<N>" when the password database has none.
std::string DefaultContainerName();

}  // namespace keyhold

#endif
