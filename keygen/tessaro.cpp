#include "tessaro.h"

#include <keyhold/console.h>
#include <keyhold/process.h>
#include <windows.h>
#include <wincrypt.h>

#include "key_blob.h"
#include "key_store.h"
#include "tool_frame.h"

void PrintTessaroUsage(void) {
    ConsolePrintf("CryptoAPIでRSA鍵ペアを作成しCSPの鍵コンテナに格納します。\n");
    ConsolePrintf("\n");
    ConsolePrintf("Tessaro [/N:鍵コンテナ名] [/P:CSP] [/M] [/X] [/L:鍵長(bit)] [/F:ファイル名] [/?]\n");
    ConsolePrintf("  /N:鍵コンテナ名  鍵を格納する鍵コンテナ名を指定します。未指定の場合は既定を使用。\n");
    ConsolePrintf("  /P:CSP           使用するCSP値。未指定の場合PROV_RSA_FULL=1。\n");
    ConsolePrintf("                   PROV_RSA_FULL     = 1\n");
    ConsolePrintf("                   PROV_RSA_SCHANNEL = 12\n");
    ConsolePrintf("                   PROV_RSA_AES      = 24\n");
    ConsolePrintf("  /M\t           鍵をグローバルな領域に格納します。未指定の場合はユーザ毎の領域に格納します。\n");
    ConsolePrintf("  /X\t           秘密鍵をエクスポート可能にします。\n");
    ConsolePrintf("  /L:鍵長(bit)     鍵のサイズをビットで指定します。未指定の場合2048。\n");
    ConsolePrintf("  /F:ファイル名    出力する公開鍵ファイル名。未指定の場合は出力しません。\n");
    ConsolePrintf("  /?               使用方法を表示します。\n");
    ConsolePrintf("\n");
    ConsolePrintf("(例)\n");
    ConsolePrintf("  Tessaro /N:TestProvider /L:4096 /F:test.file\n");
    ConsolePrintf("  Tessaro /N:\"Test Provider\" /L:4096 /F:\"c:\\Sample Dir\\test.file\"\n");
}

DWORD TessaroGenKeyFlags(LONG keyLength, DWORD exportable) {
    return (((DWORD)keyLength & 0xFFFFu) << 16) | (exportable ? CRYPT_EXPORTABLE : 0);
}

bool GenerateKeyPair(DWORD machineKeySet, const char* containerName, LONG keyLength,
                     DWORD providerType, DWORD exportable) {
    HCRYPTPROV context = 0;
    if (!OpenContainer(&context, containerName, providerType, machineKeySet,
                       CONTAINER_OPEN_OR_CREATE))
        return false;

    // Only the generation itself is timed, not the opening of the container.
    const DWORD start = GetTickCount();
    HCRYPTKEY key = 0;
    bool result = false;
    if (CryptGenKey(context, CALG_RSA_KEYX, TessaroGenKeyFlags(keyLength, exportable), &key)) {
        const DWORD elapsed = GetTickCount() - start;
        ConsolePrintf("Generate Time=%lu\n", (unsigned long)elapsed);
        CryptDestroyKey(key);
        result = true;
    } else {
        PrintLastError();
    }
    CryptReleaseContext(context, 0);
    return result;
}

int TessaroMain(int argc, char* argv[]) {
    ProtectProcessMemory();
    ToolOptions options;
    SetDefaultOptions(&options);
    if (!ParseArgs(TOOL_TESSARO, argc, argv, &options)) {
        PrintTessaroUsage();
        return 1;
    }
    if (!GenerateKeyPair(options.machineKeySet, options.containerName, options.keyLength,
                         options.providerType, options.exportable))
        return 1;
    // A public key file that was asked for and not written is a failed run,
    // though the new pair stays in the container.
    if (options.keyFilePath != NULL &&
        !ExportUserKey(options.machineKeySet, options.containerName, options.keyFilePath,
                       options.providerType, PUBLICKEYBLOB))
        return 1;
    return 0;
}
