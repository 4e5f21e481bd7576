// One RSA operation of a session (sign, verify, encrypt or decrypt) from its
// start to its end: the data it collects, part by part, and its result.
#ifndef KEYHOLD_PKCS11_RSA_OPERATION_H
#define KEYHOLD_PKCS11_RSA_OPERATION_H

#include <cstddef>
#include <memory>

#include <openssl/evp.h>

#include "core/secure_bytes.h"
#include "keys/openssl_ptr.h"
#include "cryptoki.h"
#include "mechanisms.h"
#include "token_keys.h"

namespace keyhold::p11 {

class RsaOperation {
public:
    // CKR_KEY_SIZE_RANGE when the mechanism cannot work with a key this
    // short (a PSS salt or an OAEP hash too long for it), CKR_HOST_MEMORY or
    // CKR_FUNCTION_FAILED when OpenSSL fails.
    static CK_RV Start(OpKind kind, MechanismPlan plan, KeyInfoPtr key, std::unique_ptr<RsaOperation>& out);

    // Made by Start alone.
    RsaOperation() = default;

    // The length of every signature and ciphertext, and a bound on plaintexts.
    std::size_t ModulusBytes() const { return (key_->bits + 7) / 8; }

    // Adds data; CKR_DATA_LEN_RANGE (CKR_ENCRYPTED_DATA_LEN_RANGE when
    // decrypting) once there is more than the mechanism takes.
    CK_RV Feed(const unsigned char* data, std::size_t size);

    // Sign, encrypt, decrypt: the result for the data fed so far. Computed
    // once; a caller whose buffer was too small asks again and gets it.
    CK_RV Result(const SecureBytes*& out);
    bool HasResult() const { return haveResult_; }

    // Verify: CKR_OK, CKR_SIGNATURE_INVALID or CKR_SIGNATURE_LEN_RANGE.
    CK_RV Verify(const unsigned char* signature, std::size_t size);

    // Set once C_*Update has been used: the operation ends with C_*Final.
    bool multipart = false;

private:
    CK_RV Input(SecureBytes& tbs);
    CK_RV NewContext(EvpPkeyCtxPtr& out) const;
    // The input and a context set up for it: what every final step starts with.
    CK_RV Prepare(SecureBytes& tbs, EvpPkeyCtxPtr& ctx);

    struct MdCtxFree {
        void operator()(EVP_MD_CTX* ctx) const { EVP_MD_CTX_free(ctx); }
    };

    OpKind kind_ = OpKind::kSign;
    MechanismPlan plan_;
    KeyInfoPtr key_;
    std::unique_ptr<EVP_MD_CTX, MdCtxFree> hash_;
    SecureBytes data_;
    SecureBytes result_;
    bool haveResult_ = false;
};

}  // namespace keyhold::p11

#endif
