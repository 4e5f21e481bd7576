// SHA-256 through EVP, with the algorithm fetched once: listings hash one name
// per file and must not pay for a fetch or a context allocation each time.
#ifndef KEYHOLD_STORE_DIGEST_H
#define KEYHOLD_STORE_DIGEST_H

#include <cstddef>
#include <memory>

#include <openssl/evp.h>

namespace keyhold {

constexpr std::size_t kSha256Size = 32;

// The fetched SHA-256 implementation, or null when the library offers none.
const EVP_MD* Sha256Md();

// One-shot digest; false when the library fails.
bool Sha256(const void* data, std::size_t size, unsigned char (&out)[kSha256Size]);

// A digest context reused for many short inputs.
class Sha256Hasher {
public:
    Sha256Hasher();
    bool Hash(const void* data, std::size_t size, unsigned char (&out)[kSha256Size]);

private:
    struct Free {
        void operator()(EVP_MD_CTX* ctx) const { EVP_MD_CTX_free(ctx); }
    };
    std::unique_ptr<EVP_MD_CTX, Free> ctx_;
};

}  // namespace keyhold

#endif
