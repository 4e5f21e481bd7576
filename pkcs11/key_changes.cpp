#include "key_changes.h"

#include <cstring>
#include <string>

#include "crypto_context.h"
#include "keys/blob_codec.h"
#include "keys/key_slots.h"
#include "keys/rsa_keygen.h"
#include "store/container_store.h"

namespace keyhold::p11 {

namespace {

constexpr unsigned long kDefaultExponent = 65537;

// What the two templates ask for.
struct KeyRequest {
    CK_ULONG bits = 0;
    unsigned long exponent = kDefaultExponent;
    bool labelGiven = false;
    std::string label;
    bool exportable = false;
    bool signatureOnly = false;  // no decryption: the container's signature key
};

CK_RV ReadBool(const CK_ATTRIBUTE& a, bool& out) {
    if (a.pValue == nullptr || a.ulValueLen != sizeof(CK_BBOOL)) return CKR_ATTRIBUTE_VALUE_INVALID;
    out = *static_cast<const CK_BBOOL*>(a.pValue) != CK_FALSE;
    return CKR_OK;
}

CK_RV ReadUlong(const CK_ATTRIBUTE& a, CK_ULONG& out) {
    if (a.pValue == nullptr || a.ulValueLen != sizeof(CK_ULONG)) return CKR_ATTRIBUTE_VALUE_INVALID;
    std::memcpy(&out, a.pValue, sizeof out);
    return CKR_OK;
}

// One attribute of either template. Attributes the tokens' keys have, with
// the value they always have, are taken and change nothing (CKA_PRIVATE and
// CKA_ID too: the store guards keys by file permissions, and a key's id is
// its modulus's hash); a value the store cannot keep is refused.
CK_RV TakeAttribute(const CK_ATTRIBUTE& a, bool isPrivate, KeyRequest& request) {
    if (a.pValue == nullptr && a.ulValueLen != 0) return CKR_ARGUMENTS_BAD;
    bool flag = false;
    CK_ULONG number = 0;
    CK_RV rv = CKR_OK;
    switch (a.type) {
        case CKA_CLASS:
            if ((rv = ReadUlong(a, number)) != CKR_OK) return rv;
            return number == (isPrivate ? CKO_PRIVATE_KEY : CKO_PUBLIC_KEY) ? CKR_OK : CKR_TEMPLATE_INCONSISTENT;
        case CKA_KEY_TYPE:
            if ((rv = ReadUlong(a, number)) != CKR_OK) return rv;
            return number == CKK_RSA ? CKR_OK : CKR_TEMPLATE_INCONSISTENT;
        case CKA_LABEL: {
            const std::string label(static_cast<const char*>(a.pValue), a.ulValueLen);
            if (request.labelGiven && label != request.label) return CKR_TEMPLATE_INCONSISTENT;
            request.labelGiven = true;
            request.label = label;
            return CKR_OK;
        }
        case CKA_MODULUS_BITS:
            if (isPrivate) return CKR_ATTRIBUTE_TYPE_INVALID;
            if ((rv = ReadUlong(a, number)) != CKR_OK) return rv;
            if (number < kMinKeyBits || number > kMaxKeyBits || number % 8 != 0) return CKR_ATTRIBUTE_VALUE_INVALID;
            request.bits = number;
            return CKR_OK;
        case CKA_PUBLIC_EXPONENT: {
            // Big-endian; the store keeps a 32-bit exponent.
            const auto* bytes = static_cast<const unsigned char*>(a.pValue);
            unsigned long value = 0;
            for (CK_ULONG i = 0; i < a.ulValueLen; ++i) {
                if (value > 0xFFFFFFu) return CKR_ATTRIBUTE_VALUE_INVALID;
                value = value << 8 | bytes[i];
            }
            if (value < 3 || value % 2 == 0) return CKR_ATTRIBUTE_VALUE_INVALID;
            request.exponent = value;
            return CKR_OK;
        }
        case CKA_EXTRACTABLE:
            if ((rv = ReadBool(a, flag)) != CKR_OK) return rv;
            if (isPrivate) request.exportable = flag;
            return isPrivate ? CKR_OK : CKR_ATTRIBUTE_TYPE_INVALID;
        case CKA_DECRYPT:
        case CKA_ENCRYPT:
            if ((rv = ReadBool(a, flag)) != CKR_OK) return rv;
            if (!flag) request.signatureOnly = true;
            return CKR_OK;
        case CKA_TOKEN:
        case CKA_SIGN:
        case CKA_VERIFY:
        case CKA_SENSITIVE:
            // Every key is a token key that signs, and private numbers never leave.
            if ((rv = ReadBool(a, flag)) != CKR_OK) return rv;
            return flag ? CKR_OK : CKR_TEMPLATE_INCONSISTENT;
        case CKA_PRIVATE:
        case CKA_ID:
        case CKA_SUBJECT:
        case CKA_START_DATE:
        case CKA_END_DATE:
        case CKA_MODIFIABLE:
        case CKA_COPYABLE:
        case CKA_DESTROYABLE:
        case CKA_DERIVE:
        case CKA_WRAP:
        case CKA_UNWRAP:
        case CKA_SIGN_RECOVER:
        case CKA_VERIFY_RECOVER:
        case CKA_ALWAYS_AUTHENTICATE:
        case CKA_WRAP_WITH_TRUSTED:
            return CKR_OK;
        default:
            return CKR_ATTRIBUTE_TYPE_INVALID;
    }
}

CK_RV ReadTemplate(const CK_ATTRIBUTE* attributes, CK_ULONG count, bool isPrivate, KeyRequest& request) {
    if (attributes == nullptr && count != 0) return CKR_ARGUMENTS_BAD;
    for (CK_ULONG i = 0; i < count; ++i) {
        const CK_RV rv = TakeAttribute(attributes[i], isPrivate, request);
        if (rv != CKR_OK) return rv;
    }
    return CKR_OK;
}

// The store's refusal of a change, as PKCS#11 says it. A container that is
// another user's, a name the store does not take and a key of that kind
// already in the container all make the label unusable for the new pair.
CK_RV ChangeFailure(DWORD rc) {
    switch (rc) {
        case ERROR_SUCCESS: return CKR_OK;
        case NTE_NO_MEMORY:
        case ERROR_NOT_ENOUGH_MEMORY: return CKR_HOST_MEMORY;
        case ERROR_DISK_FULL: return CKR_DEVICE_MEMORY;
        case ERROR_ACCESS_DENIED:
        case NTE_BAD_KEYSET_PARAM:
        case NTE_EXISTS:
        case NTE_KEYSET_ENTRY_BAD: return CKR_ATTRIBUTE_VALUE_INVALID;
        default: return CKR_DEVICE_ERROR;
    }
}

}  // namespace

CK_RV ReadFailure(DWORD rc, CK_RV otherwise) {
    if (rc == NTE_NO_MEMORY || rc == ERROR_NOT_ENOUGH_MEMORY) return CKR_HOST_MEMORY;
    // For a read: gone, damaged, or no longer this user's, the object is no more.
    return otherwise;
}

CK_RV GenerateKeyPair(Library& library, const Session& session, const CK_MECHANISM* mechanism,
                      const CK_ATTRIBUTE* publicTemplate, CK_ULONG publicCount, const CK_ATTRIBUTE* privateTemplate,
                      CK_ULONG privateCount, CK_OBJECT_HANDLE& publicKey, CK_OBJECT_HANDLE& privateKey) {
    if (mechanism == nullptr) return CKR_ARGUMENTS_BAD;
    if (mechanism->mechanism != CKM_RSA_PKCS_KEY_PAIR_GEN) return CKR_MECHANISM_INVALID;
    if (mechanism->pParameter != nullptr || mechanism->ulParameterLen != 0) return CKR_MECHANISM_PARAM_INVALID;
    KeyRequest request;
    CK_RV rv = ReadTemplate(publicTemplate, publicCount, false, request);
    if (rv == CKR_OK) rv = ReadTemplate(privateTemplate, privateCount, true, request);
    if (rv != CKR_OK) return rv;
    if (request.bits == 0) return CKR_TEMPLATE_INCOMPLETE;
    if (!request.labelGiven) request.label = DefaultContainerName();
    if (CheckNewContainerName(request.label) != ERROR_SUCCESS) return CKR_ATTRIBUTE_VALUE_INVALID;

    Area area;
    DWORD rc = LocateTokenArea(session.slot, true, area);
    if (rc == ERROR_ACCESS_DENIED) return CKR_TOKEN_WRITE_PROTECTED;
    if (rc != ERROR_SUCCESS) return ReadFailure(rc, CKR_DEVICE_ERROR);

    // Generation takes long and holds no lock; the container is written after.
    EvpPkeyPtr key;
    rc = GenerateRsaKey(static_cast<unsigned>(request.bits), request.exponent, key, ModuleCrypto(), library.noThreads);
    if (rc != ERROR_SUCCESS) return ReadFailure(rc, CKR_FUNCTION_FAILED);
    const KeySlot slot = request.signatureOnly ? kSignatureSlot : kExchangeSlot;
    StoredKey stored;
    stored.present = true;
    stored.exportable = request.exportable;
    rc = EncodePrivateKeyBlob(key.get(), AlgorithmOfSlot(slot), stored.blob);
    if (rc != ERROR_SUCCESS) return ReadFailure(rc, CKR_FUNCTION_FAILED);
    KeyId id;
    if (!KeyIdOf(key.get(), id)) return CKR_HOST_MEMORY;

    rc = CreateContainer(area, request.label);
    if (rc != ERROR_SUCCESS && rc != NTE_EXISTS) return ChangeFailure(rc);
    // A key already there is never replaced: PKCS#11 callers expect a new
    // object, not the loss of an old one.
    rc = UpdateContainer(area, request.label, [&](ContainerRecord& record) -> DWORD {
        if (record.keys[slot].present) return NTE_EXISTS;
        record.keys[slot] = stored;
        return ERROR_SUCCESS;
    });
    if (rc != ERROR_SUCCESS) return ChangeFailure(rc);

    ObjectRef ref;
    ref.slot = session.slot;
    ref.container = request.label;
    ref.keySlot = slot;
    ref.id = id;
    ref.isPrivate = false;
    publicKey = library.objects.Register(ref);
    ref.isPrivate = true;
    privateKey = library.objects.Register(ref);
    return CKR_OK;
}

CK_RV DestroyObject(Library& library, const Session& session, CK_OBJECT_HANDLE object) {
    ObjectRef ref;
    if (!library.objects.Find(object, ref) || ref.slot != session.slot) return CKR_OBJECT_HANDLE_INVALID;
    Area area;
    DWORD rc = LocateTokenArea(ref.slot, false, area);
    if (rc != ERROR_SUCCESS) return ReadFailure(rc, CKR_OBJECT_HANDLE_INVALID);
    CK_RV refusal = CKR_OK;
    rc = UpdateContainer(area, ref.container, [&](ContainerRecord& record) -> DWORD {
        StoredKey& stored = record.keys[ref.keySlot];
        DecodedBlob decoded;
        KeyId id{};
        if (!stored.present || DecodeKeyBlob(stored.blob.data(), stored.blob.size(), decoded) != ERROR_SUCCESS ||
            !KeyIdOf(decoded.key.get(), id) || id != ref.id) {
            refusal = CKR_OBJECT_HANDLE_INVALID;
            return NTE_BAD_KEY;
        }
        if (!ref.isPrivate && decoded.isPrivate) {
            refusal = CKR_ACTION_PROHIBITED;
            return NTE_BAD_KEY;
        }
        stored = StoredKey{};
        return ERROR_SUCCESS;
    });
    if (refusal != CKR_OK) return refusal;
    switch (rc) {
        case ERROR_SUCCESS: break;
        // Another user's container may be read (by root) but never written.
        case ERROR_ACCESS_DENIED: return CKR_ACTION_PROHIBITED;
        case NTE_BAD_KEYSET:
        case NTE_KEYSET_ENTRY_BAD: return CKR_OBJECT_HANDLE_INVALID;
        default: return ChangeFailure(rc);
    }
    library.objects.ForgetKey(ref);
    return CKR_OK;
}

}  // namespace keyhold::p11
