#include <keyhold/console.h>

#include "vandrel.h"

void PrintVandrelUsage(void) {
    ConsolePrintf("CryptoAPIで使用するRSA交換鍵の情報を表示します。\n");
    ConsolePrintf("\n");
    ConsolePrintf("Vandrel [/P:CSP] [/N:鍵コンテナ名] [/M] [/?]\n");
    ConsolePrintf("  /P:CSP           使用するCSP値。未指定の場合PROV_RSA_FULL=1。\n");
    ConsolePrintf("                   PROV_RSA_FULL     = 1\n");
    ConsolePrintf("                   PROV_RSA_SCHANNEL = 12\n");
    ConsolePrintf("                   PROV_RSA_AES      = 24\n");
    ConsolePrintf("  /N:鍵コンテナ名  鍵が含まれる鍵コンテナ名を指定します。未指定の場合は既定を使用。\n");
    ConsolePrintf("  /M\t           鍵をグローバルな領域から取得します。未指定の場合はユーザ毎の領域から取得します。\n");
    ConsolePrintf("  /?               使用方法を表示します。\n");
    ConsolePrintf("\n");
    ConsolePrintf("(例)\n");
    ConsolePrintf("  Vandrel /P:1 /N:TestProvider\n");
    ConsolePrintf("  Vandrel /P:24 /N:\"Test Provider\" /M\n");
}
