#include "key_blob.h"

#include <stdlib.h>

#include <keyhold/key_file.h>

#include "key_store.h"
#include "tool_frame.h"

// A zero-length blob still gets a buffer of its own, so success always hands
// over a pointer that can be freed.
static BYTE* AllocateKeyBuffer(DWORD length) {
    BYTE* buffer = (BYTE*)malloc(length != 0 ? length : 1);
    if (buffer == NULL) SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return buffer;
}

void FreeKeyBuffer(BYTE* buffer, DWORD length) {
    if (buffer == NULL) return;
    SecureZeroMemory(buffer, length);
    free(buffer);
}

bool ExportUserKey(DWORD machineKeySet, const char* containerName, const char* path,
                   DWORD providerType, DWORD blobType) {
    HCRYPTPROV context = 0;
    if (!OpenContainer(&context, containerName, providerType, machineKeySet,
                       CONTAINER_OPEN_EXISTING))
        return false;

    HCRYPTKEY key = 0;
    if (!CryptGetUserKey(context, AT_KEYEXCHANGE, &key)) {
        PrintLastError();
        CryptReleaseContext(context, 0);
        return false;
    }

    DWORD length = 0;
    if (!CryptExportKey(key, 0, blobType, 0, NULL, &length)) {
        PrintLastError();
        CryptDestroyKey(key);
        CryptReleaseContext(context, 0);
        return false;
    }

    const DWORD allocated = length;
    BYTE* buffer = AllocateKeyBuffer(allocated);
    if (buffer == NULL) {
        PrintLastError();
        CryptDestroyKey(key);
        CryptReleaseContext(context, 0);
        return false;
    }

    bool result = false;
    if (!CryptExportKey(key, 0, blobType, 0, buffer, &length)) {
        PrintLastError();
    } else if (path != NULL) {
        result = WriteKeyFile(path, buffer, length);
    } else {
        result = true;
    }

    FreeKeyBuffer(buffer, allocated);
    CryptDestroyKey(key);
    CryptReleaseContext(context, 0);
    return result;
}

bool WriteKeyFile(const char* path, const BYTE* data, DWORD length) {
    // The replacement is whole or nothing: a failure leaves the file that was
    // there. A private key blob always lands in a file of the writer's own.
    if (!WriteKeyBlobFileA(path != NULL ? path : "", data, length)) {
        PrintLastError();
        return false;
    }
    return true;
}

bool ReadKeyFile(const char* path, BYTE** buffer, DWORD* length) {
    *buffer = NULL;
    *length = 0;
    // No /F: at all is a file that cannot be found, like an empty path.
    HANDLE file = CreateFileA(path != NULL ? path : "", GENERIC_READ, FILE_SHARE_READ, NULL,
                              OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, NULL);
    if (file == INVALID_HANDLE_VALUE) {
        PrintLastError();
        return false;
    }

    SetLastError(NO_ERROR);
    const DWORD size = GetFileSize(file, NULL);
    if (size == INVALID_FILE_SIZE) {
        // A length of exactly 0xFFFFFFFF is no failure of the query, but no
        // key blob is that long, and the buffer could not say so either.
        if (GetLastError() == NO_ERROR) SetLastError(ERROR_FILE_TOO_LARGE);
        PrintLastError();
        CloseHandle(file);
        return false;
    }

    BYTE* data = AllocateKeyBuffer(size);
    if (data == NULL) {
        PrintLastError();
        CloseHandle(file);
        return false;
    }

    DWORD read = 0;
    bool ok = ReadFile(file, data, size, &read, NULL) != FALSE;
    if (ok && read != size) {
        SetLastError(ERROR_HANDLE_EOF);
        ok = false;
    }
    if (!ok) {
        const DWORD error = GetLastError();
        FreeKeyBuffer(data, size);
        SetLastError(error);
        PrintLastError();
        CloseHandle(file);
        return false;
    }

    CloseHandle(file);
    *buffer = data;
    *length = size;
    return true;
}

bool ImportKeyBlob(const BYTE* blob, DWORD length, DWORD exportable, DWORD machineKeySet,
                   const char* containerName, DWORD providerType) {
    HCRYPTPROV context = 0;
    if (!OpenContainer(&context, containerName, providerType, machineKeySet,
                       CONTAINER_OPEN_OR_CREATE))
        return false;

    HCRYPTKEY key = 0;
    if (!CryptImportKey(context, blob, length, 0, exportable ? CRYPT_EXPORTABLE : 0, &key)) {
        PrintLastError();
        CryptReleaseContext(context, 0);
        return false;
    }

    CryptDestroyKey(key);
    CryptReleaseContext(context, 0);
    return true;
}
