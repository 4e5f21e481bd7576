// Console key input.
#ifndef KEYHOLD_CONIO_H
#define KEYHOLD_CONIO_H

#ifdef __cplusplus
extern "C" {
#endif

// One key press without echo and without waiting for Enter on a terminal; one
// byte from standard input otherwise. Returns -1 (EOF) at the end of input.
int _getch(void);

#ifdef __cplusplus
}
#endif

#endif
