// The usage texts byte for byte: as UTF-8 under the C locale, and as code
// page 932 under a Shift-JIS locale when one can be made here.
#include <gtest/gtest.h>
#include <iconv.h>

#include "transfer_support.h"

using namespace transfer_test;

namespace {

const char* const kTessaroUsage =
    "CryptoAPIでRSA鍵ペアを作成しCSPの鍵コンテナに格納します。\n"
    "\n"
    "Tessaro [/N:鍵コンテナ名] [/P:CSP] [/M] [/X] [/L:鍵長(bit)] [/F:ファイル名] [/?]\n"
    "  /N:鍵コンテナ名  鍵を格納する鍵コンテナ名を指定します。未指定の場合は既定を使用。\n"
    "  /P:CSP           使用するCSP値。未指定の場合PROV_RSA_FULL=1。\n"
    "                   PROV_RSA_FULL     = 1\n"
    "                   PROV_RSA_SCHANNEL = 12\n"
    "                   PROV_RSA_AES      = 24\n"
    "  /M\t           鍵をグローバルな領域に格納します。未指定の場合はユーザ毎の領域に格納します。\n"
    "  /X\t           秘密鍵をエクスポート可能にします。\n"
    "  /L:鍵長(bit)     鍵のサイズをビットで指定します。未指定の場合2048。\n"
    "  /F:ファイル名    出力する公開鍵ファイル名。未指定の場合は出力しません。\n"
    "  /?               使用方法を表示します。\n"
    "\n"
    "(例)\n"
    "  Tessaro /N:TestProvider /L:4096 /F:test.file\n"
    "  Tessaro /N:\"Test Provider\" /L:4096 /F:\"c:\\Sample Dir\\test.file\"\n";

const char* const kMorbeckUsage =
    "OpenSSLでRSA鍵ペアを作成しCSPの鍵コンテナに格納します。\n"
    "\n"
    "Morbeck [/N:鍵コンテナ名] [/P:CSP] [/M] [/X] [/L:鍵長(bit)] [/E:暗号化指数] [/F:ファイル名] [/?]\n"
    "  /N:鍵コンテナ名  鍵を格納する鍵コンテナ名を指定します。未指定の場合は既定を使用。\n"
    "  /P:CSP           使用するCSP値。未指定の場合PROV_RSA_FULL=1。\n"
    "                   PROV_RSA_FULL     = 1\n"
    "                   PROV_RSA_SCHANNEL = 12\n"
    "                   PROV_RSA_AES      = 24\n"
    "  /M\t           鍵をグローバルな領域に格納します。未指定の場合はユーザ毎の領域に格納します。\n"
    "  /X\t           秘密鍵をエクスポート可能にします。\n"
    "  /L:鍵長(bit)     鍵のサイズをビットで指定します。未指定の場合2048。\n"
    "  /E:暗号化指数(e) 鍵の暗号化指数を指定します。未指定の場合65537。\n"
    "  /F:ファイル名    出力する公開鍵ファイル名。未指定の場合は出力しません。\n"
    "  /?               使用方法を表示します。\n"
    "\n"
    "(例)\n"
    "  Morbeck /N:TestProvider /L:4096 /E:3\n"
    "  Morbeck /N:\"Test Space Provider\" /L:4096 /E:3\n"
    "  Morbeck /N:\"Test Provider\" /L:4096 /F:\"c:\\Sample Dir\\test.file\"\n";

const char* const kFaldrenUsage =
    "CSPの鍵コンテナにある公開鍵/秘密鍵をエクスポートします。\n"
    "\n"
    "Faldren [/F:ファイル名] [/P:CSP] [/N:鍵コンテナ名] [/M] [/K:鍵種類] [/?]\n"
    "  /F:ファイル名    出力する公開鍵ファイル名。未指定の場合は出力しません(テストモード)。\n"
    "  /P:CSP           使用するCSP値。未指定の場合PROV_RSA_FULL=1。\n"
    "                   PROV_RSA_FULL     = 1\n"
    "                   PROV_RSA_SCHANNEL = 12\n"
    "                   PROV_RSA_AES      = 24\n"
    "  /N:鍵コンテナ名  出力する鍵コンテナ名を指定します。未指定の場合は既定を使用。\n"
    "  /M\t           鍵をグローバルな領域から取得します。未指定の場合はユーザ毎の領域から取得します。\n"
    "  /K:鍵種類        出力する鍵種類を指定します。未指定の場合は公開鍵。\n"
    "                   公開鍵     = 6\n"
    "                   秘密鍵     = 7\n"
    "  /?               使用方法を表示します。\n"
    "\n"
    "(例)\n"
    "  Faldren /F:test.file /P:24 /N:TestProvider\n"
    "  Faldren /F:\"c:\\Exp Dir\\test.file\" /N:\"Test Provider\"\n";

const char* const kOmbrixUsage =
    "CSPの鍵コンテナへ公開鍵/秘密鍵をインポートします。\n"
    "\n"
    "Ombrix </F:ファイル名> [/P:CSP] [/N:鍵コンテナ名] [/M] [/?]\n"
    "  /F:ファイル名    インポートする公開鍵 or 秘密鍵のファイル名。\n"
    "  /P:CSP           使用するCSP値。未指定の場合PROV_RSA_FULL=1。\n"
    "                   PROV_RSA_FULL     = 1\n"
    "                   PROV_RSA_SCHANNEL = 12\n"
    "                   PROV_RSA_AES      = 24\n"
    "  /N:鍵コンテナ名  格納する鍵コンテナ名を指定します。未指定の場合は既定を使用。\n"
    "  /M\t           鍵をグローバルな領域に格納します。未指定の場合はユーザ毎の領域に格納します。\n"
    "  /X\t           秘密鍵をエクスポート可能にします。\n"
    "  /?               使用方法を表示します。\n"
    "\n"
    "(例)\n"
    "  Ombrix /F:test.file /P:24 /N:TestProvider\n"
    "  Ombrix /F:\"c:\\Exp Dir\\test.file\" /N:\"Test Provider\"\n";

struct UsageCase {
    const char* program;
    std::vector<std::string> args;
    const char* text;
};

std::vector<UsageCase> UsageCases() {
    return {
        {"Tessaro", {"/?"}, kTessaroUsage},
        {"Tessaro", {"/N:Never", "/L:1024", "/?", "/F:never.pub"}, kTessaroUsage},
        {"Morbeck", {"/?"}, kMorbeckUsage},
        {"Morbeck", {"/N:Never", "/L:20000", "/?x"}, kMorbeckUsage},
        {"Faldren", {"/?"}, kFaldrenUsage},
        {"Faldren", {"/N:Never", "/F:never.key", "/?"}, kFaldrenUsage},
        {"Ombrix", {}, kOmbrixUsage},
        {"Ombrix", {"/?"}, kOmbrixUsage},
        {"Ombrix", {"/F:missing.key", "/?", "/N:Never"}, kOmbrixUsage},
    };
}

std::string ToCodePage932(const std::string& utf8) {
    iconv_t cd = iconv_open("CP932", "UTF-8");
    if (cd == (iconv_t)-1) return {};
    std::string out(utf8.size() * 2 + 16, '\0');
    char* in = const_cast<char*>(utf8.data());
    size_t inLeft = utf8.size();
    char* o = out.data();
    size_t outLeft = out.size();
    const size_t rc = iconv(cd, &in, &inLeft, &o, &outLeft);
    iconv_close(cd);
    if (rc == (size_t)-1) return {};
    out.resize(out.size() - outLeft);
    return out;
}

void ExpectUsage(const Sandbox& box, const std::map<std::string, std::string>& env,
                 bool shiftJis) {
    for (const UsageCase& c : UsageCases()) {
        SCOPED_TRACE(std::string(c.program) + " " + (c.args.empty() ? "" : c.args[0]));
        const RunResult r = box.Run(c.program, c.args, env);
        const std::string expected = shiftJis ? ToCodePage932(c.text) : std::string(c.text);
        ASSERT_FALSE(expected.empty());
        EXPECT_EQ(r.out, expected);
        EXPECT_EQ(r.err, "");
        EXPECT_EQ(r.status, 1);
    }
    // The usage stops everything: nothing generated, exported or written.
    EXPECT_FALSE(box.HasContainer("Never"));
    EXPECT_TRUE(Entries(box.Work()).empty());
}

TEST(UsageText, Utf8UnderTheCLocale) {
    Sandbox box;
    ExpectUsage(box, {{"LC_ALL", "C"}}, false);
}

TEST(UsageText, CodePage932UnderAShiftJisLocale) {
    TempDir locales;
    const RunResult made = RunProgram(
        "/usr/bin/localedef", {"-f", "SHIFT_JIS", "-i", "ja_JP", locales / "ja_JP.SJIS"});
    if (!Exists(locales / "ja_JP.SJIS/LC_CTYPE"))
        GTEST_SKIP() << "no Shift-JIS locale could be made here (localedef status " << made.status
                     << ")";
    Sandbox box;
    ExpectUsage(box, {{"LOCPATH", locales.path()}, {"LC_ALL", "ja_JP.SJIS"}}, true);
}

}  // namespace
