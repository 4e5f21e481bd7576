// The key report of Vandrel: the name tables and the parameter sections.
#ifndef KEYHOLD_REPORT_KEY_PARAMETERS_H
#define KEYHOLD_REPORT_KEY_PARAMETERS_H

#include <stddef.h>
#include <windows.h>
#include <wincrypt.h>

struct NamedValue {
    DWORD value;
    const char* name;
};

struct PermissionFlag {
    DWORD bit;
    const char* name;
    const char* description;
};

extern const NamedValue AlgIdNames[];
extern const size_t AlgIdNameCount;
extern const NamedValue PaddingNames[];
extern const size_t PaddingNameCount;
extern const NamedValue CipherModeNames[];
extern const size_t CipherModeNameCount;
extern const PermissionFlag PermissionFlags[];
extern const size_t PermissionFlagCount;

// The value's name in the table, "?" when it has none.
const char* LookUpName(const NamedValue* table, size_t count, DWORD value);

// Prints every parameter section the key store reports for the key, the public
// exponent last. Sections the store does not report are left out silently;
// false only when the public key export failed (its error line is printed).
bool PrintKeyParameters(HCRYPTKEY key);

#endif
