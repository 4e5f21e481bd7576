#include <keyhold/process.h>

#include <sys/prctl.h>
#include <sys/resource.h>

extern "C" void ProtectProcessMemory(void) {
    // Not dumpable: no core file, and /proc/<pid>/mem, ptrace and the rest of
    // /proc/<pid> closed to every process of the same user but root. A failure
    // leaves nothing to do better, so neither call is checked further.
    prctl(PR_SET_DUMPABLE, 0, 0, 0, 0);
    // Also for core handlers (a pipe in core_pattern) that the flag alone does
    // not keep from running when suid_dumpable is 2.
    const rlimit none{0, 0};
    setrlimit(RLIMIT_CORE, &none);
}
