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

bool RefuseKeyParameters(LONG modulusBits, DWORD publicExponent, char* text, size_t textSize) {
    if (modulusBits > MORBECK_MAX_MODULUS_BITS) {
        snprintf(text, textSize, "modulus length %ld bits is above the supported maximum of %d bits",
                 (long)modulusBits, MORBECK_MAX_MODULUS_BITS);
        return true;
    }
    // OpenSSL rejects an exponent of 0 only by failing to take it, and then
    // generates with its default exponent instead.
    if (publicExponent == 0) {
        snprintf(text, textSize, "public exponent 0 is not usable");
        return true;
    }
    return false;
}

bool GenerateRsaKey(LONG modulusBits, DWORD publicExponent, EVP_PKEY** key) {
    *key = NULL;
    EVP_PKEY_CTX* context = EVP_PKEY_CTX_new_from_name(NULL, "RSA", NULL);
    if (context == NULL) return false;
    BIGNUM* exponent = BN_new();
    // Every step must succeed: a setting OpenSSL did not take would otherwise
    // be replaced by its default without a word.
    const bool ok = exponent != NULL && BN_set_word(exponent, publicExponent) == 1 &&
                    EVP_PKEY_keygen_init(context) == 1 &&
                    EVP_PKEY_CTX_set_rsa_keygen_bits(context, (int)modulusBits) == 1 &&
                    EVP_PKEY_CTX_set1_rsa_keygen_pubexp(context, exponent) == 1 &&
                    EVP_PKEY_generate(context, key) == 1;
    BN_free(exponent);
    EVP_PKEY_CTX_free(context);
    if (!ok) {
        EVP_PKEY_free(*key);
        *key = NULL;
    }
    return ok;
}

bool EncodePrivateKeyBlob(const EVP_PKEY* key, BYTE** blob, DWORD* length) {
    *blob = NULL;
    *length = 0;
    // The secure memory method wipes what it held when it is freed.
    BIO* bio = BIO_new(BIO_s_secmem());
    if (bio == NULL) return false;

    i2b_PrivateKey_bio(bio, key);
    char* data = NULL;
    const long size = BIO_get_mem_data(bio, &data);

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
    return result;
}

// Prints the earliest queued OpenSSL error, or a text of ours when OpenSSL
// failed without saying why.
static void PrintGenerationError(void) {
    char text[ERROR_TEXT_SIZE];
    const unsigned long code = ERR_get_error();
    if (code != 0)
        ERR_error_string_n(code, text, sizeof text);
    else
        snprintf(text, sizeof text, "key generation failed without a reason from OpenSSL");
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

    char refusal[ERROR_TEXT_SIZE];
    EVP_PKEY* key = NULL;
    ERR_clear_error();
    const DWORD start = GetTickCount();
    const bool refused =
        RefuseKeyParameters(options.keyLength, options.publicExponent, refusal, sizeof refusal);
    const bool generated =
        !refused && GenerateRsaKey(options.keyLength, options.publicExponent, &key);
    const DWORD elapsed = GetTickCount() - start;
    ConsolePrintf("Generate Time=%lu\n", (unsigned long)elapsed);
    if (refused) {
        ConsolePrintf("RSA_generate_key: Error=%s\n", refusal);
        return 1;
    }
    if (!generated) {
        PrintGenerationError();
        return 1;
    }

    BYTE* blob = NULL;
    DWORD length = 0;
    if (!EncodePrivateKeyBlob(key, &blob, &length)) {
        EVP_PKEY_free(key);
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
    EVP_PKEY_free(key);
    return status;
}
