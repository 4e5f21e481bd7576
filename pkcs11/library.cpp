#include "library.h"

#include <pthread.h>
#include <unistd.h>

#include <atomic>

#include "crypto_context.h"
#include "key_changes.h"

namespace keyhold::p11 {

namespace {

std::mutex g_mutex;
std::shared_ptr<Library> g_library;
// Libraries a child inherited from its parent: never destroyed (their locks
// may be held by threads that do not exist in the child), kept reachable.
std::vector<std::shared_ptr<Library>>* g_inherited = nullptr;
std::atomic<CK_SESSION_HANDLE> g_nextSession{1};

// The one lock every call takes for a moment is held across fork, so a child
// never inherits it locked by a thread that does not exist there.
void LockForFork() { g_mutex.lock(); }
void UnlockAfterFork() { g_mutex.unlock(); }

}  // namespace

CK_SESSION_HANDLE NextSessionHandle() { return g_nextSession.fetch_add(1); }

CK_RV InitializeLibrary(CK_VOID_PTR initArgs) {
    if (initArgs != nullptr) {
        const auto* args = static_cast<const CK_C_INITIALIZE_ARGS*>(initArgs);
        const int given = (args->CreateMutex != nullptr) + (args->DestroyMutex != nullptr) +
                          (args->LockMutex != nullptr) + (args->UnlockMutex != nullptr);
        if (args->pReserved != nullptr || (given != 0 && given != 4)) return CKR_ARGUMENTS_BAD;
        // The caller's own mutexes only: this library locks with the system's.
        if (given == 4 && (args->flags & CKF_OS_LOCKING_OK) == 0) return CKR_CANT_LOCK;

    }
    static std::once_flag atfork;
    std::call_once(atfork, [] { pthread_atfork(LockForFork, UnlockAfterFork, UnlockAfterFork); });
    std::lock_guard<std::mutex> lock(g_mutex);
    if (g_library && g_library->pid == getpid()) return CKR_CRYPTOKI_ALREADY_INITIALIZED;
    if (!PrepareModuleCrypto()) return CKR_HOST_MEMORY;
    if (g_library) {
        if (g_inherited == nullptr) g_inherited = new std::vector<std::shared_ptr<Library>>();
        g_inherited->push_back(std::move(g_library));
    }
    auto library = std::make_shared<Library>();
    library->pid = getpid();
    // Key generation then searches for primes in the calling thread alone.
    library->noThreads = initArgs != nullptr &&
                         (static_cast<const CK_C_INITIALIZE_ARGS*>(initArgs)->flags & CKF_LIBRARY_CANT_CREATE_OS_THREADS) != 0;
    g_library = std::move(library);
    return CKR_OK;
}

CK_RV FinalizeLibrary(CK_VOID_PTR reserved) {
    if (reserved != nullptr) return CKR_ARGUMENTS_BAD;
    std::shared_ptr<Library> library;
    {
        std::lock_guard<std::mutex> lock(g_mutex);
        if (!g_library || g_library->pid != getpid()) return CKR_CRYPTOKI_NOT_INITIALIZED;
        library.swap(g_library);
    }
    // Sessions end here; a call still running on one keeps it until it returns.
    std::lock_guard<std::mutex> lock(library->mutex);
    library->sessions.clear();
    return CKR_OK;
}

CK_RV CurrentLibrary(std::shared_ptr<Library>& out) {
    std::lock_guard<std::mutex> lock(g_mutex);
    if (!g_library || g_library->pid != getpid()) return CKR_CRYPTOKI_NOT_INITIALIZED;
    out = g_library;
    return CKR_OK;
}

CK_RV FindSession(CK_SESSION_HANDLE handle, std::shared_ptr<Library>& library, std::shared_ptr<Session>& session) {
    const CK_RV rv = CurrentLibrary(library);
    if (rv != CKR_OK) return rv;
    std::lock_guard<std::mutex> lock(library->mutex);
    const auto it = library->sessions.find(handle);
    if (it == library->sessions.end()) return CKR_SESSION_HANDLE_INVALID;
    session = it->second;
    return CKR_OK;
}

CK_RV ResolveObject(Library& library, const Session& session, CK_OBJECT_HANDLE handle, CK_RV invalid, ObjectRef& ref,
                    KeyInfoPtr& key) {
    if (!library.objects.Find(handle, ref) || ref.slot != session.slot) return invalid;
    ContainerKeys keys;
    const DWORD rc = ReadContainerKeys(library.keys, ref.slot, ref.container, keys);
    if (rc != ERROR_SUCCESS) return ReadFailure(rc, invalid);
    const KeyInfoPtr& found = keys.keys[ref.keySlot];
    if (!found || found->id != ref.id || (ref.isPrivate && !found->pair)) return invalid;
    key = found;
    return CKR_OK;
}

}  // namespace keyhold::p11
