// Files that have no name until they are given one, beside the file functions
// of windows.h. A writer killed while it fills such a file leaves nothing
// behind, where a named temporary file would stay, with whatever it held.
#ifndef KEYHOLD_UNNAMED_FILE_H
#define KEYHOLD_UNNAMED_FILE_H

#include <windows.h>

#ifdef __cplusplus
extern "C" {
#endif

// A new, empty file without a name in the directory lpDirectory, open for
// reading and writing. It takes the permission bits of hTemplateFile (and,
// when root creates it, that file's owner), as CreateFileA's template does;
// without a template it is private to its owner. ERROR_NOT_SUPPORTED where
// the file system has no unnamed files: the caller then uses a named one.
HANDLE CreateUnnamedFileA(LPCSTR lpDirectory, HANDLE hTemplateFile);

// Gives the unnamed file hFile the name lpNewFileName, in its directory. The
// name must be free: ERROR_FILE_EXISTS when anything has it, a link included.
BOOL NameUnnamedFileA(HANDLE hFile, LPCSTR lpNewFileName);

#ifdef __cplusplus
}
#endif

#endif
