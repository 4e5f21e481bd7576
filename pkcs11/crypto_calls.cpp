// Sign, verify, encrypt and decrypt, in one part or several. Every call that
// ends an operation ends it whatever the outcome, except a length query and
// CKR_BUFFER_TOO_SMALL, as PKCS#11 asks.
#include <cstring>

#include "calls.h"
#include "library.h"

namespace keyhold::p11::calls {

namespace {

constexpr CK_FLAGS kFindObjectsFlag = 0x40;  // CKF_FIND_OBJECTS (3.0)

std::unique_ptr<RsaOperation>& OperationOf(Session& session, OpKind kind) {
    return session.operations[static_cast<int>(kind)];
}

CK_RV Init(CK_SESSION_HANDLE handle, CK_MECHANISM_PTR mechanism, CK_OBJECT_HANDLE keyHandle, OpKind kind) {
    return WithSession(handle, [&](Library& library, Session& session) {
        CK_RV rv = CKR_OK;
        std::lock_guard<std::mutex> lock(session.mutex);
        std::unique_ptr<RsaOperation>& slot = OperationOf(session, kind);
        // A null mechanism ends the active operation (PKCS#11 3.0).
        if (mechanism == nullptr) {
            slot.reset();
            return CKR_OK;
        }
        if (slot) return CKR_OPERATION_ACTIVE;
        MechanismPlan plan;
        rv = PlanMechanism(mechanism, kind, plan);
        if (rv != CKR_OK) return rv;
        ObjectRef ref;
        KeyInfoPtr key;
        rv = ResolveObject(library, session, keyHandle, CKR_KEY_HANDLE_INVALID, ref, key);
        if (rv != CKR_OK) return rv;
        const bool needsPrivate = kind == OpKind::kSign || kind == OpKind::kDecrypt;
        if (ref.isPrivate != needsPrivate) return CKR_KEY_TYPE_INCONSISTENT;
        // A signature key only signs.
        if ((kind == OpKind::kEncrypt || kind == OpKind::kDecrypt) && ref.keySlot != kExchangeSlot)
            return CKR_KEY_FUNCTION_NOT_PERMITTED;
        return RsaOperation::Start(kind, std::move(plan), std::move(key), slot);
    });
}

// The output of sign, encrypt and decrypt, whole (`single`: the data comes
// with the call) or as the final part.
CK_RV Produce(CK_SESSION_HANDLE handle, OpKind kind, bool single, const unsigned char* data, CK_ULONG dataLength,
              CK_BYTE_PTR out, CK_ULONG_PTR outLength) {
    return WithSession(handle, [&](Library&, Session& session) {
        CK_RV rv = CKR_OK;
        std::lock_guard<std::mutex> lock(session.mutex);
        std::unique_ptr<RsaOperation>& op = OperationOf(session, kind);
        if (!op) return CKR_OPERATION_NOT_INITIALIZED;
        if (outLength == nullptr || (single && data == nullptr && dataLength != 0))
            rv = CKR_ARGUMENTS_BAD;
        else if (single && op->multipart)
            rv = CKR_OPERATION_ACTIVE;
        if (rv != CKR_OK) {
            op.reset();
            return rv;
        }
        if (!op->HasResult()) {
            // Until the result exists, the modulus length bounds it; only a
            // plaintext can be shorter.
            const CK_ULONG bound = op->ModulusBytes();
            if (out == nullptr || (kind != OpKind::kDecrypt && *outLength < bound)) {
                *outLength = bound;
                return out == nullptr ? CKR_OK : CKR_BUFFER_TOO_SMALL;
            }
            if (single) rv = op->Feed(data, dataLength);
        }
        const SecureBytes* result = nullptr;
        if (rv == CKR_OK) rv = op->Result(result);
        if (rv != CKR_OK) {
            op.reset();
            return rv;
        }
        if (out == nullptr || *outLength < result->size()) {
            const bool query = out == nullptr;
            *outLength = result->size();
            return query ? CKR_OK : CKR_BUFFER_TOO_SMALL;
        }
        if (!result->empty()) std::memcpy(out, result->data(), result->size());
        *outLength = result->size();
        op.reset();
        return CKR_OK;
    });
}

CK_RV Update(CK_SESSION_HANDLE handle, OpKind kind, const unsigned char* data, CK_ULONG length,
             CK_ULONG_PTR partLength) {
    return WithSession(handle, [&](Library&, Session& session) {
        CK_RV rv = CKR_OK;
        std::lock_guard<std::mutex> lock(session.mutex);
        std::unique_ptr<RsaOperation>& op = OperationOf(session, kind);
        if (!op) return CKR_OPERATION_NOT_INITIALIZED;
        const bool needsPart = kind == OpKind::kEncrypt || kind == OpKind::kDecrypt;
        if ((data == nullptr && length != 0) || (needsPart && partLength == nullptr))
            rv = CKR_ARGUMENTS_BAD;
        else if (op->HasResult())
            rv = CKR_OPERATION_ACTIVE;
        else
            rv = op->Feed(data, length);
        if (rv != CKR_OK) {
            op.reset();
            return rv;
        }
        op->multipart = true;
        // RSA works on the whole message: every part's output comes at the end.
        if (partLength != nullptr) *partLength = 0;
        return CKR_OK;
    });
}

CK_RV Check(CK_SESSION_HANDLE handle, bool single, const unsigned char* data, CK_ULONG dataLength,
            const unsigned char* signature, CK_ULONG signatureLength) {
    return WithSession(handle, [&](Library&, Session& session) {
        CK_RV rv = CKR_OK;
        std::lock_guard<std::mutex> lock(session.mutex);
        std::unique_ptr<RsaOperation>& op = OperationOf(session, OpKind::kVerify);
        if (!op) return CKR_OPERATION_NOT_INITIALIZED;
        const std::unique_ptr<RsaOperation> ending = std::move(op);
        if (signature == nullptr || (single && data == nullptr && dataLength != 0)) return CKR_ARGUMENTS_BAD;
        if (single && ending->multipart) return CKR_OPERATION_ACTIVE;
        if (single && (rv = ending->Feed(data, dataLength)) != CKR_OK) return rv;
        return ending->Verify(signature, signatureLength);
    });
}

}  // namespace

CK_RV SignInit(CK_SESSION_HANDLE h, CK_MECHANISM_PTR m, CK_OBJECT_HANDLE k) { return Init(h, m, k, OpKind::kSign); }
CK_RV VerifyInit(CK_SESSION_HANDLE h, CK_MECHANISM_PTR m, CK_OBJECT_HANDLE k) {
    return Init(h, m, k, OpKind::kVerify);
}
CK_RV EncryptInit(CK_SESSION_HANDLE h, CK_MECHANISM_PTR m, CK_OBJECT_HANDLE k) {
    return Init(h, m, k, OpKind::kEncrypt);
}
CK_RV DecryptInit(CK_SESSION_HANDLE h, CK_MECHANISM_PTR m, CK_OBJECT_HANDLE k) {
    return Init(h, m, k, OpKind::kDecrypt);
}

CK_RV Sign(CK_SESSION_HANDLE h, CK_BYTE_PTR data, CK_ULONG length, CK_BYTE_PTR out, CK_ULONG_PTR outLength) {
    return Produce(h, OpKind::kSign, true, data, length, out, outLength);
}
CK_RV SignUpdate(CK_SESSION_HANDLE h, CK_BYTE_PTR data, CK_ULONG length) {
    return Update(h, OpKind::kSign, data, length, nullptr);
}
CK_RV SignFinal(CK_SESSION_HANDLE h, CK_BYTE_PTR out, CK_ULONG_PTR outLength) {
    return Produce(h, OpKind::kSign, false, nullptr, 0, out, outLength);
}

CK_RV Verify(CK_SESSION_HANDLE h, CK_BYTE_PTR data, CK_ULONG length, CK_BYTE_PTR signature, CK_ULONG signatureLength) {
    return Check(h, true, data, length, signature, signatureLength);
}
CK_RV VerifyUpdate(CK_SESSION_HANDLE h, CK_BYTE_PTR data, CK_ULONG length) {
    return Update(h, OpKind::kVerify, data, length, nullptr);
}
CK_RV VerifyFinal(CK_SESSION_HANDLE h, CK_BYTE_PTR signature, CK_ULONG signatureLength) {
    return Check(h, false, nullptr, 0, signature, signatureLength);
}

CK_RV Encrypt(CK_SESSION_HANDLE h, CK_BYTE_PTR data, CK_ULONG length, CK_BYTE_PTR out, CK_ULONG_PTR outLength) {
    return Produce(h, OpKind::kEncrypt, true, data, length, out, outLength);
}
CK_RV EncryptUpdate(CK_SESSION_HANDLE h, CK_BYTE_PTR data, CK_ULONG length, CK_BYTE_PTR, CK_ULONG_PTR partLength) {
    return Update(h, OpKind::kEncrypt, data, length, partLength);
}
CK_RV EncryptFinal(CK_SESSION_HANDLE h, CK_BYTE_PTR out, CK_ULONG_PTR outLength) {
    return Produce(h, OpKind::kEncrypt, false, nullptr, 0, out, outLength);
}

CK_RV Decrypt(CK_SESSION_HANDLE h, CK_BYTE_PTR data, CK_ULONG length, CK_BYTE_PTR out, CK_ULONG_PTR outLength) {
    return Produce(h, OpKind::kDecrypt, true, data, length, out, outLength);
}
CK_RV DecryptUpdate(CK_SESSION_HANDLE h, CK_BYTE_PTR data, CK_ULONG length, CK_BYTE_PTR, CK_ULONG_PTR partLength) {
    return Update(h, OpKind::kDecrypt, data, length, partLength);
}
CK_RV DecryptFinal(CK_SESSION_HANDLE h, CK_BYTE_PTR out, CK_ULONG_PTR outLength) {
    return Produce(h, OpKind::kDecrypt, false, nullptr, 0, out, outLength);
}

CK_RV SessionCancel(CK_SESSION_HANDLE handle, CK_FLAGS flags) {
    return WithSession(handle, [&](Library&, Session& session) {
        std::lock_guard<std::mutex> lock(session.mutex);
        const struct {
            CK_FLAGS flag;
            OpKind kind;
        } kinds[] = {{CKF_SIGN, OpKind::kSign},
                     {CKF_VERIFY, OpKind::kVerify},
                     {CKF_ENCRYPT, OpKind::kEncrypt},
                     {CKF_DECRYPT, OpKind::kDecrypt}};
        for (const auto& k : kinds)
            if ((flags & k.flag) != 0) OperationOf(session, k.kind).reset();
        if ((flags & kFindObjectsFlag) != 0) {
            session.finding = false;
            session.found.clear();
        }
        return CKR_OK;
    });
}

}  // namespace keyhold::p11::calls
