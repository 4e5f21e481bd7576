#include <keyhold/console.h>

#include "key_parameters.h"
#include "key_store.h"
#include "tool_frame.h"
#include "vandrel.h"

#define NAME_BUFFER_SIZE 1024

bool PrintContainerName(HCRYPTPROV context) {
    BYTE name[NAME_BUFFER_SIZE];
    DWORD length = sizeof name;
    if (!CryptGetProvParam(context, PP_CONTAINER, name, &length, 0)) {
        PrintLastError();
        return false;
    }
    name[sizeof name - 1] = 0;  // the name is printed as text, whatever the store left
    ConsolePrintf("Container Name=%s\n", (const char*)name);
    return true;
}

bool ReportContainerKey(const char* containerName, DWORD providerType, DWORD machineKeySet) {
    HCRYPTPROV context;
    if (!OpenContainer(&context, containerName, providerType, machineKeySet,
                       CONTAINER_OPEN_EXISTING))
        return false;
    bool result = PrintContainerName(context);
    HCRYPTKEY key;
    if (!CryptGetUserKey(context, AT_KEYEXCHANGE, &key)) {
        PrintLastError();
        CryptReleaseContext(context, 0);
        return false;
    }
    if (!PrintKeyParameters(key)) result = false;
    CryptDestroyKey(key);
    CryptReleaseContext(context, 0);
    return result;
}
