// CryptGenKey, apart from the other key functions: only it brings in the
// generator and, with it, nettle and GMP, which a program that never generates
// a key then does not load.
#include <wincrypt.h>

#include <memory>

#include "core/guard.h"
#include "core/last_error.h"
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

}  // namespace

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
        return HandOutKey(std::move(object), phKey);
    });
}
