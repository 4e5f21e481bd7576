// Faldren: exports a container's exchange key to a key blob file.
#ifndef KEYHOLD_KEYFILE_FALDREN_H
#define KEYHOLD_KEYFILE_FALDREN_H

void PrintFaldrenUsage(void);

// The whole program: scan, usage or export and message, exit status.
int FaldrenMain(int argc, char* argv[]);

#endif
