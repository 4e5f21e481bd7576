// libkeyhold_no_fsync.so, for LD_PRELOAD: fsync and fdatasync return at once.
// Only to show what a program's run costs apart from its durable writes;
// never for real use, since nothing it writes is then safe from a crash.
extern "C" int fsync(int) { return 0; }
extern "C" int fdatasync(int) { return 0; }
