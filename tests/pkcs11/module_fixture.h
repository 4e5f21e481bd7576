// The PKCS#11 module as a program loads it (dlopen, C_GetInterface), over a
// throw-away key store that the store's own functions fill, and OpenSSL on
// the test's side to check what the module signs and encrypts.
#ifndef KEYHOLD_TESTS_PKCS11_MODULE_FIXTURE_H
#define KEYHOLD_TESTS_PKCS11_MODULE_FIXTURE_H

#include <dlfcn.h>
#include <stdlib.h>

#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <wincrypt.h>

#include "cryptoki.h"
#include "run_program.h"

namespace keyhold_test {

using Bytes = std::vector<unsigned char>;

inline CK_FUNCTION_LIST_3_0* LoadModule() {
    void* module = dlopen(KEYHOLD_PKCS11_MODULE, RTLD_NOW | RTLD_LOCAL);
    if (module == nullptr) return nullptr;
    auto getInterface = reinterpret_cast<CK_C_GetInterface>(dlsym(module, "C_GetInterface"));
    CK_INTERFACE* interface = nullptr;
    if (getInterface == nullptr || getInterface(nullptr, nullptr, &interface, 0) != CKR_OK) return nullptr;
    return static_cast<CK_FUNCTION_LIST_3_0*>(interface->pFunctionList);
}

// A key pair made by the store itself, through the CryptoAPI functions, and
// its public key as the store exports it.
struct StoreKey {
    std::string container;
    DWORD spec = AT_KEYEXCHANGE;
    EVP_PKEY* publicKey = nullptr;
};

inline bool MakeStoreKey(const std::string& container, DWORD spec, DWORD bits, bool exportable, bool machine,
                         EVP_PKEY** publicKey) {
    HCRYPTPROV prov = 0;
    const DWORD area = machine ? CRYPT_MACHINE_KEYSET : 0;
    if (!CryptAcquireContextA(&prov, container.c_str(), nullptr, PROV_RSA_FULL, area) &&
        !CryptAcquireContextA(&prov, container.c_str(), nullptr, PROV_RSA_FULL, area | CRYPT_NEWKEYSET))
        return false;
    HCRYPTKEY key = 0;
    bool made = CryptGenKey(prov, spec, bits << 16 | (exportable ? CRYPT_EXPORTABLE : 0), &key);
    DWORD length = 0;
    made = made && CryptExportKey(key, 0, PUBLICKEYBLOB, 0, nullptr, &length);
    std::vector<BYTE> blob(length);
    made = made && CryptExportKey(key, 0, PUBLICKEYBLOB, 0, blob.data(), &length);
    if (key != 0) CryptDestroyKey(key);
    CryptReleaseContext(prov, 0);
    if (made && publicKey != nullptr) {
        const unsigned char* cursor = blob.data();
        *publicKey = b2i_PublicKey(&cursor, static_cast<long>(length));
        made = *publicKey != nullptr;
    }
    return made;
}

inline bool DeleteContainer(const std::string& container) {
    HCRYPTPROV prov = 0;
    return CryptAcquireContextA(&prov, container.c_str(), nullptr, PROV_RSA_FULL, CRYPT_DELETEKEYSET);
}

// One module, initialised, with the key store in a temporary root for the
// whole test program.
class ModuleTest : public ::testing::Test {
public:
    static void SetUpTestSuite() {
        root_ = new TempDir();
        setenv("KEYHOLD_ROOT", root_->path().c_str(), 1);
        p11_ = LoadModule();
        ASSERT_NE(p11_, nullptr) << dlerror();
        ASSERT_EQ(p11_->C_Initialize(nullptr), CKR_OK);
    }
    static void TearDownTestSuite() {
        if (p11_ != nullptr) p11_->C_Finalize(nullptr);
        delete root_;
        root_ = nullptr;
    }

protected:
    CK_SESSION_HANDLE Open(CK_SLOT_ID slot = 0, bool readWrite = false) {
        CK_SESSION_HANDLE session = 0;
        const CK_FLAGS flags = CKF_SERIAL_SESSION | (readWrite ? CKF_RW_SESSION : 0);
        EXPECT_EQ(p11_->C_OpenSession(slot, flags, nullptr, nullptr, &session), CKR_OK);
        return session;
    }

    std::vector<CK_OBJECT_HANDLE> Find(CK_SESSION_HANDLE session, std::vector<CK_ATTRIBUTE> attributes) {
        std::vector<CK_OBJECT_HANDLE> found(64);
        CK_ULONG count = 0;
        EXPECT_EQ(p11_->C_FindObjectsInit(session, attributes.data(), attributes.size()), CKR_OK);
        EXPECT_EQ(p11_->C_FindObjects(session, found.data(), found.size(), &count), CKR_OK);
        EXPECT_EQ(p11_->C_FindObjectsFinal(session), CKR_OK);
        found.resize(count);
        return found;
    }

    // The one object of `container` of that class (and key kind: CKA_DECRYPT
    // or CKA_ENCRYPT true for the exchange key), or 0.
    CK_OBJECT_HANDLE FindKey(CK_SESSION_HANDLE session, const std::string& container, CK_OBJECT_CLASS cls,
                             bool exchange = true) {
        CK_BBOOL yes = exchange ? CK_TRUE : CK_FALSE;
        const CK_ATTRIBUTE_TYPE usage = cls == CKO_PRIVATE_KEY ? CKA_DECRYPT : CKA_ENCRYPT;
        const auto found = Find(session, {{CKA_LABEL, const_cast<char*>(container.data()), container.size()},
                                          {CKA_CLASS, &cls, sizeof cls},
                                          {usage, &yes, sizeof yes}});
        return found.size() == 1 ? found[0] : 0;
    }

    Bytes Attribute(CK_SESSION_HANDLE session, CK_OBJECT_HANDLE object, CK_ATTRIBUTE_TYPE type) {
        CK_ATTRIBUTE a{type, nullptr, 0};
        if (p11_->C_GetAttributeValue(session, object, &a, 1) != CKR_OK) return {};
        Bytes value(a.ulValueLen);
        a.pValue = value.data();
        EXPECT_EQ(p11_->C_GetAttributeValue(session, object, &a, 1), CKR_OK);
        return value;
    }

    CK_RV Sign(CK_SESSION_HANDLE session, CK_MECHANISM mechanism, CK_OBJECT_HANDLE key, const Bytes& data,
               Bytes& signature) {
        CK_RV rv = p11_->C_SignInit(session, &mechanism, key);
        if (rv != CKR_OK) return rv;
        CK_ULONG length = 0;
        rv = p11_->C_Sign(session, const_cast<unsigned char*>(data.data()), data.size(), nullptr, &length);
        if (rv != CKR_OK) return rv;
        signature.resize(length);
        rv = p11_->C_Sign(session, const_cast<unsigned char*>(data.data()), data.size(), signature.data(), &length);
        signature.resize(length);
        return rv;
    }

    static TempDir* root_;
    static CK_FUNCTION_LIST_3_0* p11_;
};

inline TempDir* ModuleTest::root_ = nullptr;
inline CK_FUNCTION_LIST_3_0* ModuleTest::p11_ = nullptr;

}  // namespace keyhold_test

#endif
