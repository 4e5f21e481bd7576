#include <keyhold/process.h>

#include "tool_frame.h"
#include "vandrel.h"

int main(int argc, char* argv[]) {
    ProtectProcessMemory();
    ToolOptions options;
    SetDefaultOptions(&options);
    if (!ParseArgs(TOOL_VANDREL, argc, argv, &options)) {
        PrintVandrelUsage();
        return 1;
    }
    return ReportContainerKey(options.containerName, options.providerType, options.machineKeySet)
               ? 0
               : 1;
}
