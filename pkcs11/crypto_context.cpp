#include "crypto_context.h"

#include <unistd.h>

#include <atomic>
#include <cstring>

#include <openssl/evp.h>
#include <openssl/provider.h>

#include "core/crypto_init.h"

namespace keyhold::p11 {

namespace {

const char* const kDigestNames[] = {"SHA1", "SHA224", "SHA256", "SHA384", "SHA512"};
constexpr int kDigestCount = sizeof kDigestNames / sizeof kDigestNames[0];

struct CryptoState {
    pid_t pid = 0;
    OSSL_LIB_CTX* context = nullptr;
    // Fetched once: a fetch per operation costs a lookup under OpenSSL's
    // lock, and many threads sign at once.
    EVP_MD* digests[kDigestCount] = {};
    const CryptoState* previous = nullptr;  // a parent's, kept reachable
};

std::atomic<const CryptoState*> g_state{nullptr};

}  // namespace

bool PrepareModuleCrypto() {
    const CryptoState* current = g_state.load();
    if (current != nullptr && current->pid == getpid()) return true;
    OSSL_LIB_CTX* context = OSSL_LIB_CTX_new();
    if (context == nullptr) return false;
    if (OSSL_PROVIDER_load(context, "default") == nullptr) {
        OSSL_LIB_CTX_free(context);
        return false;
    }
    auto* state = new CryptoState();
    state->pid = getpid();
    state->context = context;
    state->previous = current;
    for (int i = 0; i < kDigestCount; ++i) state->digests[i] = EVP_MD_fetch(context, kDigestNames[i], nullptr);
    UseLibraryContext(context);
    g_state.store(state);
    return true;
}

OSSL_LIB_CTX* ModuleCrypto() {
    const CryptoState* state = g_state.load();
    return state != nullptr ? state->context : nullptr;
}

const EVP_MD* ModuleDigest(const char* name) {
    const CryptoState* state = g_state.load();
    for (int i = 0; state != nullptr && name != nullptr && i < kDigestCount; ++i)
        if (std::strcmp(name, kDigestNames[i]) == 0) return state->digests[i];
    return nullptr;
}

}  // namespace keyhold::p11
