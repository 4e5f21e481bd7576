#include <stdlib.h>

#include <keyhold/console.h>

#include "key_parameters.h"
#include "tool_frame.h"

// pubexp sits in bytes 16 to 19 of a public key blob, after BLOBHEADER, magic and bitlen.
#define PUBEXP_OFFSET 16
#define PUBEXP_END (PUBEXP_OFFSET + 4)

static bool QueryValue(HCRYPTKEY key, DWORD param, DWORD* value) {
    *value = 0;
    DWORD length = sizeof *value;
    return CryptGetKeyParam(key, param, (BYTE*)value, &length, 0);
}

static bool QuerySize(HCRYPTKEY key, DWORD param, DWORD* size) {
    *size = 0;
    return CryptGetKeyParam(key, param, NULL, size, 0);
}

static bool QueryRecord(HCRYPTKEY key, DWORD param, CRYPT_DATA_BLOB* record) {
    record->cbData = 0;
    record->pbData = NULL;
    DWORD length = sizeof *record;
    return CryptGetKeyParam(key, param, (BYTE*)record, &length, 0);
}

static void PrintByteDump(const BYTE* bytes, DWORD count) {
    ConsolePrintf("\t0x ");
    for (DWORD i = 0; i < count; ++i) ConsolePrintf("%2.2X ", bytes[i]);
    ConsolePrintf("\n");
}

static void PrintValueLine(DWORD value) {
    ConsolePrintf("\t%d [0x%08X]\n", (int)value, (unsigned)value);
}

// The data query after a size query. Nothing follows the header when the
// buffer cannot be had: the store has nothing to do with that failure.
static void PrintParameterData(HCRYPTKEY key, DWORD param, DWORD size, bool dumpEmpty) {
    BYTE* bytes = (BYTE*)malloc(size != 0 ? size : 1);
    if (bytes == NULL) return;
    DWORD stored = size;
    if (CryptGetKeyParam(key, param, bytes, &stored, 0) && (stored != 0 || dumpEmpty))
        PrintByteDump(bytes, stored <= size ? stored : size);
    SecureZeroMemory(bytes, size);
    free(bytes);
}

// A record the store fills with a count but no bytes gets an empty dump.
static void PrintRecordLines(const CRYPT_DATA_BLOB* record) {
    PrintValueLine(record->cbData);
    PrintByteDump(record->pbData, record->pbData != NULL ? record->cbData : 0);
}

static void PrintPermissionFlags(DWORD permissions) {
    for (size_t i = 0; i < PermissionFlagCount; ++i)
        if (permissions & PermissionFlags[i].bit)
            ConsolePrintf("\t0x%04X %s ... %s\n", (unsigned)PermissionFlags[i].bit,
                          PermissionFlags[i].name, PermissionFlags[i].description);
}

static DWORD SignificantBits(DWORD value) {
    DWORD bits = 0;
    while (value != 0) {
        ++bits;
        value >>= 1;
    }
    return bits;
}

static void PrintExponentLines(const BYTE* blob) {
    const DWORD e = (DWORD)blob[PUBEXP_OFFSET] | (DWORD)blob[PUBEXP_OFFSET + 1] << 8 |
                    (DWORD)blob[PUBEXP_OFFSET + 2] << 16 | (DWORD)blob[PUBEXP_OFFSET + 3] << 24;
    const DWORD bits = SignificantBits(e);
    ConsolePrintf("KP_PUB_EX_LEN: public exponent length. [bit] ... not supported in Crypto API.\n");
    ConsolePrintf("\t%lu [0x%08X]\n", (unsigned long)bits, (unsigned)bits);
    ConsolePrintf("KP_PUB_EX_VAL: public exponent value. ... not supported in Crypto API.\n");
    ConsolePrintf("\t%lu [0x%08X]\n", (unsigned long)e, (unsigned)e);
    ConsolePrintf("\t0x ");
    DWORD rest = e;
    for (int i = 0; i < 4 && rest != 0; ++i) {
        ConsolePrintf("%2.2X ", blob[PUBEXP_OFFSET + i]);
        rest >>= 8;
    }
    ConsolePrintf("(little endian) \n");
}

static bool PrintPublicExponent(HCRYPTKEY key) {
    bool printed = false;
    BYTE* blob = NULL;
    DWORD size = 0;
    if (CryptExportKey(key, 0, PUBLICKEYBLOB, 0, NULL, &size)) {
        blob = (BYTE*)malloc(size != 0 ? size : 1);
        if (blob == NULL) {
            SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        } else {
            DWORD length = size;
            if (CryptExportKey(key, 0, PUBLICKEYBLOB, 0, blob, &length)) {
                // Never read past what the store wrote.
                if (length >= PUBEXP_END && length <= size) {
                    PrintExponentLines(blob);
                    printed = true;
                } else {
                    SetLastError(NTE_BAD_DATA);
                }
            }
        }
    }
    if (!printed) PrintLastError();
    if (blob != NULL) {
        SecureZeroMemory(blob, size);
        free(blob);
    }
    return printed;
}

bool PrintKeyParameters(HCRYPTKEY key) {
    DWORD value;
    DWORD size;
    CRYPT_DATA_BLOB record;

    if (QueryValue(key, KP_ALGID, &value)) {
        ConsolePrintf("KP_ALGID: Key algorithm\n");
        ConsolePrintf("\t0x%04X %s\n", (unsigned)value, LookUpName(AlgIdNames, AlgIdNameCount, value));
    }
    if (QueryValue(key, KP_BLOCKLEN, &value)) {
        ConsolePrintf("KP_BLOCKLEN: Block size of the cipher\n");
        PrintValueLine(value);
    }
    if (QueryValue(key, KP_KEYLEN, &value)) {
        ConsolePrintf("KP_KEYLEN: Length of key in bits\n");
        PrintValueLine(value);
    }
    if (QuerySize(key, KP_IV, &size) && size != 0) {
        ConsolePrintf("KP_IV: Initialization vector\n");
        PrintParameterData(key, KP_IV, size, false);
    }
    if (QuerySize(key, KP_SALT, &size)) {
        ConsolePrintf("KP_SALT: Salt value\n");
        PrintParameterData(key, KP_SALT, size, true);
    }
    if (QueryValue(key, KP_PADDING, &value)) {
        ConsolePrintf("KP_PADDING: Padding values\n");
        ConsolePrintf("\t%s [%2d]\n", LookUpName(PaddingNames, PaddingNameCount, value), (int)value);
    }
    if (QueryValue(key, KP_MODE, &value) && value != 0) {
        ConsolePrintf("KP_MODE: Mode of the cipher\n");
        ConsolePrintf("\t%s [%2d]\n", LookUpName(CipherModeNames, CipherModeNameCount, value),
                      (int)value);
    }
    if (QueryValue(key, KP_MODE_BITS, &value) && value != 0) {
        ConsolePrintf("KP_MODE_BITS: Number of bits to feedback\n");
        PrintValueLine(value);
    }
    if (QueryValue(key, KP_PERMISSIONS, &value)) {
        ConsolePrintf("KP_PERMISSIONS: Key permissions\n");
        PrintValueLine(value);
        PrintPermissionFlags(value);
    }
    if (QueryRecord(key, KP_SALT_EX, &record)) {
        ConsolePrintf("KP_SALT_EX: Length of key in bits\n");
        PrintRecordLines(&record);
    }
    if (QueryRecord(key, KP_OAEP_PARAMS, &record)) {
        ConsolePrintf("KP_OAEP_PARAMS: for setting OAEP params on RSA keys\n");
        PrintRecordLines(&record);
    }
    return PrintPublicExponent(key);
}
