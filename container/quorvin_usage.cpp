#include <keyhold/console.h>

#include "quorvin.h"

void PrintQuorvinUsage(void) {
    ConsolePrintf("CryptoAPIで使用する鍵コンテナ一覧を表示します。\n");
    ConsolePrintf("\n");
    ConsolePrintf("Quorvin [/P:CSP] [/M] [/?]\n");
    ConsolePrintf("  /P:CSP           使用するCSP値。未指定の場合PROV_RSA_FULL=1。\n");
    ConsolePrintf("                   PROV_RSA_FULL     = 1\n");
    ConsolePrintf("                   PROV_RSA_SCHANNEL = 12\n");
    ConsolePrintf("                   PROV_RSA_AES      = 24\n");
    ConsolePrintf("  /M\t           一覧をグローバルな領域から取得します。未指定の場合はユーザ毎の領域から取得します。\n");
    ConsolePrintf("  /?               使用方法を表示します。\n");
    ConsolePrintf("\n");
    ConsolePrintf("(例)\n");
    ConsolePrintf("  Quorvin /P:1\n");
    ConsolePrintf("  Quorvin /P:24\n");
}
