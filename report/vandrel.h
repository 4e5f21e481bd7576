// Vandrel: the report of a container's name and its exchange key.
#ifndef KEYHOLD_REPORT_VANDREL_H
#define KEYHOLD_REPORT_VANDREL_H

#include <windows.h>
#include <wincrypt.h>

void PrintVandrelUsage(void);

// Prints "Container Name=..." or the error line in its place; false on failure.
bool PrintContainerName(HCRYPTPROV context);

// Opens the container without creating it and reports its name and exchange
// key. False when any error line was printed.
bool ReportContainerKey(const char* containerName, DWORD providerType, DWORD machineKeySet);

#endif
