#include <keyhold/console.h>
#include <windows.h>
#include <wincrypt.h>

#include "key_store.h"
#include "quorvin.h"
#include "tool_frame.h"

#define NAME_BUFFER_SIZE 1024

bool ListContainers(DWORD providerType, DWORD machineKeySet) {
    HCRYPTPROV context;
    if (!OpenDefaultContainerW(&context, providerType, machineKeySet, CONTAINER_OPEN_OR_CREATE))
        return false;

    bool result = true;
    BYTE name[NAME_BUFFER_SIZE];
    DWORD length = sizeof name;
    if (CryptGetProvParam(context, PP_NAME, name, &length, 0)) {
        name[sizeof name - 1] = 0;
        ConsolePrintf("Provider Name=%s\n", (const char*)name);
    } else {
        PrintLastError();
        result = false;
    }

    ConsolePrintf("> Key Container Name List\n");
    int counter = 1;
    DWORD enumFlag = CRYPT_FIRST;
    for (;;) {
        length = sizeof name;
        if (!CryptGetProvParam(context, PP_ENUMCONTAINERS, name, &length, enumFlag)) {
            if (GetLastError() != ERROR_NO_MORE_ITEMS) {
                PrintLastError();
                result = false;
            }
            break;
        }
        name[sizeof name - 1] = 0;  // the name is printed as text, whatever the store left
        ConsolePrintf("%3d=%s\n", counter, (const char*)name);
        ++counter;
        enumFlag = CRYPT_NEXT;
    }

    CryptReleaseContext(context, 0);
    return result;
}
