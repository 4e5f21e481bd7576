// Opening key containers: the one way the programs reach the key store.
#ifndef KEYHOLD_COMMON_KEY_STORE_H
#define KEYHOLD_COMMON_KEY_STORE_H

#include <windows.h>
#include <wincrypt.h>

enum ContainerOpen {
    CONTAINER_OPEN_EXISTING,  // one attempt, never creates
    CONTAINER_OPEN_OR_CREATE  // on NTE_BAD_KEYSET, once more with CRYPT_NEWKEYSET
};

// Acquires the named container (null: the default one) of the provider type,
// in the machine area when machineKeySet is non-zero. On failure prints the
// error line and returns false; the last error keeps the reason.
bool OpenContainer(HCRYPTPROV* context, const char* containerName, DWORD providerType,
                   DWORD machineKeySet, ContainerOpen mode);

// The same for the default container through the wide-character call.
bool OpenDefaultContainerW(HCRYPTPROV* context, DWORD providerType, DWORD machineKeySet,
                           ContainerOpen mode);

#endif
