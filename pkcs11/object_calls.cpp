// Objects: attributes, searches, new key pairs and removal.
#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "calls.h"
#include "key_changes.h"
#include "library.h"
#include "store/container_store.h"

namespace keyhold::p11::calls {

namespace {

bool TemplateUsable(const CK_ATTRIBUTE* attributes, CK_ULONG count) {
    if (attributes == nullptr) return count == 0;
    for (CK_ULONG i = 0; i < count; ++i)
        if (attributes[i].pValue == nullptr && attributes[i].ulValueLen != 0) return false;
    return true;
}

// A template attribute's value, when it is a CK_ULONG.
bool UlongOf(const CK_ATTRIBUTE& a, CK_ULONG& out) {
    if (a.ulValueLen != sizeof(CK_ULONG)) return false;
    std::memcpy(&out, a.pValue, sizeof out);
    return true;
}

// Every object of the session's token that matches the template. A label
// names one container, whose file name is its hash: read directly, without
// listing the area.
void Search(Library& library, const Session& session, const CK_ATTRIBUTE* attributes, CK_ULONG count,
            std::vector<CK_OBJECT_HANDLE>& found) {
    const std::string* label = nullptr;
    std::string labelValue;
    for (CK_ULONG i = 0; i < count; ++i) {
        const CK_ATTRIBUTE& a = attributes[i];
        CK_ULONG value = 0;
        // Nothing but RSA key objects on these tokens.
        if (a.type == CKA_CLASS && (!UlongOf(a, value) || (value != CKO_PRIVATE_KEY && value != CKO_PUBLIC_KEY)))
            return;
        if (a.type == CKA_KEY_TYPE && (!UlongOf(a, value) || value != CKK_RSA)) return;
        if (a.type == CKA_LABEL) {
            labelValue.assign(static_cast<const char*>(a.pValue), a.ulValueLen);
            label = &labelValue;
        }
    }
    std::vector<std::string> names;
    if (label != nullptr) {
        if (CheckContainerName(*label) != ERROR_SUCCESS) return;
        names.push_back(*label);
    } else if (ListTokenContainers(session.slot, names) != ERROR_SUCCESS) {
        return;
    }
    for (const std::string& name : names) {
        ContainerKeys keys;
        // A container that vanished, is damaged or is not ours holds nothing to find.
        if (ReadContainerKeys(library.keys, session.slot, name, keys) != ERROR_SUCCESS) continue;
        for (const KeyInfoPtr& key : keys.keys) {
            if (!key) continue;
            ObjectRef ref;
            ref.slot = session.slot;
            ref.container = name;
            ref.keySlot = key->slot;
            ref.id = key->id;
            for (const bool isPrivate : {true, false}) {
                if (isPrivate && !key->pair) continue;
                ref.isPrivate = isPrivate;
                if (MatchesTemplate(ref, *key, attributes, count)) found.push_back(library.objects.Register(ref));
            }
        }
    }
}

bool ReadWrite(const Session& session) { return (session.flags & CKF_RW_SESSION) != 0; }

}  // namespace

CK_RV GetAttributeValue(CK_SESSION_HANDLE handle, CK_OBJECT_HANDLE object, CK_ATTRIBUTE_PTR attributes,
                        CK_ULONG count) {
    return WithSession(handle, [&](Library& library, Session& session) {
        CK_RV rv = CKR_OK;
        if (attributes == nullptr && count != 0) return CKR_ARGUMENTS_BAD;
        ObjectRef ref;
        KeyInfoPtr key;
        rv = ResolveObject(library, session, object, CKR_OBJECT_HANDLE_INVALID, ref, key);
        if (rv != CKR_OK) return rv;
        std::vector<unsigned char> value;
        for (CK_ULONG i = 0; i < count; ++i) {
            CK_ATTRIBUTE& a = attributes[i];
            const AttributeState state = ObjectAttribute(ref, *key, a.type, value);
            if (state != AttributeState::kValue) {
                a.ulValueLen = CK_UNAVAILABLE_INFORMATION;
                rv = state == AttributeState::kSensitive ? CKR_ATTRIBUTE_SENSITIVE : CKR_ATTRIBUTE_TYPE_INVALID;
            } else if (a.pValue == nullptr) {
                a.ulValueLen = value.size();
            } else if (a.ulValueLen < value.size()) {
                a.ulValueLen = CK_UNAVAILABLE_INFORMATION;
                rv = CKR_BUFFER_TOO_SMALL;
            } else {
                if (!value.empty()) std::memcpy(a.pValue, value.data(), value.size());
                a.ulValueLen = value.size();
            }
        }
        return rv;
    });
}

CK_RV GetObjectSize(CK_SESSION_HANDLE handle, CK_OBJECT_HANDLE object, CK_ULONG_PTR size) {
    return WithSession(handle, [&](Library& library, Session& session) {
        CK_RV rv = CKR_OK;
        if (size == nullptr) return CKR_ARGUMENTS_BAD;
        ObjectRef ref;
        KeyInfoPtr key;
        rv = ResolveObject(library, session, object, CKR_OBJECT_HANDLE_INVALID, ref, key);
        if (rv == CKR_OK) *size = CK_UNAVAILABLE_INFORMATION;
        return rv;
    });
}

CK_RV FindObjectsInit(CK_SESSION_HANDLE handle, CK_ATTRIBUTE_PTR attributes, CK_ULONG count) {
    return WithSession(handle, [&](Library& library, Session& session) {
        if (!TemplateUsable(attributes, count)) return CKR_ARGUMENTS_BAD;
        std::lock_guard<std::mutex> lock(session.mutex);
        if (session.finding) return CKR_OPERATION_ACTIVE;
        std::vector<CK_OBJECT_HANDLE> found;
        Search(library, session, attributes, count, found);
        session.found.swap(found);
        session.nextFound = 0;
        session.finding = true;
        return CKR_OK;
    });
}

CK_RV FindObjects(CK_SESSION_HANDLE handle, CK_OBJECT_HANDLE_PTR objects, CK_ULONG max, CK_ULONG_PTR count) {
    return WithSession(handle, [&](Library&, Session& session) {
        if (count == nullptr || (objects == nullptr && max != 0)) return CKR_ARGUMENTS_BAD;
        std::lock_guard<std::mutex> lock(session.mutex);
        if (!session.finding) return CKR_OPERATION_NOT_INITIALIZED;
        const std::size_t n = std::min<std::size_t>(max, session.found.size() - session.nextFound);
        std::copy_n(session.found.begin() + static_cast<std::ptrdiff_t>(session.nextFound), n, objects);
        session.nextFound += n;
        *count = n;
        return CKR_OK;
    });
}

CK_RV FindObjectsFinal(CK_SESSION_HANDLE handle) {
    return WithSession(handle, [&](Library&, Session& session) {
        std::lock_guard<std::mutex> lock(session.mutex);
        if (!session.finding) return CKR_OPERATION_NOT_INITIALIZED;
        session.finding = false;
        session.found.clear();
        session.nextFound = 0;
        return CKR_OK;
    });
}

CK_RV DestroyObject(CK_SESSION_HANDLE handle, CK_OBJECT_HANDLE object) {
    return WithSession(handle, [&](Library& library, Session& session) {
        if (!ReadWrite(session)) return CKR_SESSION_READ_ONLY;
        return p11::DestroyObject(library, session, object);
    });
}

CK_RV GenerateKeyPair(CK_SESSION_HANDLE handle, CK_MECHANISM_PTR mechanism, CK_ATTRIBUTE_PTR publicTemplate,
                      CK_ULONG publicCount, CK_ATTRIBUTE_PTR privateTemplate, CK_ULONG privateCount,
                      CK_OBJECT_HANDLE_PTR publicKey, CK_OBJECT_HANDLE_PTR privateKey) {
    return WithSession(handle, [&](Library& library, Session& session) {
        if (publicKey == nullptr || privateKey == nullptr) return CKR_ARGUMENTS_BAD;
        if (!ReadWrite(session)) return CKR_SESSION_READ_ONLY;
        return p11::GenerateKeyPair(library, session, mechanism, publicTemplate, publicCount, privateTemplate,
                                    privateCount, *publicKey, *privateKey);
    });
}

}  // namespace keyhold::p11::calls
