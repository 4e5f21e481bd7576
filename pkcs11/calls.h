// The module's PKCS#11 functions, as the function lists name them. None
// throws: each catches everything at its edge.
#ifndef KEYHOLD_PKCS11_CALLS_H
#define KEYHOLD_PKCS11_CALLS_H

#include <exception>
#include <new>

#include "cryptoki.h"
#include "library.h"

namespace keyhold::p11 {

// Runs `body`, turning any exception into a PKCS#11 code.
template <typename Body>
CK_RV Guarded(Body&& body) noexcept {
    try {
        return body();
    } catch (const std::bad_alloc&) {
        return CKR_HOST_MEMORY;
    } catch (...) {
        return CKR_GENERAL_ERROR;
    }
}

// `body(library)` for the initialised library, else CKR_CRYPTOKI_NOT_INITIALIZED.
template <typename Body>
CK_RV WithLibrary(Body&& body) noexcept {
    return Guarded([&]() -> CK_RV {
        std::shared_ptr<Library> library;
        const CK_RV rv = CurrentLibrary(library);
        return rv != CKR_OK ? rv : body(*library);
    });
}

// `body(library, session)` for a live session, else the reason it is not one.
template <typename Body>
CK_RV WithSession(CK_SESSION_HANDLE handle, Body&& body) noexcept {
    return Guarded([&]() -> CK_RV {
        std::shared_ptr<Library> library;
        std::shared_ptr<Session> session;
        const CK_RV rv = FindSession(handle, library, session);
        return rv != CKR_OK ? rv : body(*library, *session);
    });
}

namespace calls {

// General, slots, tokens, sessions (session_calls.cpp).
CK_RV Initialize(CK_VOID_PTR);
CK_RV Finalize(CK_VOID_PTR);
CK_RV GetInfo(CK_INFO_PTR);
CK_RV GetSlotList(CK_BBOOL, CK_SLOT_ID_PTR, CK_ULONG_PTR);
CK_RV GetSlotInfo(CK_SLOT_ID, CK_SLOT_INFO_PTR);
CK_RV GetTokenInfo(CK_SLOT_ID, CK_TOKEN_INFO_PTR);
CK_RV GetMechanismList(CK_SLOT_ID, CK_MECHANISM_TYPE_PTR, CK_ULONG_PTR);
CK_RV GetMechanismInfo(CK_SLOT_ID, CK_MECHANISM_TYPE, CK_MECHANISM_INFO_PTR);
CK_RV OpenSession(CK_SLOT_ID, CK_FLAGS, CK_VOID_PTR, CK_NOTIFY, CK_SESSION_HANDLE_PTR);
CK_RV CloseSession(CK_SESSION_HANDLE);
CK_RV CloseAllSessions(CK_SLOT_ID);
CK_RV GetSessionInfo(CK_SESSION_HANDLE, CK_SESSION_INFO_PTR);
CK_RV Login(CK_SESSION_HANDLE, CK_USER_TYPE, CK_UTF8CHAR_PTR, CK_ULONG);
CK_RV LoginUser(CK_SESSION_HANDLE, CK_USER_TYPE, CK_UTF8CHAR_PTR, CK_ULONG, CK_UTF8CHAR_PTR, CK_ULONG);
CK_RV Logout(CK_SESSION_HANDLE);
CK_RV GenerateRandom(CK_SESSION_HANDLE, CK_BYTE_PTR, CK_ULONG);

// Objects (object_calls.cpp).
CK_RV GetAttributeValue(CK_SESSION_HANDLE, CK_OBJECT_HANDLE, CK_ATTRIBUTE_PTR, CK_ULONG);
CK_RV GetObjectSize(CK_SESSION_HANDLE, CK_OBJECT_HANDLE, CK_ULONG_PTR);
CK_RV FindObjectsInit(CK_SESSION_HANDLE, CK_ATTRIBUTE_PTR, CK_ULONG);
CK_RV FindObjects(CK_SESSION_HANDLE, CK_OBJECT_HANDLE_PTR, CK_ULONG, CK_ULONG_PTR);
CK_RV FindObjectsFinal(CK_SESSION_HANDLE);
CK_RV DestroyObject(CK_SESSION_HANDLE, CK_OBJECT_HANDLE);
CK_RV GenerateKeyPair(CK_SESSION_HANDLE, CK_MECHANISM_PTR, CK_ATTRIBUTE_PTR, CK_ULONG, CK_ATTRIBUTE_PTR, CK_ULONG,
                      CK_OBJECT_HANDLE_PTR, CK_OBJECT_HANDLE_PTR);

// Cryptographic operations (crypto_calls.cpp).
CK_RV SignInit(CK_SESSION_HANDLE, CK_MECHANISM_PTR, CK_OBJECT_HANDLE);
CK_RV Sign(CK_SESSION_HANDLE, CK_BYTE_PTR, CK_ULONG, CK_BYTE_PTR, CK_ULONG_PTR);
CK_RV SignUpdate(CK_SESSION_HANDLE, CK_BYTE_PTR, CK_ULONG);
CK_RV SignFinal(CK_SESSION_HANDLE, CK_BYTE_PTR, CK_ULONG_PTR);
CK_RV VerifyInit(CK_SESSION_HANDLE, CK_MECHANISM_PTR, CK_OBJECT_HANDLE);
CK_RV Verify(CK_SESSION_HANDLE, CK_BYTE_PTR, CK_ULONG, CK_BYTE_PTR, CK_ULONG);
CK_RV VerifyUpdate(CK_SESSION_HANDLE, CK_BYTE_PTR, CK_ULONG);
CK_RV VerifyFinal(CK_SESSION_HANDLE, CK_BYTE_PTR, CK_ULONG);
CK_RV EncryptInit(CK_SESSION_HANDLE, CK_MECHANISM_PTR, CK_OBJECT_HANDLE);
CK_RV Encrypt(CK_SESSION_HANDLE, CK_BYTE_PTR, CK_ULONG, CK_BYTE_PTR, CK_ULONG_PTR);
CK_RV EncryptUpdate(CK_SESSION_HANDLE, CK_BYTE_PTR, CK_ULONG, CK_BYTE_PTR, CK_ULONG_PTR);
CK_RV EncryptFinal(CK_SESSION_HANDLE, CK_BYTE_PTR, CK_ULONG_PTR);
CK_RV DecryptInit(CK_SESSION_HANDLE, CK_MECHANISM_PTR, CK_OBJECT_HANDLE);
CK_RV Decrypt(CK_SESSION_HANDLE, CK_BYTE_PTR, CK_ULONG, CK_BYTE_PTR, CK_ULONG_PTR);
CK_RV DecryptUpdate(CK_SESSION_HANDLE, CK_BYTE_PTR, CK_ULONG, CK_BYTE_PTR, CK_ULONG_PTR);
CK_RV DecryptFinal(CK_SESSION_HANDLE, CK_BYTE_PTR, CK_ULONG_PTR);
CK_RV SessionCancel(CK_SESSION_HANDLE, CK_FLAGS);

}  // namespace calls
}  // namespace keyhold::p11

#endif
