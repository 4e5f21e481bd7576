// Vandrel's key report against a key whose parameters the test chooses: the
// key store functions the report calls are defined here.
#include <gtest/gtest.h>

#include <string.h>

#include <map>
#include <regex>
#include <string>
#include <vector>

#include "key_parameters.h"

namespace {

const HCRYPTKEY kKey = 0x5150;

struct FakeKey {
    std::map<DWORD, DWORD> values;              // single-value parameters
    std::map<DWORD, std::vector<BYTE>> data;    // KP_IV, KP_SALT
    std::map<DWORD, bool> dataQueryFails;       // the size query works, the data query not
    std::map<DWORD, CRYPT_DATA_BLOB> records;   // KP_SALT_EX, KP_OAEP_PARAMS
    std::vector<BYTE> blob;                     // the PUBLICKEYBLOB export
    DWORD exportError = 0;                      // non-zero: the export fails with it
    bool exportSizeQueryFails = false;          // at the size query, else at the export
};

FakeKey g_key;

void Fail(DWORD code) { SetLastError(code); }

}  // namespace

extern "C" BOOL CryptGetKeyParam(HCRYPTKEY hKey, DWORD dwParam, BYTE* pbData, DWORD* pdwDataLen,
                                 DWORD dwFlags) {
    if (hKey != kKey || pdwDataLen == nullptr) return Fail(NTE_BAD_KEY), FALSE;
    if (dwFlags != 0) return Fail(NTE_BAD_FLAGS), FALSE;
    if (auto v = g_key.values.find(dwParam); v != g_key.values.end()) {
        EXPECT_EQ(*pdwDataLen, 4u) << "single value " << dwParam << " queried with another length";
        if (pbData == nullptr) return *pdwDataLen = 4, TRUE;
        if (*pdwDataLen < 4) return *pdwDataLen = 4, Fail(ERROR_MORE_DATA), FALSE;
        memcpy(pbData, &v->second, 4);
        *pdwDataLen = 4;
        return TRUE;
    }
    if (auto d = g_key.data.find(dwParam); d != g_key.data.end()) {
        const DWORD size = static_cast<DWORD>(d->second.size());
        if (pbData == nullptr) return *pdwDataLen = size, TRUE;
        if (g_key.dataQueryFails[dwParam]) return Fail(NTE_FAIL), FALSE;
        if (*pdwDataLen < size) return *pdwDataLen = size, Fail(ERROR_MORE_DATA), FALSE;
        if (size != 0) memcpy(pbData, d->second.data(), size);
        *pdwDataLen = size;
        return TRUE;
    }
    if (auto r = g_key.records.find(dwParam); r != g_key.records.end()) {
        EXPECT_NE(pbData, nullptr);
        EXPECT_EQ(*pdwDataLen, sizeof(CRYPT_DATA_BLOB));
        if (pbData == nullptr) return *pdwDataLen = sizeof(CRYPT_DATA_BLOB), TRUE;
        CRYPT_DATA_BLOB passed;
        memcpy(&passed, pbData, sizeof passed);
        EXPECT_EQ(passed.cbData, 0u) << "record not cleared before its query";
        EXPECT_EQ(passed.pbData, nullptr) << "record not cleared before its query";
        memcpy(pbData, &r->second, sizeof r->second);
        return TRUE;
    }
    return Fail(NTE_BAD_TYPE), FALSE;
}

extern "C" BOOL CryptExportKey(HCRYPTKEY hKey, HCRYPTKEY hExpKey, DWORD dwBlobType, DWORD dwFlags,
                               BYTE* pbData, DWORD* pdwDataLen) {
    EXPECT_EQ(hExpKey, 0u);
    EXPECT_EQ(dwBlobType, static_cast<DWORD>(PUBLICKEYBLOB));
    EXPECT_EQ(dwFlags, 0u);
    if (hKey != kKey || pdwDataLen == nullptr) return Fail(NTE_BAD_KEY), FALSE;
    if (g_key.exportError != 0 && (g_key.exportSizeQueryFails || pbData != nullptr))
        return Fail(g_key.exportError), FALSE;
    const DWORD size = static_cast<DWORD>(g_key.blob.size());
    if (pbData == nullptr) return *pdwDataLen = size, TRUE;
    if (*pdwDataLen < size) return *pdwDataLen = size, Fail(ERROR_MORE_DATA), FALSE;
    memcpy(pbData, g_key.blob.data(), size);
    *pdwDataLen = size;
    return TRUE;
}

namespace {

std::vector<BYTE> PublicKeyBlob(DWORD exponent) {
    std::vector<BYTE> blob = {0x06, 0x02, 0x00, 0x00, 0x00, 0xA4, 0x00, 0x00,  // BLOBHEADER
                              'R',  'S',  'A',  '1',  0x00, 0x08, 0x00, 0x00};  // magic, 2048
    for (int i = 0; i < 4; ++i) blob.push_back(static_cast<BYTE>(exponent >> (8 * i)));
    blob.resize(blob.size() + 256, 0xC5);  // modulus
    return blob;
}

// No parameters at all, only an exportable public key with exponent 65537.
FakeKey BareKey() {
    FakeKey key;
    key.blob = PublicKeyBlob(65537);
    return key;
}

const char* const kExponent65537 =
    "KP_PUB_EX_LEN: public exponent length. [bit] ... not supported in Crypto API.\n"
    "\t17 [0x00000011]\n"
    "KP_PUB_EX_VAL: public exponent value. ... not supported in Crypto API.\n"
    "\t65537 [0x00010001]\n"
    "\t0x 01 00 01 (little endian) \n";

struct Report {
    bool result;
    std::string out;
};

Report RunReport(const FakeKey& key) {
    g_key = key;
    fflush(stdout);
    testing::internal::CaptureStdout();
    const bool result = PrintKeyParameters(kKey);
    fflush(stdout);
    return {result, testing::internal::GetCapturedStdout()};
}

// The report of a key with one parameter added, minus the exponent lines.
std::string Section(const FakeKey& key) {
    const Report r = RunReport(key);
    EXPECT_TRUE(r.result);
    const std::string tail = kExponent65537;
    if (r.out.size() < tail.size() || r.out.compare(r.out.size() - tail.size(), tail.size(), tail) != 0) {
        ADD_FAILURE() << "report does not end with the exponent lines:\n" << r.out;
        return r.out;
    }
    return r.out.substr(0, r.out.size() - tail.size());
}

std::string WithValue(DWORD param, DWORD value) {
    FakeKey key = BareKey();
    key.values[param] = value;
    return Section(key);
}

TEST(KeyReport, PrintsAnRsaExchangeKeyInSectionOrder) {
    FakeKey key = BareKey();
    key.values[KP_ALGID] = CALG_RSA_KEYX;
    key.values[KP_BLOCKLEN] = 2048;
    key.values[KP_KEYLEN] = 2048;
    key.values[KP_PADDING] = PKCS5_PADDING;
    key.values[KP_MODE] = 0;
    key.values[KP_MODE_BITS] = 0;
    key.values[KP_PERMISSIONS] = 0x3F;
    const Report r = RunReport(key);
    EXPECT_TRUE(r.result);
    EXPECT_EQ(r.out, std::string("KP_ALGID: Key algorithm\n"
                                 "\t0xA400 CALG_RSA_KEYX\n"
                                 "KP_BLOCKLEN: Block size of the cipher\n"
                                 "\t2048 [0x00000800]\n"
                                 "KP_KEYLEN: Length of key in bits\n"
                                 "\t2048 [0x00000800]\n"
                                 "KP_PADDING: Padding values\n"
                                 "\tPKCS5_PADDING [ 1]\n"
                                 "KP_PERMISSIONS: Key permissions\n"
                                 "\t63 [0x0000003F]\n"
                                 "\t0x0001 CRYPT_ENCRYPT ... Allow encryption\n"
                                 "\t0x0002 CRYPT_DECRYPT ... Allow decryption\n"
                                 "\t0x0004 CRYPT_EXPORT ... Allow key to be exported\n"
                                 "\t0x0008 CRYPT_READ ... Allow parameters to be read\n"
                                 "\t0x0010 CRYPT_WRITE ... Allow parameters to be set\n"
                                 "\t0x0020 CRYPT_MAC ... Allow MACs to be used with key\n") +
                         kExponent65537);
}

TEST(KeyReport, LeavesOutEverySectionTheStoreDoesNotReport) {
    const Report r = RunReport(BareKey());
    EXPECT_TRUE(r.result);
    EXPECT_EQ(r.out, kExponent65537);
}

TEST(KeyReport, NamesAlgorithmsFromTheTableOrAsUnknown) {
    EXPECT_EQ(WithValue(KP_ALGID, 0x2400), "KP_ALGID: Key algorithm\n\t0x2400 CALG_RSA_SIGN\n");
    EXPECT_EQ(WithValue(KP_ALGID, 0x6611), "KP_ALGID: Key algorithm\n\t0x6611 CALG_AES\n");
    EXPECT_EQ(WithValue(KP_ALGID, 0xAA05), "KP_ALGID: Key algorithm\n\t0xAA05 CALG_ECDH\n");
    EXPECT_EQ(WithValue(KP_ALGID, 0x1234), "KP_ALGID: Key algorithm\n\t0x1234 ?\n");
    EXPECT_EQ(WithValue(KP_ALGID, 0), "KP_ALGID: Key algorithm\n\t0x0000 ?\n");
    EXPECT_EQ(WithValue(KP_ALGID, 0x1A400), "KP_ALGID: Key algorithm\n\t0x1A400 ?\n");
}

TEST(KeyReport, NameTablesHoldDistinctValues) {
    EXPECT_EQ(AlgIdNameCount, 46u);
    for (size_t i = 0; i < AlgIdNameCount; ++i)
        for (size_t j = i + 1; j < AlgIdNameCount; ++j) EXPECT_NE(AlgIdNames[i].value, AlgIdNames[j].value);
    EXPECT_STREQ(LookUpName(AlgIdNames, AlgIdNameCount, 0x800C), "CALG_SHA_256");
    EXPECT_STREQ(LookUpName(AlgIdNames, AlgIdNameCount, 0x4C02), "CALG_SCHANNEL_MASTER_HASH");
}

TEST(KeyReport, PrintsEveryPaddingValueZeroIncluded) {
    EXPECT_EQ(WithValue(KP_PADDING, 0), "KP_PADDING: Padding values\n\t? [ 0]\n");
    EXPECT_EQ(WithValue(KP_PADDING, 2), "KP_PADDING: Padding values\n\tRANDOM_PADDING [ 2]\n");
    EXPECT_EQ(WithValue(KP_PADDING, 3), "KP_PADDING: Padding values\n\tZERO_PADDING [ 3]\n");
    EXPECT_EQ(WithValue(KP_PADDING, 4), "KP_PADDING: Padding values\n\t? [ 4]\n");
    EXPECT_EQ(WithValue(KP_PADDING, 123), "KP_PADDING: Padding values\n\t? [123]\n");
}

TEST(KeyReport, LeavesOutModeAndFeedbackBitsOfZero) {
    EXPECT_EQ(WithValue(KP_MODE, 0), "");
    EXPECT_EQ(WithValue(KP_MODE_BITS, 0), "");
    EXPECT_EQ(WithValue(KP_MODE, 1), "KP_MODE: Mode of the cipher\n\t? [ 1]\n");
    EXPECT_EQ(WithValue(KP_MODE, 5), "KP_MODE: Mode of the cipher\n\t? [ 5]\n");
    EXPECT_EQ(WithValue(KP_MODE, 6), "KP_MODE: Mode of the cipher\n\tCRYPT_MODE_CBCI [ 6]\n");
    EXPECT_EQ(WithValue(KP_MODE, 10), "KP_MODE: Mode of the cipher\n\tCRYPT_MODE_CBCOFMI [10]\n");
    EXPECT_EQ(WithValue(KP_MODE, 11), "KP_MODE: Mode of the cipher\n\t? [11]\n");
    EXPECT_EQ(WithValue(KP_MODE_BITS, 8), "KP_MODE_BITS: Number of bits to feedback\n\t8 [0x00000008]\n");
}

TEST(KeyReport, PrintsLargeValuesAsNegativeInSignedLines) {
    EXPECT_EQ(WithValue(KP_BLOCKLEN, 0x80000000u),
              "KP_BLOCKLEN: Block size of the cipher\n\t-2147483648 [0x80000000]\n");
    EXPECT_EQ(WithValue(KP_KEYLEN, 0xFFFFFFFFu), "KP_KEYLEN: Length of key in bits\n\t-1 [0xFFFFFFFF]\n");
    EXPECT_EQ(WithValue(KP_MODE_BITS, 0xFFFFFFFEu),
              "KP_MODE_BITS: Number of bits to feedback\n\t-2 [0xFFFFFFFE]\n");
    EXPECT_EQ(WithValue(KP_KEYLEN, 0x7FFFFFFFu),
              "KP_KEYLEN: Length of key in bits\n\t2147483647 [0x7FFFFFFF]\n");
}

TEST(KeyReport, PrintsOneLinePerListedPermissionBit) {
    const std::string header = "KP_PERMISSIONS: Key permissions\n";
    EXPECT_EQ(WithValue(KP_PERMISSIONS, 0), header + "\t0 [0x00000000]\n");
    EXPECT_EQ(WithValue(KP_PERMISSIONS, 0x0200), header + "\t512 [0x00000200]\n");
    EXPECT_EQ(WithValue(KP_PERMISSIONS, 0x0080),
              header + "\t128 [0x00000080]\n\t0x0080 CRYPT_IMPORT_KEY ... Allow key to be used for importing keys\n");
    EXPECT_EQ(WithValue(KP_PERMISSIONS, 0x80000140u),
              header + "\t-2147483328 [0x80000140]\n"
                       "\t0x0040 CRYPT_EXPORT_KEY ... Allow key to be used for exporting keys\n"
                       "\t0x0100 CRYPT_ARCHIVE ... Allow key to be exported at creation only\n");
    // All nine, in table order, and nothing for the unlisted bits.
    const std::string all = WithValue(KP_PERMISSIONS, 0xFFFFFFFFu);
    std::string expected = header + "\t-1 [0xFFFFFFFF]\n";
    for (size_t i = 0; i < PermissionFlagCount; ++i) {
        char line[128];
        snprintf(line, sizeof line, "\t0x%04X %s ... %s\n", (unsigned)PermissionFlags[i].bit,
                 PermissionFlags[i].name, PermissionFlags[i].description);
        expected += line;
    }
    EXPECT_EQ(all, expected);
    EXPECT_EQ(PermissionFlagCount, 9u);
}

TEST(KeyReport, DumpsSaltOfAnySizeButOnlyANonEmptyIv) {
    FakeKey key = BareKey();
    key.data[KP_IV] = {};
    key.data[KP_SALT] = {};
    EXPECT_EQ(Section(key), "KP_SALT: Salt value\n\t0x \n");

    key.data[KP_IV] = {0x01, 0xAB};
    key.data[KP_SALT] = {0x00, 0xFF, 0x10};
    EXPECT_EQ(Section(key), "KP_IV: Initialization vector\n\t0x 01 AB \nKP_SALT: Salt value\n\t0x 00 FF 10 \n");

    // The data query failing after its size query leaves the header alone.
    key.dataQueryFails[KP_IV] = true;
    key.dataQueryFails[KP_SALT] = true;
    EXPECT_EQ(Section(key), "KP_IV: Initialization vector\nKP_SALT: Salt value\n");
}

TEST(KeyReport, PrintsDataRecords) {
    static BYTE saltBytes[] = {0xDE, 0xAD, 0x01};
    FakeKey key = BareKey();
    key.records[KP_SALT_EX] = {sizeof saltBytes, saltBytes};
    key.records[KP_OAEP_PARAMS] = {0, nullptr};
    EXPECT_EQ(Section(key),
              "KP_SALT_EX: Length of key in bits\n\t3 [0x00000003]\n\t0x DE AD 01 \n"
              "KP_OAEP_PARAMS: for setting OAEP params on RSA keys\n\t0 [0x00000000]\n\t0x \n");
    // A count without bytes: the count shows, the dump stays empty.
    key.records.erase(KP_SALT_EX);
    key.records[KP_OAEP_PARAMS] = {5, nullptr};
    EXPECT_EQ(Section(key), "KP_OAEP_PARAMS: for setting OAEP params on RSA keys\n\t5 [0x00000005]\n\t0x \n");
}

std::string ExponentLines(DWORD e) {
    FakeKey key;
    key.blob = PublicKeyBlob(e);
    const Report r = RunReport(key);
    EXPECT_TRUE(r.result);
    return r.out;
}

std::string Expected(const char* bits, const char* value, const char* dump) {
    return std::string("KP_PUB_EX_LEN: public exponent length. [bit] ... not supported in Crypto API.\n") +
           bits + "KP_PUB_EX_VAL: public exponent value. ... not supported in Crypto API.\n" + value + dump;
}

TEST(KeyReport, PrintsThePublicExponentBitLengthValueAndBytes) {
    EXPECT_EQ(ExponentLines(3), Expected("\t2 [0x00000002]\n", "\t3 [0x00000003]\n", "\t0x 03 (little endian) \n"));
    EXPECT_EQ(ExponentLines(65537), kExponent65537);
    EXPECT_EQ(ExponentLines(1u << 24),
              Expected("\t25 [0x00000019]\n", "\t16777216 [0x01000000]\n", "\t0x 00 00 00 01 (little endian) \n"));
    EXPECT_EQ(ExponentLines(0), Expected("\t0 [0x00000000]\n", "\t0 [0x00000000]\n", "\t0x (little endian) \n"));
    EXPECT_EQ(ExponentLines(0x80000000u),
              Expected("\t32 [0x00000020]\n", "\t2147483648 [0x80000000]\n", "\t0x 00 00 00 80 (little endian) \n"));
    EXPECT_EQ(ExponentLines(0xFFFFFFFFu),
              Expected("\t32 [0x00000020]\n", "\t4294967295 [0xFFFFFFFF]\n", "\t0x FF FF FF FF (little endian) \n"));
    EXPECT_EQ(ExponentLines(0x00010000u),
              Expected("\t17 [0x00000011]\n", "\t65536 [0x00010000]\n", "\t0x 00 00 01 (little endian) \n"));
    EXPECT_EQ(ExponentLines(1), Expected("\t1 [0x00000001]\n", "\t1 [0x00000001]\n", "\t0x 01 (little endian) \n"));
}

// The error line closes the report; its text is the platform's.
void ExpectEndsWithErrorLine(const Report& r, const std::string& before, const char* code) {
    EXPECT_FALSE(r.result);
    ASSERT_GE(r.out.size(), before.size());
    EXPECT_EQ(r.out.substr(0, before.size()), before);
    const std::string last = r.out.substr(before.size());
    EXPECT_TRUE(std::regex_match(last, std::regex(std::string("Error\\[") + code + "\\]=[^\n]+\n")))
        << "got: " << last;
}

TEST(KeyReport, ReportsAFailedExportWithTheErrorLine) {
    FakeKey key = BareKey();
    key.values[KP_KEYLEN] = 1024;
    key.exportError = NTE_BAD_KEY_STATE;
    key.exportSizeQueryFails = true;
    const std::string before = "KP_KEYLEN: Length of key in bits\n\t1024 [0x00000400]\n";
    ExpectEndsWithErrorLine(RunReport(key), before, "8009000b");

    key.exportSizeQueryFails = false;  // the size is known, the export itself fails
    key.exportError = NTE_BAD_KEY;
    ExpectEndsWithErrorLine(RunReport(key), before, "80090003");
}

TEST(KeyReport, RefusesABlobTooShortToHoldTheExponent) {
    FakeKey key;
    key.blob = PublicKeyBlob(65537);
    key.blob.resize(19);
    ExpectEndsWithErrorLine(RunReport(key), "", "80090005");
    key.blob.resize(0);
    ExpectEndsWithErrorLine(RunReport(key), "", "80090005");
    key.blob = PublicKeyBlob(3);
    key.blob.resize(20);  // just long enough
    const Report r = RunReport(key);
    EXPECT_TRUE(r.result);
    EXPECT_EQ(r.out, Expected("\t2 [0x00000002]\n", "\t3 [0x00000003]\n", "\t0x 03 (little endian) \n"));
}

}  // namespace
