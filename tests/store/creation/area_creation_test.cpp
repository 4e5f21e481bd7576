// Store directories appear whole or not at all: a failure (or a crash) in the
// middle of making one, or another process making it at the same moment,
// never leaves a shared directory with a wrong mode or a user refused. This
// executable wraps fchmod (-Wl,--wrap=fchmod) so a test can fail the Nth one.
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <set>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "store/area.h"
#include "output_match.h"
#include "store_fixture.h"

extern "C" int __real_fchmod(int fd, mode_t mode);

namespace {
int g_failChmodAt = 0;  // 0: none; else the Nth fchmod from now fails with EIO
}  // namespace

extern "C" int __wrap_fchmod(int fd, mode_t mode) {
    if (g_failChmodAt > 0 && --g_failChmodAt == 0) {
        errno = EIO;
        return -1;
    }
    return __real_fchmod(fd, mode);
}

namespace {

using namespace keyhold;
using namespace keyhold_test;

using AreaCreationTest = StoreTest;

mode_t ModeAt(const std::string& path) {
    struct stat st {};
    return lstat(path.c_str(), &st) == 0 ? st.st_mode & 07777 : 0;
}

TEST_F(AreaCreationTest, AFailureWhileMakingTheStoreLeavesNothingHalfMade) {
    // The chmods of a first user area: the root, users/, machine/, the area.
    for (int failing = 1; failing <= 4; ++failing) {
        SCOPED_TRACE(failing);
        g_failChmodAt = failing;
        Area area;
        EXPECT_NE(LocateArea(false, true, area), static_cast<DWORD>(ERROR_SUCCESS));
        g_failChmodAt = 0;
        // Either no root, or a whole one; and no temporary directory anywhere.
        if (ModeAt(root_) != 0) {
            EXPECT_EQ(ModeAt(root_), 0755u);
            EXPECT_EQ(ModeAt(root_ + "/users"), 01777u);
            EXPECT_EQ(ModeAt(MachineArea()), 01777u);
            EXPECT_EQ(Entries(root_ + "/users"), std::set<std::string>{});
        }
        EXPECT_EQ(Entries(temp_.path()), ModeAt(root_) != 0 ? std::set<std::string>{"root"}
                                                             : std::set<std::string>{});

        // The next attempt makes everything with its proper mode.
        ASSERT_EQ(LocateArea(false, true, area), static_cast<DWORD>(ERROR_SUCCESS));
        EXPECT_EQ(ModeAt(root_), 0755u);
        EXPECT_EQ(ModeAt(root_ + "/users"), 01777u);
        EXPECT_EQ(ModeAt(MachineArea()), 01777u);
        EXPECT_EQ(ModeAt(UserArea()), 0700u);
        EXPECT_EQ(Entries(root_ + "/users"), std::set<std::string>{std::to_string(geteuid())});
        ASSERT_EQ(system(("rm -rf '" + root_ + "'").c_str()), 0);
    }
}

// Several processes of one user start on a missing store at the same moment,
// in either area: every one of them gets its area. (A store root one user
// made serves no other user, so a race between users has one user's store
// as its only sound outcome; the refusal of the others is tested elsewhere.)
TEST_F(AreaCreationTest, ProcessesMakingTheStoreAtOnceAllGetTheirAreas) {
    // Everyone may make the root here, as in /tmp.
    ASSERT_EQ(chmod(temp_.path().c_str(), 01777), 0);
    const std::vector<uid_t> uids(6, IsRoot() ? kNobody : static_cast<uid_t>(-1));
    for (int round = 0; round < 25; ++round) {
        SCOPED_TRACE(round);
        int start[2];
        ASSERT_EQ(pipe(start), 0);
        std::vector<pid_t> children;
        for (std::size_t i = 0; i < uids.size(); ++i) {
            const pid_t pid = fork();
            ASSERT_GE(pid, 0);
            if (pid == 0) {
                close(start[1]);
                if (uids[i] != static_cast<uid_t>(-1) &&
                    (setgroups(0, nullptr) != 0 || setgid(uids[i]) != 0 || setuid(uids[i]) != 0))
                    _exit(3);
                char go;
                if (read(start[0], &go, 1) != 0) _exit(4);  // released all at once by the close below
                Area area;
                _exit(LocateArea(i % 3 == 2, true, area) == ERROR_SUCCESS ? 0 : 1);
            }
            children.push_back(pid);
        }
        close(start[0]);
        close(start[1]);
        for (const pid_t pid : children) {
            int status = 0;
            ASSERT_EQ(waitpid(pid, &status, 0), pid);
            EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "status " << status;
        }
        EXPECT_EQ(ModeAt(root_), 0755u);
        EXPECT_EQ(ModeAt(root_ + "/users"), 01777u);
        EXPECT_EQ(ModeAt(MachineArea()), 01777u);
        EXPECT_EQ(Entries(temp_.path()), std::set<std::string>{"root"});
        ASSERT_EQ(system(("rm -rf '" + root_ + "'").c_str()), 0);
    }
}

}  // namespace
