// Files without a name until they are given one: nothing of them is seen in
// the directory before, and the name, once given, never replaces anything.
#include <windows.h>

#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <iterator>
#include <set>
#include <string>

#include <gtest/gtest.h>
#include <keyhold/unnamed_file.h>

#include "output_match.h"
#include "run_program.h"

namespace {

using keyhold_test::Entries;
using keyhold_test::TempDir;

std::string Content(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

mode_t ModeOf(const std::string& path) {
    struct stat st {};
    return lstat(path.c_str(), &st) == 0 ? st.st_mode & 07777 : 0;
}

TEST(UnnamedFile, IsNotInItsDirectoryUntilNamedAndVanishesUnnamed) {
    TempDir dir;
    const mode_t oldMask = umask(0);
    HANDLE file = CreateUnnamedFileA(dir.path().c_str(), nullptr);
    umask(oldMask);
    ASSERT_NE(file, INVALID_HANDLE_VALUE) << GetLastError();
    DWORD written = 0;
    ASSERT_TRUE(WriteFile(file, "secret", 6, &written, nullptr));
    ASSERT_TRUE(FlushFileBuffers(file));
    EXPECT_EQ(Entries(dir.path()), std::set<std::string>{});
    ASSERT_TRUE(NameUnnamedFileA(file, (dir / "named").c_str())) << GetLastError();
    EXPECT_TRUE(CloseHandle(file));
    EXPECT_EQ(Entries(dir.path()), std::set<std::string>{"named"});
    EXPECT_EQ(Content(dir / "named"), "secret");
    EXPECT_EQ(ModeOf(dir / "named"), 0600u);  // whatever the umask allowed

    // Closed without a name, it leaves nothing.
    file = CreateUnnamedFileA(dir.path().c_str(), nullptr);
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    ASSERT_TRUE(WriteFile(file, "gone", 4, &written, nullptr));
    EXPECT_TRUE(CloseHandle(file));
    EXPECT_EQ(Entries(dir.path()), std::set<std::string>{"named"});
}

TEST(UnnamedFile, TakesTheTemplatesModeAndNeverReplacesANameOrFollowsALink) {
    TempDir dir;
    { std::ofstream(dir / "template") << "t"; }
    ASSERT_EQ(chmod((dir / "template").c_str(), 0640), 0);
    HANDLE templateFile = CreateFileA((dir / "template").c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                      OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(templateFile, INVALID_HANDLE_VALUE);
    HANDLE file = CreateUnnamedFileA(dir.path().c_str(), templateFile);
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    CloseHandle(templateFile);

    ASSERT_EQ(symlink((dir / "elsewhere").c_str(), (dir / "link").c_str()), 0);
    for (const char* taken : {"template", "link"}) {
        EXPECT_FALSE(NameUnnamedFileA(file, (dir / taken).c_str())) << taken;
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_EXISTS)) << taken;
    }
    EXPECT_EQ(Content(dir / "template"), "t");
    EXPECT_EQ(Entries(dir.path()), (std::set<std::string>{"template", "link"}));
    ASSERT_TRUE(NameUnnamedFileA(file, (dir / "copy").c_str()));
    EXPECT_EQ(ModeOf(dir / "copy"), 0640u);
    CloseHandle(file);
}

TEST(UnnamedFile, ReportsAMissingDirectoryAndABadHandle) {
    TempDir dir;
    EXPECT_EQ(CreateUnnamedFileA((dir / "missing").c_str(), nullptr), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_PATH_NOT_FOUND));
    EXPECT_EQ(CreateUnnamedFileA("", nullptr), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_PATH_NOT_FOUND));
    EXPECT_FALSE(NameUnnamedFileA(INVALID_HANDLE_VALUE, (dir / "x").c_str()));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
}

}  // namespace
