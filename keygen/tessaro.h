// Tessaro: the key store generates a new exchange key pair in a container.
#ifndef KEYHOLD_KEYGEN_TESSARO_H
#define KEYHOLD_KEYGEN_TESSARO_H

#include <windows.h>

void PrintTessaroUsage(void);

// The key generation flags word: the low 16 bits of the length in the upper
// half, CRYPT_EXPORTABLE in bit 0.
DWORD TessaroGenKeyFlags(LONG keyLength, DWORD exportable);

// Opens or creates the container, has the key store generate the pair and
// prints the time line; one error line on failure. Holds nothing afterwards.
bool GenerateKeyPair(DWORD machineKeySet, const char* containerName, LONG keyLength,
                     DWORD providerType, DWORD exportable);

// The whole program: scan, usage or generation and export, exit status.
int TessaroMain(int argc, char* argv[]);

#endif
