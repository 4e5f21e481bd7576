// The frame every program shares: the option record, the command-line scan and
// the error line.
#ifndef KEYHOLD_COMMON_TOOL_FRAME_H
#define KEYHOLD_COMMON_TOOL_FRAME_H

#include <windows.h>

// Every value a command line can set. String fields point into the argument
// text itself and are never copied.
struct ToolOptions {
    DWORD providerType;         // /P:
    const char* containerName;  // /N:, null: the default container
    DWORD machineKeySet;        // /M
    const char* keyFilePath;    // /F:, null: none
    DWORD exportable;           // /X
    LONG keyLength;             // /L:
    DWORD publicExponent;       // /E:
    DWORD blobType;             // /K:
};

// The seven programs; each recognises its own options in its own order.
enum ToolProgram {
    TOOL_VANDREL,
    TOOL_TESSARO,
    TOOL_MORBECK,
    TOOL_FALDREN,
    TOOL_OMBRIX,
    TOOL_QUORVIN,
    TOOL_ZETRASK
};

// Provider type 1, no container, user area, no file, not exportable,
// 2048 bits, exponent 65537, PUBLICKEYBLOB.
void SetDefaultOptions(ToolOptions* options);

// Scans argv[1..argc-1] with the program's option table. Writes only the
// fields whose option occurs. False when /? was met (the usage is wanted).
bool ParseArgs(ToolProgram program, int argc, char* argv[], ToolOptions* options);

// Prints "Error[%08x]=<text>\n" for the calling thread's last error code.
void PrintLastError(void);

#endif
