// CryptGetProvParam: PP_NAME, PP_CONTAINER and PP_ENUMCONTAINERS.
#include <cstring>
#include <string_view>

#include <wincrypt.h>

#include "core/last_error.h"
#include "core/guard.h"
#include "store/container_store.h"
#include "store/context.h"

namespace keyhold {

namespace {

// Hands out `value` as a NUL-terminated string: the size alone for a null
// buffer, ERROR_MORE_DATA and the size for a short one. True when the value
// was copied.
bool CopyOut(std::string_view value, BYTE* pbData, DWORD* pdwDataLen, DWORD& error) {
    const DWORD needed = static_cast<DWORD>(value.size() + 1);
    const DWORD room = *pdwDataLen;
    *pdwDataLen = needed;
    if (pbData == nullptr) return false;
    if (room < needed) {
        error = ERROR_MORE_DATA;
        return false;
    }
    std::memcpy(pbData, value.data(), value.size());
    pbData[value.size()] = 0;
    return true;
}

BOOL GetEnumContainers(ProviderContext& context, BYTE* pbData, DWORD* pdwDataLen, DWORD flags) {
    // Flags 0 continue the walk, as CRYPT_NEXT does.
    if (flags != 0 && flags != CRYPT_FIRST && flags != CRYPT_NEXT) return Fail(NTE_BAD_FLAGS);
    std::lock_guard<std::mutex> lock(context.mutex);
    if (flags == CRYPT_FIRST || !context.enumStarted) {
        std::vector<std::string> names;
        const DWORD rc = ListContainerNames(context.area, names);
        if (rc != ERROR_SUCCESS) return Fail(rc);
        context.enumNames = std::move(names);
        context.enumNext = 0;
        context.enumStarted = true;
    }
    if (context.enumNext >= context.enumNames.size()) return Fail(ERROR_NO_MORE_ITEMS);
    DWORD error = ERROR_SUCCESS;
    if (CopyOut(context.enumNames[context.enumNext], pbData, pdwDataLen, error)) {
        ++context.enumNext;
        return TRUE;
    }
    return error == ERROR_SUCCESS ? TRUE : Fail(error);
}

}  // namespace

}  // namespace keyhold

extern "C" BOOL WINAPI CryptGetProvParam(HCRYPTPROV hProv, DWORD dwParam, BYTE* pbData, DWORD* pdwDataLen,
                                         DWORD dwFlags) {
    return keyhold::GuardedKeyStoreCall([&]() -> BOOL {
        using namespace keyhold;
        const std::shared_ptr<ProviderContext> context = FindContext(hProv);
        if (!context) return Fail(NTE_BAD_UID);
        if (pdwDataLen == nullptr) return Fail(ERROR_INVALID_PARAMETER);

        std::string_view value;
        switch (dwParam) {
        case PP_ENUMCONTAINERS:
            return GetEnumContainers(*context, pbData, pdwDataLen, dwFlags);
        case PP_NAME:
            if (dwFlags != 0) return Fail(NTE_BAD_FLAGS);
            value = ProviderName(context->provType);
            break;
        case PP_CONTAINER:
            if (dwFlags != 0) return Fail(NTE_BAD_FLAGS);
            if (context->verifyContext) return Fail(NTE_BAD_KEYSET);
            value = context->container;
            break;
        default:
            return Fail(NTE_BAD_TYPE);
        }
        DWORD error = ERROR_SUCCESS;
        CopyOut(value, pbData, pdwDataLen, error);
        return error == ERROR_SUCCESS ? TRUE : Fail(error);
    });
}
