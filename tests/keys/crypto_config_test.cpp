// The key store works from OpenSSL's built-in provider and never reads the
// system's openssl.cnf: a configuration that breaks OpenSSL's default start
// (here, a provider that cannot be loaded, with diagnostics on) must not reach
// it. Its own executable, so that nothing has started OpenSSL before the test.
#include <cstdio>
#include <cstdlib>
#include <string>

#include <gtest/gtest.h>
#include <wincrypt.h>

#include "run_program.h"

namespace {

TEST(CryptoConfig, StoreIgnoresABrokenSystemConfiguration) {
    keyhold_test::TempDir dir;
    const std::string conf = dir / "broken.cnf";
    FILE* file = std::fopen(conf.c_str(), "w");
    ASSERT_NE(file, nullptr);
    std::fputs("config_diagnostics = 1\nopenssl_conf = init\n[init]\nproviders = providers\n"
               "[providers]\nmissing = missing\n[missing]\nactivate = 1\n",
               file);
    std::fclose(file);
    setenv("OPENSSL_CONF", conf.c_str(), 1);
    setenv("KEYHOLD_ROOT", (dir / "root").c_str(), 1);

    HCRYPTPROV prov = 0;
    ASSERT_TRUE(CryptAcquireContextA(&prov, "config", nullptr, PROV_RSA_FULL, CRYPT_NEWKEYSET))
        << std::hex << GetLastError();
    HCRYPTKEY key = 0;
    ASSERT_TRUE(CryptGenKey(prov, AT_KEYEXCHANGE, (1024u << 16) | CRYPT_EXPORTABLE, &key)) << std::hex
                                                                                            << GetLastError();
    DWORD length = 0;
    EXPECT_TRUE(CryptExportKey(key, 0, PRIVATEKEYBLOB, 0, nullptr, &length));
    EXPECT_GT(length, 0u);
    CryptDestroyKey(key);
    CryptReleaseContext(prov, 0);

    // And a second open finds it under the same file name.
    ASSERT_TRUE(CryptAcquireContextA(&prov, "config", nullptr, PROV_RSA_FULL, 0)) << std::hex << GetLastError();
    CryptReleaseContext(prov, 0);
}

}  // namespace
