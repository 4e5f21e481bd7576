#include "key_parameters.h"

const NamedValue AlgIdNames[] = {
    {0x2000, "CALG_NO_SIGN"},
    {0x2200, "CALG_DSS_SIGN"},
    {0x2203, "CALG_ECDSA"},
    {0x2400, "CALG_RSA_SIGN"},
    {0x4C01, "CALG_SSL3_MASTER"},
    {0x4C02, "CALG_SCHANNEL_MASTER_HASH"},
    {0x4C03, "CALG_SCHANNEL_MAC_KEY"},
    {0x4C04, "CALG_PCT1_MASTER"},
    {0x4C05, "CALG_SSL2_MASTER"},
    {0x4C06, "CALG_TLS1_MASTER"},
    {0x4C07, "CALG_SCHANNEL_ENC_KEY"},
    {0x6601, "CALG_DES"},
    {0x6602, "CALG_RC2"},
    {0x6603, "CALG_3DES"},
    {0x6604, "CALG_DESX"},
    {0x6609, "CALG_3DES_112"},
    {0x660A, "CALG_SKIPJACK"},
    {0x660B, "CALG_TEK"},
    {0x660C, "CALG_CYLINK_MEK"},
    {0x660D, "CALG_RC5"},
    {0x660E, "CALG_AES_128"},
    {0x660F, "CALG_AES_192"},
    {0x6610, "CALG_AES_256"},
    {0x6611, "CALG_AES"},
    {0x6801, "CALG_RC4"},
    {0x6802, "CALG_SEAL"},
    {0x8001, "CALG_MD2"},
    {0x8002, "CALG_MD4"},
    {0x8003, "CALG_MD5"},
    {0x8004, "CALG_SHA"},
    {0x8005, "CALG_MAC"},
    {0x8008, "CALG_SSL3_SHAMD5"},
    {0x8009, "CALG_HMAC"},
    {0x800A, "CALG_TLS1PRF"},
    {0x800B, "CALG_HASH_REPLACE_OWF"},
    {0x800C, "CALG_SHA_256"},
    {0x800D, "CALG_SHA_384"},
    {0x800E, "CALG_SHA_512"},
    {0xA001, "CALG_ECMQV"},
    {0xA003, "CALG_HUGHES_MD5"},
    {0xA400, "CALG_RSA_KEYX"},
    {0xAA01, "CALG_DH_SF"},
    {0xAA02, "CALG_DH_EPHEM"},
    {0xAA03, "CALG_AGREEDKEY_ANY"},
    {0xAA04, "CALG_KEA_KEYX"},
    {0xAA05, "CALG_ECDH"},
};
const size_t AlgIdNameCount = sizeof AlgIdNames / sizeof AlgIdNames[0];

const NamedValue PaddingNames[] = {
    {1, "PKCS5_PADDING"},
    {2, "RANDOM_PADDING"},
    {3, "ZERO_PADDING"},
};
const size_t PaddingNameCount = sizeof PaddingNames / sizeof PaddingNames[0];

const NamedValue CipherModeNames[] = {
    {6, "CRYPT_MODE_CBCI"},
    {7, "CRYPT_MODE_CFBP"},
    {8, "CRYPT_MODE_OFBP"},
    {9, "CRYPT_MODE_CBCOFM"},
    {10, "CRYPT_MODE_CBCOFMI"},
};
const size_t CipherModeNameCount = sizeof CipherModeNames / sizeof CipherModeNames[0];

const PermissionFlag PermissionFlags[] = {
    {0x0001, "CRYPT_ENCRYPT", "Allow encryption"},
    {0x0002, "CRYPT_DECRYPT", "Allow decryption"},
    {0x0004, "CRYPT_EXPORT", "Allow key to be exported"},
    {0x0008, "CRYPT_READ", "Allow parameters to be read"},
    {0x0010, "CRYPT_WRITE", "Allow parameters to be set"},
    {0x0020, "CRYPT_MAC", "Allow MACs to be used with key"},
    {0x0040, "CRYPT_EXPORT_KEY", "Allow key to be used for exporting keys"},
    {0x0080, "CRYPT_IMPORT_KEY", "Allow key to be used for importing keys"},
    {0x0100, "CRYPT_ARCHIVE", "Allow key to be exported at creation only"},
};
const size_t PermissionFlagCount = sizeof PermissionFlags / sizeof PermissionFlags[0];

const char* LookUpName(const NamedValue* table, size_t count, DWORD value) {
    for (size_t i = 0; i < count; ++i)
        if (table[i].value == value) return table[i].name;
    return "?";
}
