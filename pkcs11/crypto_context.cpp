#include "crypto_context.h"

#include <cstring>

#include <openssl/evp.h>
#include <openssl/provider.h>

#include "core/crypto_init.h"

namespace keyhold::p11 {

namespace {

OSSL_LIB_CTX* MakeContext() {
    OSSL_LIB_CTX* context = OSSL_LIB_CTX_new();
    if (context == nullptr) return nullptr;
    if (OSSL_PROVIDER_load(context, "default") == nullptr) {
        OSSL_LIB_CTX_free(context);
        return nullptr;
    }
    UseLibraryContext(context);
    return context;
}

}  // namespace

OSSL_LIB_CTX* ModuleCrypto() {
    // Never freed: OpenSSL's own clean-up at exit may run before or after
    // ours, and a provider freed under a late caller would be worse than the
    // few kilobytes a process keeps.
    static OSSL_LIB_CTX* const context = MakeContext();
    return context;
}

const EVP_MD* ModuleDigest(const char* name) {
    static const char* const names[] = {"SHA1", "SHA224", "SHA256", "SHA384", "SHA512"};
    constexpr int count = sizeof names / sizeof names[0];
    // Fetched once for the process: a fetch per operation costs a lookup
    // under OpenSSL's lock, and many threads sign at once.
    static EVP_MD* const* const digests = [] {
        static EVP_MD* fetched[count] = {};
        for (int i = 0; i < count; ++i)
            fetched[i] = ModuleCrypto() ? EVP_MD_fetch(ModuleCrypto(), names[i], nullptr) : nullptr;
        return fetched;
    }();
    for (int i = 0; name != nullptr && i < count; ++i)
        if (std::strcmp(name, names[i]) == 0) return digests[i];
    return nullptr;
}

}  // namespace keyhold::p11
