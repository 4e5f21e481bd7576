#include <windows.h>
#include <wincrypt.h>

#include <cctype>
#include <cstring>
#include <fstream>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "core/message_table.h"

namespace {

constexpr DWORD kSystemAlloc = FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM |
                               FORMAT_MESSAGE_IGNORE_INSERTS;  // 0x1300, as the error line asks
constexpr DWORD kUserDefaultLanguage = MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT);

// Asks for the text of `code` the way the programs do; empty on failure.
std::string SystemText(DWORD code, DWORD* result = nullptr) {
    char* text = nullptr;
    const DWORD n = FormatMessageA(kSystemAlloc, nullptr, code, kUserDefaultLanguage,
                                   reinterpret_cast<LPSTR>(&text), 0, nullptr);
    if (result != nullptr) *result = n;
    std::string copy = text != nullptr ? std::string(text) : std::string();
    LocalFree(text);
    return copy;
}

struct HeaderCode {
    std::string name;
    DWORD value;
};

// Every ERROR_* and NTE_* constant the shared headers define.
std::vector<HeaderCode> CodesIn(const std::string& header) {
    std::ifstream in(std::string(KEYHOLD_SOURCE_DIR) + "/platform/linux-include/" + header);
    std::vector<HeaderCode> codes;
    for (std::string line; std::getline(in, line);) {
        std::istringstream words(line);
        std::string directive, name, value;
        if (!(words >> directive >> name >> value) || directive != "#define") continue;
        if (name.rfind("ERROR_", 0) != 0 && name.rfind("NTE_", 0) != 0) continue;
        codes.push_back({name, static_cast<DWORD>(std::stoul(value, nullptr, 0))});  // stops at the 'L'
    }
    return codes;
}

}  // namespace

TEST(FormatMessage, EveryCodeOfTheSharedHeadersHasAText) {
    std::vector<HeaderCode> codes = CodesIn("windows.h");
    const std::vector<HeaderCode> crypt = CodesIn("wincrypt.h");
    codes.insert(codes.end(), crypt.begin(), crypt.end());
    ASSERT_GE(codes.size(), 55u) << "the headers were not read";
    for (const auto& code : codes) {
        DWORD length = 0;
        const std::string text = SystemText(code.value, &length);
        EXPECT_FALSE(text.empty()) << code.name << " has no text";
        EXPECT_EQ(length, text.size()) << code.name;
    }
}

TEST(FormatMessage, TextsAreSingleEnglishSentencesWithoutLineBreak) {
    size_t count = 0;
    const keyhold::MessageEntry* table = keyhold::MessageTable(&count);
    std::set<DWORD> seen;
    std::set<std::string> texts;
    for (size_t i = 0; i < count; ++i) {
        const std::string text = table[i].text;
        SCOPED_TRACE(text);
        EXPECT_TRUE(seen.insert(table[i].code).second) << "code listed twice: " << std::hex << table[i].code;
        EXPECT_TRUE(texts.insert(text).second) << "two codes share one text";
        ASSERT_GE(text.size(), 10u);
        EXPECT_TRUE(std::isupper(static_cast<unsigned char>(text.front())));
        EXPECT_EQ(text.back(), '.');
        EXPECT_EQ(text.find('.'), text.size() - 1) << "more than one sentence";
        EXPECT_EQ(text.find_first_of("\r\n%"), std::string::npos);
        for (const char c : text) EXPECT_TRUE(static_cast<unsigned char>(c) < 0x80);
    }
}

TEST(FormatMessage, KnownTextsAsTheErrorLineShowsThem) {
    EXPECT_EQ(SystemText(static_cast<DWORD>(NTE_BAD_KEYSET)), "The key container does not exist.");
    EXPECT_EQ(SystemText(ERROR_FILE_NOT_FOUND), "The file does not exist.");
    EXPECT_EQ(SystemText(ERROR_SHARING_VIOLATION), "The file is in use by another program.");
    EXPECT_EQ(SystemText(ERROR_MR_MID_NOT_FOUND), "No message text exists for the message number.");
}

TEST(FormatMessage, UnknownCodeFailsWithoutBuffer) {
    for (const DWORD code : {0x12345678u, 0x80090099u, 0xFFFFFFFFu, 999u}) {
        char* text = reinterpret_cast<char*>(0x1);  // must be overwritten, never left stale
        SetLastError(0);
        EXPECT_EQ(FormatMessageA(kSystemAlloc, nullptr, code, 0, reinterpret_cast<LPSTR>(&text), 0, nullptr), 0u);
        EXPECT_EQ(text, nullptr);
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_MR_MID_NOT_FOUND));
    }
}

TEST(FormatMessage, CallersBufferMustHoldTextAndTerminator) {
    const std::string expected = "Access is denied.";
    const DWORD flags = FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS;
    std::vector<char> exact(expected.size() + 1, 'x');
    EXPECT_EQ(FormatMessageA(flags, nullptr, ERROR_ACCESS_DENIED, 0, exact.data(),
                             static_cast<DWORD>(exact.size()), nullptr),
              expected.size());
    EXPECT_STREQ(exact.data(), expected.c_str());

    std::vector<char> small(expected.size(), 'x');
    SetLastError(0);
    EXPECT_EQ(FormatMessageA(flags, nullptr, ERROR_ACCESS_DENIED, 0, small.data(),
                             static_cast<DWORD>(small.size()), nullptr),
              0u);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
    EXPECT_EQ(FormatMessageA(flags, nullptr, ERROR_ACCESS_DENIED, 0, nullptr, 100, nullptr), 0u);
}

TEST(FormatMessage, AllocatedBufferHonoursMinimumSize) {
    char* text = nullptr;
    const DWORD n = FormatMessageA(kSystemAlloc, nullptr, ERROR_DISK_FULL, 0, reinterpret_cast<LPSTR>(&text),
                                   4096, nullptr);
    ASSERT_NE(text, nullptr);
    EXPECT_EQ(n, std::strlen(text));
    std::memset(text, 'y', 4096);  // the whole minimum belongs to us (a sanitizer build checks it)
    EXPECT_EQ(LocalFree(text), nullptr);
}

TEST(FormatMessage, RefusesSourcesAndFlagsItDoesNotOffer) {
    char buffer[256];
    for (const DWORD flags : {static_cast<DWORD>(FORMAT_MESSAGE_FROM_STRING | FORMAT_MESSAGE_IGNORE_INSERTS),
                              static_cast<DWORD>(FORMAT_MESSAGE_FROM_HMODULE | FORMAT_MESSAGE_IGNORE_INSERTS),
                              static_cast<DWORD>(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_ARGUMENT_ARRAY),
                              static_cast<DWORD>(FORMAT_MESSAGE_IGNORE_INSERTS)}) {
        SetLastError(0);
        EXPECT_EQ(FormatMessageA(flags, "text", ERROR_ACCESS_DENIED, 0, buffer, sizeof buffer, nullptr), 0u)
            << std::hex << flags;
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    }
}

TEST(FormatMessage, LanguagesNeutralDefaultAndEnglishOnly) {
    const DWORD flags = FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS;
    char buffer[256];
    for (const DWORD lang : {0x0u, 0x400u, 0x409u, 0x809u})
        EXPECT_GT(FormatMessageA(flags, nullptr, ERROR_ACCESS_DENIED, lang, buffer, sizeof buffer, nullptr), 0u)
            << std::hex << lang;
    SetLastError(0);
    EXPECT_EQ(FormatMessageA(flags, nullptr, ERROR_ACCESS_DENIED, 0x411, buffer, sizeof buffer, nullptr), 0u);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_RESOURCE_LANG_NOT_FOUND));
}

TEST(FormatMessage, MaximumWidthBreaksLinesAtSpaces) {
    const std::string original = SystemText(static_cast<DWORD>(NTE_BAD_KEY_STATE));
    char buffer[512];
    const DWORD flags = FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS | 20;
    ASSERT_GT(FormatMessageA(flags, nullptr, static_cast<DWORD>(NTE_BAD_KEY_STATE), 0, buffer, sizeof buffer,
                             nullptr),
              0u);
    std::string joined;
    std::stringstream lines(buffer);
    std::string line;
    int count = 0;
    while (std::getline(lines, line)) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        EXPECT_LE(line.size(), 20u) << line;
        joined += (joined.empty() ? "" : " ") + line;
        ++count;
    }
    EXPECT_GT(count, 1);
    EXPECT_EQ(joined, original);
    // 0xFF asks only that line breaks of the text be dropped; ours has none.
    const DWORD n = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_MAX_WIDTH_MASK, nullptr,
                                   static_cast<DWORD>(NTE_BAD_KEY_STATE), 0, buffer, sizeof buffer, nullptr);
    EXPECT_EQ(std::string(buffer, n), original);
}

TEST(LocalAlloc, ZeroInitAndFixedBlocks) {
    auto* zeroed = static_cast<unsigned char*>(LocalAlloc(LPTR, 64));
    ASSERT_NE(zeroed, nullptr);
    for (int i = 0; i < 64; ++i) EXPECT_EQ(zeroed[i], 0);
    EXPECT_EQ(LocalFree(zeroed), nullptr);
    void* empty = LocalAlloc(LMEM_FIXED, 0);
    EXPECT_NE(empty, nullptr);
    LocalFree(empty);
    EXPECT_EQ(LocalFree(nullptr), nullptr);
    SetLastError(0);
    EXPECT_EQ(LocalAlloc(0x0002 /* LMEM_MOVEABLE */, 16), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
}
