// The mechanisms the tokens offer, and the checking of a caller's mechanism
// (type and parameters) into the settings of one RSA operation.
#ifndef KEYHOLD_PKCS11_MECHANISMS_H
#define KEYHOLD_PKCS11_MECHANISMS_H

#include <cstddef>
#include <vector>

#include "cryptoki.h"

namespace keyhold::p11 {

enum class OpKind { kSign = 0, kVerify, kEncrypt, kDecrypt, kCount };

struct MechanismEntry {
    CK_MECHANISM_TYPE type;
    CK_FLAGS flags;  // CKF_SIGN, CKF_DECRYPT, ...
};

// Every mechanism offered, in the order C_GetMechanismList gives them.
const std::vector<MechanismEntry>& MechanismTable();

// Key lengths the tokens take, in bits.
constexpr CK_ULONG kMinKeyBits = 512;
constexpr CK_ULONG kMaxKeyBits = 16384;

// What an operation does to its data, as OpenSSL's RSA settings.
struct MechanismPlan {
    CK_MECHANISM_TYPE type = 0;
    int padding = 0;                 // RSA_PKCS1_PADDING, RSA_PKCS1_PSS_PADDING, ...
    const char* dataDigest = nullptr;  // the module hashes the data with this first
    const char* digest = nullptr;      // the DigestInfo, PSS or OAEP hash
    const char* mgf1Digest = nullptr;
    std::size_t digestSize = 0;        // of `digest`
    int saltLength = 0;                // PSS
    std::vector<unsigned char> label;  // OAEP
};

// CKR_MECHANISM_INVALID for a mechanism not offered for `kind`,
// CKR_MECHANISM_PARAM_INVALID for parameters of the wrong size or content,
// CKR_ARGUMENTS_BAD for a null mechanism.
CK_RV PlanMechanism(const CK_MECHANISM* mechanism, OpKind kind, MechanismPlan& out);

}  // namespace keyhold::p11

#endif
