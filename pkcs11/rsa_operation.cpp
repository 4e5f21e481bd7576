#include "rsa_operation.h"

#include <cstring>

#include <openssl/err.h>
#include <openssl/rsa.h>

#include "crypto_context.h"

namespace keyhold::p11 {

namespace {

// PKCS#1 v1.5 needs 11 bytes of padding; its DigestInfo prefix is 19 bytes
// for every SHA-1 and SHA-2 hash.
constexpr std::size_t kPkcs1Overhead = 11;
constexpr std::size_t kDigestInfoPrefix = 19;

// The most data a mechanism takes for `kind`, and the error for more.
std::size_t InputLimit(OpKind kind, const MechanismPlan& plan, std::size_t k) {
    if (kind == OpKind::kDecrypt || plan.padding == RSA_NO_PADDING) return k;
    if (plan.padding == RSA_PKCS1_PSS_PADDING) return plan.digestSize;
    if (plan.padding == RSA_PKCS1_OAEP_PADDING) return k - 2 * plan.digestSize - 2;
    return k - kPkcs1Overhead;
}

}  // namespace

CK_RV RsaOperation::Start(OpKind kind, MechanismPlan plan, KeyInfoPtr key, std::unique_ptr<RsaOperation>& out) {
    auto op = std::make_unique<RsaOperation>();
    const std::size_t k = (key->bits + 7) / 8;
    // Encoded message length of PSS: one bit less than the modulus.
    const std::size_t emLength = (key->bits - 1 + 7) / 8;
    if ((plan.padding == RSA_PKCS1_PSS_PADDING &&
         emLength < plan.digestSize + static_cast<std::size_t>(plan.saltLength) + 2) ||
        (plan.padding == RSA_PKCS1_OAEP_PADDING && k < 2 * plan.digestSize + 2) ||
        (plan.padding == RSA_PKCS1_PADDING && plan.digest != nullptr &&
         k < plan.digestSize + kDigestInfoPrefix + kPkcs1Overhead) ||
        (plan.padding == RSA_PKCS1_PADDING && k < kPkcs1Overhead + 1))
        return CKR_KEY_SIZE_RANGE;
    if (plan.dataDigest != nullptr) {
        const EVP_MD* md = ModuleDigest(plan.dataDigest);
        op->hash_.reset(EVP_MD_CTX_new());
        if (!op->hash_) return CKR_HOST_MEMORY;
        if (md == nullptr || EVP_DigestInit_ex2(op->hash_.get(), md, nullptr) != 1) {
            ERR_clear_error();
            return CKR_FUNCTION_FAILED;
        }
    }
    op->kind_ = kind;
    op->plan_ = std::move(plan);
    op->key_ = std::move(key);
    out = std::move(op);
    return CKR_OK;
}

CK_RV RsaOperation::Feed(const unsigned char* data, std::size_t size) {
    if (hash_) {
        if (EVP_DigestUpdate(hash_.get(), data, size) == 1) return CKR_OK;
        ERR_clear_error();
        return CKR_FUNCTION_FAILED;
    }
    if (size > InputLimit(kind_, plan_, ModulusBytes()) - data_.size())
        return kind_ == OpKind::kDecrypt ? CKR_ENCRYPTED_DATA_LEN_RANGE : CKR_DATA_LEN_RANGE;
    data_.insert(data_.end(), data, data + size);
    return CKR_OK;
}

// The bytes the RSA operation works on: the data's hash, or the data itself
// (raw RSA: as a number of the modulus's length).
CK_RV RsaOperation::Input(SecureBytes& tbs) {
    if (hash_) {
        unsigned char digest[EVP_MAX_MD_SIZE];
        unsigned int length = 0;
        if (EVP_DigestFinal_ex(hash_.get(), digest, &length) != 1) {
            ERR_clear_error();
            return CKR_FUNCTION_FAILED;
        }
        hash_.reset();
        tbs.assign(digest, digest + length);
        return CKR_OK;
    }
    if (kind_ == OpKind::kDecrypt && data_.size() != ModulusBytes()) return CKR_ENCRYPTED_DATA_LEN_RANGE;
    if (plan_.padding == RSA_PKCS1_PSS_PADDING && data_.size() != plan_.digestSize) return CKR_DATA_LEN_RANGE;
    tbs.clear();
    if (plan_.padding == RSA_NO_PADDING && kind_ != OpKind::kDecrypt) tbs.assign(ModulusBytes() - data_.size(), 0);
    tbs.insert(tbs.end(), data_.begin(), data_.end());
    return CKR_OK;
}

CK_RV RsaOperation::NewContext(EvpPkeyCtxPtr& out) const {
    EvpPkeyCtxPtr ctx(EVP_PKEY_CTX_new_from_pkey(ModuleCrypto(), key_->key.get(), nullptr));
    if (!ctx) return CKR_HOST_MEMORY;
    int ok = 0;
    switch (kind_) {
        case OpKind::kSign: ok = EVP_PKEY_sign_init(ctx.get()); break;
        case OpKind::kVerify: ok = EVP_PKEY_verify_init(ctx.get()); break;
        case OpKind::kEncrypt: ok = EVP_PKEY_encrypt_init(ctx.get()); break;
        default: ok = EVP_PKEY_decrypt_init(ctx.get()); break;
    }
    ok = ok == 1 && EVP_PKEY_CTX_set_rsa_padding(ctx.get(), plan_.padding) == 1;
    if (ok && plan_.digest != nullptr) {
        const EVP_MD* md = ModuleDigest(plan_.digest);
        if (plan_.padding == RSA_PKCS1_OAEP_PADDING)
            ok = EVP_PKEY_CTX_set_rsa_oaep_md(ctx.get(), md) == 1;
        else
            ok = EVP_PKEY_CTX_set_signature_md(ctx.get(), md) == 1;
    }
    if (ok && plan_.mgf1Digest != nullptr)
        ok = EVP_PKEY_CTX_set_rsa_mgf1_md(ctx.get(), ModuleDigest(plan_.mgf1Digest)) == 1;
    if (ok && plan_.padding == RSA_PKCS1_PSS_PADDING)
        ok = EVP_PKEY_CTX_set_rsa_pss_saltlen(ctx.get(), plan_.saltLength) == 1;
    if (ok && !plan_.label.empty()) {
        // OpenSSL takes the label's buffer over.
        auto* label = static_cast<unsigned char*>(OPENSSL_memdup(plan_.label.data(), plan_.label.size()));
        ok = label != nullptr &&
             EVP_PKEY_CTX_set0_rsa_oaep_label(ctx.get(), label, static_cast<int>(plan_.label.size())) == 1;
        if (!ok) OPENSSL_free(label);
    }
    if (!ok) {
        ERR_clear_error();
        return CKR_FUNCTION_FAILED;
    }
    out = std::move(ctx);
    return CKR_OK;
}

CK_RV RsaOperation::Prepare(SecureBytes& tbs, EvpPkeyCtxPtr& ctx) {
    const CK_RV rv = Input(tbs);
    return rv != CKR_OK ? rv : NewContext(ctx);
}

CK_RV RsaOperation::Result(const SecureBytes*& out) {
    if (!haveResult_) {
        SecureBytes tbs;
        EvpPkeyCtxPtr ctx;
        const CK_RV rv = Prepare(tbs, ctx);
        if (rv != CKR_OK) return rv;
        SecureBytes output(ModulusBytes());
        std::size_t length = output.size();
        int ok = 0;
        if (kind_ == OpKind::kSign)
            ok = EVP_PKEY_sign(ctx.get(), output.data(), &length, tbs.data(), tbs.size());
        else if (kind_ == OpKind::kEncrypt)
            ok = EVP_PKEY_encrypt(ctx.get(), output.data(), &length, tbs.data(), tbs.size());
        else if (kind_ == OpKind::kDecrypt)
            ok = EVP_PKEY_decrypt(ctx.get(), output.data(), &length, tbs.data(), tbs.size());
        ERR_clear_error();
        if (ok != 1 || length > output.size()) {
            if (kind_ == OpKind::kDecrypt) return CKR_ENCRYPTED_DATA_INVALID;
            // Raw RSA refuses a number not below the modulus.
            return plan_.padding == RSA_NO_PADDING ? CKR_DATA_INVALID : CKR_FUNCTION_FAILED;
        }
        output.resize(length);
        result_.swap(output);
        haveResult_ = true;
    }
    out = &result_;
    return CKR_OK;
}

CK_RV RsaOperation::Verify(const unsigned char* signature, std::size_t size) {
    if (size != ModulusBytes()) return CKR_SIGNATURE_LEN_RANGE;
    SecureBytes tbs;
    EvpPkeyCtxPtr ctx;
    const CK_RV rv = Prepare(tbs, ctx);
    if (rv != CKR_OK) return rv;
    const int ok = EVP_PKEY_verify(ctx.get(), signature, size, tbs.data(), tbs.size());
    ERR_clear_error();
    return ok == 1 ? CKR_OK : CKR_SIGNATURE_INVALID;
}

}  // namespace keyhold::p11
