// General functions, slots and tokens, sessions and login.
#include <unistd.h>

#include <cstring>
#include <string>
#include <string_view>

#include <openssl/rand.h>

#include "calls.h"
#include "crypto_context.h"
#include "library.h"

namespace keyhold::p11::calls {

namespace {

constexpr CK_VERSION kLibraryVersion = {0, 1};

// PKCS#11's text fields: blank-padded, no terminator.
template <std::size_t N>
void Blank(CK_UTF8CHAR (&field)[N], std::string_view text) {
    std::memset(field, ' ', N);
    std::memcpy(field, text.data(), text.size() < N ? text.size() : N);
}

bool ValidSlot(CK_SLOT_ID slot) { return slot < kSlotCount; }

}  // namespace

CK_RV Initialize(CK_VOID_PTR args) {
    return Guarded([&] { return InitializeLibrary(args); });
}

CK_RV Finalize(CK_VOID_PTR reserved) {
    return Guarded([&] { return FinalizeLibrary(reserved); });
}

CK_RV GetInfo(CK_INFO_PTR info) {
    return WithLibrary([&](Library&) {
        if (info == nullptr) return CKR_ARGUMENTS_BAD;
        *info = CK_INFO{};
        info->cryptokiVersion = {3, 0};
        Blank(info->manufacturerID, "keyhold");
        Blank(info->libraryDescription, "keyhold key store");
        info->libraryVersion = kLibraryVersion;
        return CKR_OK;
    });
}

CK_RV GetSlotList(CK_BBOOL, CK_SLOT_ID_PTR list, CK_ULONG_PTR count) {
    return WithLibrary([&](Library&) {
        if (count == nullptr) return CKR_ARGUMENTS_BAD;
        // Both tokens are always present.
        if (list != nullptr) {
            if (*count < kSlotCount) {
                *count = kSlotCount;
                return CKR_BUFFER_TOO_SMALL;
            }
            list[0] = kUserSlot;
            list[1] = kMachineSlot;
        }
        *count = kSlotCount;
        return CKR_OK;
    });
}

CK_RV GetSlotInfo(CK_SLOT_ID slot, CK_SLOT_INFO_PTR info) {
    return WithLibrary([&](Library&) {
        if (!ValidSlot(slot)) return CKR_SLOT_ID_INVALID;
        if (info == nullptr) return CKR_ARGUMENTS_BAD;
        *info = CK_SLOT_INFO{};
        Blank(info->slotDescription, slot == kUserSlot ? "keyhold user key area" : "keyhold machine key area");
        Blank(info->manufacturerID, "keyhold");
        info->flags = CKF_TOKEN_PRESENT;
        info->hardwareVersion = kLibraryVersion;
        info->firmwareVersion = kLibraryVersion;
        return CKR_OK;
    });
}

CK_RV GetTokenInfo(CK_SLOT_ID slot, CK_TOKEN_INFO_PTR info) {
    return WithLibrary([&](Library& library) {
        if (!ValidSlot(slot)) return CKR_SLOT_ID_INVALID;
        if (info == nullptr) return CKR_ARGUMENTS_BAD;
        CK_ULONG sessions = 0, rwSessions = 0;
        {
            std::lock_guard<std::mutex> lock(library.mutex);
            for (const auto& entry : library.sessions) {
                if (entry.second->slot != slot) continue;
                ++sessions;
                if ((entry.second->flags & CKF_RW_SESSION) != 0) ++rwSessions;
            }
        }
        *info = CK_TOKEN_INFO{};
        Blank(info->label, slot == kUserSlot ? "keyhold user" : "keyhold machine");
        Blank(info->manufacturerID, "keyhold");
        Blank(info->model, "key store");
        // Each user's token is another one, so their serial numbers differ.
        Blank(info->serialNumber, slot == kUserSlot ? "uid" + std::to_string(geteuid()) : "machine");
        // No login: the store's file permissions guard the keys.
        info->flags = CKF_TOKEN_INITIALIZED | CKF_RNG;
        info->ulMaxSessionCount = CK_EFFECTIVELY_INFINITE;
        info->ulSessionCount = sessions;
        info->ulMaxRwSessionCount = CK_EFFECTIVELY_INFINITE;
        info->ulRwSessionCount = rwSessions;
        info->ulMaxPinLen = 0;
        info->ulMinPinLen = 0;
        info->ulTotalPublicMemory = CK_UNAVAILABLE_INFORMATION;
        info->ulFreePublicMemory = CK_UNAVAILABLE_INFORMATION;
        info->ulTotalPrivateMemory = CK_UNAVAILABLE_INFORMATION;
        info->ulFreePrivateMemory = CK_UNAVAILABLE_INFORMATION;
        info->hardwareVersion = kLibraryVersion;
        info->firmwareVersion = kLibraryVersion;
        Blank(info->utcTime, "");
        return CKR_OK;
    });
}

CK_RV GetMechanismList(CK_SLOT_ID slot, CK_MECHANISM_TYPE_PTR list, CK_ULONG_PTR count) {
    return WithLibrary([&](Library&) {
        if (!ValidSlot(slot)) return CKR_SLOT_ID_INVALID;
        if (count == nullptr) return CKR_ARGUMENTS_BAD;
        const auto& table = MechanismTable();
        if (list != nullptr) {
            if (*count < table.size()) {
                *count = table.size();
                return CKR_BUFFER_TOO_SMALL;
            }
            for (std::size_t i = 0; i < table.size(); ++i) list[i] = table[i].type;
        }
        *count = table.size();
        return CKR_OK;
    });
}

CK_RV GetMechanismInfo(CK_SLOT_ID slot, CK_MECHANISM_TYPE type, CK_MECHANISM_INFO_PTR info) {
    return WithLibrary([&](Library&) {
        if (!ValidSlot(slot)) return CKR_SLOT_ID_INVALID;
        if (info == nullptr) return CKR_ARGUMENTS_BAD;
        for (const MechanismEntry& entry : MechanismTable()) {
            if (entry.type != type) continue;
            info->ulMinKeySize = kMinKeyBits;
            info->ulMaxKeySize = kMaxKeyBits;
            info->flags = entry.flags;
            return CKR_OK;
        }
        return CKR_MECHANISM_INVALID;
    });
}

CK_RV OpenSession(CK_SLOT_ID slot, CK_FLAGS flags, CK_VOID_PTR, CK_NOTIFY, CK_SESSION_HANDLE_PTR handle) {
    return WithLibrary([&](Library& library) {
        if (!ValidSlot(slot)) return CKR_SLOT_ID_INVALID;
        if ((flags & CKF_SERIAL_SESSION) == 0) return CKR_SESSION_PARALLEL_NOT_SUPPORTED;
        if (handle == nullptr) return CKR_ARGUMENTS_BAD;
        auto session = std::make_shared<Session>();
        const CK_SESSION_HANDLE opened = NextSessionHandle();
        session->slot = slot;
        session->flags = flags & (CKF_SERIAL_SESSION | CKF_RW_SESSION);
        std::lock_guard<std::mutex> lock(library.mutex);
        library.sessions.emplace(opened, session);
        *handle = opened;
        return CKR_OK;
    });
}

CK_RV CloseSession(CK_SESSION_HANDLE handle) {
    return WithLibrary([&](Library& library) {
        std::lock_guard<std::mutex> lock(library.mutex);
        const auto it = library.sessions.find(handle);
        if (it == library.sessions.end()) return CKR_SESSION_HANDLE_INVALID;
        const CK_SLOT_ID slot = it->second->slot;
        library.sessions.erase(it);
        // The last session of a token ends its login.
        bool others = false;
        for (const auto& entry : library.sessions) others = others || entry.second->slot == slot;
        if (!others) library.loggedIn[slot] = false;
        return CKR_OK;
    });
}

CK_RV CloseAllSessions(CK_SLOT_ID slot) {
    return WithLibrary([&](Library& library) {
        if (!ValidSlot(slot)) return CKR_SLOT_ID_INVALID;
        std::lock_guard<std::mutex> lock(library.mutex);
        for (auto it = library.sessions.begin(); it != library.sessions.end();)
            it = it->second->slot == slot ? library.sessions.erase(it) : std::next(it);
        library.loggedIn[slot] = false;
        return CKR_OK;
    });
}

CK_RV GetSessionInfo(CK_SESSION_HANDLE handle, CK_SESSION_INFO_PTR info) {
    return WithSession(handle, [&](Library& library, Session& session) {
        if (info == nullptr) return CKR_ARGUMENTS_BAD;
        bool user = false;
        {
            std::lock_guard<std::mutex> lock(library.mutex);
            user = library.loggedIn[session.slot];
        }
        const bool rw = (session.flags & CKF_RW_SESSION) != 0;
        *info = CK_SESSION_INFO{};
        info->slotID = session.slot;
        info->state = user ? (rw ? CKS_RW_USER_FUNCTIONS : CKS_RO_USER_FUNCTIONS)
                           : (rw ? CKS_RW_PUBLIC_SESSION : CKS_RO_PUBLIC_SESSION);
        info->flags = session.flags;
        info->ulDeviceError = 0;
        return CKR_OK;
    });
}

// There is no PIN: a login is accepted whatever it carries, and changes
// nothing but the session state it reports.
CK_RV Login(CK_SESSION_HANDLE handle, CK_USER_TYPE user, CK_UTF8CHAR_PTR pin, CK_ULONG pinLength) {
    return WithSession(handle, [&](Library& library, Session& session) {
        if (pin == nullptr && pinLength != 0) return CKR_ARGUMENTS_BAD;
        std::lock_guard<std::mutex> lock(library.mutex);
        if (user == CKU_CONTEXT_SPECIFIC) return CKR_OPERATION_NOT_INITIALIZED;
        if (user != CKU_USER) return CKR_USER_TYPE_INVALID;
        if (library.loggedIn[session.slot]) return CKR_USER_ALREADY_LOGGED_IN;
        library.loggedIn[session.slot] = true;
        return CKR_OK;
    });
}

CK_RV LoginUser(CK_SESSION_HANDLE handle, CK_USER_TYPE user, CK_UTF8CHAR_PTR pin, CK_ULONG pinLength,
                CK_UTF8CHAR_PTR name, CK_ULONG nameLength) {
    if (name == nullptr && nameLength != 0) return CKR_ARGUMENTS_BAD;
    return Login(handle, user, pin, pinLength);
}

CK_RV Logout(CK_SESSION_HANDLE handle) {
    return WithSession(handle, [&](Library& library, Session& session) {
        std::lock_guard<std::mutex> lock(library.mutex);
        if (!library.loggedIn[session.slot]) return CKR_USER_NOT_LOGGED_IN;
        library.loggedIn[session.slot] = false;
        return CKR_OK;
    });
}

CK_RV GenerateRandom(CK_SESSION_HANDLE handle, CK_BYTE_PTR data, CK_ULONG length) {
    return WithSession(handle, [&](Library&, Session&) {
        if (data == nullptr && length != 0) return CKR_ARGUMENTS_BAD;
        if (length != 0 && RAND_bytes_ex(ModuleCrypto(), data, length, 0) != 1) return CKR_FUNCTION_FAILED;
        return CKR_OK;
    });
}

}  // namespace keyhold::p11::calls
