// CryptGetUserKey, CryptGenKey and CryptImportKey: the ways a key handle comes
// into being.
#include <wincrypt.h>

#include <memory>

#include "core/last_error.h"
#include "core/guard.h"
#include "keys/blob_codec.h"
#include "keys/key_object.h"
#include "keys/key_slots.h"
#include "keys/rsa_keygen.h"
#include "store/context.h"

using namespace keyhold;

namespace {

constexpr DWORD kDefaultKeyBits = 2048;
constexpr DWORD kMinKeyBits = 512;
constexpr DWORD kMaxKeyBits = 16384;
constexpr unsigned long kPublicExponent = 65537;

BOOL HandOut(std::shared_ptr<KeyObject> object, HCRYPTKEY* phKey) {
    *phKey = KeyHandles().Add(std::move(object));
    return TRUE;
}

}  // namespace

BOOL WINAPI CryptGetUserKey(HCRYPTPROV hProv, DWORD dwKeySpec, HCRYPTKEY* phUserKey) {
    return keyhold::GuardedKeyStoreCall([&]() -> BOOL {
        const auto context = FindContext(hProv);
        if (!context) return Fail(NTE_BAD_UID);
        KeySlot slot;
        if (dwKeySpec == AT_KEYEXCHANGE) {
            slot = kExchangeSlot;
        } else if (dwKeySpec == AT_SIGNATURE) {
            slot = kSignatureSlot;
        } else {
            return Fail(NTE_BAD_KEY);
        }
        if (phUserKey == nullptr) return Fail(ERROR_INVALID_PARAMETER);

        // Read afresh: another process may have changed the container since the acquire.
        ContainerRecord record;
        DWORD result = ReadKeys(*context, record);
        if (result != ERROR_SUCCESS) return Fail(result);
        auto object = std::make_shared<KeyObject>();
        result = LoadStoredKey(record.keys[slot], slot, *object);
        if (result != ERROR_SUCCESS) return Fail(result);
        return HandOut(std::move(object), phUserKey);
    });
}

BOOL WINAPI CryptGenKey(HCRYPTPROV hProv, ALG_ID Algid, DWORD dwFlags, HCRYPTKEY* phKey) {
    return keyhold::GuardedKeyStoreCall([&]() -> BOOL {
        const auto context = FindContext(hProv);
        if (!context) return Fail(NTE_BAD_UID);
        KeySlot slot;
        if (!SlotOfAlgorithm(Algid, true, slot)) return Fail(NTE_BAD_ALGID);
        if ((dwFlags & 0xFFFFu & ~static_cast<DWORD>(CRYPT_EXPORTABLE)) != 0) return Fail(NTE_BAD_FLAGS);
        DWORD bits = dwFlags >> 16;
        if (bits == 0) bits = kDefaultKeyBits;
        if (bits < kMinKeyBits || bits > kMaxKeyBits || bits % 8 != 0) return Fail(NTE_BAD_FLAGS);
        if (phKey == nullptr) return Fail(ERROR_INVALID_PARAMETER);
        const bool exportable = (dwFlags & CRYPT_EXPORTABLE) != 0;
        const ALG_ID algorithm = AlgorithmOfSlot(slot);

        // Generate outside any lock; only the short store below is serialised.
        auto object = std::make_shared<KeyObject>();
        DWORD result = GenerateRsaKey(bits, kPublicExponent, object->key);
        if (result != ERROR_SUCCESS) return Fail(result);
        StoredKey stored;
        result = EncodePrivateKeyBlob(object->key.get(), algorithm, stored.blob);
        if (result != ERROR_SUCCESS) return Fail(result);
        stored.present = true;
        stored.exportable = exportable;

        result = ChangeKeys(*context, [&](ContainerRecord& record) {
            record.keys[slot] = stored;
            return static_cast<DWORD>(ERROR_SUCCESS);
        });
        if (result != ERROR_SUCCESS) return Fail(result);

        object->algorithm = algorithm;
        object->exportable = exportable;
        object->publicOnly = false;
        object->bitLength = bits;
        return HandOut(std::move(object), phKey);
    });
}

BOOL WINAPI CryptImportKey(HCRYPTPROV hProv, const BYTE* pbData, DWORD dwDataLen, HCRYPTKEY hPubKey,
                           DWORD dwFlags, HCRYPTKEY* phKey) {
    return keyhold::GuardedKeyStoreCall([&]() -> BOOL {
        const auto context = FindContext(hProv);
        if (!context) return Fail(NTE_BAD_UID);
        if (hPubKey != 0) return Fail(NTE_BAD_KEY);
        if ((dwFlags & ~static_cast<DWORD>(CRYPT_EXPORTABLE)) != 0) return Fail(NTE_BAD_FLAGS);
        if ((pbData == nullptr && dwDataLen != 0) || phKey == nullptr) return Fail(ERROR_INVALID_PARAMETER);

        DecodedBlob decoded;
        DWORD result = DecodeKeyBlob(pbData, dwDataLen, decoded);
        if (result != ERROR_SUCCESS) return Fail(result);
        KeySlot slot;
        if (!SlotOfAlgorithm(decoded.algorithm, false, slot)) return Fail(NTE_BAD_ALGID);
        const bool exportable = decoded.isPrivate && (dwFlags & CRYPT_EXPORTABLE) != 0;

        // Stored in the canonical encoding, so that what is exported later is
        // exactly what an export of this key always gives.
        StoredKey stored;
        result = decoded.isPrivate ? EncodePrivateKeyBlob(decoded.key.get(), decoded.algorithm, stored.blob)
                                   : EncodePublicKeyBlob(decoded.key.get(), decoded.algorithm, stored.blob);
        if (result != ERROR_SUCCESS) return Fail(result);
        stored.present = true;
        stored.exportable = exportable;

        result = ChangeKeys(*context, [&](ContainerRecord& record) {
            StoredKey& current = record.keys[slot];
            if (!decoded.isPrivate && current.present) {
                // A public key never takes the place of a key pair; an unreadable
                // entry is not overwritten blindly either.
                KeyObject held;
                const DWORD loaded = LoadStoredKey(current, slot, held);
                if (loaded != ERROR_SUCCESS) return loaded;
                if (!held.publicOnly) return static_cast<DWORD>(NTE_EXISTS);
            }
            current = stored;
            return static_cast<DWORD>(ERROR_SUCCESS);
        });
        if (result != ERROR_SUCCESS) return Fail(result);

        auto object = std::make_shared<KeyObject>();
        object->key = std::move(decoded.key);
        object->algorithm = decoded.algorithm;
        object->exportable = exportable;
        object->publicOnly = !decoded.isPrivate;
        object->bitLength = decoded.bitLength;
        return HandOut(std::move(object), phKey);
    });
}
