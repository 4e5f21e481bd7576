// Quorvin: the listing of a provider type's key containers.
#ifndef KEYHOLD_CONTAINER_QUORVIN_H
#define KEYHOLD_CONTAINER_QUORVIN_H

#include <windows.h>

void PrintQuorvinUsage(void);

// Prints the provider name, a heading and the numbered container names of the
// area. Opens (and, when missing, creates) the default container to get there.
// False when any error line was printed.
bool ListContainers(DWORD providerType, DWORD machineKeySet);

#endif
