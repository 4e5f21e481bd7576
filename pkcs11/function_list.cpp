// The module's entry points: the function lists of PKCS#11 2.40 and 3.0 and
// the three functions that hand them out, the only symbols it exports.
#include <cstring>

#include "calls.h"

namespace keyhold::p11 {

namespace {

// Functions the tokens have no use for (no PIN to set, no secret keys, no
// operation state to save, no message-based mechanisms).
constexpr auto kNotSupported = [](auto...) -> CK_RV { return CKR_FUNCTION_NOT_SUPPORTED; };
// Keys are neither modifiable nor copyable.
constexpr auto kProhibited = [](auto...) -> CK_RV { return CKR_ACTION_PROHIBITED; };
constexpr auto kNotParallel = [](auto...) -> CK_RV { return CKR_FUNCTION_NOT_PARALLEL; };

CK_RV WaitForSlotEvent(CK_FLAGS flags, CK_SLOT_ID_PTR, CK_VOID_PTR) {
    // The tokens are always present: no event ever comes.
    return (flags & CKF_DONT_BLOCK) != 0 ? CKR_NO_EVENT : CKR_FUNCTION_NOT_SUPPORTED;
}

CK_RV SeedRandom(CK_SESSION_HANDLE, CK_BYTE_PTR, CK_ULONG) { return CKR_RANDOM_SEED_NOT_SUPPORTED; }

// The 2.40 list is a prefix of the 3.0 one, field for field.
#define KEYHOLD_FUNCTIONS_2_40                                                                                \
    calls::Initialize, calls::Finalize, calls::GetInfo, C_GetFunctionList, calls::GetSlotList,               \
        calls::GetSlotInfo, calls::GetTokenInfo, calls::GetMechanismList, calls::GetMechanismInfo,           \
        kNotSupported /* InitToken */, kNotSupported /* InitPIN */, kNotSupported /* SetPIN */,              \
        calls::OpenSession, calls::CloseSession, calls::CloseAllSessions, calls::GetSessionInfo,             \
        kNotSupported /* GetOperationState */, kNotSupported /* SetOperationState */, calls::Login,          \
        calls::Logout, kNotSupported /* CreateObject */, kProhibited /* CopyObject */, calls::DestroyObject, \
        calls::GetObjectSize, calls::GetAttributeValue, kProhibited /* SetAttributeValue */,                 \
        calls::FindObjectsInit, calls::FindObjects, calls::FindObjectsFinal, calls::EncryptInit,             \
        calls::Encrypt, calls::EncryptUpdate, calls::EncryptFinal, calls::DecryptInit, calls::Decrypt,       \
        calls::DecryptUpdate, calls::DecryptFinal, kNotSupported /* DigestInit */,                           \
        kNotSupported /* Digest */, kNotSupported /* DigestUpdate */, kNotSupported /* DigestKey */,         \
        kNotSupported /* DigestFinal */, calls::SignInit, calls::Sign, calls::SignUpdate, calls::SignFinal,  \
        kNotSupported /* SignRecoverInit */, kNotSupported /* SignRecover */, calls::VerifyInit,             \
        calls::Verify, calls::VerifyUpdate, calls::VerifyFinal, kNotSupported /* VerifyRecoverInit */,       \
        kNotSupported /* VerifyRecover */, kNotSupported /* DigestEncryptUpdate */,                          \
        kNotSupported /* DecryptDigestUpdate */, kNotSupported /* SignEncryptUpdate */,                      \
        kNotSupported /* DecryptVerifyUpdate */, kNotSupported /* GenerateKey */, calls::GenerateKeyPair,    \
        kNotSupported /* WrapKey */, kNotSupported /* UnwrapKey */, kNotSupported /* DeriveKey */,           \
        SeedRandom, calls::GenerateRandom, kNotParallel /* GetFunctionStatus */,                              \
        kNotParallel /* CancelFunction */, WaitForSlotEvent

CK_FUNCTION_LIST g_functions2 = {{2, 40}, KEYHOLD_FUNCTIONS_2_40};

CK_FUNCTION_LIST_3_0 g_functions3 = {
    {3, 0},
    KEYHOLD_FUNCTIONS_2_40,
    C_GetInterfaceList,
    C_GetInterface,
    calls::LoginUser,
    calls::SessionCancel,
    // Message-based encryption, decryption, signing and verification.
    kNotSupported, kNotSupported, kNotSupported, kNotSupported, kNotSupported,
    kNotSupported, kNotSupported, kNotSupported, kNotSupported, kNotSupported,
    kNotSupported, kNotSupported, kNotSupported, kNotSupported, kNotSupported,
    kNotSupported, kNotSupported, kNotSupported, kNotSupported, kNotSupported,
};

CK_CHAR g_interfaceName[] = "PKCS 11";

// 3.0 first: a caller that asks for no particular interface gets it. Neither
// claims fork tolerance: a child calls C_Initialize again.
CK_INTERFACE g_interfaces[] = {
    {g_interfaceName, &g_functions3, 0},
    {g_interfaceName, &g_functions2, 0},
};
constexpr CK_ULONG kInterfaceCount = sizeof g_interfaces / sizeof g_interfaces[0];

}  // namespace

}  // namespace keyhold::p11

using keyhold::p11::g_interfaces;
using keyhold::p11::kInterfaceCount;

extern "C" {

__attribute__((visibility("default"))) CK_RV C_GetFunctionList(CK_FUNCTION_LIST_PTR_PTR list) {
    if (list == nullptr) return CKR_ARGUMENTS_BAD;
    *list = &keyhold::p11::g_functions2;
    return CKR_OK;
}

__attribute__((visibility("default"))) CK_RV C_GetInterfaceList(CK_INTERFACE_PTR list, CK_ULONG_PTR count) {
    if (count == nullptr) return CKR_ARGUMENTS_BAD;
    if (list == nullptr) {
        *count = kInterfaceCount;
        return CKR_OK;
    }
    if (*count < kInterfaceCount) {
        *count = kInterfaceCount;
        return CKR_BUFFER_TOO_SMALL;
    }
    for (CK_ULONG i = 0; i < kInterfaceCount; ++i) list[i] = g_interfaces[i];
    *count = kInterfaceCount;
    return CKR_OK;
}

__attribute__((visibility("default"))) CK_RV C_GetInterface(CK_UTF8CHAR_PTR name, CK_VERSION_PTR version,
                                                            CK_INTERFACE_PTR_PTR interface, CK_FLAGS flags) {
    if (interface == nullptr) return CKR_ARGUMENTS_BAD;
    for (CK_INTERFACE& candidate : g_interfaces) {
        const auto* functions = static_cast<const CK_VERSION*>(candidate.pFunctionList);
        if (name != nullptr && std::strcmp(reinterpret_cast<const char*>(name),
                                           reinterpret_cast<const char*>(candidate.pInterfaceName)) != 0)
            continue;
        if (version != nullptr && (version->major != functions->major || version->minor != functions->minor))
            continue;
        if ((candidate.flags & flags) != flags) continue;
        *interface = &candidate;
        return CKR_OK;
    }
    return CKR_ARGUMENTS_BAD;
}

}  // extern "C"
