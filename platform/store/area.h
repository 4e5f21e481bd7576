// The two key areas (the current user's and the machine-wide one) and where
// they live on disk.
#ifndef KEYHOLD_STORE_AREA_H
#define KEYHOLD_STORE_AREA_H

#include <string>
#include <vector>

#include <wincrypt.h>

namespace keyhold {

struct Area {
    std::string dir;  // absolute directory path, no trailing slash
    bool machine = false;

    // How it is reached: `base` (as configured; links followed), then the
    // directories of `below`, one by one, none of them a link. The store's
    // own directories, `base` too when it is $KEYHOLD_ROOT, must pass the
    // ownership checks (see OpenAreaDir).
    std::string base;
    std::vector<std::string> below;
    bool baseIsStore = false;
};

// Locates the user's or the machine area: where it is, without touching it
// (each use opens and checks it; see OpenAreaDir). With `create` the
// directories are made on the way with their modes (user area 0700; machine
// area and the users/ directory 1777; $KEYHOLD_ROOT 0755), whoever may make
// the shared directories of a $KEYHOLD_ROOT (its owner, or root) makes both
// users/ and machine/, and an area that then fails the ownership checks is
// ERROR_ACCESS_DENIED. Returns ERROR_SUCCESS or the error code.
DWORD LocateArea(bool machine, bool create, Area& out);

// The name of the default container: the effective user's login name, or
// "uid<N>" when the password database has none.
std::string DefaultContainerName();

}  // namespace keyhold

#endif
