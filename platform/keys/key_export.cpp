// CryptExportKey, CryptGetKeyParam and CryptDestroyKey: what a key handle offers.
#include <wincrypt.h>

#include <cstring>

#include "core/last_error.h"
#include "core/guard.h"
#include "keys/blob_codec.h"
#include "keys/key_object.h"

using namespace keyhold;

namespace {

constexpr DWORD kRsaPermissions = CRYPT_ENCRYPT | CRYPT_DECRYPT | CRYPT_READ | CRYPT_WRITE | CRYPT_MAC;

// Copies `size` bytes out under the published length protocol: no buffer asks
// for the length, a short buffer fails with ERROR_MORE_DATA and the length.
BOOL DeliverBytes(const unsigned char* data, DWORD size, BYTE* pbData, DWORD* pdwDataLen) {
    if (pbData == nullptr) {
        *pdwDataLen = size;
        return TRUE;
    }
    if (*pdwDataLen < size) {
        *pdwDataLen = size;
        return Fail(ERROR_MORE_DATA);
    }
    std::memcpy(pbData, data, size);
    *pdwDataLen = size;
    return TRUE;
}

}  // namespace

BOOL WINAPI CryptExportKey(HCRYPTKEY hKey, HCRYPTKEY hExpKey, DWORD dwBlobType, DWORD dwFlags, BYTE* pbData,
                           DWORD* pdwDataLen) {
    return keyhold::GuardedKeyStoreCall([&]() -> BOOL {
        const auto object = KeyHandles().Find(hKey);
        if (!object || hExpKey != 0) return Fail(NTE_BAD_KEY);
        if (dwFlags != 0) return Fail(NTE_BAD_FLAGS);
        if (pdwDataLen == nullptr) return Fail(ERROR_INVALID_PARAMETER);

        SecureBytes blob;  // wiped when it goes, whichever way this returns
        DWORD result;
        if (dwBlobType == PUBLICKEYBLOB) {
            result = EncodePublicKeyBlob(object->key.get(), object->algorithm, blob);
        } else if (dwBlobType == PRIVATEKEYBLOB) {
            if (object->publicOnly || !object->exportable) return Fail(NTE_BAD_KEY_STATE);
            result = EncodePrivateKeyBlob(object->key.get(), object->algorithm, blob);
        } else {
            return Fail(NTE_BAD_TYPE);
        }
        if (result != ERROR_SUCCESS) return Fail(result);
        return DeliverBytes(blob.data(), static_cast<DWORD>(blob.size()), pbData, pdwDataLen);
    });
}

BOOL WINAPI CryptGetKeyParam(HCRYPTKEY hKey, DWORD dwParam, BYTE* pbData, DWORD* pdwDataLen, DWORD dwFlags) {
    return keyhold::GuardedKeyStoreCall([&]() -> BOOL {
        const auto object = KeyHandles().Find(hKey);
        if (!object) return Fail(NTE_BAD_KEY);
        if (dwFlags != 0) return Fail(NTE_BAD_FLAGS);
        if (pdwDataLen == nullptr) return Fail(ERROR_INVALID_PARAMETER);

        DWORD value;
        switch (dwParam) {
        case KP_ALGID:
            value = object->algorithm;
            break;
        case KP_BLOCKLEN:
        case KP_KEYLEN:
            value = object->bitLength;
            break;
        case KP_PADDING:
            value = PKCS5_PADDING;
            break;
        case KP_MODE:
        case KP_MODE_BITS:
            value = 0;
            break;
        case KP_PERMISSIONS:
            value = kRsaPermissions | (object->exportable && !object->publicOnly ? CRYPT_EXPORT : 0);
            break;
        default:  // KP_IV, KP_SALT, KP_SALT_EX, KP_OAEP_PARAMS: nothing an RSA key has
            return Fail(NTE_BAD_TYPE);
        }
        unsigned char bytes[sizeof value];
        for (unsigned i = 0; i < sizeof value; ++i) bytes[i] = static_cast<unsigned char>(value >> (8 * i));
        return DeliverBytes(bytes, sizeof bytes, pbData, pdwDataLen);
    });
}

BOOL WINAPI CryptDestroyKey(HCRYPTKEY hKey) {
    return keyhold::GuardedKeyStoreCall([&]() -> BOOL {
        // The stored key stays; only this handle and its copy of the key go.
        if (!KeyHandles().Remove(hKey)) return Fail(NTE_BAD_KEY);
        return TRUE;
    });
}
