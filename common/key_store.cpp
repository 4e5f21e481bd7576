#include "key_store.h"

#include "tool_frame.h"

typedef BOOL (*AcquireFunction)(HCRYPTPROV* context, const char* containerName,
                                DWORD providerType, DWORD flags);

static BOOL AcquireNamed(HCRYPTPROV* context, const char* containerName, DWORD providerType,
                         DWORD flags) {
    return CryptAcquireContextA(context, containerName, NULL, providerType, flags);
}

// A null name selects the same container in either character set.
static BOOL AcquireDefaultWide(HCRYPTPROV* context, const char*, DWORD providerType,
                               DWORD flags) {
    return CryptAcquireContextW(context, NULL, NULL, providerType, flags);
}

static bool OpenWith(AcquireFunction acquire, HCRYPTPROV* context, const char* containerName,
                     DWORD providerType, DWORD machineKeySet, ContainerOpen mode) {
    const DWORD areaFlags = machineKeySet ? CRYPT_MACHINE_KEYSET : 0;
    *context = 0;
    if (acquire(context, containerName, providerType, areaFlags)) return true;
    if (mode == CONTAINER_OPEN_OR_CREATE && GetLastError() == (DWORD)NTE_BAD_KEYSET &&
        acquire(context, containerName, providerType, areaFlags | CRYPT_NEWKEYSET))
        return true;
    *context = 0;
    PrintLastError();
    return false;
}

bool OpenContainer(HCRYPTPROV* context, const char* containerName, DWORD providerType,
                   DWORD machineKeySet, ContainerOpen mode) {
    return OpenWith(AcquireNamed, context, containerName, providerType, machineKeySet, mode);
}

bool OpenDefaultContainerW(HCRYPTPROV* context, DWORD providerType, DWORD machineKeySet,
                           ContainerOpen mode) {
    return OpenWith(AcquireDefaultWide, context, NULL, providerType, machineKeySet, mode);
}
