#include <windows.h>

#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <sstream>
#include <string>

#include <gtest/gtest.h>

#include "file_bytes.h"
#include "run_program.h"

using keyhold_test::Exists;
using keyhold_test::ReadBytes;
using keyhold_test::TempDir;
using keyhold_test::WriteBytes;

namespace {


}  // namespace

TEST(MoveFile, ReplacingMoveOverwritesTheTarget) {
    TempDir dir;
    WriteBytes(dir / "new", "new content");
    WriteBytes(dir / "old", "old content");
    EXPECT_TRUE(MoveFileExA((dir / "new").c_str(), (dir / "old").c_str(),
                            MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH));
    EXPECT_EQ(ReadBytes(dir / "old"), "new content");
    EXPECT_FALSE(Exists(dir / "new"));
}

TEST(MoveFile, PlainMoveNeverReplaces) {
    TempDir dir;
    WriteBytes(dir / "a", "a");
    WriteBytes(dir / "b", "b");
    EXPECT_FALSE(MoveFileExA((dir / "a").c_str(), (dir / "b").c_str(), 0));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ALREADY_EXISTS));
    EXPECT_EQ(ReadBytes(dir / "a"), "a");
    EXPECT_EQ(ReadBytes(dir / "b"), "b");

    ASSERT_EQ(mkdir((dir / "sub").c_str(), 0700), 0);
    EXPECT_TRUE(MoveFileExA((dir / "a").c_str(), (dir / "sub/c").c_str(), MOVEFILE_WRITE_THROUGH));
    EXPECT_EQ(ReadBytes(dir / "sub/c"), "a");
    EXPECT_FALSE(Exists(dir / "a"));
}

TEST(MoveFile, DirectoriesAreNotReplaced) {
    TempDir dir;
    ASSERT_EQ(mkdir((dir / "d1").c_str(), 0700), 0);
    ASSERT_EQ(mkdir((dir / "d2").c_str(), 0700), 0);
    WriteBytes(dir / "f", "f");
    EXPECT_FALSE(MoveFileExA((dir / "f").c_str(), (dir / "d1").c_str(), MOVEFILE_REPLACE_EXISTING));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    EXPECT_FALSE(MoveFileExA((dir / "d2").c_str(), (dir / "d1").c_str(), MOVEFILE_REPLACE_EXISTING));
    EXPECT_TRUE(Exists(dir / "d1"));
    EXPECT_TRUE(Exists(dir / "d2"));
    EXPECT_EQ(ReadBytes(dir / "f"), "f");
}

TEST(MoveFile, MissingPathsAndBadFlags) {
    TempDir dir;
    WriteBytes(dir / "f", "f");
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
    EXPECT_EQ(ReadBytes(dir / "f"), "f");
    EXPECT_FALSE(Exists(dir / "g"));
}
