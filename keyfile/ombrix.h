// Ombrix: imports a key blob file into a container.
#ifndef KEYHOLD_KEYFILE_OMBRIX_H
#define KEYHOLD_KEYFILE_OMBRIX_H

#include <windows.h>

void PrintOmbrixUsage(void);

// Reads the file and hands its content unchanged to the key store; the buffer
// is wiped and freed whatever the import answered.
bool ImportKeyFile(const char* path, DWORD exportable, DWORD machineKeySet,
                   const char* containerName, DWORD providerType);

// The whole program: argument test, scan, usage or import and message, exit status.
int OmbrixMain(int argc, char* argv[]);

#endif
