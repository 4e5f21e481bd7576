// Formatted output on standard output. The format text is UTF-8 in the source and
// is converted to the locale's character set before formatting (code page 932
// under a Shift-JIS locale); the arguments are inserted as the bytes they are.
// Output is buffered; _getch flushes it before it waits, so a prompt is visible.
#ifndef KEYHOLD_CONSOLE_H
#define KEYHOLD_CONSOLE_H

#include <stdarg.h>

#ifdef __cplusplus
extern "C" {
#endif

int ConsolePrintf(const char* format, ...) __attribute__((format(printf, 1, 2)));
int ConsoleVPrintf(const char* format, va_list args) __attribute__((format(printf, 1, 0)));

#ifdef __cplusplus
}
#endif

#endif
