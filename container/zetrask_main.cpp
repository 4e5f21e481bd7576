#include <keyhold/process.h>

#include "tool_frame.h"
#include "zetrask.h"

int main(int argc, char* argv[]) {
    ProtectProcessMemory();
    ToolOptions options;
    SetDefaultOptions(&options);
    if (!ParseArgs(TOOL_ZETRASK, argc, argv, &options)) {
        PrintZetraskUsage();
        return 1;
    }
    if (options.containerName == NULL && !ConfirmDefaultDeletion()) return 1;
    return DeleteContainer(options.containerName, options.machineKeySet) ? 0 : 1;
}
