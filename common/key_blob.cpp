#include "key_blob.h"

#include <dirent.h>
#include <errno.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include <keyhold/unnamed_file.h>

#include "key_store.h"
#include "tool_frame.h"

// Attempts at a fresh temporary name before giving up.
static const int kTempNameAttempts = 8;

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

// The directory a replacement must be made in, so that the final rename
// stays within one file system.
static std::string DirectoryOf(const char* path) {
    const char* slash = strrchr(path, '/');
    if (slash == NULL) return ".";
    if (slash == path) return "/";
    return std::string(path, (size_t)(slash - path));
}

// A name for a temporary file in `directory`: ".keyhold-<pid>-<8 hex>.tmp".
static std::string TemporaryName(const std::string& directory) {
    static DWORD counter = 0;
    ++counter;
    const DWORD mix = ((DWORD)getpid() * 2654435761u) ^ GetTickCount() ^ (counter * 0x9E3779B9u);
    char name[48];
    snprintf(name, sizeof name, ".keyhold-%u-%08x.tmp", (unsigned)getpid(), (unsigned)mix);
    return directory + "/" + name;
}

// Creates a new, empty file next to the target: without a name where the file
// system allows, so that a writer killed before its move leaves nothing (the
// file may hold a private key); else under a temporary name. The template
// hands the target's permission bits on to the replacement; without one the
// file is private to its owner. *tempPath is the name, empty while it has none.
static HANDLE CreateTemporaryFile(const std::string& directory, HANDLE target,
                                  std::string* tempPath) {
    tempPath->clear();
    const HANDLE templateFile = target != INVALID_HANDLE_VALUE ? target : NULL;
    HANDLE unnamed = CreateUnnamedFileA(directory.c_str(), templateFile);
    if (unnamed != INVALID_HANDLE_VALUE || GetLastError() != ERROR_NOT_SUPPORTED) return unnamed;
    for (int attempt = 0; attempt < kTempNameAttempts; ++attempt) {
        *tempPath = TemporaryName(directory);
        HANDLE file = CreateFileA(tempPath->c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ,
                                  NULL, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, templateFile);
        if (file != INVALID_HANDLE_VALUE) return file;
        if (GetLastError() != ERROR_FILE_EXISTS) break;
    }
    tempPath->clear();
    return INVALID_HANDLE_VALUE;
}

// Gives a filled unnamed file its temporary name, for the move. Only from here
// to the move can a killed writer leave the file behind.
static bool NameTemporaryFile(HANDLE file, const std::string& directory, std::string* tempPath) {
    for (int attempt = 0; attempt < kTempNameAttempts; ++attempt) {
        *tempPath = TemporaryName(directory);
        if (NameUnnamedFileA(file, tempPath->c_str())) return true;
        if (GetLastError() != ERROR_FILE_EXISTS) break;
    }
    tempPath->clear();
    return false;
}

// Writes and flushes the temporary file, names it when it has no name yet,
// and closes it; on failure the error line has been printed and the handle
// is closed all the same.
static bool FillTemporaryFile(HANDLE file, const std::string& directory, const BYTE* data,
                              DWORD length, std::string* tempPath) {
    DWORD written = 0;
    bool ok = WriteFile(file, data, length, &written, NULL) != FALSE;
    if (ok && written != length) {
        SetLastError(ERROR_WRITE_FAULT);
        ok = false;
    }
    if (ok && !FlushFileBuffers(file)) ok = false;
    if (ok && tempPath->empty() && !NameTemporaryFile(file, directory, tempPath)) ok = false;
    if (!ok) {
        PrintLastError();
        CloseHandle(file);
        return false;
    }
    if (!CloseHandle(file)) {
        PrintLastError();
        return false;
    }
    return true;
}

// A temporary file names its writer's process: ".keyhold-<pid>-<8 hex>.tmp".
// Returns that pid, or 0 for any other name.
static pid_t TemporaryFileWriter(const char* name) {
    unsigned pid = 0, mix = 0;
    int end = 0;
    if (sscanf(name, ".keyhold-%u-%8x.tmp%n", &pid, &mix, &end) != 2) return 0;
    if (name[end] != '\0') return 0;
    return (pid_t)pid;
}

// Reading a directory costs about 0.3 µs an entry (30 ms for 100,000), so
// the sweep below passes over directories larger than this: 64 KiB of
// directory holds some thousands of entries on the usual file systems.
static const off_t kLargestSweptDirectory = 64 * 1024;

// A writer killed between naming its temporary file and moving it into place
// (a moment; on a file system without unnamed files, from creating it on)
// leaves the file behind, and it may hold a private key. Such files of ours
// whose writer no longer runs are removed; a live writer's file, or another
// user's, is left alone. A large directory is not read, so that no write's
// cost grows with the files beside its target.
static void RemoveDeadWritersFiles(const std::string& directory) {
    DIR* dir = opendir(directory.c_str());
    if (dir == NULL) return;
    struct stat dirStat;
    if (fstat(dirfd(dir), &dirStat) != 0 || dirStat.st_size > kLargestSweptDirectory) {
        closedir(dir);
        return;
    }
    const uid_t self = geteuid();
    while (struct dirent* entry = readdir(dir)) {
        const pid_t writer = TemporaryFileWriter(entry->d_name);
        if (writer <= 0 || writer == getpid()) continue;
        if (kill(writer, 0) == 0 || errno != ESRCH) continue;
        const std::string file = directory + "/" + entry->d_name;
        struct stat st;
        if (lstat(file.c_str(), &st) != 0 || !S_ISREG(st.st_mode) || st.st_uid != self) continue;
        unlink(file.c_str());
    }
    closedir(dir);
}

bool WriteKeyFile(const char* path, const BYTE* data, DWORD length) {
    if (path == NULL) path = "";

    // Holding the target open for writing proves we may replace it and keeps
    // other writers out until the replacement is in place.
    HANDLE target = CreateFileA(path, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, NULL,
                                OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, NULL);
    if (target == INVALID_HANDLE_VALUE && GetLastError() != ERROR_FILE_NOT_FOUND) {
        PrintLastError();
        return false;
    }
    // A link that names no file is refused, as the file functions refuse to
    // create through one: renaming over it would silently drop the link.
    struct stat linkStat;
    if (target == INVALID_HANDLE_VALUE && lstat(path, &linkStat) == 0 && S_ISLNK(linkStat.st_mode)) {
        SetLastError(ERROR_FILE_NOT_FOUND);
        PrintLastError();
        return false;
    }

    // Through a symbolic link the file it names is replaced, and the link stays.
    char* resolved = target != INVALID_HANDLE_VALUE ? realpath(path, NULL) : NULL;
    const char* destination = resolved != NULL ? resolved : path;

    const std::string directory = DirectoryOf(destination);
    std::string tempPath;
    HANDLE temp = CreateTemporaryFile(directory, target, &tempPath);
    bool result = false;
    if (temp == INVALID_HANDLE_VALUE) {
        PrintLastError();
    } else if (!FillTemporaryFile(temp, directory, data, length, &tempPath)) {
        if (!tempPath.empty()) DeleteFileA(tempPath.c_str());
    } else if (!MoveFileExA(tempPath.c_str(), destination,
                            MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
        PrintLastError();
        DeleteFileA(tempPath.c_str());
    } else {
        result = true;
        RemoveDeadWritersFiles(directory);
    }

    free(resolved);
    if (target != INVALID_HANDLE_VALUE) CloseHandle(target);
    return result;
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
