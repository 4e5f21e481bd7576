// Key blob files, written whole or not at all, beside the file functions of
// windows.h.
#ifndef KEYHOLD_KEY_FILE_H
#define KEYHOLD_KEY_FILE_H

#include <windows.h>

#ifdef __cplusplus
extern "C" {
#endif

// Creates the file lpFileName, or replaces its whole content, with exactly
// the dwDataLen bytes at pbData, atomically: a failure leaves what was there,
// and readers see the old content or the new. Data that is not a
// PUBLICKEYBLOB is taken as secret: the file is then the caller's own and
// readable by no one else, whatever it replaces. A public key blob that
// replaces a file keeps that file's permissions. While the file is being
// replaced no one else may open it for writing (ERROR_SHARING_VIOLATION
// when someone has). Fails with the last error set.
BOOL WINAPI WriteKeyBlobFileA(LPCSTR lpFileName, const BYTE* pbData, DWORD dwDataLen);

#ifdef __cplusplus
}
#endif

#endif
