// CryptGetUserKey and CryptImportKey: two of the ways a key handle comes into
// being (CryptGenKey, the third, is apart in gen_key.cpp).
#include <wincrypt.h>

#include <memory>

#include "core/last_error.h"
#include "core/guard.h"
#include "keys/blob_codec.h"
#include "keys/key_object.h"
#include "keys/key_slots.h"
#include "store/context.h"

using namespace keyhold;

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
        return HandOutKey(std::move(object), phUserKey);
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
        return HandOutKey(std::move(object), phKey);
    });
}
