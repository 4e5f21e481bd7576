#include <ctype.h>
#include <errno.h>
#include <limits.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include "option_table.h"

void SetDefaultOptions(ToolOptions* options) {
    options->providerType = 1;
    options->containerName = NULL;
    options->machineKeySet = 0;
    options->keyFilePath = NULL;
    options->exportable = 0;
    options->keyLength = 2048;
    options->publicExponent = 65537;
    options->blobType = 6;
}

// Leading white space and one sign, as strtoul and atoi accept them.
static const char* SkipSpaceAndSign(const char* text, bool* negative) {
    while (isspace((unsigned char)*text)) ++text;
    *negative = false;
    if (*text == '+' || *text == '-') {
        *negative = *text == '-';
        ++text;
    }
    return text;
}

DWORD ConvertUnsignedOption(const char* text) {
    bool negative;
    const char* digits = SkipSpaceAndSign(text, &negative);
    if (!isdigit((unsigned char)*digits)) return 0;
    errno = 0;
    const unsigned long long magnitude = strtoull(digits, NULL, 10);
    if (errno == ERANGE || magnitude > 0xFFFFFFFFull) return 0xFFFFFFFFu;
    const DWORD value = (DWORD)magnitude;
    return negative ? (DWORD)(0u - value) : value;
}

LONG ConvertSignedOption(const char* text) {
    bool negative;
    const char* digits = SkipSpaceAndSign(text, &negative);
    if (!isdigit((unsigned char)*digits)) return 0;
    errno = 0;
    const unsigned long long magnitude = strtoull(digits, NULL, 10);
    if (errno == ERANGE) return negative ? INT32_MIN : INT32_MAX;
    if (negative) return magnitude >= 0x80000000ull ? INT32_MIN : -(LONG)magnitude;
    return magnitude > 0x7FFFFFFFull ? INT32_MAX : (LONG)magnitude;
}

static void StoreOption(const OptionEntry* entry, const char* value, ToolOptions* options) {
    switch (entry->field) {
    case FIELD_NONE: break;
    case FIELD_PROVIDER_TYPE: options->providerType = ConvertUnsignedOption(value); break;
    case FIELD_CONTAINER_NAME: options->containerName = value; break;
    case FIELD_MACHINE_KEYSET: options->machineKeySet = 1; break;
    case FIELD_KEY_FILE_PATH: options->keyFilePath = value; break;
    case FIELD_EXPORTABLE: options->exportable = 1; break;
    case FIELD_KEY_LENGTH: options->keyLength = ConvertSignedOption(value); break;
    case FIELD_PUBLIC_EXPONENT: options->publicExponent = ConvertUnsignedOption(value); break;
    case FIELD_BLOB_TYPE: options->blobType = ConvertUnsignedOption(value); break;
    }
}

bool ScanOptions(const OptionEntry* table, size_t count, int argc, char* argv[],
                 ToolOptions* options) {
    bool result = true;
    for (int i = 1; i < argc && result; ++i) {
        const char* argument = argv[i];
        for (size_t j = 0; j < count; ++j) {
            const size_t length = strlen(table[j].text);
            if (strncmp(argument, table[j].text, length) != 0) continue;
            if (table[j].kind == OPTION_USAGE)
                result = false;
            else
                StoreOption(&table[j], argument + length, options);
            break;
        }
    }
    return result;
}

bool ParseArgs(ToolProgram program, int argc, char* argv[], ToolOptions* options) {
    size_t count;
    const OptionEntry* table = ProgramOptionTable(program, &count);
    return ScanOptions(table, count, argc, argv, options);
}
