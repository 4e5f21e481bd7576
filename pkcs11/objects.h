// Object handles and attributes. An object is one key of one container, as
// a private key (when the store holds the pair) or as a public key; its
// handle names the container, the key's kind and its id, so a key replaced
// in the store is a new object and the old handle fails.
#ifndef KEYHOLD_PKCS11_OBJECTS_H
#define KEYHOLD_PKCS11_OBJECTS_H

#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

#include "cryptoki.h"
#include "token_keys.h"

namespace keyhold::p11 {

struct ObjectRef {
    CK_SLOT_ID slot = kUserSlot;
    std::string container;
    KeySlot keySlot = kExchangeSlot;
    bool isPrivate = false;
    KeyId id{};
};

class ObjectTable {
public:
    // The handle of the object, the same one every time it is met.
    CK_OBJECT_HANDLE Register(const ObjectRef& ref);
    bool Find(CK_OBJECT_HANDLE handle, ObjectRef& out) const;
    // Forgets both objects (private and public) of the key.
    void ForgetKey(const ObjectRef& ref);

private:
    static std::string KeyOf(const ObjectRef& ref, bool isPrivate);
    mutable std::mutex mutex_;
    std::unordered_map<CK_OBJECT_HANDLE, ObjectRef> byHandle_;
    std::unordered_map<std::string, CK_OBJECT_HANDLE> byKey_;
};

enum class AttributeState { kValue, kSensitive, kInvalid };

// The value of one attribute of the object, as the bytes PKCS#11 defines.
AttributeState ObjectAttribute(const ObjectRef& ref, const KeyInfo& key, CK_ATTRIBUTE_TYPE type,
                               std::vector<unsigned char>& out);

// True when the object has every attribute of the template with exactly
// those bytes (a find's test).
bool MatchesTemplate(const ObjectRef& ref, const KeyInfo& key, const CK_ATTRIBUTE* attributes, CK_ULONG count);

}  // namespace keyhold::p11

#endif
