#include "faldren.h"

#include <keyhold/console.h>
#include <keyhold/process.h>

#include "key_blob.h"
#include "tool_frame.h"

void PrintFaldrenUsage(void) {
    ConsolePrintf("CSPの鍵コンテナにある公開鍵/秘密鍵をエクスポートします。\n");
    ConsolePrintf("\n");
    ConsolePrintf("Faldren [/F:ファイル名] [/P:CSP] [/N:鍵コンテナ名] [/M] [/K:鍵種類] [/?]\n");
    ConsolePrintf("  /F:ファイル名    出力する公開鍵ファイル名。未指定の場合は出力しません(テストモード)。\n");
    ConsolePrintf("  /P:CSP           使用するCSP値。未指定の場合PROV_RSA_FULL=1。\n");
    ConsolePrintf("                   PROV_RSA_FULL     = 1\n");
    ConsolePrintf("                   PROV_RSA_SCHANNEL = 12\n");
    ConsolePrintf("                   PROV_RSA_AES      = 24\n");
    ConsolePrintf("  /N:鍵コンテナ名  出力する鍵コンテナ名を指定します。未指定の場合は既定を使用。\n");
    ConsolePrintf("  /M\t           鍵をグローバルな領域から取得します。未指定の場合はユーザ毎の領域から取得します。\n");
    ConsolePrintf("  /K:鍵種類        出力する鍵種類を指定します。未指定の場合は公開鍵。\n");
    ConsolePrintf("                   公開鍵     = 6\n");
    ConsolePrintf("                   秘密鍵     = 7\n");
    ConsolePrintf("  /?               使用方法を表示します。\n");
    ConsolePrintf("\n");
    ConsolePrintf("(例)\n");
    ConsolePrintf("  Faldren /F:test.file /P:24 /N:TestProvider\n");
    ConsolePrintf("  Faldren /F:\"c:\\Exp Dir\\test.file\" /N:\"Test Provider\"\n");
}

int FaldrenMain(int argc, char* argv[]) {
    ProtectProcessMemory();
    ToolOptions options;
    SetDefaultOptions(&options);
    if (!ParseArgs(TOOL_FALDREN, argc, argv, &options)) {
        PrintFaldrenUsage();
        return 1;
    }
    if (!ExportUserKey(options.machineKeySet, options.containerName, options.keyFilePath,
                       options.providerType, options.blobType))
        return 1;
    // Without a path the export alone was the test.
    ConsolePrintf("Export file[%s] succeeded.\n",
                  options.keyFilePath != NULL ? options.keyFilePath : "Virtual Test");
    return 0;
}
