// GMP's memory, wiped before it is given back: the numbers nettle's prime
// generator works with (the prime, and the smaller primes and factors it is
// built from) live in memory GMP allocates and frees on its own.
#ifndef KEYHOLD_KEYS_GMP_WIPE_H
#define KEYHOLD_KEYS_GMP_WIPE_H

namespace keyhold {

// From the first call on, every block GMP frees or moves is wiped first. The
// memory functions in place before stay underneath (a host's own included),
// so blocks allocated before the change are still freed by the functions
// that allocated them. Cheap to call again. The programs carry a GMP of their
// own; inside another program (a shared object on the system's GMP) a host
// that sets its memory functions later takes GMP's frees over from these.
void WipeGmpMemory();

}  // namespace keyhold

#endif
