// Vandrel run against a temporary key store.
#include "program_test_support.h"

namespace keyhold_test {
namespace {

// A container with a new exchange key pair of the store's making.
void CreateKeyedContainer(const char* name, bool exportable, bool machine = false, DWORD type = PROV_RSA_FULL,
                          DWORD bits = 2048) {
    HCRYPTPROV context = 0;
    ASSERT_TRUE(CryptAcquireContextA(&context, name, nullptr, type, CRYPT_NEWKEYSET | AreaFlag(machine)))
        << std::hex << GetLastError();
    HCRYPTKEY key = 0;
    const BOOL made = CryptGenKey(context, AT_KEYEXCHANGE, (bits << 16) | (exportable ? CRYPT_EXPORTABLE : 0), &key);
    const DWORD error = GetLastError();
    if (made) CryptDestroyKey(key);
    CryptReleaseContext(context, 0);
    ASSERT_TRUE(made) << "CryptGenKey failed: " << std::hex << error;
}

std::string KeyReport(DWORD bits, bool exportable) {
    char length[64];
    snprintf(length, sizeof length, "\t%u [0x%08X]\n", (unsigned)bits, (unsigned)bits);
    std::string text = std::string("KP_ALGID: Key algorithm\n"
                                   "\t0xA400 CALG_RSA_KEYX\n"
                                   "KP_BLOCKLEN: Block size of the cipher\n") +
                       length + "KP_KEYLEN: Length of key in bits\n" + length +
                       "KP_PADDING: Padding values\n"
                       "\tPKCS5_PADDING [ 1]\n"
                       "KP_PERMISSIONS: Key permissions\n";
    text += exportable ? "\t63 [0x0000003F]\n" : "\t59 [0x0000003B]\n";
    text += "\t0x0001 CRYPT_ENCRYPT ... Allow encryption\n"
            "\t0x0002 CRYPT_DECRYPT ... Allow decryption\n";
    if (exportable) text += "\t0x0004 CRYPT_EXPORT ... Allow key to be exported\n";
    text += "\t0x0008 CRYPT_READ ... Allow parameters to be read\n"
            "\t0x0010 CRYPT_WRITE ... Allow parameters to be set\n"
            "\t0x0020 CRYPT_MAC ... Allow MACs to be used with key\n"
            "KP_PUB_EX_LEN: public exponent length. [bit] ... not supported in Crypto API.\n"
            "\t17 [0x00000011]\n"
            "KP_PUB_EX_VAL: public exponent value. ... not supported in Crypto API.\n"
            "\t65537 [0x00010001]\n"
            "\t0x 01 00 01 (little endian) \n";
    return text;
}

TEST(Vandrel, ReportsAMissingContainerWithTheErrorLineAndCreatesNothing) {
    Store store;
    for (const std::vector<std::string>& args :
         {std::vector<std::string>{"/N:Missing"}, {}, {"/N:Missing", "/M"}, {"/P:24", "/N:Missing"}}) {
        const RunResult r = store.run("Vandrel", args);
        EXPECT_TRUE(IsErrorLine(r.out, NTE_BAD_KEYSET)) << r.out;
        EXPECT_EQ(r.err, "");
        EXPECT_EQ(r.status, 1);
    }
    EXPECT_FALSE(ContainerExists("Missing"));
    EXPECT_FALSE(ContainerExists("Missing", true));
    EXPECT_FALSE(ContainerExists(nullptr));
}

TEST(Vandrel, RefusedProviderTypesAndEmptyNamesGiveTheErrorLine) {
    Store store;
    CreateContainer("Box");
    const RunResult type = store.run("Vandrel", {"/P:abc", "/N:Box"});
    EXPECT_TRUE(IsErrorLine(type.out, NTE_BAD_PROV_TYPE)) << type.out;
    EXPECT_EQ(type.status, 1);
    const RunResult empty = store.run("Vandrel", {"/N:"});
    EXPECT_TRUE(IsErrorLine(empty.out, NTE_BAD_KEYSET_PARAM)) << empty.out;
    EXPECT_EQ(empty.status, 1);
}

TEST(Vandrel, ReportsAContainerWithoutExchangeKey) {
    Store store;
    CreateContainer("Empty");
    const RunResult r = store.run("Vandrel", {"/N:Empty"});
    const std::string name = "Container Name=Empty\n";
    ASSERT_EQ(r.out.substr(0, name.size()), name);
    EXPECT_TRUE(IsErrorLine(r.out.substr(name.size()), NTE_NO_KEY)) << r.out;
    EXPECT_EQ(r.status, 1);
}

TEST(Vandrel, ReportsTheWholeKey) {
    Store store;
    CreateKeyedContainer("Kept", false);
    const RunResult r = store.run("Vandrel", {"/N:Kept"});
    EXPECT_EQ(r.out, "Container Name=Kept\n" + KeyReport(2048, false));
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.status, 0);
}

TEST(Vandrel, ShowsTheExportPermissionOfAnExportableKey) {
    Store store;
    CreateKeyedContainer("Test Provider", true, true, PROV_RSA_AES, 1024);
    const RunResult r = store.run("Vandrel", {"/P:24", "/N:Test Provider", "/M"});
    EXPECT_EQ(r.out, "Container Name=Test Provider\n" + KeyReport(1024, true));
    EXPECT_EQ(r.status, 0);
    // Only in the machine area.
    const RunResult user = store.run("Vandrel", {"/P:24", "/N:Test Provider"});
    EXPECT_TRUE(IsErrorLine(user.out, NTE_BAD_KEYSET)) << user.out;
}

TEST(Vandrel, ReportsTheDefaultContainerWithoutArguments) {
    Store store;
    CreateKeyedContainer(nullptr, false);
    const RunResult r = store.run("Vandrel", {});
    EXPECT_EQ(r.out, "Container Name=" + DefaultContainerName() + "\n" + KeyReport(2048, false));
    EXPECT_EQ(r.status, 0);
}

// A name that does not fit the 1024-byte buffer: the error line takes the
// name line's place and the key report follows.
TEST(Vandrel, GoesOnAfterANameTooLongForItsBuffer) {
    Store store;
    const std::string name(1500, 'n');  // as an earlier version made it
    ASSERT_TRUE(PlantLegacyContainer(name));
    HCRYPTPROV context = 0;
    ASSERT_TRUE(CryptAcquireContextA(&context, name.c_str(), nullptr, PROV_RSA_FULL, 0));
    HCRYPTKEY key = 0;
    ASSERT_TRUE(CryptGenKey(context, AT_KEYEXCHANGE, 2048u << 16, &key));
    CryptDestroyKey(key);
    CryptReleaseContext(context, 0);
    const RunResult r = store.run("Vandrel", {"/N:" + name});
    const auto firstLineEnd = r.out.find('\n');
    ASSERT_NE(firstLineEnd, std::string::npos);
    EXPECT_TRUE(IsErrorLine(r.out.substr(0, firstLineEnd + 1), ERROR_MORE_DATA)) << r.out.substr(0, 200);
    EXPECT_EQ(r.out.substr(firstLineEnd + 1), KeyReport(2048, false));
    EXPECT_EQ(r.status, 1);
}

}  // namespace
}  // namespace keyhold_test
