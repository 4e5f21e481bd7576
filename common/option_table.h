// The option tables behind ParseArgs, open to tests.
#ifndef KEYHOLD_COMMON_OPTION_TABLE_H
#define KEYHOLD_COMMON_OPTION_TABLE_H

#include <stddef.h>

#include "tool_frame.h"

enum OptionKind {
    OPTION_USAGE,     // stops the scan with false
    OPTION_UNSIGNED,  // decimal, as strtoul with base 10
    OPTION_SIGNED,    // decimal, as atoi
    OPTION_TEXT,      // the text after the prefix, in place
    OPTION_FLAG       // set to 1
};

enum OptionField {
    FIELD_NONE,
    FIELD_PROVIDER_TYPE,
    FIELD_CONTAINER_NAME,
    FIELD_MACHINE_KEYSET,
    FIELD_KEY_FILE_PATH,
    FIELD_EXPORTABLE,
    FIELD_KEY_LENGTH,
    FIELD_PUBLIC_EXPONENT,
    FIELD_BLOB_TYPE
};

struct OptionEntry {
    const char* text;
    OptionKind kind;
    OptionField field;
};

// The program's options in the order the scan tests them.
const OptionEntry* ProgramOptionTable(ToolProgram program, size_t* count);

// The scan over one table.
bool ScanOptions(const OptionEntry* table, size_t count, int argc, char* argv[],
                 ToolOptions* options);

// The conversions of numeric option values, as the 32-bit runtime does them:
// a magnitude beyond 32 bits saturates, and strtoul negates modulo 2^32.
DWORD ConvertUnsignedOption(const char* text);
LONG ConvertSignedOption(const char* text);

#endif
