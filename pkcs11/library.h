// The state of one initialisation of the library (C_Initialize to
// C_Finalize): its sessions, the tokens' login state, object handles and
// decoded keys. A child after fork sees no library until it calls
// C_Initialize again, and then a new one: nothing of the parent's (whose
// locks another thread may have held at the fork) is touched.
#ifndef KEYHOLD_PKCS11_LIBRARY_H
#define KEYHOLD_PKCS11_LIBRARY_H

#include <sys/types.h>

#include <memory>
#include <mutex>
#include <unordered_map>
#include <vector>

#include "cryptoki.h"
#include "mechanisms.h"
#include "objects.h"
#include "rsa_operation.h"
#include "token_keys.h"

namespace keyhold::p11 {

struct Session {
    CK_SLOT_ID slot = kUserSlot;
    CK_FLAGS flags = 0;

    std::mutex mutex;  // guards what follows; one call of the session at a time
    std::unique_ptr<RsaOperation> operations[static_cast<int>(OpKind::kCount)];
    bool finding = false;
    std::vector<CK_OBJECT_HANDLE> found;
    std::size_t nextFound = 0;
};

struct Library {
    pid_t pid = 0;
    bool noThreads = false;  // CKF_LIBRARY_CANT_CREATE_OS_THREADS
    ObjectTable objects;
    KeyCache keys;

    std::mutex mutex;  // guards the sessions and the login state
    std::unordered_map<CK_SESSION_HANDLE, std::shared_ptr<Session>> sessions;
    bool loggedIn[kSlotCount] = {false, false};
};

CK_RV InitializeLibrary(CK_VOID_PTR initArgs);
CK_RV FinalizeLibrary(CK_VOID_PTR reserved);

// The library of this process, or CKR_CRYPTOKI_NOT_INITIALIZED.
CK_RV CurrentLibrary(std::shared_ptr<Library>& out);

// The library and a live session of it; CKR_SESSION_HANDLE_INVALID for a
// handle that is not (closed, never opened, or of the parent before a fork).
CK_RV FindSession(CK_SESSION_HANDLE handle, std::shared_ptr<Library>& library, std::shared_ptr<Session>& session);

// The object of a handle as the store holds it now: its key, read afresh.
// `invalid` (CKR_OBJECT_HANDLE_INVALID or CKR_KEY_HANDLE_INVALID) when the
// handle names no object of the session's token, or its key is gone or
// replaced.
CK_RV ResolveObject(Library& library, const Session& session, CK_OBJECT_HANDLE handle, CK_RV invalid, ObjectRef& ref,
                    KeyInfoPtr& key);

// A new session handle, never one used before in this process.
CK_SESSION_HANDLE NextSessionHandle();

}  // namespace keyhold::p11

#endif
