// The module's behaviour as programs see it: tokens, objects over keys the
// store made, every mechanism checked against OpenSSL, key pairs made and
// removed through the module, and changes other programs make meanwhile.
#include <openssl/core_names.h>
#include <openssl/rsa.h>
#include <openssl/sha.h>

#include "module_fixture.h"

namespace keyhold_test {
namespace {

struct SignCase {
    const char* name;
    CK_MECHANISM_TYPE mechanism;
    const char* digest;  // OpenSSL's digest of the data, or null for a raw mechanism
    int padding;
    CK_MECHANISM_TYPE pssHash;  // PSS: the hash and MGF1 of the parameters
    CK_RSA_PKCS_MGF_TYPE mgf;
    CK_ULONG saltLength;
    std::size_t dataLength;  // raw mechanisms: the length of the data signed
};

const SignCase kSignCases[] = {
    {"RsaPkcs", CKM_RSA_PKCS, nullptr, RSA_PKCS1_PADDING, 0, 0, 0, 51},
    {"RsaX509", CKM_RSA_X_509, nullptr, RSA_NO_PADDING, 0, 0, 0, 100},
    {"RsaPkcsPss", CKM_RSA_PKCS_PSS, nullptr, RSA_PKCS1_PSS_PADDING, CKM_SHA256, CKG_MGF1_SHA256, 32, 32},
    {"Sha1RsaPkcs", CKM_SHA1_RSA_PKCS, "SHA1", RSA_PKCS1_PADDING, 0, 0, 0, 0},
    {"Sha224RsaPkcs", CKM_SHA224_RSA_PKCS, "SHA224", RSA_PKCS1_PADDING, 0, 0, 0, 0},
    {"Sha256RsaPkcs", CKM_SHA256_RSA_PKCS, "SHA256", RSA_PKCS1_PADDING, 0, 0, 0, 0},
    {"Sha384RsaPkcs", CKM_SHA384_RSA_PKCS, "SHA384", RSA_PKCS1_PADDING, 0, 0, 0, 0},
    {"Sha512RsaPkcs", CKM_SHA512_RSA_PKCS, "SHA512", RSA_PKCS1_PADDING, 0, 0, 0, 0},
    {"Sha1RsaPss", CKM_SHA1_RSA_PKCS_PSS, "SHA1", RSA_PKCS1_PSS_PADDING, CKM_SHA_1, CKG_MGF1_SHA1, 20, 0},
    {"Sha224RsaPss", CKM_SHA224_RSA_PKCS_PSS, "SHA224", RSA_PKCS1_PSS_PADDING, CKM_SHA224, CKG_MGF1_SHA224, 0, 0},
    {"Sha256RsaPss", CKM_SHA256_RSA_PKCS_PSS, "SHA256", RSA_PKCS1_PSS_PADDING, CKM_SHA256, CKG_MGF1_SHA256, 32, 0},
    {"Sha384RsaPss", CKM_SHA384_RSA_PKCS_PSS, "SHA384", RSA_PKCS1_PSS_PADDING, CKM_SHA384, CKG_MGF1_SHA1, 48, 0},
    {"Sha512RsaPss", CKM_SHA512_RSA_PKCS_PSS, "SHA512", RSA_PKCS1_PSS_PADDING, CKM_SHA512, CKG_MGF1_SHA512, 64, 0},
};

void PrintTo(const SignCase& c, std::ostream* os) { *os << c.name; }

const char* DigestOfHash(CK_MECHANISM_TYPE hash) {
    switch (hash) {
        case CKM_SHA_1: return "SHA1";
        case CKM_SHA224: return "SHA224";
        case CKM_SHA256: return "SHA256";
        case CKM_SHA384: return "SHA384";
        default: return "SHA512";
    }
}

const char* DigestOfMgf(CK_RSA_PKCS_MGF_TYPE mgf) {
    return DigestOfHash(mgf == CKG_MGF1_SHA1     ? CKM_SHA_1
                        : mgf == CKG_MGF1_SHA224 ? CKM_SHA224
                        : mgf == CKG_MGF1_SHA256 ? CKM_SHA256
                        : mgf == CKG_MGF1_SHA384 ? CKM_SHA384
                                                 : CKM_SHA512);
}

// OpenSSL's verdict on a signature of `data` made with the case's mechanism.
bool OpenSslVerifies(EVP_PKEY* key, const SignCase& c, const Bytes& data, const Bytes& signature) {
    EVP_PKEY_CTX* pctx = nullptr;
    EVP_MD_CTX* md = EVP_MD_CTX_new();
    bool ok = false;
    if (c.digest != nullptr) {
        ok = EVP_DigestVerifyInit_ex(md, &pctx, c.digest, nullptr, nullptr, key, nullptr) == 1;
    } else {
        pctx = EVP_PKEY_CTX_new(key, nullptr);
        ok = pctx != nullptr && EVP_PKEY_verify_init(pctx) == 1;
    }
    ok = ok && EVP_PKEY_CTX_set_rsa_padding(pctx, c.padding) == 1;
    if (ok && c.padding == RSA_PKCS1_PSS_PADDING) {
        // Fetched: the store started OpenSSL without its table of digest names.
        EVP_MD* hash = EVP_MD_fetch(nullptr, DigestOfHash(c.pssHash), nullptr);
        if (c.digest == nullptr) ok = EVP_PKEY_CTX_set_signature_md(pctx, hash) == 1;
        EVP_MD_free(hash);
        ok = ok && EVP_PKEY_CTX_set_rsa_pss_saltlen(pctx, static_cast<int>(c.saltLength)) == 1 &&
             EVP_PKEY_CTX_set_rsa_mgf1_md_name(pctx, DigestOfMgf(c.mgf), nullptr) == 1;
    }
    if (ok && c.digest != nullptr) {
        ok = EVP_DigestVerify(md, signature.data(), signature.size(), data.data(), data.size()) == 1;
    } else if (ok && c.padding == RSA_NO_PADDING) {
        Bytes recovered(signature.size());
        std::size_t length = recovered.size();
        ok = EVP_PKEY_verify_recover_init(pctx) == 1 && EVP_PKEY_CTX_set_rsa_padding(pctx, RSA_NO_PADDING) == 1 &&
             EVP_PKEY_verify_recover(pctx, recovered.data(), &length, signature.data(), signature.size()) == 1 &&
             std::equal(data.begin(), data.end(), recovered.end() - static_cast<long>(data.size()));
    } else if (ok) {
        ok = EVP_PKEY_verify(pctx, signature.data(), signature.size(), data.data(), data.size()) == 1;
    }
    if (c.digest == nullptr) EVP_PKEY_CTX_free(pctx);
    EVP_MD_CTX_free(md);
    return ok;
}

Bytes Pattern(std::size_t length) {
    Bytes data(length);
    for (std::size_t i = 0; i < length; ++i) data[i] = static_cast<unsigned char>(i * 7 + 1);
    return data;
}

class Pkcs11Module : public ModuleTest {
public:
    static void SetUpTestSuite() {
        ModuleTest::SetUpTestSuite();
        // The exchange key may sign and decrypt, the signature key only sign.
        ASSERT_TRUE(MakeStoreKey("signer", AT_KEYEXCHANGE, 2048, true, false, &exchange_));
        ASSERT_TRUE(MakeStoreKey("signer", AT_SIGNATURE, 1024, false, false, &signature_));
        ASSERT_TRUE(MakeStoreKey("shared", AT_KEYEXCHANGE, 1024, false, true, nullptr));
    }
    static void TearDownTestSuite() {
        EVP_PKEY_free(exchange_);
        EVP_PKEY_free(signature_);
        ModuleTest::TearDownTestSuite();
    }

protected:
    static EVP_PKEY* exchange_;
    static EVP_PKEY* signature_;
};

EVP_PKEY* Pkcs11Module::exchange_ = nullptr;
EVP_PKEY* Pkcs11Module::signature_ = nullptr;

TEST_F(Pkcs11Module, TwoTokensWithoutLogin) {
    CK_ULONG count = 0;
    ASSERT_EQ(p11_->C_GetSlotList(CK_TRUE, nullptr, &count), CKR_OK);
    ASSERT_EQ(count, 2u);
    const char* labels[] = {"keyhold user", "keyhold machine"};
    for (CK_SLOT_ID slot = 0; slot < 2; ++slot) {
        CK_TOKEN_INFO info{};
        ASSERT_EQ(p11_->C_GetTokenInfo(slot, &info), CKR_OK);
        EXPECT_EQ(std::string(reinterpret_cast<char*>(info.label), 32),
                  std::string(labels[slot]) + std::string(32 - std::strlen(labels[slot]), ' '));
        EXPECT_EQ(info.flags & CKF_LOGIN_REQUIRED, 0u);
    }
    const CK_SESSION_HANDLE session = Open();
    EXPECT_EQ(p11_->C_Login(session, CKU_USER, nullptr, 0), CKR_OK);
    EXPECT_EQ(p11_->C_Login(session, CKU_USER, nullptr, 0), CKR_USER_ALREADY_LOGGED_IN);
    EXPECT_EQ(p11_->C_Logout(session), CKR_OK);
    EXPECT_EQ(p11_->C_CloseSession(session), CKR_OK);
}

TEST_F(Pkcs11Module, ObjectsShowTheStoredKeys) {
    const CK_SESSION_HANDLE session = Open();
    const CK_OBJECT_HANDLE priv = FindKey(session, "signer", CKO_PRIVATE_KEY);
    const CK_OBJECT_HANDLE pub = FindKey(session, "signer", CKO_PUBLIC_KEY);
    const CK_OBJECT_HANDLE signPriv = FindKey(session, "signer", CKO_PRIVATE_KEY, false);
    ASSERT_NE(priv, 0u);
    ASSERT_NE(pub, 0u);
    ASSERT_NE(signPriv, 0u);

    // CKA_ID is the SHA-1 of the big-endian modulus, as the store exported it.
    BIGNUM* n = nullptr;
    ASSERT_EQ(EVP_PKEY_get_bn_param(exchange_, OSSL_PKEY_PARAM_RSA_N, &n), 1);
    Bytes modulus(static_cast<std::size_t>(BN_num_bytes(n)));
    BN_bn2bin(n, modulus.data());
    BN_free(n);
    Bytes id(SHA_DIGEST_LENGTH);
    SHA1(modulus.data(), modulus.size(), id.data());
    for (const CK_OBJECT_HANDLE object : {priv, pub}) {
        EXPECT_EQ(Attribute(session, object, CKA_MODULUS), modulus);
        EXPECT_EQ(Attribute(session, object, CKA_ID), id);
        EXPECT_EQ(Attribute(session, object, CKA_LABEL), Bytes({'s', 'i', 'g', 'n', 'e', 'r'}));
        EXPECT_EQ(Attribute(session, object, CKA_PUBLIC_EXPONENT), Bytes({1, 0, 1}));
        EXPECT_EQ(Attribute(session, object, CKA_TOKEN), Bytes{CK_TRUE});
        EXPECT_EQ(Attribute(session, object, CKA_PRIVATE), Bytes{CK_FALSE});
    }
    const struct {
        CK_OBJECT_HANDLE object;
        CK_ATTRIBUTE_TYPE type;
        CK_BBOOL value;
    } flags[] = {{priv, CKA_SIGN, CK_TRUE},         {priv, CKA_DECRYPT, CK_TRUE},
                 {priv, CKA_SENSITIVE, CK_TRUE},    {priv, CKA_EXTRACTABLE, CK_TRUE},
                 {signPriv, CKA_SIGN, CK_TRUE},     {signPriv, CKA_DECRYPT, CK_FALSE},
                 {signPriv, CKA_EXTRACTABLE, CK_FALSE}, {pub, CKA_VERIFY, CK_TRUE},
                 {pub, CKA_ENCRYPT, CK_TRUE}};
    for (const auto& f : flags) EXPECT_EQ(Attribute(session, f.object, f.type), Bytes{f.value}) << f.type;

    // Private numbers never; lengths asked for, buffers too small, types unknown.
    unsigned char small[4];
    CK_ATTRIBUTE attributes[] = {{CKA_PRIVATE_EXPONENT, nullptr, 0},
                                 {CKA_MODULUS, small, sizeof small},
                                 {CKA_VALUE, nullptr, 0},
                                 {CKA_MODULUS_BITS, nullptr, 0}};
    EXPECT_NE(p11_->C_GetAttributeValue(session, priv, attributes, 4), CKR_OK);
    EXPECT_EQ(attributes[0].ulValueLen, CK_UNAVAILABLE_INFORMATION);
    EXPECT_EQ(attributes[1].ulValueLen, CK_UNAVAILABLE_INFORMATION);
    EXPECT_EQ(attributes[2].ulValueLen, CK_UNAVAILABLE_INFORMATION);
    EXPECT_EQ(attributes[3].ulValueLen, sizeof(CK_ULONG));
    EXPECT_EQ(p11_->C_GetAttributeValue(session, priv, attributes, 1), CKR_ATTRIBUTE_SENSITIVE);
    attributes[1].ulValueLen = sizeof small;
    EXPECT_EQ(p11_->C_GetAttributeValue(session, priv, attributes + 1, 1), CKR_BUFFER_TOO_SMALL);
    EXPECT_EQ(p11_->C_GetAttributeValue(session, priv, attributes + 2, 1), CKR_ATTRIBUTE_TYPE_INVALID);
    p11_->C_CloseSession(session);
}

TEST_F(Pkcs11Module, SearchesByTemplate) {
    const CK_SESSION_HANDLE session = Open();
    const CK_OBJECT_HANDLE pub = FindKey(session, "signer", CKO_PUBLIC_KEY);
    Bytes id = Attribute(session, pub, CKA_ID);
    CK_OBJECT_CLASS priv = CKO_PRIVATE_KEY, cert = CKO_CERTIFICATE;
    CK_KEY_TYPE rsa = CKK_RSA, ec = CKK_EC;
    char label[] = "signer", missing[] = "missing";
    const struct {
        const char* name;
        std::vector<CK_ATTRIBUTE> attributes;
        std::size_t expected;
    } cases[] = {
        {"everything", {}, 4},
        {"private keys", {{CKA_CLASS, &priv, sizeof priv}}, 2},
        {"certificates", {{CKA_CLASS, &cert, sizeof cert}}, 0},
        {"RSA keys", {{CKA_KEY_TYPE, &rsa, sizeof rsa}}, 4},
        {"EC keys", {{CKA_KEY_TYPE, &ec, sizeof ec}}, 0},
        {"by label", {{CKA_LABEL, label, 6}}, 4},
        {"by missing label", {{CKA_LABEL, missing, 7}}, 0},
        {"by id", {{CKA_ID, id.data(), id.size()}}, 2},
        {"by label, id and class", {{CKA_LABEL, label, 6}, {CKA_ID, id.data(), id.size()}, {CKA_CLASS, &priv, sizeof priv}}, 1},
    };
    for (const auto& c : cases) EXPECT_EQ(Find(session, c.attributes).size(), c.expected) << c.name;
    // The machine token shows the machine area.
    const CK_SESSION_HANDLE machine = Open(1);
    EXPECT_EQ(Find(machine, {}).size(), 2u);
    EXPECT_NE(FindKey(machine, "shared", CKO_PRIVATE_KEY), 0u);
    p11_->C_CloseSession(machine);
    p11_->C_CloseSession(session);
}

class SignMechanism : public Pkcs11Module, public ::testing::WithParamInterface<SignCase> {};

TEST_P(SignMechanism, OpenSslVerifiesAndSoDoesTheModule) {
    const SignCase& c = GetParam();
    const CK_SESSION_HANDLE session = Open();
    const CK_OBJECT_HANDLE priv = FindKey(session, "signer", CKO_PRIVATE_KEY);
    const CK_OBJECT_HANDLE pub = FindKey(session, "signer", CKO_PUBLIC_KEY);
    CK_RSA_PKCS_PSS_PARAMS pss{c.pssHash, c.mgf, c.saltLength};
    const CK_MECHANISM mechanism{c.mechanism, c.pssHash != 0 ? &pss : nullptr, c.pssHash != 0 ? sizeof pss : 0};
    const Bytes data = Pattern(c.dataLength != 0 ? c.dataLength : 1000);

    Bytes signature;
    ASSERT_EQ(Sign(session, mechanism, priv, data, signature), CKR_OK);
    EXPECT_EQ(signature.size(), 256u);
    EXPECT_TRUE(OpenSslVerifies(exchange_, c, data, signature));

    // In parts, for the mechanisms that hash: the same signature, or (PSS,
    // salted) one that verifies as well.
    CK_MECHANISM m = mechanism;
    ASSERT_EQ(p11_->C_SignInit(session, &m, priv), CKR_OK);
    for (std::size_t at = 0; at < data.size(); at += 300)
        ASSERT_EQ(p11_->C_SignUpdate(session, const_cast<unsigned char*>(data.data()) + at,
                                     std::min<std::size_t>(300, data.size() - at)), CKR_OK);
    Bytes parts(signature.size());
    CK_ULONG length = parts.size();
    ASSERT_EQ(p11_->C_SignFinal(session, parts.data(), &length), CKR_OK);
    EXPECT_TRUE(OpenSslVerifies(exchange_, c, data, parts));
    if (c.padding != RSA_PKCS1_PSS_PADDING) {
        EXPECT_EQ(parts, signature);
    }

    ASSERT_EQ(p11_->C_VerifyInit(session, &m, pub), CKR_OK);
    EXPECT_EQ(p11_->C_Verify(session, const_cast<unsigned char*>(data.data()), data.size(), signature.data(),
                             signature.size()), CKR_OK);
    signature[10] ^= 1;
    ASSERT_EQ(p11_->C_VerifyInit(session, &m, pub), CKR_OK);
    EXPECT_EQ(p11_->C_Verify(session, const_cast<unsigned char*>(data.data()), data.size(), signature.data(),
                             signature.size()), CKR_SIGNATURE_INVALID);
    p11_->C_CloseSession(session);
}

INSTANTIATE_TEST_SUITE_P(All, SignMechanism, ::testing::ValuesIn(kSignCases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(Pkcs11Module, DecryptsWhatOpenSslEncrypts) {
    const CK_SESSION_HANDLE session = Open();
    const CK_OBJECT_HANDLE priv = FindKey(session, "signer", CKO_PRIVATE_KEY);
    const CK_OBJECT_HANDLE pub = FindKey(session, "signer", CKO_PUBLIC_KEY);
    unsigned char label[] = "context";
    CK_RSA_PKCS_OAEP_PARAMS sha1{CKM_SHA_1, CKG_MGF1_SHA1, CKZ_DATA_SPECIFIED, nullptr, 0};
    CK_RSA_PKCS_OAEP_PARAMS sha256{CKM_SHA256, CKG_MGF1_SHA256, CKZ_DATA_SPECIFIED, label, 7};
    const struct {
        const char* name;
        CK_MECHANISM mechanism;
        int padding;
        const char* md;
        bool labelled;
    } cases[] = {
        {"PKCS#1 v1.5", {CKM_RSA_PKCS, nullptr, 0}, RSA_PKCS1_PADDING, nullptr, false},
        {"OAEP SHA-1", {CKM_RSA_PKCS_OAEP, &sha1, sizeof sha1}, RSA_PKCS1_OAEP_PADDING, "SHA1", false},
        {"OAEP SHA-256 with label", {CKM_RSA_PKCS_OAEP, &sha256, sizeof sha256}, RSA_PKCS1_OAEP_PADDING, "SHA256", true},
    };
    const Bytes plain = Pattern(40);
    for (const auto& c : cases) {
        EVP_PKEY_CTX* ctx = EVP_PKEY_CTX_new(exchange_, nullptr);
        ASSERT_EQ(EVP_PKEY_encrypt_init(ctx), 1);
        ASSERT_EQ(EVP_PKEY_CTX_set_rsa_padding(ctx, c.padding), 1);
        if (c.md != nullptr) {
            ASSERT_EQ(EVP_PKEY_CTX_set_rsa_oaep_md_name(ctx, c.md, nullptr), 1);
            ASSERT_EQ(EVP_PKEY_CTX_set_rsa_mgf1_md_name(ctx, c.md, nullptr), 1);
        }
        if (c.labelled) {
            ASSERT_EQ(EVP_PKEY_CTX_set0_rsa_oaep_label(ctx, OPENSSL_memdup(label, 7), 7), 1);
        }
        Bytes cipher(256);
        std::size_t length = cipher.size();
        ASSERT_EQ(EVP_PKEY_encrypt(ctx, cipher.data(), &length, plain.data(), plain.size()), 1);
        EVP_PKEY_CTX_free(ctx);

        CK_MECHANISM m = c.mechanism;
        ASSERT_EQ(p11_->C_DecryptInit(session, &m, priv), CKR_OK) << c.name;
        Bytes out(256);
        CK_ULONG outLength = out.size();
        ASSERT_EQ(p11_->C_Decrypt(session, cipher.data(), cipher.size(), out.data(), &outLength), CKR_OK) << c.name;
        out.resize(outLength);
        EXPECT_EQ(out, plain) << c.name;

        // And the module's own encryption comes back through its decryption.
        ASSERT_EQ(p11_->C_EncryptInit(session, &m, pub), CKR_OK) << c.name;
        outLength = 256;
        ASSERT_EQ(p11_->C_Encrypt(session, const_cast<unsigned char*>(plain.data()), plain.size(), cipher.data(),
                                  &outLength), CKR_OK);
        ASSERT_EQ(p11_->C_DecryptInit(session, &m, priv), CKR_OK) << c.name;
        out.assign(256, 0);
        outLength = out.size();
        ASSERT_EQ(p11_->C_Decrypt(session, cipher.data(), cipher.size(), out.data(), &outLength), CKR_OK);
        out.resize(outLength);
        EXPECT_EQ(out, plain) << c.name;
    }
    p11_->C_CloseSession(session);
}

TEST_F(Pkcs11Module, GeneratesAndRemovesKeyPairs) {
    const CK_SESSION_HANDLE session = Open(0, true);
    CK_ULONG bits = 1024;
    CK_BBOOL yes = CK_TRUE;
    char label[] = "made-here";
    CK_MECHANISM mechanism{CKM_RSA_PKCS_KEY_PAIR_GEN, nullptr, 0};
    CK_ATTRIBUTE pubTemplate[] = {{CKA_MODULUS_BITS, &bits, sizeof bits}, {CKA_LABEL, label, 9}};
    CK_ATTRIBUTE privTemplate[] = {{CKA_EXTRACTABLE, &yes, sizeof yes}, {CKA_SIGN, &yes, sizeof yes}};
    CK_OBJECT_HANDLE pub = 0, priv = 0;
    ASSERT_EQ(p11_->C_GenerateKeyPair(session, &mechanism, pubTemplate, 2, privTemplate, 2, &pub, &priv), CKR_OK);
    EXPECT_EQ(Attribute(session, priv, CKA_EXTRACTABLE), Bytes{CK_TRUE});
    EXPECT_EQ(Attribute(session, pub, CKA_MODULUS).size(), 128u);

    // The store holds it as an exportable exchange key pair.
    HCRYPTPROV prov = 0;
    HCRYPTKEY key = 0;
    DWORD length = 0;
    ASSERT_TRUE(CryptAcquireContextA(&prov, label, nullptr, PROV_RSA_FULL, 0));
    ASSERT_TRUE(CryptGetUserKey(prov, AT_KEYEXCHANGE, &key));
    EXPECT_TRUE(CryptExportKey(key, 0, PRIVATEKEYBLOB, 0, nullptr, &length));
    CryptDestroyKey(key);

    // A second pair of the same kind would replace the first: refused.
    CK_OBJECT_HANDLE pub2 = 0, priv2 = 0;
    EXPECT_EQ(p11_->C_GenerateKeyPair(session, &mechanism, pubTemplate, 2, privTemplate, 2, &pub2, &priv2),
              CKR_ATTRIBUTE_VALUE_INVALID);
    const CK_SESSION_HANDLE readOnly = Open();
    EXPECT_EQ(p11_->C_DestroyObject(readOnly, priv), CKR_SESSION_READ_ONLY);
    EXPECT_EQ(p11_->C_DestroyObject(session, pub), CKR_ACTION_PROHIBITED);
    ASSERT_EQ(p11_->C_DestroyObject(session, priv), CKR_OK);
    EXPECT_FALSE(CryptGetUserKey(prov, AT_KEYEXCHANGE, &key));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(NTE_NO_KEY));
    EXPECT_EQ(p11_->C_DestroyObject(session, priv), CKR_OBJECT_HANDLE_INVALID);
    EXPECT_TRUE(Find(session, {{CKA_LABEL, label, 9}}).empty());
    CryptReleaseContext(prov, 0);
    p11_->C_CloseSession(readOnly);
    p11_->C_CloseSession(session);
}

TEST_F(Pkcs11Module, SeesWhatOtherProgramsChange) {
    ASSERT_TRUE(MakeStoreKey("changing", AT_KEYEXCHANGE, 1024, false, false, nullptr));
    const CK_SESSION_HANDLE session = Open();
    const CK_OBJECT_HANDLE first = FindKey(session, "changing", CKO_PRIVATE_KEY);
    ASSERT_NE(first, 0u);
    // A new key in the container: a new object, and the old handle is dead.
    ASSERT_TRUE(MakeStoreKey("changing", AT_KEYEXCHANGE, 1024, false, false, nullptr));
    CK_MECHANISM mechanism{CKM_SHA256_RSA_PKCS, nullptr, 0};
    EXPECT_EQ(p11_->C_SignInit(session, &mechanism, first), CKR_KEY_HANDLE_INVALID);
    const CK_OBJECT_HANDLE second = FindKey(session, "changing", CKO_PRIVATE_KEY);
    ASSERT_NE(second, 0u);
    EXPECT_NE(second, first);
    ASSERT_TRUE(DeleteContainer("changing"));
    EXPECT_EQ(FindKey(session, "changing", CKO_PRIVATE_KEY), 0u);
    EXPECT_EQ(p11_->C_SignInit(session, &mechanism, second), CKR_KEY_HANDLE_INVALID);
    EXPECT_EQ(p11_->C_GetAttributeValue(session, second, nullptr, 0), CKR_OBJECT_HANDLE_INVALID);
    p11_->C_CloseSession(session);
}

}  // namespace
}  // namespace keyhold_test
