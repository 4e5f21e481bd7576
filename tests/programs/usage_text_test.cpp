// The usage texts of Quorvin, Zetrask and Vandrel, byte for byte, in UTF-8 and
// in code page 932, and the fact that asking for them touches no key store.
#include <algorithm>

#include "program_test_support.h"

namespace keyhold_test {
namespace {

const char* const kQuorvinUsage =
    "CryptoAPIで使用する鍵コンテナ一覧を表示します。\n"
    "\n"
    "Quorvin [/P:CSP] [/M] [/?]\n"
    "  /P:CSP           使用するCSP値。未指定の場合PROV_RSA_FULL=1。\n"
    "                   PROV_RSA_FULL     = 1\n"
    "                   PROV_RSA_SCHANNEL = 12\n"
    "                   PROV_RSA_AES      = 24\n"
    "  /M\t           一覧をグローバルな領域から取得します。未指定の場合はユーザ毎の領域から取得します。\n"
    "  /?               使用方法を表示します。\n"
    "\n"
    "(例)\n"
    "  Quorvin /P:1\n"
    "  Quorvin /P:24\n";

const char* const kZetraskUsage =
    "CSPに存在する鍵コンテナを削除します。\n"
    "\n"
    "Zetrask [/N:鍵コンテナ名] [/M] [/?]\n"
    "  /N:鍵コンテナ名  削除する鍵コンテナ名を指定します。未指定の場合は既定を使用。\n"
    "  /M\t           鍵をグローバルな領域から削除します。未指定の場合はユーザ毎の領域から削除します。\n"
    "  /?               使用方法を表示します。\n"
    "\n"
    "(例)\n"
    "  Zetrask /N:TestProvider\n"
    "  Zetrask /N:\"Test Provider\"\n";

const char* const kVandrelUsage =
    "CryptoAPIで使用するRSA交換鍵の情報を表示します。\n"
    "\n"
    "Vandrel [/P:CSP] [/N:鍵コンテナ名] [/M] [/?]\n"
    "  /P:CSP           使用するCSP値。未指定の場合PROV_RSA_FULL=1。\n"
    "                   PROV_RSA_FULL     = 1\n"
    "                   PROV_RSA_SCHANNEL = 12\n"
    "                   PROV_RSA_AES      = 24\n"
    "  /N:鍵コンテナ名  鍵が含まれる鍵コンテナ名を指定します。未指定の場合は既定を使用。\n"
    "  /M\t           鍵をグローバルな領域から取得します。未指定の場合はユーザ毎の領域から取得します。\n"
    "  /?               使用方法を表示します。\n"
    "\n"
    "(例)\n"
    "  Vandrel /P:1 /N:TestProvider\n"
    "  Vandrel /P:24 /N:\"Test Provider\" /M\n";

struct Program {
    const char* name;
    const char* usage;
    size_t lines;
};
const Program kPrograms[] = {
    {"Quorvin", kQuorvinUsage, 13},
    {"Zetrask", kZetraskUsage, 10},
    {"Vandrel", kVandrelUsage, 14},
};

TEST(UsageText, TheTextsHaveTheirLineCounts) {
    for (const Program& p : kPrograms) {
        const std::string text = p.usage;
        EXPECT_EQ(static_cast<size_t>(std::count(text.begin(), text.end(), '\n')), p.lines) << p.name;
    }
}

TEST(UsageText, IsPrintedInUtf8UnderCAndUtf8Locales) {
    for (const char* locale : {"C", "C.UTF-8", "POSIX"}) {
        for (const Program& p : kPrograms) {
            Store store;
            const RunResult r = RunProgram(p.name, {"/?"}, store.options("", locale));
            EXPECT_EQ(r.out, p.usage) << p.name << " under " << locale;
            EXPECT_EQ(r.err, "") << p.name;
            EXPECT_EQ(r.status, 1) << p.name;
        }
    }
}

TEST(UsageText, IsPrintedInCodePage932UnderAShiftJisLocale) {
    TempDir locales;
    if (!MakeShiftJisLocale(locales))
        GTEST_SKIP() << "cannot generate a Shift-JIS locale with localedef (ja_JP sources or SHIFT_JIS charmap missing)";
    for (const Program& p : kPrograms) {
        Store store;
        const RunResult r = RunProgram(p.name, {"/?"}, ShiftJisOptions(store.options(), locales));
        const std::string expected = ToCp932(p.usage);
        EXPECT_NE(expected, p.usage);
        EXPECT_EQ(r.out, expected) << p.name;
        EXPECT_EQ(r.status, 1) << p.name;
    }
}

// The scan stops at /? and the usage goes out before any key store call.
TEST(UsageText, IsPrintedWhereverTheRequestStandsAndTouchesNoStore) {
    const std::vector<std::vector<std::string>> argumentLists = {
        {"/?"}, {"/M", "/?"}, {"/P:24", "/N:Some", "/?", "/M"}, {"/?", "/P:abc"}, {"/?junk"}};
    for (const Program& p : kPrograms) {
        for (const auto& args : argumentLists) {
            Store store;
            const RunResult r = store.run(p.name, args, "y");
            EXPECT_EQ(r.out, p.usage) << p.name;
            EXPECT_EQ(r.status, 1) << p.name;
            struct stat st;
            EXPECT_NE(stat(store.root().c_str(), &st), 0) << p.name << " touched the key store";
        }
    }
}

}  // namespace
}  // namespace keyhold_test
