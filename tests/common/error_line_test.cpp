// The error line for known and unknown codes.
#include <gtest/gtest.h>

#include <regex>
#include <string>

#include <wincrypt.h>

#include "tool_frame.h"

namespace {

std::string ErrorLineFor(DWORD code) {
    SetLastError(code);
    fflush(stdout);
    testing::internal::CaptureStdout();
    PrintLastError();
    fflush(stdout);
    return testing::internal::GetCapturedStdout();
}

TEST(ErrorLine, ShowsTheCodeInEightLowerCaseDigitsAndTheSystemText) {
    const std::string line = ErrorLineFor(NTE_BAD_KEYSET);
    EXPECT_TRUE(std::regex_match(line, std::regex("Error\\[80090016\\]=[^\n]+\n"))) << line;
    EXPECT_EQ(line.find("Unknown error code."), std::string::npos) << line;
    const std::string small = ErrorLineFor(ERROR_NO_MORE_ITEMS);
    EXPECT_TRUE(std::regex_match(small, std::regex("Error\\[00000103\\]=[^\n]+\n"))) << small;
}

TEST(ErrorLine, SaysSoWhenTheSystemHasNoTextForTheCode) {
    EXPECT_EQ(ErrorLineFor(0x2468ACE1u), "Error[2468ace1]=Unknown error code.\n");
}

}  // namespace
