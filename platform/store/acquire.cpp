// CryptAcquireContextA/W and CryptReleaseContext.
#include <cstring>
#include <optional>
#include <string>

#include <wincrypt.h>

#include "core/crypto_init.h"
#include "core/last_error.h"
#include "core/guard.h"
#include "store/container_store.h"
#include "store/context.h"

namespace keyhold {

namespace {

constexpr DWORD kKnownFlags = CRYPT_NEWKEYSET | CRYPT_DELETEKEYSET | CRYPT_MACHINE_KEYSET | CRYPT_SILENT |
                              CRYPT_VERIFYCONTEXT;

// A name as the caller gave it: absent, present, or not convertible to bytes.
struct NameArg {
    bool given = false;
    bool valid = true;
    std::string bytes;
};

NameArg FromNarrow(const char* text) {
    NameArg arg;
    if (text != nullptr) {
        arg.given = true;
        // One byte past the limit is enough to know the name is too long.
        arg.bytes.assign(text, strnlen(text, kMaxContainerNameLength + 1));
    }
    return arg;
}

// UTF-16 to UTF-8; an unpaired surrogate makes the name invalid.
NameArg FromWide(const WCHAR* text) {
    NameArg arg;
    if (text == nullptr) return arg;
    arg.given = true;
    for (const WCHAR* p = text; *p != 0; ++p) {
        char32_t c = *p;
        if (c >= 0xD800 && c <= 0xDBFF) {
            if (p[1] < 0xDC00 || p[1] > 0xDFFF) {
                arg.valid = false;
                return arg;
            }
            c = 0x10000 + ((c - 0xD800) << 10) + (p[1] - 0xDC00);
            ++p;
        } else if (c >= 0xDC00 && c <= 0xDFFF) {
            arg.valid = false;
            return arg;
        }
        if (c < 0x80) {
            arg.bytes.push_back(static_cast<char>(c));
        } else if (c < 0x800) {
            arg.bytes.push_back(static_cast<char>(0xC0 | c >> 6));
            arg.bytes.push_back(static_cast<char>(0x80 | (c & 0x3F)));
        } else if (c < 0x10000) {
            arg.bytes.push_back(static_cast<char>(0xE0 | c >> 12));
            arg.bytes.push_back(static_cast<char>(0x80 | (c >> 6 & 0x3F)));
            arg.bytes.push_back(static_cast<char>(0x80 | (c & 0x3F)));
        } else {
            arg.bytes.push_back(static_cast<char>(0xF0 | c >> 18));
            arg.bytes.push_back(static_cast<char>(0x80 | (c >> 12 & 0x3F)));
            arg.bytes.push_back(static_cast<char>(0x80 | (c >> 6 & 0x3F)));
            arg.bytes.push_back(static_cast<char>(0x80 | (c & 0x3F)));
        }
        if (arg.bytes.size() > kMaxContainerNameLength) return arg;  // too long already
    }
    return arg;
}

BOOL Acquire(HCRYPTPROV* phProv, const NameArg& container, const NameArg& provider, DWORD provType,
             DWORD flags) {
    if (!InitCrypto()) return Fail(NTE_NO_MEMORY);
    const bool verify = (flags & CRYPT_VERIFYCONTEXT) != 0;
    const bool create = (flags & CRYPT_NEWKEYSET) != 0;
    const bool remove = (flags & CRYPT_DELETEKEYSET) != 0;
    // The verify value is four bits; part of it is no flag of ours.
    if ((flags & ~kKnownFlags) != 0 || (verify && (flags & CRYPT_VERIFYCONTEXT) != CRYPT_VERIFYCONTEXT) ||
        (create && remove) || (verify && (create || remove)))
        return Fail(NTE_BAD_FLAGS);
    const std::string_view providerName = ProviderName(provType);
    if (providerName.empty()) return Fail(NTE_BAD_PROV_TYPE);
    if (provider.given && (!provider.valid || provider.bytes != providerName)) return Fail(NTE_KEYSET_NOT_DEF);
    if (phProv == nullptr && !remove) return Fail(ERROR_INVALID_PARAMETER);
    if (phProv != nullptr) *phProv = 0;

    std::string name;
    if (verify) {
        if (container.given) return Fail(NTE_BAD_FLAGS);
    } else if (!container.given) {
        name = DefaultContainerName();
    } else {
        if (!container.valid) return Fail(NTE_BAD_KEYSET_PARAM);
        const DWORD rc = create ? CheckNewContainerName(container.bytes) : CheckContainerName(container.bytes);
        if (rc != ERROR_SUCCESS) return Fail(rc);
        name = container.bytes;
    }

    auto context = std::make_shared<ProviderContext>();
    context->provType = provType;
    context->verifyContext = verify;
    context->container = name;
    DWORD rc = LocateArea((flags & CRYPT_MACHINE_KEYSET) != 0, create, context->area);
    if (rc != ERROR_SUCCESS) return Fail(rc);

    if (remove) {
        rc = RemoveContainer(context->area, name);
        return rc == ERROR_SUCCESS ? TRUE : Fail(rc);
    }
    if (create) {
        rc = CreateContainer(context->area, name);
    } else if (!verify) {
        // Opening proves the container is there, this user's and intact; the
        // record itself is read again by each key operation.
        ContainerRecord record;
        rc = ReadContainer(context->area, name, record);
    }
    if (rc != ERROR_SUCCESS) return Fail(rc);
    *phProv = AddContext(std::move(context));
    return TRUE;
}

}  // namespace

}  // namespace keyhold

extern "C" BOOL WINAPI CryptAcquireContextA(HCRYPTPROV* phProv, LPCSTR szContainer, LPCSTR szProvider,
                                            DWORD dwProvType, DWORD dwFlags) {
    return keyhold::GuardedKeyStoreCall([&]() -> BOOL {
        using namespace keyhold;
        return Acquire(phProv, FromNarrow(szContainer), FromNarrow(szProvider), dwProvType, dwFlags);
    });
}

extern "C" BOOL WINAPI CryptAcquireContextW(HCRYPTPROV* phProv, LPCWSTR szContainer, LPCWSTR szProvider,
                                            DWORD dwProvType, DWORD dwFlags) {
    return keyhold::GuardedKeyStoreCall([&]() -> BOOL {
        using namespace keyhold;
        return Acquire(phProv, FromWide(szContainer), FromWide(szProvider), dwProvType, dwFlags);
    });
}

extern "C" BOOL WINAPI CryptReleaseContext(HCRYPTPROV hProv, DWORD dwFlags) {
    return keyhold::GuardedKeyStoreCall([&]() -> BOOL {
        using namespace keyhold;
        if (!FindContext(hProv)) return Fail(NTE_BAD_UID);
        if (dwFlags != 0) return Fail(NTE_BAD_FLAGS);
        if (!RemoveContext(hProv)) return Fail(NTE_BAD_UID);  // released by another thread meanwhile
        return TRUE;
    });
}
