#include <keyhold/console.h>

#include "tool_frame.h"

void PrintLastError(void) {
    const DWORD code = GetLastError();
    LPSTR text = NULL;
    const DWORD length = FormatMessageA(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
        NULL, code, MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT), (LPSTR)&text, 0, NULL);
    if (length == 0 || text == NULL) {
        // The system knows no text for this code; say so rather than print an empty text.
        ConsolePrintf("Error[%08x]=Unknown error code.\n", (unsigned)code);
        return;
    }
    ConsolePrintf("Error[%08x]=%s\n", (unsigned)code, text);
    LocalFree(text);
}
