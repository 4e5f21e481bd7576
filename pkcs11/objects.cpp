#include "objects.h"

#include <atomic>
#include <cstring>

namespace keyhold::p11 {

namespace {

// Handles count on across C_Finalize and fork, so that a handle of an earlier
// run of the library never names an object of a later one.
std::atomic<CK_OBJECT_HANDLE> g_nextHandle{1};

void PutBool(std::vector<unsigned char>& out, bool value) { out.assign(1, value ? CK_TRUE : CK_FALSE); }

void PutUlong(std::vector<unsigned char>& out, CK_ULONG value) {
    out.resize(sizeof value);
    std::memcpy(out.data(), &value, sizeof value);
}

}  // namespace

std::string ObjectTable::KeyOf(const ObjectRef& ref, bool isPrivate) {
    std::string key;
    key.push_back(static_cast<char>('0' + ref.slot));
    key.push_back(static_cast<char>('0' + ref.keySlot));
    key.push_back(isPrivate ? 'p' : 'q');
    key.append(reinterpret_cast<const char*>(ref.id.data()), ref.id.size());
    key.append(ref.container);
    return key;
}

CK_OBJECT_HANDLE ObjectTable::Register(const ObjectRef& ref) {
    std::string key = KeyOf(ref, ref.isPrivate);
    std::lock_guard<std::mutex> lock(mutex_);
    const auto it = byKey_.find(key);
    if (it != byKey_.end()) return it->second;
    const CK_OBJECT_HANDLE handle = g_nextHandle.fetch_add(1);
    byHandle_.emplace(handle, ref);
    byKey_.emplace(std::move(key), handle);
    return handle;
}

bool ObjectTable::Find(CK_OBJECT_HANDLE handle, ObjectRef& out) const {
    std::lock_guard<std::mutex> lock(mutex_);
    const auto it = byHandle_.find(handle);
    if (it == byHandle_.end()) return false;
    out = it->second;
    return true;
}

void ObjectTable::ForgetKey(const ObjectRef& ref) {
    std::lock_guard<std::mutex> lock(mutex_);
    for (const bool isPrivate : {true, false}) {
        const auto it = byKey_.find(KeyOf(ref, isPrivate));
        if (it == byKey_.end()) continue;
        byHandle_.erase(it->second);
        byKey_.erase(it);
    }
}

AttributeState ObjectAttribute(const ObjectRef& ref, const KeyInfo& key, CK_ATTRIBUTE_TYPE type,
                               std::vector<unsigned char>& out) {
    const bool priv = ref.isPrivate;
    const bool exchange = ref.keySlot == kExchangeSlot;
    switch (type) {
        case CKA_CLASS: PutUlong(out, priv ? CKO_PRIVATE_KEY : CKO_PUBLIC_KEY); return AttributeState::kValue;
        case CKA_TOKEN: PutBool(out, true); return AttributeState::kValue;
        case CKA_PRIVATE:
        case CKA_MODIFIABLE:
        case CKA_COPYABLE:
        case CKA_DERIVE:
        case CKA_LOCAL:
        case CKA_WRAP:
        case CKA_UNWRAP:
        case CKA_TRUSTED:
        case CKA_SIGN_RECOVER:
        case CKA_VERIFY_RECOVER:
            if (type == CKA_TRUSTED && priv) return AttributeState::kInvalid;
            PutBool(out, false);
            return AttributeState::kValue;
        case CKA_DESTROYABLE:
            // A public key object of a pair goes only with its private key.
            PutBool(out, priv || !key.pair);
            return AttributeState::kValue;
        case CKA_LABEL: out.assign(ref.container.begin(), ref.container.end()); return AttributeState::kValue;
        case CKA_ID: out.assign(key.id.begin(), key.id.end()); return AttributeState::kValue;
        case CKA_KEY_TYPE: PutUlong(out, CKK_RSA); return AttributeState::kValue;
        case CKA_KEY_GEN_MECHANISM: PutUlong(out, CK_UNAVAILABLE_INFORMATION); return AttributeState::kValue;
        case CKA_SUBJECT:
        case CKA_START_DATE:
        case CKA_END_DATE: out.clear(); return AttributeState::kValue;
        case CKA_MODULUS: out = key.modulus; return AttributeState::kValue;
        case CKA_PUBLIC_EXPONENT: out = key.exponent; return AttributeState::kValue;
        case CKA_MODULUS_BITS: PutUlong(out, key.bits); return AttributeState::kValue;
        case CKA_PUBLIC_KEY_INFO: out = key.publicKeyInfo; return AttributeState::kValue;
        default: break;
    }
    if (priv) {
        switch (type) {
            case CKA_SIGN:
            case CKA_SENSITIVE: PutBool(out, true); return AttributeState::kValue;
            case CKA_DECRYPT: PutBool(out, exchange); return AttributeState::kValue;
            case CKA_EXTRACTABLE: PutBool(out, key.exportable); return AttributeState::kValue;
            // The store does not record where a key came from (an import was
            // once in the clear), so neither is claimed.
            case CKA_ALWAYS_SENSITIVE:
            case CKA_NEVER_EXTRACTABLE:
            case CKA_ALWAYS_AUTHENTICATE:
            case CKA_WRAP_WITH_TRUSTED: PutBool(out, false); return AttributeState::kValue;
            case CKA_PRIVATE_EXPONENT:
            case CKA_PRIME_1:
            case CKA_PRIME_2:
            case CKA_EXPONENT_1:
            case CKA_EXPONENT_2:
            case CKA_COEFFICIENT: return AttributeState::kSensitive;
            default: return AttributeState::kInvalid;
        }
    }
    switch (type) {
        case CKA_VERIFY: PutBool(out, true); return AttributeState::kValue;
        case CKA_ENCRYPT: PutBool(out, exchange); return AttributeState::kValue;
        default: return AttributeState::kInvalid;
    }
}

bool MatchesTemplate(const ObjectRef& ref, const KeyInfo& key, const CK_ATTRIBUTE* attributes, CK_ULONG count) {
    std::vector<unsigned char> value;
    for (CK_ULONG i = 0; i < count; ++i) {
        const CK_ATTRIBUTE& wanted = attributes[i];
        if (ObjectAttribute(ref, key, wanted.type, value) != AttributeState::kValue ||
            value.size() != wanted.ulValueLen ||
            (!value.empty() && std::memcmp(value.data(), wanted.pValue, value.size()) != 0))
            return false;
    }
    return true;
}

}  // namespace keyhold::p11
