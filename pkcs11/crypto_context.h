// The module's own OpenSSL library context. The module runs inside other
// programs, OpenSSL itself among them (through its pkcs11 engine): working in
// the host's default context would let the host's configuration, engines and
// providers reach our keys, and could lead an engine's call straight back into
// this module. So every key, digest and random number of the module comes
// from a context of its own with OpenSSL's built-in default provider.
#ifndef KEYHOLD_PKCS11_CRYPTO_CONTEXT_H
#define KEYHOLD_PKCS11_CRYPTO_CONTEXT_H

#include <openssl/types.h>

namespace keyhold::p11 {

// Makes the context when this process has none of its own: at the first
// C_Initialize, and in a child after fork, whose copy of the parent's
// context may hold locks that threads of the parent held at the fork and
// that nothing in the child will ever release. The store's own fetches are
// pointed at it too; OpenSSL's global start (and so the host's configuration)
// is left alone. Call under the library's initialisation lock. False when
// OpenSSL cannot make it.
bool PrepareModuleCrypto();

// The context, or null before PrepareModuleCrypto succeeded. Contexts are
// never freed: OpenSSL's own clean-up at exit may run before or after ours,
// and a child's inherited one may be locked for good.
OSSL_LIB_CTX* ModuleCrypto();

// A digest of the module's context by OpenSSL's name ("SHA256"), fetched
// with the context; null for a name not known.
const EVP_MD* ModuleDigest(const char* name);

}  // namespace keyhold::p11

#endif
