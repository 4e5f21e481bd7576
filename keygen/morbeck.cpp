// The RSA object's generation call is deprecated in OpenSSL 3 but kept, and it
// alone gives RSA_generate_key's results and error texts; this file may use it.
#define OPENSSL_SUPPRESS_DEPRECATED

#include "morbeck.h"

#include <keyhold/console.h>
#include <keyhold/process.h>
#include <openssl/bio.h>
#include <openssl/bn.h>
#include <openssl/crypto.h>
#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/rsa.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <windows.h>
#include <wincrypt.h>

#include "key_blob.h"
#include "tool_frame.h"

// Room for OpenSSL's error text, as its error string functions expect.
#define ERROR_TEXT_SIZE 1024

void PrintMorbeckUsage(void) {
    ConsolePrintf("OpenSSLでRSA鍵ペアを作成しCSPの鍵コンテナに格納します。\n");
    ConsolePrintf("\n");
    ConsolePrintf("Morbeck [/N:鍵コンテナ名] [/P:CSP] [/M] [/X] [/L:鍵長(bit)] [/E:暗号化指数] [/F:ファイル名] [/?]\n");
    ConsolePrintf("  /N:鍵コンテナ名  鍵を格納する鍵コンテナ名を指定します。未指定の場合は既定を使用。\n");
    ConsolePrintf("  /P:CSP           使用するCSP値。未指定の場合PROV_RSA_FULL=1。\n");
    ConsolePrintf("                   PROV_RSA_FULL     = 1\n");
    ConsolePrintf("                   PROV_RSA_SCHANNEL = 12\n");
    ConsolePrintf("                   PROV_RSA_AES      = 24\n");
    ConsolePrintf("  /M\t           鍵をグローバルな領域に格納します。未指定の場合はユーザ毎の領域に格納します。\n");
    ConsolePrintf("  /X\t           秘密鍵をエクスポート可能にします。\n");
    ConsolePrintf("  /L:鍵長(bit)     鍵のサイズをビットで指定します。未指定の場合2048。\n");
    ConsolePrintf("  /E:暗号化指数(e) 鍵の暗号化指数を指定します。未指定の場合65537。\n");
    ConsolePrintf("  /F:ファイル名    出力する公開鍵ファイル名。未指定の場合は出力しません。\n");
    ConsolePrintf("  /?               使用方法を表示します。\n");
    ConsolePrintf("\n");
    ConsolePrintf("(例)\n");
    ConsolePrintf("  Morbeck /N:TestProvider /L:4096 /E:3\n");
    ConsolePrintf("  Morbeck /N:\"Test Space Provider\" /L:4096 /E:3\n");
    ConsolePrintf("  Morbeck /N:\"Test Provider\" /L:4096 /F:\"c:\\Sample Dir\\test.file\"\n");
}

bool RefuseKeyParameters(LONG modulusBits, char* text, size_t textSize) {
    if (modulusBits <= MORBECK_MAX_MODULUS_BITS) return false;
    snprintf(text, textSize, "modulus length %ld bits is above the supported maximum of %d bits",
             (long)modulusBits, MORBECK_MAX_MODULUS_BITS);
    return true;
}

// The RSA object's own generation call gives exactly what RSA_generate_key
// gives (the key, and for a bad length or exponent OpenSSL's own refusal),
// where the provider interface reports through other error codes.
bool GenerateRsaKey(LONG modulusBits, DWORD publicExponent, RSA** key) {
    *key = NULL;
    RSA* rsa = RSA_new();
    BIGNUM* exponent = BN_new();
    const bool ok = rsa != NULL && exponent != NULL && BN_set_word(exponent, publicExponent) == 1 &&
                    RSA_generate_key_ex(rsa, (int)modulusBits, exponent, NULL) == 1;
    BN_free(exponent);
    if (!ok) {
        RSA_free(rsa);
        return false;
    }
    *key = rsa;
    return true;
}

bool EncodePrivateKeyBlob(RSA* key, BYTE** blob, DWORD* length) {
    *blob = NULL;
    *length = 0;
    EVP_PKEY* wrapper = EVP_PKEY_new();
    if (wrapper == NULL) return false;
    // The secure memory method wipes what it held when it is freed.
    BIO* bio = EVP_PKEY_set1_RSA(wrapper, key) == 1 ? BIO_new(BIO_s_secmem()) : NULL;
    if (bio == NULL) {
        EVP_PKEY_free(wrapper);
        return false;
    }

    char* data = NULL;
    const long size = i2b_PrivateKey_bio(bio, wrapper) > 0 ? BIO_get_mem_data(bio, &data) : 0;
    bool result = false;
    if (size > 0 && data != NULL && (unsigned long)size < 0xFFFFFFFFul) {
        BYTE* buffer = (BYTE*)malloc((size_t)size);
        if (buffer != NULL) {
            memcpy(buffer, data, (size_t)size);
            *blob = buffer;
            *length = (DWORD)size;
            result = true;
        }
    }
    if (size > 0 && data != NULL) OPENSSL_cleanse(data, (size_t)size);
    BIO_free(bio);
    EVP_PKEY_free(wrapper);
    return result;
}

// Prints the earliest queued OpenSSL error, or a text of ours when OpenSSL
// failed without saying why (or could not start, when its queue is no use).
static void PrintGenerationError(bool started) {
    char text[ERROR_TEXT_SIZE];
    const unsigned long code = started ? ERR_get_error() : 0;
    if (code != 0)
        ERR_error_string_n(code, text, sizeof text);
    else
        snprintf(text, sizeof text, started ? "key generation failed without a reason from OpenSSL"
                                            : "OpenSSL could not start (not enough memory)");
    ConsolePrintf("RSA_generate_key: Error=%s\n", text);
}

int MorbeckMain(int argc, char* argv[]) {
    ProtectProcessMemory();
    ToolOptions options;
    SetDefaultOptions(&options);
    if (!ParseArgs(TOOL_MORBECK, argc, argv, &options)) {
        PrintMorbeckUsage();
        return 1;
    }

    // Nothing of OpenSSL may be used unless it started; under a tight memory
    // limit it may not.
    const bool started = OPENSSL_init_crypto(0, NULL) == 1;
    char refusal[ERROR_TEXT_SIZE];
    RSA* key = NULL;
    if (started) ERR_clear_error();
    const DWORD start = GetTickCount();
    const bool refused = RefuseKeyParameters(options.keyLength, refusal, sizeof refusal);
    const bool generated =
        started && !refused && GenerateRsaKey(options.keyLength, options.publicExponent, &key);
    const DWORD elapsed = GetTickCount() - start;
    ConsolePrintf("Generate Time=%lu\n", (unsigned long)elapsed);
    if (refused) {
        ConsolePrintf("RSA_generate_key: Error=%s\n", refusal);
        return 1;
    }
    if (!generated) {
        PrintGenerationError(started);
        return 1;
    }

    BYTE* blob = NULL;
    DWORD length = 0;
    if (!EncodePrivateKeyBlob(key, &blob, &length)) {
        RSA_free(key);
        return 1;
    }

    int status = 1;
    if (ImportKeyBlob(blob, length, options.exportable, options.machineKeySet,
                      options.containerName, options.providerType)) {
        if (options.keyFilePath == NULL ||
            ExportUserKey(options.machineKeySet, options.containerName, options.keyFilePath,
                          options.providerType, PUBLICKEYBLOB))
            status = 0;
    }

    FreeKeyBuffer(blob, length);
    RSA_free(key);
    return status;
}
