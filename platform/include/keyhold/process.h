// Protection of the process that holds key material, beside the process
// functions of windows.h.
#ifndef KEYHOLD_PROCESS_H
#define KEYHOLD_PROCESS_H

#ifdef __cplusplus
extern "C" {
#endif

// Keeps private key material in this process's memory from reaching anyone
// else: no core dump is written of it, and no other process of the same user
// may read its memory (on Linux: not dumpable, as ssh-agent makes itself,
// and no core file size). Call before any key material is read or made.
void ProtectProcessMemory(void);

#ifdef __cplusplus
}
#endif

#endif
