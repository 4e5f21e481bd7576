// CryptImportKey into a verify context, the whole path a blob from a file takes:
// handle checks, the decoder, the canonical re-encoding, the in-memory
// container, and the key handle. An accepted key must report its length and
// export back to the very bytes that were imported.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include <ftw.h>
#include <stdlib.h>
#include <unistd.h>

#include <windows.h>
#include <wincrypt.h>

namespace {

std::string g_root;

[[noreturn]] void Finding(const char* what) {
    std::fprintf(stderr, "finding: %s (last error %08lx)\n", what, static_cast<unsigned long>(GetLastError()));
    std::abort();
}

void RemoveRoot() {
    if (g_root.empty()) return;
    nftw(g_root.c_str(), [](const char* p, const struct stat*, int, struct FTW*) { return remove(p); }, 16,
         FTW_DEPTH | FTW_PHYS);
}

}  // namespace

// A verify context needs no key area; a throw-away root makes sure that if one
// were touched, it would not be the user's own.
extern "C" int LLVMFuzzerInitialize(int*, char***) {
    char pattern[] = "/tmp/keyhold-fuzz-XXXXXX";
    if (mkdtemp(pattern) == nullptr) return 0;
    g_root = pattern;
    setenv("KEYHOLD_ROOT", pattern, 1);
    std::atexit(RemoveRoot);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size > 0xFFFFFFFFu) return 0;
    HCRYPTPROV prov = 0;
    if (!CryptAcquireContextA(&prov, nullptr, nullptr, PROV_RSA_FULL, CRYPT_VERIFYCONTEXT))
        Finding("no verify context");

    // An exportable import, so that a key pair can be exported whole.
    HCRYPTKEY key = 0;
    const BOOL imported = CryptImportKey(prov, data, static_cast<DWORD>(size), 0, CRYPT_EXPORTABLE, &key);
    if (!imported) {
        const DWORD reason = GetLastError();
        if (reason != ERROR_INVALID_PARAMETER && reason != static_cast<DWORD>(NTE_BAD_TYPE) &&
            reason != static_cast<DWORD>(NTE_BAD_VER) && reason != static_cast<DWORD>(NTE_BAD_ALGID) &&
            reason != static_cast<DWORD>(NTE_BAD_DATA))
            Finding("a refused import with an undocumented reason");
        if (!CryptReleaseContext(prov, 0)) Finding("release failed");
        return 0;
    }

    DWORD bits = 0, length = sizeof bits;
    if (!CryptGetKeyParam(key, KP_KEYLEN, reinterpret_cast<BYTE*>(&bits), &length, 0) || length != sizeof bits)
        Finding("no key length");
    const DWORD bitField = static_cast<DWORD>(data[12]) | static_cast<DWORD>(data[13]) << 8 |
                           static_cast<DWORD>(data[14]) << 16 | static_cast<DWORD>(data[15]) << 24;
    if (bits == 0 || bits > bitField || bits + 8 <= bitField) Finding("the key length does not match the blob");

    const DWORD type = data[0];
    DWORD needed = 0;
    if (!CryptExportKey(key, 0, type, 0, nullptr, &needed)) Finding("no export length");
    if (needed != size) Finding("the export length differs from the imported blob");
    std::vector<BYTE> out(needed);
    DWORD got = needed;
    if (!CryptExportKey(key, 0, type, 0, out.data(), &got) || got != size) Finding("export failed");
    if (std::memcmp(out.data(), data, 2) != 0 || std::memcmp(out.data() + 4, data + 4, size - 4) != 0)
        Finding("the exported blob differs from the imported one");

    // The context's own copy reads back the same key.
    HCRYPTKEY held = 0;
    const DWORD spec = (data[4] | data[5] << 8) == CALG_RSA_SIGN ? AT_SIGNATURE : AT_KEYEXCHANGE;
    if (!CryptGetUserKey(prov, spec, &held)) Finding("the imported key is not in the context");
    if (!CryptDestroyKey(held) || !CryptDestroyKey(key)) Finding("destroy failed");
    if (!CryptReleaseContext(prov, 0)) Finding("release failed");
    return 0;
}
