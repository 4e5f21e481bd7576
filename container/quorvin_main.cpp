#include <keyhold/process.h>

#include "quorvin.h"
#include "tool_frame.h"

int main(int argc, char* argv[]) {
    ProtectProcessMemory();
    ToolOptions options;
    SetDefaultOptions(&options);
    if (!ParseArgs(TOOL_QUORVIN, argc, argv, &options)) {
        PrintQuorvinUsage();
        return 1;
    }
    return ListContainers(options.providerType, options.machineKeySet) ? 0 : 1;
}
