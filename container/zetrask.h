// Zetrask: the deletion of one key container.
#ifndef KEYHOLD_CONTAINER_ZETRASK_H
#define KEYHOLD_CONTAINER_ZETRASK_H

#include <windows.h>

void PrintZetraskUsage(void);

// Asks whether the default container is to go and reads one key press;
// true only for y or Y.
bool ConfirmDefaultDeletion(void);

// Deletes the named container (null: the default one) of provider type 1 and
// prints the success line or the error line.
bool DeleteContainer(const char* containerName, DWORD machineKeySet);

#endif
