// The PKCS#11 module's operations on hostile input: the mechanism, its
// parameters (raw bytes of any length, or the parameter structures filled with
// any values) and the data of C_Sign, C_Verify, C_Encrypt and C_Decrypt, in one
// part or several. Every answer must be one of the codes PKCS#11 gives for bad
// input, a success must be of the right length, and no operation may be left
// behind.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include <ftw.h>
#include <stdlib.h>
#include <unistd.h>

#include "calls.h"
#include "mechanisms.h"

using namespace keyhold::p11;

namespace {

std::string g_root;
CK_SESSION_HANDLE g_session = 0;
CK_OBJECT_HANDLE g_keys[2] = {};  // public, private
constexpr CK_ULONG kModulusBytes = 128;

[[noreturn]] void Finding(const char* what, CK_RV rv) {
    std::fprintf(stderr, "finding: %s (0x%lx)\n", what, rv);
    std::abort();
}

void RemoveRoot() {
    if (g_root.empty()) return;
    nftw(g_root.c_str(), [](const char* p, const struct stat*, int, struct FTW*) { return remove(p); }, 16,
         FTW_DEPTH | FTW_PHYS);
}

bool Expected(CK_RV rv) {
    switch (rv) {
        case CKR_OK:
        case CKR_ARGUMENTS_BAD:
        case CKR_MECHANISM_INVALID:
        case CKR_MECHANISM_PARAM_INVALID:
        case CKR_KEY_SIZE_RANGE:
        case CKR_KEY_TYPE_INCONSISTENT:
        case CKR_KEY_FUNCTION_NOT_PERMITTED:
        case CKR_DATA_LEN_RANGE:
        case CKR_DATA_INVALID:
        case CKR_ENCRYPTED_DATA_LEN_RANGE:
        case CKR_ENCRYPTED_DATA_INVALID:
        case CKR_SIGNATURE_INVALID:
        case CKR_SIGNATURE_LEN_RANGE:
        case CKR_BUFFER_TOO_SMALL:
        case CKR_OPERATION_ACTIVE: return true;
        default: return false;
    }
}

void Check(CK_RV rv, const char* what) {
    if (!Expected(rv)) Finding(what, rv);
}

const CK_MECHANISM_TYPE kMechanisms[] = {
    CKM_RSA_PKCS,          CKM_RSA_PKCS_PSS,          CKM_RSA_PKCS_OAEP,         CKM_RSA_X_509,
    CKM_SHA1_RSA_PKCS,     CKM_SHA256_RSA_PKCS,       CKM_SHA512_RSA_PKCS,       CKM_SHA1_RSA_PKCS_PSS,
    CKM_SHA256_RSA_PKCS_PSS, CKM_SHA384_RSA_PKCS_PSS, CKM_SHA512_RSA_PKCS_PSS,   CKM_MD5_RSA_PKCS,
    CKM_RSA_PKCS_KEY_PAIR_GEN, CKM_SHA224_RSA_PKCS,   CKM_SHA224_RSA_PKCS_PSS,   CKM_SHA384_RSA_PKCS,
};
const CK_MECHANISM_TYPE kHashes[] = {CKM_SHA_1, CKM_SHA224, CKM_SHA256, CKM_SHA384, CKM_SHA512, CKM_MD5, 0x12345};
const CK_RSA_PKCS_MGF_TYPE kMgfs[] = {CKG_MGF1_SHA1, CKG_MGF1_SHA224, CKG_MGF1_SHA256, CKG_MGF1_SHA384,
                                      CKG_MGF1_SHA512, 0, 77};

// Reads input bytes in turn; zeros once it runs out.
struct Reader {
    const std::uint8_t* data;
    std::size_t size;
    std::uint8_t Byte() {
        if (size == 0) return 0;
        --size;
        return *data++;
    }
    const std::uint8_t* Take(std::size_t n, std::size_t& got) {
        got = n < size ? n : size;
        const std::uint8_t* at = data;
        data += got;
        size -= got;
        return at;
    }
};

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    char pattern[] = "/tmp/keyhold-fuzz-XXXXXX";
    if (mkdtemp(pattern) == nullptr) std::abort();
    g_root = pattern;
    setenv("KEYHOLD_ROOT", pattern, 1);
    std::atexit(RemoveRoot);
    if (calls::Initialize(nullptr) != CKR_OK ||
        calls::OpenSession(0, CKF_SERIAL_SESSION | CKF_RW_SESSION, nullptr, nullptr, &g_session) != CKR_OK)
        std::abort();
    CK_ULONG bits = kModulusBytes * 8;
    char label[] = "fuzz";
    CK_ATTRIBUTE pub[] = {{CKA_MODULUS_BITS, &bits, sizeof bits}, {CKA_LABEL, label, 4}};
    CK_MECHANISM gen{CKM_RSA_PKCS_KEY_PAIR_GEN, nullptr, 0};
    if (calls::GenerateKeyPair(g_session, &gen, pub, 2, nullptr, 0, &g_keys[0], &g_keys[1]) != CKR_OK) std::abort();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* input, std::size_t size) {
    Reader in{input, size};
    const std::uint8_t op = in.Byte();
    const OpKind kind = static_cast<OpKind>(op % 4);
    const bool multipart = (op & 0x10) != 0;
    const bool otherKey = (op & 0x20) != 0;
    const CK_MECHANISM_TYPE type = kMechanisms[in.Byte() % (sizeof kMechanisms / sizeof kMechanisms[0])];

    // The parameters: none, raw bytes, or a filled-in structure.
    CK_RSA_PKCS_PSS_PARAMS pss{};
    CK_RSA_PKCS_OAEP_PARAMS oaep{};
    CK_MECHANISM mechanism{type, nullptr, 0};
    const std::uint8_t form = in.Byte();
    std::size_t got = 0;
    if (form % 3 == 1) {
        const std::uint8_t* raw = in.Take(form / 3, got);
        // The OAEP structure holds a pointer: raw bytes of its size would be a wild one.
        if (got != sizeof oaep) {
            mechanism.pParameter = got != 0 ? const_cast<std::uint8_t*>(raw) : nullptr;
            mechanism.ulParameterLen = got;
        }
    } else if (form % 3 == 2) {
        const std::uint8_t hash = in.Byte(), mgf = in.Byte(), extra = in.Byte();
        pss = {kHashes[hash % 7], kMgfs[mgf % 7], static_cast<CK_ULONG>(extra)};
        const std::uint8_t* label = in.Take(extra % 40, got);
        oaep = {kHashes[hash % 7], kMgfs[mgf % 7], (extra & 0x80) != 0 ? 0ul : CKZ_DATA_SPECIFIED,
                got != 0 ? const_cast<std::uint8_t*>(label) : nullptr, got};
        const bool useOaep = type == CKM_RSA_PKCS_OAEP;
        mechanism.pParameter = useOaep ? static_cast<void*>(&oaep) : static_cast<void*>(&pss);
        mechanism.ulParameterLen = useOaep ? sizeof oaep : sizeof pss;
    }

    const bool privateSide = kind == OpKind::kSign || kind == OpKind::kDecrypt;
    const CK_OBJECT_HANDLE key = g_keys[privateSide != otherKey ? 1 : 0];
    auto data = const_cast<std::uint8_t*>(in.data);
    const CK_ULONG length = in.size;
    const CK_ULONG half = length / 2;
    CK_RV (*init)(CK_SESSION_HANDLE, CK_MECHANISM_PTR, CK_OBJECT_HANDLE) =
        kind == OpKind::kSign ? calls::SignInit : kind == OpKind::kVerify ? calls::VerifyInit
        : kind == OpKind::kEncrypt ? calls::EncryptInit : calls::DecryptInit;
    CK_RV rv = init(g_session, &mechanism, key);
    Check(rv, "init");
    if (rv != CKR_OK) return 0;

    std::vector<std::uint8_t> out(kModulusBytes + 16);
    CK_ULONG outLength = out.size(), part = 0;
    if (kind == OpKind::kVerify) {
        // The data's second half is the signature.
        if (multipart) {
            rv = calls::VerifyUpdate(g_session, data, half);
            Check(rv, "verify update");
            if (rv == CKR_OK) rv = calls::VerifyFinal(g_session, data + half, length - half);
        } else {
            rv = calls::Verify(g_session, data, half, data + half, length - half);
        }
        Check(rv, "verify");
    } else {
        auto single = kind == OpKind::kSign ? calls::Sign : kind == OpKind::kEncrypt ? calls::Encrypt : calls::Decrypt;
        if (multipart) {
            rv = kind == OpKind::kSign      ? calls::SignUpdate(g_session, data, half)
                 : kind == OpKind::kEncrypt ? calls::EncryptUpdate(g_session, data, half, out.data(), &part)
                                            : calls::DecryptUpdate(g_session, data, half, out.data(), &part);
            Check(rv, "update");
            if (rv == CKR_OK) {
                rv = kind == OpKind::kSign      ? calls::SignUpdate(g_session, data + half, length - half)
                     : kind == OpKind::kEncrypt ? calls::EncryptUpdate(g_session, data + half, length - half,
                                                                       out.data(), &part)
                                                : calls::DecryptUpdate(g_session, data + half, length - half,
                                                                       out.data(), &part);
                Check(rv, "update");
            }
            if (rv == CKR_OK) {
                rv = kind == OpKind::kSign      ? calls::SignFinal(g_session, out.data(), &outLength)
                     : kind == OpKind::kEncrypt ? calls::EncryptFinal(g_session, out.data(), &outLength)
                                                : calls::DecryptFinal(g_session, out.data(), &outLength);
                Check(rv, "final");
            }
        } else {
            CK_ULONG query = 0;
            rv = single(g_session, data, length, nullptr, &query);
            Check(rv, "length query");
            if (rv == CKR_OK && query != kModulusBytes) Finding("length query", query);
            if (rv == CKR_OK) rv = single(g_session, data, length, out.data(), &outLength);
            Check(rv, "single part");
        }
        if (rv == CKR_OK && (outLength > kModulusBytes || (kind != OpKind::kDecrypt && outLength != kModulusBytes)))
            Finding("output length", outLength);
    }
    // Whatever the outcome, the operation is over, or ends now.
    if (init(g_session, &mechanism, key) == CKR_OPERATION_ACTIVE) Finding("operation left active", rv);
    init(g_session, nullptr, 0);
    return 0;
}
