// Wrong calls get PKCS#11's codes and change nothing: null pointers, wrong
// lengths, mechanisms not offered, parameters of the wrong size, calls out of
// order, handles that are not (or no longer) valid.
#include <functional>

#include "module_fixture.h"

namespace keyhold_test {
namespace {

class BadInput : public ModuleTest {
public:
    static void SetUpTestSuite() {
        ModuleTest::SetUpTestSuite();
        ASSERT_TRUE(MakeStoreKey("key", AT_KEYEXCHANGE, 1024, false, false, nullptr));
        ASSERT_TRUE(MakeStoreKey("key", AT_SIGNATURE, 1024, false, false, nullptr));
    }
};

TEST_F(BadInput, StandardCodesNeverACrash) {
    const CK_SESSION_HANDLE s = Open();
    const CK_SESSION_HANDLE machine = Open(1);
    const CK_SESSION_HANDLE closed = Open();
    ASSERT_EQ(p11_->C_CloseSession(closed), CKR_OK);
    const CK_OBJECT_HANDLE priv = FindKey(s, "key", CKO_PRIVATE_KEY);
    const CK_OBJECT_HANDLE pub = FindKey(s, "key", CKO_PUBLIC_KEY);
    const CK_OBJECT_HANDLE signOnly = FindKey(s, "key", CKO_PRIVATE_KEY, false);
    ASSERT_NE(priv, 0u);
    ASSERT_NE(signOnly, 0u);
    CK_RSA_PKCS_PSS_PARAMS pss{CKM_SHA256, CKG_MGF1_SHA256, 32};
    CK_RSA_PKCS_PSS_PARAMS badHash{CKM_MD5, CKG_MGF1_SHA256, 32};
    CK_RSA_PKCS_PSS_PARAMS hugeSalt{CKM_SHA256, CKG_MGF1_SHA256, 100};
    CK_RSA_PKCS_OAEP_PARAMS oaepNoLabel{CKM_SHA256, CKG_MGF1_SHA256, CKZ_DATA_SPECIFIED, nullptr, 5};
    CK_MECHANISM sha256{CKM_SHA256_RSA_PKCS, nullptr, 0};
    CK_MECHANISM withParam{CKM_SHA256_RSA_PKCS, &pss, sizeof pss};
    CK_MECHANISM pssShort{CKM_SHA256_RSA_PKCS_PSS, &pss, sizeof pss - 1};
    CK_MECHANISM pssNull{CKM_RSA_PKCS_PSS, nullptr, sizeof pss};
    CK_MECHANISM pssMd5{CKM_RSA_PKCS_PSS, &badHash, sizeof badHash};
    CK_MECHANISM pssSalt{CKM_SHA256_RSA_PKCS_PSS, &hugeSalt, sizeof hugeSalt};
    CK_MECHANISM pssWrongHash{CKM_SHA384_RSA_PKCS_PSS, &pss, sizeof pss};
    CK_MECHANISM oaep{CKM_RSA_PKCS_OAEP, &oaepNoLabel, sizeof oaepNoLabel};
    CK_MECHANISM unknown{CKM_MD5_RSA_PKCS, nullptr, 0};
    CK_MECHANISM rsaPkcs{CKM_RSA_PKCS, nullptr, 0};
    unsigned char data[200] = {1}, out[256];
    CK_ULONG outLength = sizeof out;
    CK_ULONG count = 0;
    CK_OBJECT_HANDLE objects[4];

    const struct {
        const char* name;
        std::function<CK_RV()> call;
        CK_RV expected;
    } cases[] = {
        {"closed session", [&] { return p11_->C_SignInit(closed, &sha256, priv); }, CKR_SESSION_HANDLE_INVALID},
        {"no session", [&] { return p11_->C_FindObjectsInit(0, nullptr, 0); }, CKR_SESSION_HANDLE_INVALID},
        {"key of the other token", [&] { return p11_->C_SignInit(machine, &sha256, priv); }, CKR_KEY_HANDLE_INVALID},
        {"object never handed out", [&] { return p11_->C_SignInit(s, &sha256, 987654); }, CKR_KEY_HANDLE_INVALID},
        {"null mechanism list count", [&] { return p11_->C_GetMechanismList(0, nullptr, nullptr); }, CKR_ARGUMENTS_BAD},
        {"slot out of range", [&] { return p11_->C_GetSlotInfo(7, nullptr); }, CKR_SLOT_ID_INVALID},
        {"parallel session", [&] { CK_SESSION_HANDLE h; return p11_->C_OpenSession(0, 0, nullptr, nullptr, &h); },
         CKR_SESSION_PARALLEL_NOT_SUPPORTED},
        {"mechanism not offered", [&] { return p11_->C_SignInit(s, &unknown, priv); }, CKR_MECHANISM_INVALID},
        {"OAEP to sign", [&] { return p11_->C_SignInit(s, &oaep, priv); }, CKR_MECHANISM_INVALID},
        {"parameter where none belongs", [&] { return p11_->C_SignInit(s, &withParam, priv); },
         CKR_MECHANISM_PARAM_INVALID},
        {"PSS parameters one byte short", [&] { return p11_->C_SignInit(s, &pssShort, priv); },
         CKR_MECHANISM_PARAM_INVALID},
        {"PSS parameters null", [&] { return p11_->C_SignInit(s, &pssNull, priv); }, CKR_MECHANISM_PARAM_INVALID},
        {"PSS with MD5", [&] { return p11_->C_SignInit(s, &pssMd5, priv); }, CKR_MECHANISM_PARAM_INVALID},
        {"PSS hash unlike the mechanism's", [&] { return p11_->C_SignInit(s, &pssWrongHash, priv); },
         CKR_MECHANISM_PARAM_INVALID},
        {"PSS salt too long for the key", [&] { return p11_->C_SignInit(s, &pssSalt, priv); }, CKR_KEY_SIZE_RANGE},
        {"OAEP label length without label", [&] { return p11_->C_DecryptInit(s, &oaep, priv); },
         CKR_MECHANISM_PARAM_INVALID},
        {"sign with a public key", [&] { return p11_->C_SignInit(s, &sha256, pub); }, CKR_KEY_TYPE_INCONSISTENT},
        {"decrypt with the signature key", [&] { return p11_->C_DecryptInit(s, &rsaPkcs, signOnly); },
         CKR_KEY_FUNCTION_NOT_PERMITTED},
        {"sign before init", [&] { return p11_->C_Sign(s, data, 10, out, &outLength); }, CKR_OPERATION_NOT_INITIALIZED},
        {"final before init", [&] { return p11_->C_SignFinal(s, out, &outLength); }, CKR_OPERATION_NOT_INITIALIZED},
        {"find before init", [&] { return p11_->C_FindObjects(s, objects, 4, &count); }, CKR_OPERATION_NOT_INITIALIZED},
        {"second init", [&] {
             p11_->C_SignInit(s, &sha256, priv);
             return p11_->C_SignInit(s, &sha256, priv);
         }, CKR_OPERATION_ACTIVE},
        {"sign after update", [&] {
             p11_->C_SignInit(s, &sha256, priv);
             p11_->C_SignUpdate(s, data, 10);
             return p11_->C_Sign(s, data, 10, out, &outLength);
         }, CKR_OPERATION_ACTIVE},
        {"null length", [&] {
             p11_->C_SignInit(s, &sha256, priv);
             return p11_->C_Sign(s, data, 10, out, nullptr);
         }, CKR_ARGUMENTS_BAD},
        {"raw data longer than the key takes", [&] {
             p11_->C_SignInit(s, &rsaPkcs, priv);
             return p11_->C_Sign(s, data, 200, out, &outLength);
         }, CKR_DATA_LEN_RANGE},
        {"ciphertext of the wrong length", [&] {
             p11_->C_DecryptInit(s, &rsaPkcs, priv);
             return p11_->C_Decrypt(s, data, 100, out, &outLength);
         }, CKR_ENCRYPTED_DATA_LEN_RANGE},
        {"ciphertext not of the key", [&] {
             p11_->C_DecryptInit(s, &rsaPkcs, priv);
             return p11_->C_Decrypt(s, data, 128, out, &outLength);
         }, CKR_ENCRYPTED_DATA_INVALID},
        {"signature of the wrong length", [&] {
             p11_->C_VerifyInit(s, &sha256, pub);
             return p11_->C_Verify(s, data, 10, out, 100);
         }, CKR_SIGNATURE_LEN_RANGE},
        {"null template with a count", [&] { return p11_->C_FindObjectsInit(s, nullptr, 2); }, CKR_ARGUMENTS_BAD},
        {"generate in a read-only session", [&] {
             CK_MECHANISM gen{CKM_RSA_PKCS_KEY_PAIR_GEN, nullptr, 0};
             CK_OBJECT_HANDLE a, b;
             return p11_->C_GenerateKeyPair(s, &gen, nullptr, 0, nullptr, 0, &a, &b);
         }, CKR_SESSION_READ_ONLY},
        {"generate without a length", [&] {
             CK_SESSION_HANDLE rw = Open(0, true);
             CK_MECHANISM gen{CKM_RSA_PKCS_KEY_PAIR_GEN, nullptr, 0};
             CK_OBJECT_HANDLE a, b;
             const CK_RV rv = p11_->C_GenerateKeyPair(rw, &gen, nullptr, 0, nullptr, 0, &a, &b);
             p11_->C_CloseSession(rw);
             return rv;
         }, CKR_TEMPLATE_INCOMPLETE},
        {"generate 1000 bits", [&] {
             CK_SESSION_HANDLE rw = Open(0, true);
             CK_MECHANISM gen{CKM_RSA_PKCS_KEY_PAIR_GEN, nullptr, 0};
             CK_ULONG bits = 1001;
             CK_ATTRIBUTE t{CKA_MODULUS_BITS, &bits, sizeof bits};
             CK_OBJECT_HANDLE a, b;
             const CK_RV rv = p11_->C_GenerateKeyPair(rw, &gen, &t, 1, nullptr, 0, &a, &b);
             p11_->C_CloseSession(rw);
             return rv;
         }, CKR_ATTRIBUTE_VALUE_INVALID},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(c.call(), c.expected) << c.name;
        // Whatever was left active ends, so the next case starts clean.
        for (auto end : {p11_->C_SignInit, p11_->C_VerifyInit, p11_->C_EncryptInit, p11_->C_DecryptInit}) end(s, nullptr, 0);
    }

    // A buffer too small keeps the operation: the signature comes on the next call.
    ASSERT_EQ(p11_->C_SignInit(s, &sha256, priv), CKR_OK);
    outLength = 10;
    EXPECT_EQ(p11_->C_Sign(s, data, 10, out, &outLength), CKR_BUFFER_TOO_SMALL);
    EXPECT_EQ(outLength, 128u);
    EXPECT_EQ(p11_->C_Sign(s, data, 10, out, &outLength), CKR_OK);
    EXPECT_EQ(p11_->C_Sign(s, data, 10, out, &outLength), CKR_OPERATION_NOT_INITIALIZED);
    p11_->C_CloseSession(s);
    p11_->C_CloseSession(machine);
    // After C_Finalize nothing is initialised, and a second one says so.
    EXPECT_EQ(p11_->C_Finalize(nullptr), CKR_OK);
    EXPECT_EQ(p11_->C_OpenSession(0, CKF_SERIAL_SESSION, nullptr, nullptr, &count), CKR_CRYPTOKI_NOT_INITIALIZED);
    EXPECT_EQ(p11_->C_Finalize(nullptr), CKR_CRYPTOKI_NOT_INITIALIZED);
    // Arguments of C_Initialize the library cannot honour.
    CK_C_INITIALIZE_ARGS someMutexes{};
    someMutexes.CreateMutex = [](void**) -> CK_RV { return CKR_OK; };
    EXPECT_EQ(p11_->C_Initialize(&someMutexes), CKR_ARGUMENTS_BAD);
    EXPECT_EQ(p11_->C_Initialize(nullptr), CKR_OK);
    EXPECT_EQ(p11_->C_Initialize(nullptr), CKR_CRYPTOKI_ALREADY_INITIALIZED);
}

}  // namespace
}  // namespace keyhold_test
