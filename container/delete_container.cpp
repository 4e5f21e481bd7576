#include <conio.h>
#include <keyhold/console.h>
#include <windows.h>
#include <wincrypt.h>

#include "tool_frame.h"
#include "zetrask.h"

bool ConfirmDefaultDeletion(void) {
    ConsolePrintf("既定の鍵コンテナを削除しますか？[y(Y)/n(N)]\n");
    const int key = _getch();
    return key == 'y' || key == 'Y';
}

bool DeleteContainer(const char* containerName, DWORD machineKeySet) {
    const DWORD flags = CRYPT_DELETEKEYSET | (machineKeySet ? CRYPT_MACHINE_KEYSET : 0);
    HCRYPTPROV context = 0;
    if (!CryptAcquireContextA(&context, containerName, NULL, PROV_RSA_FULL, flags)) {
        PrintLastError();
        return false;
    }
    // The default container's name is never asked for, so that line has a text of its own.
    if (containerName == NULL)
        ConsolePrintf("鍵コンテナ[(既定)]を削除しました。\n");
    else
        ConsolePrintf("鍵コンテナ[%s]を削除しました。\n", containerName);
    return true;
}
