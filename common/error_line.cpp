#include <keyhold/console.h>

#include "tool_frame.h"

void PrintLastError(void) {
    const DWORD code = GetLastError();
    LPSTR text = NULL;
    const DWORD length = FormatMessageA(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
        NULL, code, MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT), (LPSTR)&text, 0, NULL);
    if (length == 0 || text == NULL) {
        // No text: the system knows none for this code, or had no memory left
        // to hand one over. Say which, rather than print an empty text.
        if (GetLastError() == ERROR_NOT_ENOUGH_MEMORY)
            ConsolePrintf("Error[%08x]=No memory was left for the text of this error.\n", (unsigned)code);
        else
            ConsolePrintf("Error[%08x]=Unknown error code.\n", (unsigned)code);
        return;
    }
    ConsolePrintf("Error[%08x]=%s\n", (unsigned)code, text);
    LocalFree(text);
}
