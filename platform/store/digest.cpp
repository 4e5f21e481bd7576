#include "store/digest.h"

#include "core/crypto_init.h"

namespace keyhold {

namespace {
struct MdFree {
    void operator()(EVP_MD* md) const { EVP_MD_free(md); }
};
}  // namespace

const EVP_MD* Sha256Md() {
    if (!InitCrypto()) return nullptr;
    static const std::unique_ptr<EVP_MD, MdFree> md(EVP_MD_fetch(LibraryContext(), "SHA256", nullptr));
    return md.get();
}

bool Sha256(const void* data, std::size_t size, unsigned char (&out)[kSha256Size]) {
    const EVP_MD* md = Sha256Md();
    unsigned int length = 0;
    return md != nullptr && EVP_Digest(data, size, out, &length, md, nullptr) == 1 &&
           length == kSha256Size;
}

Sha256Hasher::Sha256Hasher() : ctx_(EVP_MD_CTX_new()) {}

bool Sha256Hasher::Hash(const void* data, std::size_t size, unsigned char (&out)[kSha256Size]) {
    const EVP_MD* md = Sha256Md();
    unsigned int length = 0;
    return ctx_ && md != nullptr && EVP_DigestInit_ex2(ctx_.get(), md, nullptr) == 1 &&
           EVP_DigestUpdate(ctx_.get(), data, size) == 1 &&
           EVP_DigestFinal_ex(ctx_.get(), out, &length) == 1 && length == kSha256Size;
}

}  // namespace keyhold
