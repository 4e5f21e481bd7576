// The module inside another program leaves that program as it was: OpenSSL's
// configuration still loads once the host asks for it, and the process stays
// dumpable with its signal handling untouched. Its own executable, so that
// nothing has started OpenSSL before.
#include <signal.h>
#include <sys/prctl.h>

#include <cstdio>

#include <openssl/crypto.h>
#include <openssl/evp.h>

#include "module_fixture.h"

namespace keyhold_test {
namespace {

TEST(Pkcs11Host, LeavesTheHostAsItWas) {
    TempDir dir;
    // A configuration with a visible effect once loaded: the host's own
    // later start of OpenSSL must still load it.
    const std::string conf = dir / "host.cnf";
    FILE* file = std::fopen(conf.c_str(), "w");
    ASSERT_NE(file, nullptr);
    std::fputs("openssl_conf = init\n[init]\nalg_section = algorithms\n[algorithms]\ndefault_properties = fips=yes\n",
               file);
    std::fclose(file);
    setenv("OPENSSL_CONF", conf.c_str(), 1);
    setenv("KEYHOLD_ROOT", (dir / "root").c_str(), 1);
    struct sigaction before[NSIG] = {};
    for (int sig = 1; sig < NSIG; ++sig) sigaction(sig, nullptr, &before[sig]);

    CK_FUNCTION_LIST_3_0* p11 = LoadModule();
    ASSERT_NE(p11, nullptr);
    // As GnuTLS and p11-kit start a module: no threads of its own.
    CK_C_INITIALIZE_ARGS args{};
    args.flags = CKF_OS_LOCKING_OK | CKF_LIBRARY_CANT_CREATE_OS_THREADS;
    ASSERT_EQ(p11->C_Initialize(&args), CKR_OK);
    CK_SESSION_HANDLE session = 0;
    ASSERT_EQ(p11->C_OpenSession(0, CKF_SERIAL_SESSION | CKF_RW_SESSION, nullptr, nullptr, &session), CKR_OK);
    // A search by label is the store's first OpenSSL call (the file name's hash).
    char label[] = "host";
    CK_ATTRIBUTE byLabel{CKA_LABEL, label, 4};
    CK_OBJECT_HANDLE found = 0;
    CK_ULONG count = 0;
    ASSERT_EQ(p11->C_FindObjectsInit(session, &byLabel, 1), CKR_OK);
    ASSERT_EQ(p11->C_FindObjects(session, &found, 1, &count), CKR_OK);
    ASSERT_EQ(p11->C_FindObjectsFinal(session), CKR_OK);
    CK_ULONG bits = 1024;
    CK_ATTRIBUTE bitsAttribute{CKA_MODULUS_BITS, &bits, sizeof bits};
    CK_MECHANISM gen{CKM_RSA_PKCS_KEY_PAIR_GEN, nullptr, 0};
    CK_OBJECT_HANDLE pub = 0, priv = 0;
    ASSERT_EQ(p11->C_GenerateKeyPair(session, &gen, &bitsAttribute, 1, nullptr, 0, &pub, &priv), CKR_OK);
    CK_MECHANISM sign{CKM_SHA256_RSA_PKCS_PSS, nullptr, 0};
    CK_RSA_PKCS_PSS_PARAMS pss{CKM_SHA256, CKG_MGF1_SHA256, 32};
    sign.pParameter = &pss;
    sign.ulParameterLen = sizeof pss;
    unsigned char data[10] = {}, signature[128];
    CK_ULONG length = sizeof signature;
    ASSERT_EQ(p11->C_SignInit(session, &sign, priv), CKR_OK);
    ASSERT_EQ(p11->C_Sign(session, data, sizeof data, signature, &length), CKR_OK);

    EXPECT_EQ(prctl(PR_GET_DUMPABLE), 1);
    for (int sig = 1; sig < NSIG; ++sig) {
        struct sigaction now {};
        sigaction(sig, nullptr, &now);
        EXPECT_EQ(now.sa_handler, before[sig].sa_handler) << sig;
    }
    ASSERT_EQ(OPENSSL_init_crypto(OPENSSL_INIT_LOAD_CONFIG, nullptr), 1);
    EXPECT_EQ(EVP_default_properties_is_fips_enabled(nullptr), 1) << "the host's configuration was not loaded";
    EXPECT_EQ(p11->C_Finalize(nullptr), CKR_OK);
}

}  // namespace
}  // namespace keyhold_test
