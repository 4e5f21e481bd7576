// Tessaro and Morbeck end to end, and the road of a key from one container to
// another through a key blob file.
#include <gtest/gtest.h>

#include "transfer_support.h"

using namespace transfer_test;

namespace {

const std::string kBadKeyset = ErrorLinePattern(0x80090016);
const std::string kNoKey = ErrorLinePattern(0x8009000D);

// What the openssl command line makes of a key blob file.
RunResult OpenSsl(const Sandbox& box, const std::vector<std::string>& args) {
    return box.Run("/usr/bin/openssl", args);
}

// The public key blob the store now holds for a container.
std::string StoredPublicBlob(const Sandbox& box, const std::string& container) {
    const std::string name = container + ".stored.pub";
    const RunResult r = box.Run("Faldren", {"/N:" + container, "/F:" + name});
    EXPECT_EQ(r.status, 0) << r.out;
    return ReadBytes(box.File(name));
}

// Vandrel's report of a 2048-bit exchange key with exponent 65537.
std::string ExpectedReport(const std::string& container, bool exportable) {
    std::string r = "Container Name=" + container + "\n";
    r += "KP_ALGID: Key algorithm\n\t0xA400 CALG_RSA_KEYX\n";
    r += "KP_BLOCKLEN: Block size of the cipher\n\t2048 [0x00000800]\n";
    r += "KP_KEYLEN: Length of key in bits\n\t2048 [0x00000800]\n";
    r += "KP_PADDING: Padding values\n\tPKCS5_PADDING [ 1]\n";
    r += "KP_PERMISSIONS: Key permissions\n";
    r += exportable ? "\t63 [0x0000003F]\n" : "\t59 [0x0000003B]\n";
    r += "\t0x0001 CRYPT_ENCRYPT ... Allow encryption\n";
    r += "\t0x0002 CRYPT_DECRYPT ... Allow decryption\n";
    if (exportable) r += "\t0x0004 CRYPT_EXPORT ... Allow key to be exported\n";
    r += "\t0x0008 CRYPT_READ ... Allow parameters to be read\n";
    r += "\t0x0010 CRYPT_WRITE ... Allow parameters to be set\n";
    r += "\t0x0020 CRYPT_MAC ... Allow MACs to be used with key\n";
    r += "KP_PUB_EX_LEN: public exponent length. [bit] ... not supported in Crypto API.\n";
    r += "\t17 [0x00000011]\n";
    r += "KP_PUB_EX_VAL: public exponent value. ... not supported in Crypto API.\n";
    r += "\t65537 [0x00010001]\n";
    r += "\t0x 01 00 01 (little endian) \n";
    return r;
}

TEST(TransferRoad, KeyPairTravelsUnchangedBetweenContainers) {
    Sandbox box;
    RunResult r = box.Run("Morbeck", {"/N:Old", "/X", "/L:2048", "/E:3"});
    EXPECT_TRUE(Matches(r.out, kTimeLine)) << r.out;
    EXPECT_EQ(r.status, 0);

    r = box.Run("Faldren", {"/K:7", "/F:pair.key", "/N:Old"});
    EXPECT_EQ(r.out, "Export file[pair.key] succeeded.\n");
    EXPECT_EQ(r.status, 0);

    r = box.Run("Ombrix", {"/F:pair.key", "/N:New", "/X"});
    EXPECT_EQ(r.out, "Import file[pair.key] succeeded.\n");
    EXPECT_EQ(r.status, 0);

    r = box.Run("Faldren", {"/K:7", "/F:again.key", "/N:New"});
    EXPECT_EQ(r.out, "Export file[again.key] succeeded.\n");
    EXPECT_EQ(r.status, 0);

    const std::string pair = ReadBytes(box.File("pair.key"));
    EXPECT_EQ(pair, ReadBytes(box.File("again.key")));
    const BlobView view = ViewBlob(pair);
    EXPECT_EQ(view.type, 7);
    EXPECT_EQ(view.version, 2);
    EXPECT_EQ(view.algorithm, 0xA400u);
    EXPECT_EQ(view.magic, kRsa2);
    EXPECT_EQ(view.bitLength, 2048u);
    EXPECT_EQ(view.exponent, 3u);
    // Header, then n, p, q, dp, dq, iq and d.
    EXPECT_EQ(pair.size(), 20u + 256 + 5 * 128 + 256);

    r = OpenSsl(box, {"rsa", "-inform", "MSBLOB", "-in", "pair.key", "-check", "-noout"});
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_EQ(r.out, "RSA key ok\n");

    if (HaveProgram("Vandrel")) {
        r = box.Run("Vandrel", {"/N:New"});
        EXPECT_NE(r.out.find("\t2 [0x00000002]\n"), std::string::npos) << r.out;
        EXPECT_NE(r.out.find("\t0x 03 (little endian) \n"), std::string::npos) << r.out;
    }
}

TEST(Tessaro, GeneratesANonExportableKeyPair) {
    Sandbox box;
    RunResult r = box.Run("Tessaro", {"/N:T"});
    EXPECT_TRUE(Matches(r.out, kTimeLine)) << r.out;
    EXPECT_EQ(r.status, 0);

    r = box.Run("Faldren", {"/K:7", "/F:priv.key", "/N:T"});
    EXPECT_TRUE(Matches(r.out, ErrorLinePattern(0x8009000B))) << r.out;
    EXPECT_EQ(r.status, 1);
    EXPECT_FALSE(Exists(box.File("priv.key")));

    const BlobView pub = ViewBlob(StoredPublicBlob(box, "T"));
    EXPECT_EQ(pub.type, 6);
    EXPECT_EQ(pub.magic, kRsa1);
    EXPECT_EQ(pub.bitLength, 2048u);
    EXPECT_EQ(pub.exponent, 65537u);

    if (HaveProgram("Vandrel")) {
        r = box.Run("Vandrel", {"/N:T"});
        EXPECT_EQ(r.out, ExpectedReport("T", false));
        EXPECT_EQ(r.status, 0);
    }
}

TEST(Tessaro, ExportableKeyPairCanLeaveTheStore) {
    Sandbox box;
    RunResult r = box.Run("Tessaro", {"/N:TX", "/X", "/L:2048"});
    EXPECT_TRUE(Matches(r.out, kTimeLine)) << r.out;
    EXPECT_EQ(r.status, 0);

    r = box.Run("Faldren", {"/K:7", "/N:TX", "/F:priv.key"});
    EXPECT_EQ(r.out, "Export file[priv.key] succeeded.\n");
    EXPECT_EQ(r.status, 0);
    r = OpenSsl(box, {"rsa", "-inform", "MSBLOB", "-in", "priv.key", "-check", "-noout"});
    EXPECT_EQ(r.out, "RSA key ok\n") << r.err;

    if (HaveProgram("Vandrel")) {
        r = box.Run("Vandrel", {"/N:TX"});
        EXPECT_EQ(r.out, ExpectedReport("TX", true));
    }
}

TEST(Tessaro, KeyLengthReachesTheStoreInSixteenBits) {
    Sandbox box;
    struct Case {
        const char* length;
        uint32_t bits;
    } cases[] = {{"/L:4096", 4096}, {"/L:0", 2048}, {"/L:65536", 2048}, {"/L:1000", 1000}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.length);
        const std::string name = std::string("K") + (c.length + 3);
        const RunResult r = box.Run("Tessaro", {"/N:" + name, c.length});
        EXPECT_TRUE(Matches(r.out, kTimeLine)) << r.out;
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(ViewBlob(StoredPublicBlob(box, name)).bitLength, c.bits);
    }
}

TEST(Tessaro, RefusedLengthKeepsTheNewEmptyContainer) {
    Sandbox box;
    const RunResult r = box.Run("Tessaro", {"/N:Odd", "/L:1004", "/F:odd.pub"});
    EXPECT_TRUE(Matches(r.out, ErrorLinePattern(0x80090009))) << r.out;
    EXPECT_EQ(r.status, 1);
    EXPECT_FALSE(Exists(box.File("odd.pub")));
    const RunResult f = box.Run("Faldren", {"/N:Odd"});
    EXPECT_TRUE(Matches(f.out, kNoKey)) << f.out;
}

TEST(Tessaro, PublicKeyFileHoldsTheStoredKey) {
    Sandbox box;
    RunResult r = box.Run("Tessaro", {"/N:P", "/L:1024", "/F:t.pub"});
    EXPECT_TRUE(Matches(r.out, kTimeLine)) << r.out;
    EXPECT_EQ(r.status, 0);

    const std::string file = ReadBytes(box.File("t.pub"));
    EXPECT_EQ(file, StoredPublicBlob(box, "P"));
    const BlobView view = ViewBlob(file);
    EXPECT_EQ(view.type, 6);
    EXPECT_EQ(file.size(), 20u + 128);

    r = OpenSsl(box, {"rsa", "-pubin", "-inform", "MSBLOB", "-in", "t.pub", "-noout", "-modulus"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "Modulus=" + view.modulusHex + "\n");
}

TEST(Tessaro, UnwritableFileIsAFailureButTheKeyStays) {
    Sandbox box;
    const RunResult r = box.Run("Tessaro", {"/N:M", "/L:1024", "/F:nodir/t.pub"});
    EXPECT_TRUE(Matches(r.out, kTimeLine + ErrorLinePattern(3))) << r.out;
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(ViewBlob(StoredPublicBlob(box, "M")).bitLength, 1024u);
}

TEST(Tessaro, ContainerThatCannotBeOpenedIsAFailure) {
    Sandbox box;
    const RunResult r = box.Run("Tessaro", {"/N:", "/L:1024"});
    EXPECT_TRUE(Matches(r.out, ErrorLinePattern(0x8009001F))) << r.out;
    EXPECT_EQ(r.status, 1);
}

TEST(Morbeck, PublicKeyFileHasTheChosenExponentAndTheImportedModulus) {
    Sandbox box;
    const RunResult r = box.Run("Morbeck", {"/N:E3", "/L:1024", "/E:3", "/F:m.pub"});
    EXPECT_TRUE(Matches(r.out, kTimeLine)) << r.out;
    EXPECT_EQ(r.status, 0);
    const std::string file = ReadBytes(box.File("m.pub"));
    const BlobView view = ViewBlob(file);
    EXPECT_EQ(view.type, 6);
    EXPECT_EQ(view.magic, kRsa1);
    EXPECT_EQ(view.bitLength, 1024u);
    EXPECT_EQ(view.exponent, 3u);
    EXPECT_EQ(file, StoredPublicBlob(box, "E3"));

    // Not exportable without /X.
    const RunResult f = box.Run("Faldren", {"/N:E3", "/K:7"});
    EXPECT_TRUE(Matches(f.out, ErrorLinePattern(0x8009000B))) << f.out;
}

// Every length and exponent gets what RSA_generate_key itself gives: a key of
// that length and exponent, or OpenSSL's own text for the earliest error.
TEST(Morbeck, AnswersAsRsaGenerateKeyDoes) {
    Sandbox box;
    const std::string reference = std::string(KEYHOLD_BIN_DIR) + "/rsa_generate_key_reference";
    for (const char* length : {"-5", "0", "100", "511", "512", "1025"}) {
        for (const char* exponent : {"0", "1", "2", "3", "4", "65537"}) {
            SCOPED_TRACE(std::string(length) + " " + exponent);
            const RunResult expected = RunProgram(reference, {length, exponent});
            const std::string name = std::string(length) + "," + exponent;
            const RunResult r = box.Run("Morbeck", {"/N:" + name, std::string("/L:") + length,
                                                    std::string("/E:") + exponent, "/F:k.pub"});
            ASSERT_TRUE(Matches(r.out, kTimeLine + ".*")) << r.out;
            EXPECT_EQ(box.HasContainer(name), expected.status == 0);
            if (expected.status != 0) {
                EXPECT_EQ(r.out.substr(r.out.find('\n') + 1), expected.out);
                EXPECT_EQ(r.status, 1);
                continue;
            }
            // OpenSSL made the key; the store takes whole bytes only.
            if (std::atoi(length) % 8 != 0) {
                EXPECT_TRUE(Matches(r.out, kTimeLine + ErrorLinePattern(0x80090005))) << r.out;
                continue;
            }
            EXPECT_EQ(r.out.substr(r.out.find('\n') + 1), "");
            EXPECT_EQ(r.status, 0);
            // The public blob's RSAPUBKEY: bit length at 12, exponent at 16.
            const std::string blob = ReadBytes(box.File("k.pub"));
            ASSERT_GE(blob.size(), 20u);
            auto u32 = [&](std::size_t at) {
                return (unsigned long)(unsigned char)blob[at] | (unsigned long)(unsigned char)blob[at + 1] << 8 |
                       (unsigned long)(unsigned char)blob[at + 2] << 16 | (unsigned long)(unsigned char)blob[at + 3] << 24;
            };
            EXPECT_EQ(u32(12), std::strtoul(length, nullptr, 10));
            EXPECT_EQ(u32(16), std::strtoul(exponent, nullptr, 10));
        }
    }
}

TEST(Morbeck, LengthsBeyondOpenSslsCeilingAreRefusedFirst) {
    Sandbox box;
    // Above OpenSSL's ceiling the generation would run for hours.
    const RunResult big = box.Run("Morbeck", {"/N:Bad", "/L:20000", "/F:big.pub"});
    EXPECT_TRUE(Matches(big.out, kTimeLine + "RSA_generate_key: Error=[^\n]*16384[^\n]*\n")) << big.out;
    EXPECT_EQ(big.status, 1);
    EXPECT_FALSE(box.HasContainer("Bad"));
    EXPECT_FALSE(Exists(box.File("big.pub")));
}

TEST(Morbeck, KeyTheStoreRefusesLeavesTheCreatedContainer) {
    Sandbox box;
    // OpenSSL makes a 516-bit key, but blobs come in whole bytes.
    const RunResult r = box.Run("Morbeck", {"/N:Odd", "/L:516", "/F:odd.pub"});
    EXPECT_TRUE(Matches(r.out, kTimeLine + ErrorLinePattern(0x80090005))) << r.out;
    EXPECT_EQ(r.status, 1);
    EXPECT_FALSE(Exists(box.File("odd.pub")));
    const RunResult f = box.Run("Faldren", {"/N:Odd"});
    EXPECT_TRUE(Matches(f.out, kNoKey)) << f.out;
}

TEST(Morbeck, UnwritableFileFailsAfterTheImport) {
    Sandbox box;
    const RunResult r = box.Run("Morbeck", {"/N:W", "/L:1024", "/X", "/F:"});
    EXPECT_TRUE(Matches(r.out, kTimeLine + ErrorLinePattern(3))) << r.out;
    EXPECT_EQ(r.status, 1);
    const RunResult f = box.Run("Faldren", {"/N:W", "/K:7"});
    EXPECT_EQ(f.out, "Export file[Virtual Test] succeeded.\n");
}

}  // namespace
