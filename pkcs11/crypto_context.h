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

// The context, made on first use and kept for the life of the process (a
// child after fork goes on with its copy); null when OpenSSL cannot make it.
// The store's own fetches are pointed at it too, and OpenSSL's global start
// (and so the host's configuration) is left alone.
OSSL_LIB_CTX* ModuleCrypto();

// A digest of the module's context by OpenSSL's name ("SHA256"), fetched once;
// null for a name not known or when the fetch fails.
const EVP_MD* ModuleDigest(const char* name);

}  // namespace keyhold::p11

#endif
