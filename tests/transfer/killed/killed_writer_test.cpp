// A key blob file writer killed in the middle of its write leaves the old
// file as it was and nothing beside it: the new content, which may be a
// private key, was in a file without a name. This executable wraps fsync
// (-Wl,--wrap=fsync) so that the writer can be killed exactly there.
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "key_blob.h"
#include "transfer_support.h"

extern "C" int __real_fsync(int fd);

namespace {
bool g_dieInFsync = false;
}  // namespace

extern "C" int __wrap_fsync(int fd) {
    if (g_dieInFsync) raise(SIGKILL);
    return __real_fsync(fd);
}

namespace {

using namespace transfer_test;

TEST(KilledWriter, LeavesTheOldFileAndNothingBesideIt) {
    TempDir dir;
    const std::string old = "the old key blob";
    WriteBytes(dir / "pair.key", old);
    for (const bool existing : {true, false}) {
        SCOPED_TRACE(existing);
        const std::string target = dir / (existing ? "pair.key" : "new.key");
        const pid_t pid = fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            g_dieInFsync = true;
            const std::string blob(1172, 'k');
            WriteKeyFile(target.c_str(), (const BYTE*)blob.data(), (DWORD)blob.size());
            _exit(0);  // not reached: the flush of the new content kills it
        }
        int status = 0;
        ASSERT_EQ(waitpid(pid, &status, 0), pid);
        ASSERT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL) << status;
        EXPECT_EQ(Entries(dir.path()), std::set<std::string>{"pair.key"});
        EXPECT_EQ(ReadBytes(dir / "pair.key"), old);
    }
}

}  // namespace
