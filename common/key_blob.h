// Key blob files and the export and import of a container's exchange key.
// Each operation prints its own error line and gives its caller only the
// result; callers print nothing more for these failures.
#ifndef KEYHOLD_COMMON_KEY_BLOB_H
#define KEYHOLD_COMMON_KEY_BLOB_H

#include <windows.h>
#include <wincrypt.h>

// Exports the exchange key of the container (null: the default one) as a blob
// of blobType and, when path is not null, writes it to that file. Never
// creates a container; no file is touched unless the export succeeded.
bool ExportUserKey(DWORD machineKeySet, const char* containerName, const char* path,
                   DWORD providerType, DWORD blobType);

// Stores exactly length bytes as the whole content of the file at path. A
// private key blob is always in a file of the caller's own that no one else
// may read; a public one that replaces a file keeps its permissions. When
// anything fails, what was there before is left as it was.
bool WriteKeyFile(const char* path, const BYTE* data, DWORD length);

// Reads the whole file into a new heap buffer that the caller releases with
// FreeKeyBuffer. On failure no buffer is handed over.
bool ReadKeyFile(const char* path, BYTE** buffer, DWORD* length);

// Wipes a buffer that may hold private key material, then frees it.
void FreeKeyBuffer(BYTE* buffer, DWORD length);

// Imports the blob into the container, creating the container when the key
// store does not know it. A container created here stays when the import fails.
bool ImportKeyBlob(const BYTE* blob, DWORD length, DWORD exportable, DWORD machineKeySet,
                   const char* containerName, DWORD providerType);

#endif
