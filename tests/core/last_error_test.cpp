#include <cerrno>
#include <cstdlib>
#include <string>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

#include <gtest/gtest.h>

#include "core/last_error.h"

using keyhold::PathErrorFromErrno;
using keyhold::Win32ErrorFromErrno;

TEST(LastError, IsPerThreadAndKeptUntilChanged) {
    SetLastError(0x80090016);
    EXPECT_EQ(GetLastError(), 0x80090016u);
    DWORD seenByOther = 1;
    std::thread other([&] { seenByOther = GetLastError(); });
    other.join();
    EXPECT_EQ(seenByOther, 0u);
    EXPECT_EQ(GetLastError(), 0x80090016u);
}

TEST(LastError, ErrnoMapsToPublishedCodes) {
    EXPECT_EQ(Win32ErrorFromErrno(ENOENT), 2u);
    EXPECT_EQ(Win32ErrorFromErrno(EACCES), 5u);
    EXPECT_EQ(Win32ErrorFromErrno(EPERM), 5u);
    EXPECT_EQ(Win32ErrorFromErrno(EROFS), 5u);
    EXPECT_EQ(Win32ErrorFromErrno(EISDIR), 5u);
    EXPECT_EQ(Win32ErrorFromErrno(ENOMEM), 8u);
    EXPECT_EQ(Win32ErrorFromErrno(ENOSPC), 112u);
    EXPECT_EQ(Win32ErrorFromErrno(EDQUOT), 112u);
    EXPECT_EQ(Win32ErrorFromErrno(ENAMETOOLONG), 206u);
    EXPECT_EQ(Win32ErrorFromErrno(EWOULDBLOCK), 32u);
    EXPECT_EQ(Win32ErrorFromErrno(EPROTO), 31u);  // the documented fallback
}

TEST(LastError, MissingDirectoryIsPathNotFound) {
    char dir[] = "/tmp/keyhold-lasterror-XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    const std::string base(dir);
    EXPECT_EQ(PathErrorFromErrno(ENOENT, (base + "/missing.key").c_str()), 2u);
    EXPECT_EQ(PathErrorFromErrno(ENOENT, (base + "/nodir/missing.key").c_str()), 3u);
    EXPECT_EQ(PathErrorFromErrno(ENOENT, ""), 3u);
    EXPECT_EQ(PathErrorFromErrno(ENOENT, nullptr), 3u);
    EXPECT_EQ(PathErrorFromErrno(ENOENT, "plainname"), 2u);
    EXPECT_EQ(PathErrorFromErrno(EACCES, (base + "/nodir/x").c_str()), 5u);
    rmdir(dir);
}
