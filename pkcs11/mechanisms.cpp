#include "mechanisms.h"

#include <cstring>

#include <openssl/rsa.h>

namespace keyhold::p11 {

namespace {

constexpr CK_FLAGS kSignVerify = CKF_SIGN | CKF_VERIFY;
constexpr CK_FLAGS kCrypt = CKF_ENCRYPT | CKF_DECRYPT;

struct HashEntry {
    CK_MECHANISM_TYPE hash;      // CKM_SHA256, ...
    CK_RSA_PKCS_MGF_TYPE mgf;    // CKG_MGF1_SHA256, ...
    CK_MECHANISM_TYPE pkcs;      // CKM_SHA256_RSA_PKCS, ...
    CK_MECHANISM_TYPE pss;       // CKM_SHA256_RSA_PKCS_PSS, ...
    const char* name;
    std::size_t size;
};

const HashEntry kHashes[] = {
    {CKM_SHA_1, CKG_MGF1_SHA1, CKM_SHA1_RSA_PKCS, CKM_SHA1_RSA_PKCS_PSS, "SHA1", 20},
    {CKM_SHA224, CKG_MGF1_SHA224, CKM_SHA224_RSA_PKCS, CKM_SHA224_RSA_PKCS_PSS, "SHA224", 28},
    {CKM_SHA256, CKG_MGF1_SHA256, CKM_SHA256_RSA_PKCS, CKM_SHA256_RSA_PKCS_PSS, "SHA256", 32},
    {CKM_SHA384, CKG_MGF1_SHA384, CKM_SHA384_RSA_PKCS, CKM_SHA384_RSA_PKCS_PSS, "SHA384", 48},
    {CKM_SHA512, CKG_MGF1_SHA512, CKM_SHA512_RSA_PKCS, CKM_SHA512_RSA_PKCS_PSS, "SHA512", 64},
};

const HashEntry* HashOf(CK_MECHANISM_TYPE hash) {
    for (const HashEntry& entry : kHashes)
        if (entry.hash == hash) return &entry;
    return nullptr;
}

const HashEntry* HashOfMgf(CK_RSA_PKCS_MGF_TYPE mgf) {
    for (const HashEntry& entry : kHashes)
        if (entry.mgf == mgf) return &entry;
    return nullptr;
}

CK_FLAGS FlagOf(OpKind kind) {
    switch (kind) {
        case OpKind::kSign: return CKF_SIGN;
        case OpKind::kVerify: return CKF_VERIFY;
        case OpKind::kEncrypt: return CKF_ENCRYPT;
        default: return CKF_DECRYPT;
    }
}

bool NoParameter(const CK_MECHANISM& m) { return m.pParameter == nullptr && m.ulParameterLen == 0; }

// The mechanism's parameter structure, copied out: nothing promises the
// caller's bytes are aligned for it. False when it has another size.
template <typename Params>
bool CopyParameter(const CK_MECHANISM& m, Params& out) {
    if (m.pParameter == nullptr || m.ulParameterLen != sizeof(Params)) return false;
    std::memcpy(&out, m.pParameter, sizeof out);
    return true;
}

CK_RV PlanPss(const CK_MECHANISM& m, const HashEntry* fixed, MechanismPlan& out) {
    CK_RSA_PKCS_PSS_PARAMS params;
    if (!CopyParameter(m, params)) return CKR_MECHANISM_PARAM_INVALID;
    const HashEntry* hash = HashOf(params.hashAlg);
    const HashEntry* mgf = HashOfMgf(params.mgf);
    // A salt longer than any key could take is refused here; one too long
    // for the key at hand, when the key is known.
    if (hash == nullptr || mgf == nullptr || (fixed != nullptr && fixed != hash) ||
        params.sLen > kMaxKeyBits / 8)
        return CKR_MECHANISM_PARAM_INVALID;
    out.padding = RSA_PKCS1_PSS_PADDING;
    out.digest = hash->name;
    out.digestSize = hash->size;
    out.mgf1Digest = mgf->name;
    out.saltLength = static_cast<int>(params.sLen);
    if (fixed != nullptr) out.dataDigest = fixed->name;
    return CKR_OK;
}

CK_RV PlanOaep(const CK_MECHANISM& m, MechanismPlan& out) {
    CK_RSA_PKCS_OAEP_PARAMS params;
    if (!CopyParameter(m, params)) return CKR_MECHANISM_PARAM_INVALID;
    const HashEntry* hash = HashOf(params.hashAlg);
    const HashEntry* mgf = HashOfMgf(params.mgf);
    // Source 0 with no data is what several programs send for "no label".
    const bool sourceOk = params.source == CKZ_DATA_SPECIFIED || (params.source == 0 && params.ulSourceDataLen == 0);
    if (hash == nullptr || mgf == nullptr || !sourceOk ||
        (params.pSourceData == nullptr) != (params.ulSourceDataLen == 0) || params.ulSourceDataLen > kMaxKeyBits / 8)
        return CKR_MECHANISM_PARAM_INVALID;
    out.padding = RSA_PKCS1_OAEP_PADDING;
    out.digest = hash->name;
    out.digestSize = hash->size;
    out.mgf1Digest = mgf->name;
    const auto* label = static_cast<const unsigned char*>(params.pSourceData);
    out.label.assign(label, label + params.ulSourceDataLen);
    return CKR_OK;
}

}  // namespace

const std::vector<MechanismEntry>& MechanismTable() {
    static const std::vector<MechanismEntry> table = [] {
        std::vector<MechanismEntry> t = {
            {CKM_RSA_PKCS_KEY_PAIR_GEN, CKF_GENERATE_KEY_PAIR},
            {CKM_RSA_PKCS, kSignVerify | kCrypt},
            {CKM_RSA_PKCS_PSS, kSignVerify},
            {CKM_RSA_PKCS_OAEP, kCrypt},
            {CKM_RSA_X_509, kSignVerify | kCrypt},
        };
        for (const HashEntry& hash : kHashes) t.push_back({hash.pkcs, kSignVerify});
        for (const HashEntry& hash : kHashes) t.push_back({hash.pss, kSignVerify});
        return t;
    }();
    return table;
}

CK_RV PlanMechanism(const CK_MECHANISM* mechanism, OpKind kind, MechanismPlan& out) {
    if (mechanism == nullptr) return CKR_ARGUMENTS_BAD;
    const CK_MECHANISM& m = *mechanism;
    bool offered = false;
    for (const MechanismEntry& entry : MechanismTable())
        if (entry.type == m.mechanism && (entry.flags & FlagOf(kind)) != 0) offered = true;
    if (!offered) return CKR_MECHANISM_INVALID;

    MechanismPlan plan;
    plan.type = m.mechanism;
    CK_RV rv = CKR_OK;
    switch (m.mechanism) {
        case CKM_RSA_PKCS:
            plan.padding = RSA_PKCS1_PADDING;
            if (!NoParameter(m)) rv = CKR_MECHANISM_PARAM_INVALID;
            break;
        case CKM_RSA_X_509:
            plan.padding = RSA_NO_PADDING;
            if (!NoParameter(m)) rv = CKR_MECHANISM_PARAM_INVALID;
            break;
        case CKM_RSA_PKCS_PSS:
            rv = PlanPss(m, nullptr, plan);
            break;
        case CKM_RSA_PKCS_OAEP:
            rv = PlanOaep(m, plan);
            break;
        default:
            for (const HashEntry& hash : kHashes) {
                if (m.mechanism == hash.pss) rv = PlanPss(m, &hash, plan);
                if (m.mechanism != hash.pkcs) continue;
                if (!NoParameter(m)) rv = CKR_MECHANISM_PARAM_INVALID;
                plan.padding = RSA_PKCS1_PADDING;
                plan.dataDigest = plan.digest = hash.name;
                plan.digestSize = hash.size;
            }
    }
    if (rv == CKR_OK) out = std::move(plan);
    return rv;
}

}  // namespace keyhold::p11
