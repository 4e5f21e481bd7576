#include <keyhold/console.h>

#include "zetrask.h"

void PrintZetraskUsage(void) {
    ConsolePrintf("CSPに存在する鍵コンテナを削除します。\n");
    ConsolePrintf("\n");
    ConsolePrintf("Zetrask [/N:鍵コンテナ名] [/M] [/?]\n");
    ConsolePrintf("  /N:鍵コンテナ名  削除する鍵コンテナ名を指定します。未指定の場合は既定を使用。\n");
    ConsolePrintf("  /M\t           鍵をグローバルな領域から削除します。未指定の場合はユーザ毎の領域から削除します。\n");
    ConsolePrintf("  /?               使用方法を表示します。\n");
    ConsolePrintf("\n");
    ConsolePrintf("(例)\n");
    ConsolePrintf("  Zetrask /N:TestProvider\n");
    ConsolePrintf("  Zetrask /N:\"Test Provider\"\n");
}
