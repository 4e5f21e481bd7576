#include "ombrix.h"

#include <keyhold/console.h>
#include <keyhold/process.h>

#include "key_blob.h"
#include "tool_frame.h"

void PrintOmbrixUsage(void) {
    ConsolePrintf("CSPの鍵コンテナへ公開鍵/秘密鍵をインポートします。\n");
    ConsolePrintf("\n");
    ConsolePrintf("Ombrix </F:ファイル名> [/P:CSP] [/N:鍵コンテナ名] [/M] [/?]\n");
    ConsolePrintf("  /F:ファイル名    インポートする公開鍵 or 秘密鍵のファイル名。\n");
    ConsolePrintf("  /P:CSP           使用するCSP値。未指定の場合PROV_RSA_FULL=1。\n");
    ConsolePrintf("                   PROV_RSA_FULL     = 1\n");
    ConsolePrintf("                   PROV_RSA_SCHANNEL = 12\n");
    ConsolePrintf("                   PROV_RSA_AES      = 24\n");
    ConsolePrintf("  /N:鍵コンテナ名  格納する鍵コンテナ名を指定します。未指定の場合は既定を使用。\n");
    ConsolePrintf("  /M\t           鍵をグローバルな領域に格納します。未指定の場合はユーザ毎の領域に格納します。\n");
    ConsolePrintf("  /X\t           秘密鍵をエクスポート可能にします。\n");
    ConsolePrintf("  /?               使用方法を表示します。\n");
    ConsolePrintf("\n");
    ConsolePrintf("(例)\n");
    ConsolePrintf("  Ombrix /F:test.file /P:24 /N:TestProvider\n");
    ConsolePrintf("  Ombrix /F:\"c:\\Exp Dir\\test.file\" /N:\"Test Provider\"\n");
}

bool ImportKeyFile(const char* path, DWORD exportable, DWORD machineKeySet,
                   const char* containerName, DWORD providerType) {
    BYTE* blob = NULL;
    DWORD length = 0;
    // A file that cannot be read never gets as far as the key store, so no
    // container is created for it.
    if (!ReadKeyFile(path, &blob, &length)) return false;
    const bool imported =
        ImportKeyBlob(blob, length, exportable, machineKeySet, containerName, providerType);
    FreeKeyBuffer(blob, length);
    return imported;
}

int OmbrixMain(int argc, char* argv[]) {
    ProtectProcessMemory();
    ToolOptions options;
    SetDefaultOptions(&options);
    // The file is the one thing Ombrix cannot do without.
    if (argc < 2 || !ParseArgs(TOOL_OMBRIX, argc, argv, &options)) {
        PrintOmbrixUsage();
        return 1;
    }
    if (!ImportKeyFile(options.keyFilePath, options.exportable, options.machineKeySet,
                       options.containerName, options.providerType))
        return 1;
    ConsolePrintf("Import file[%s] succeeded.\n", options.keyFilePath);
    return 0;
}
