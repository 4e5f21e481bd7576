#include <windows.h>

#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <sstream>
#include <string>

#include <gtest/gtest.h>

#include "run_program.h"

using keyhold_test::TempDir;

namespace {

void WriteText(const std::string& path, const std::string& text) {
    std::ofstream(path, std::ios::binary) << text;
}

std::string ReadText(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream all;
    all << in.rdbuf();
    return all.str();
}

bool Exists(const std::string& path) {
    struct stat st {};
    return lstat(path.c_str(), &st) == 0;
}

}  // namespace

TEST(MoveFile, ReplacingMoveOverwritesTheTarget) {
    TempDir dir;
    WriteText(dir / "new", "new content");
    WriteText(dir / "old", "old content");
    EXPECT_TRUE(MoveFileExA((dir / "new").c_str(), (dir / "old").c_str(),
                            MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH));
    EXPECT_EQ(ReadText(dir / "old"), "new content");
    EXPECT_FALSE(Exists(dir / "new"));
}

TEST(MoveFile, PlainMoveNeverReplaces) {
    TempDir dir;
    WriteText(dir / "a", "a");
    WriteText(dir / "b", "b");
    EXPECT_FALSE(MoveFileExA((dir / "a").c_str(), (dir / "b").c_str(), 0));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ALREADY_EXISTS));
    EXPECT_EQ(ReadText(dir / "a"), "a");
    EXPECT_EQ(ReadText(dir / "b"), "b");

    ASSERT_EQ(mkdir((dir / "sub").c_str(), 0700), 0);
    EXPECT_TRUE(MoveFileExA((dir / "a").c_str(), (dir / "sub/c").c_str(), MOVEFILE_WRITE_THROUGH));
    EXPECT_EQ(ReadText(dir / "sub/c"), "a");
    EXPECT_FALSE(Exists(dir / "a"));
}

TEST(MoveFile, DirectoriesAreNotReplaced) {
    TempDir dir;
    ASSERT_EQ(mkdir((dir / "d1").c_str(), 0700), 0);
    ASSERT_EQ(mkdir((dir / "d2").c_str(), 0700), 0);
    WriteText(dir / "f", "f");
    EXPECT_FALSE(MoveFileExA((dir / "f").c_str(), (dir / "d1").c_str(), MOVEFILE_REPLACE_EXISTING));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    EXPECT_FALSE(MoveFileExA((dir / "d2").c_str(), (dir / "d1").c_str(), MOVEFILE_REPLACE_EXISTING));
    EXPECT_TRUE(Exists(dir / "d1"));
    EXPECT_TRUE(Exists(dir / "d2"));
    EXPECT_EQ(ReadText(dir / "f"), "f");
}

TEST(MoveFile, MissingPathsAndBadFlags) {
    TempDir dir;
    WriteText(dir / "f", "f");
    EXPECT_FALSE(MoveFileExA((dir / "missing").c_str(), (dir / "x").c_str(), 0));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
    EXPECT_FALSE(MoveFileExA((dir / "missing").c_str(), (dir / "x").c_str(), MOVEFILE_REPLACE_EXISTING));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
    EXPECT_FALSE(MoveFileExA((dir / "f").c_str(), (dir / "nodir/x").c_str(), 0));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_PATH_NOT_FOUND));
    EXPECT_FALSE(MoveFileExA((dir / "f").c_str(), (dir / "nodir/x").c_str(), MOVEFILE_REPLACE_EXISTING));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_PATH_NOT_FOUND));
    EXPECT_FALSE(MoveFileExA("", (dir / "x").c_str(), 0));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_PATH_NOT_FOUND));
    for (const DWORD flags : {0x2u /* copy allowed */, 0x4u /* delay until reboot */, 0x10u}) {
        EXPECT_FALSE(MoveFileExA((dir / "f").c_str(), (dir / "g").c_str(), flags));
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    }
    EXPECT_EQ(ReadText(dir / "f"), "f");
    EXPECT_FALSE(Exists(dir / "g"));
}
