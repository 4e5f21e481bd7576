#include <iconv.h>
#include <sys/stat.h>

#include <memory>
#include <string>
#include <tuple>

#include <gtest/gtest.h>

#include "core/console_charset.h"
#include "run_program.h"

using keyhold_test::RunOptions;
using keyhold_test::RunProgram;
using keyhold_test::TempDir;

namespace {

// Japanese text including characters that only code page 932 has (circled
// one, the full-width tilde and minus as that code page maps them), so plain
// Shift-JIS output would differ.
const std::string kJapanese = "日本語（例）①～−";
const std::string kJapaneseCp932 =
    "\x93\xfa\x96\x7b\x8c\xea\x81\x69\x97\xe1\x81\x6a\x87\x40\x81\x60\x81\x7c";
const std::string kUtf8Argument = "コンテナ名";

std::string Recode(const std::string& text, const char* to) {
    iconv_t cd = iconv_open(to, "UTF-8");
    if (cd == reinterpret_cast<iconv_t>(-1)) return {};
    std::string out(text.size() * 4, '\0');
    char* src = const_cast<char*>(text.data());
    size_t srcLeft = text.size();
    char* dst = out.data();
    size_t dstLeft = out.size();
    const size_t rc = iconv(cd, &src, &srcLeft, &dst, &dstLeft);
    iconv_close(cd);
    if (rc == static_cast<size_t>(-1)) return {};
    out.resize(out.size() - dstLeft);
    return out;
}

class Console : public ::testing::Test {
protected:
    // The locales are built once: localedef takes a while.
    static void SetUpTestSuite() {
        locales_ = std::make_unique<TempDir>();
        for (const auto& [charmap, source, name] :
             {std::tuple{"SHIFT_JIS", "ja_JP", "ja_JP.SJIS"}, std::tuple{"ISO-8859-1", "en_US", "en_US.ISO-8859-1"}}) {
            // localedef exits 1 for Shift-JIS (not ASCII compatible) but still
            // writes the locale; whether it exists is what counts.
            try {
                RunProgram("/usr/bin/localedef", {"-f", charmap, "-i", source, *locales_ / name});
            } catch (const std::exception&) {
            }
        }
    }
    static void TearDownTestSuite() { locales_.reset(); }

    static bool HasLocale(const std::string& name) {
        struct stat st {};
        return stat((*locales_ / name + "/LC_CTYPE").c_str(), &st) == 0;
    }

    static keyhold_test::RunResult Print(const std::string& locale, const std::string& format,
                                         const std::string& argument = "") {
        RunOptions options;
        options.env = {{"LC_ALL", locale}, {"LOCPATH", locales_->path()}};
        return RunProgram("core_console_probe", {format, argument}, options);
    }

    static std::unique_ptr<TempDir> locales_;
};

std::unique_ptr<TempDir> Console::locales_;

}  // namespace

TEST(ConsoleCharset, ChoosesTheTargetForEachLocaleCharset) {
    for (const char* unchanged : {"UTF-8", "utf8", "ANSI_X3.4-1968", "C", "POSIX", ""})
        EXPECT_EQ(keyhold::ConsoleTargetCharset(unchanged), "") << unchanged;
    for (const char* shiftJis : {"SHIFT_JIS", "shift_jis", "SJIS", "CP932", "cp932", "WINDOWS-31J", "Windows-31J"})
        EXPECT_EQ(keyhold::ConsoleTargetCharset(shiftJis), "CP932") << shiftJis;
    EXPECT_EQ(keyhold::ConsoleTargetCharset("ISO-8859-1"), "ISO-8859-1//TRANSLIT");
    EXPECT_EQ(keyhold::ConsoleTargetCharset("EUC-JP"), "EUC-JP//TRANSLIT");
}

TEST_F(Console, ShiftJisLocaleGetsCodePage932Bytes) {
    if (!HasLocale("ja_JP.SJIS")) GTEST_SKIP() << "localedef could not build a Shift-JIS locale here";
    ASSERT_EQ(Recode(kJapanese, "CP932"), kJapaneseCp932);  // the expectation agrees with iconv itself
    const auto result = Print("ja_JP.SJIS", kJapanese + "[%s]\n", kUtf8Argument);
    EXPECT_EQ(result.status, 0);
    // The format text is recoded; the argument passes as the bytes it is.
    EXPECT_EQ(result.out, kJapaneseCp932 + "[" + kUtf8Argument + "]\n");
    EXPECT_EQ(result.err, "");
}

TEST_F(Console, AsciiTextAndArgumentsPassUnchangedUnderShiftJis) {
    if (!HasLocale("ja_JP.SJIS")) GTEST_SKIP() << "localedef could not build a Shift-JIS locale here";
    const auto result = Print("ja_JP.SJIS", "Export file[%s] succeeded.\n", kUtf8Argument);
    EXPECT_EQ(result.out, "Export file[" + kUtf8Argument + "] succeeded.\n");
}

TEST_F(Console, Utf8AndCLocalesPrintUtf8) {
    for (const char* locale : {"C", "POSIX", "C.UTF-8"}) {
        const auto result = Print(locale, kJapanese + " %s|\n", "\xff\xfe");
        EXPECT_EQ(result.out, kJapanese + " \xff\xfe|\n") << locale;
        EXPECT_EQ(result.err, "") << locale;
    }
}

TEST_F(Console, OtherCharsetsTransliterateOrFallBackToUtf8) {
    if (!HasLocale("en_US.ISO-8859-1")) GTEST_SKIP() << "localedef could not build a Latin-1 locale here";
    EXPECT_EQ(Print("en_US.ISO-8859-1", "caf\xc3\xa9 %s\n", "\xc3\xa9").out, "caf\xe9 \xc3\xa9\n");
    // A full-width percent sign would become a bare '%', a conversion without
    // an argument: the text is printed as UTF-8 instead.
    EXPECT_EQ(Print("en_US.ISO-8859-1", "100\xef\xbc\x85 %s\n", "x").out, "100\xef\xbc\x85 x\n");
}
