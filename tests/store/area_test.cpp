#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "store/area.h"
#include "store/container_store.h"
#include "store_fixture.h"

using namespace keyhold;
using namespace keyhold_test;

using AreaTest = StoreTest;

TEST_F(AreaTest, CreatedDirectoriesGetTheirModesWhateverTheUmask) {
    for (mode_t mask : {mode_t{0}, mode_t{077}, mode_t{0777}}) {
        SCOPED_TRACE(mask);
        umask(mask);
        Area user, machine;
        ASSERT_EQ(LocateArea(false, true, user), ERROR_SUCCESS);
        ASSERT_EQ(LocateArea(true, true, machine), ERROR_SUCCESS);
        umask(022);
        EXPECT_EQ(user.dir, UserArea());
        EXPECT_FALSE(user.machine);
        EXPECT_EQ(machine.dir, MachineArea());
        EXPECT_TRUE(machine.machine);
        EXPECT_EQ(ModeOf(root_), 0755u);
        EXPECT_EQ(ModeOf(root_ + "/users"), 01777u);
        EXPECT_EQ(ModeOf(UserArea()), 0700u);
        EXPECT_EQ(ModeOf(MachineArea()), 01777u);

        ASSERT_EQ(CreateContainer(user, "c"), ERROR_SUCCESS);
        EXPECT_EQ(ModeOf(UserArea() + "/" + ContainerFileName("c")), 0600u);
        ASSERT_EQ(RemoveContainer(user, "c"), ERROR_SUCCESS);
        ASSERT_EQ(system(("rm -rf '" + root_ + "'").c_str()), 0);
    }
}

TEST_F(AreaTest, ExistingDirectoriesKeepTheirModes) {
    ASSERT_EQ(mkdir(root_.c_str(), 0700), 0);
    ASSERT_EQ(chmod(root_.c_str(), 0711), 0);
    Area area;
    ASSERT_EQ(LocateArea(true, true, area), ERROR_SUCCESS);
    EXPECT_EQ(ModeOf(root_), 0711u);
    EXPECT_EQ(ModeOf(MachineArea()), 01777u);
}

TEST_F(AreaTest, RelativeRootIsTakenFromTheCurrentDirectory) {
    char cwd[4096];
    ASSERT_NE(getcwd(cwd, sizeof cwd), nullptr);
    ASSERT_EQ(chdir(temp_.path().c_str()), 0);
    setenv("KEYHOLD_ROOT", "rel/", 1);
    Area area;
    const DWORD rc = LocateArea(true, true, area);
    ASSERT_EQ(chdir(cwd), 0);
    ASSERT_EQ(rc, ERROR_SUCCESS);
    EXPECT_EQ(area.dir, temp_.path() + "/rel/machine");
    EXPECT_TRUE(Exists(temp_.path() + "/rel/machine"));
}

TEST_F(AreaTest, LinkedOrNonDirectoryAreasAreRefused) {
    Area area;
    ASSERT_EQ(LocateArea(false, true, area), ERROR_SUCCESS);
    const Area stale = area;
    const std::string elsewhere = temp_ / "elsewhere";
    ASSERT_EQ(mkdir(elsewhere.c_str(), 0700), 0);
    ASSERT_EQ(rmdir(UserArea().c_str()), 0);
    ASSERT_EQ(symlink(elsewhere.c_str(), UserArea().c_str()), 0);
    EXPECT_EQ(LocateArea(false, true, area), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    // Even an area located before the swap is not followed through the link.
    EXPECT_EQ(CreateContainer(stale, "x"), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    std::vector<std::string> names;
    EXPECT_EQ(ListContainerNames(stale, names), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    EXPECT_TRUE(DirEntries(elsewhere).empty());

    ASSERT_EQ(mkdir(root_.c_str(), 0755) == 0 || errno == EEXIST, true);
    rmdir(MachineArea().c_str());  // made along with the root
    WriteWhole(MachineArea(), "not a directory");
    EXPECT_EQ(LocateArea(true, true, area), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    EXPECT_EQ(ReadWhole(MachineArea()), "not a directory");
}

TEST_F(AreaTest, UserAreaOwnedByAnotherUserIsRefused) {
    if (!IsRoot()) GTEST_SKIP() << "needs root to hand a directory to another user";
    Area area;
    ASSERT_EQ(LocateArea(false, true, area), ERROR_SUCCESS);
    ASSERT_EQ(CreateContainer(area, "mine"), ERROR_SUCCESS);
    ASSERT_EQ(chown(UserArea().c_str(), kNobody, kNobody), 0);
    EXPECT_EQ(LocateArea(false, true, area), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    ContainerRecord record;
    EXPECT_EQ(ReadContainer(area, "mine", record), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    EXPECT_EQ(RemoveContainer(area, "mine"), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    EXPECT_TRUE(Exists(UserArea() + "/" + ContainerFileName("mine")));

    // A directory planted under another user's number in the shared users/
    // directory does not become that user's area.
    const std::string planted = root_ + "/users/" + std::to_string(kNobody);
    ASSERT_EQ(mkdir(planted.c_str(), 0777), 0);
    EXPECT_EQ(InChild(
                  [] {
                      Area a;
                      return Code(LocateArea(false, true, a));
                  },
                  kNobody),
              Code(ERROR_ACCESS_DENIED));
}

// An area is used only when no one but root and the caller can replace what
// is in it: each directory of the store owned by one of them, and sticky
// where others may write. Otherwise nothing is read or written there.
TEST_F(AreaTest, DirectoriesOthersControlAreRefused) {
    if (!IsRoot()) GTEST_SKIP() << "needs root to hand directories to another user";
    struct Case {
        std::string dir;
        bool chownToNobody;
        mode_t mode;
        bool machine;
        bool refused;
    } cases[] = {
        {"", true, 0755, true, true},           // the root, another user's
        {"", false, 0777, true, true},          // the root, writable by all, not sticky
        {"", false, 0775, false, true},         // ... or by its group
        {"", false, 01777, false, false},       // sticky: others keep to their own entries
        {"/machine", true, 01777, true, true},  // the machine area, another user's
        {"/machine", false, 0777, true, true},
        {"/users", true, 01777, false, true},
        {"/users", false, 0777, false, true},
        {"/users/0", false, 0755, false, false},
        {"/users/0", false, 01777, false, true},  // a user area is its user's alone, sticky or not
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.dir + " " + std::to_string(c.mode));
        Area made;
        ASSERT_EQ(LocateArea(c.machine, true, made), ERROR_SUCCESS);
        ASSERT_EQ(CreateContainer(made, "old"), ERROR_SUCCESS);
        const std::string target = root_ + c.dir;
        if (c.chownToNobody) { ASSERT_EQ(chown(target.c_str(), kNobody, kNobody), 0); }
        ASSERT_EQ(chmod(target.c_str(), c.mode), 0);
        const DWORD expected = c.refused ? static_cast<DWORD>(ERROR_ACCESS_DENIED) : ERROR_SUCCESS;
        Area area;
        EXPECT_EQ(LocateArea(c.machine, true, area), expected);
        ContainerRecord record;
        EXPECT_EQ(ReadContainer(made, "old", record), expected);
        EXPECT_EQ(CreateContainer(made, "new"), expected);
        std::vector<std::string> names;
        EXPECT_EQ(ListContainerNames(made, names), expected);
        EXPECT_EQ(Exists(made.dir + "/" + ContainerFileName("new")), !c.refused);
        ASSERT_EQ(system(("rm -rf '" + root_ + "'").c_str()), 0);
    }
}

// An administrator's root (0755, made by root): root's first use, of the
// machine area, makes the users' directory too, so users are not locked out.
TEST_F(AreaTest, RootMakesBothSharedDirectoriesOfAnExistingRoot) {
    if (!IsRoot()) GTEST_SKIP() << "needs root to act as another user";
    ASSERT_EQ(mkdir(root_.c_str(), 0755), 0);
    Area area;
    ASSERT_EQ(LocateArea(true, true, area), ERROR_SUCCESS);
    EXPECT_EQ(ModeOf(root_ + "/users"), 01777u);
    EXPECT_EQ(InChild(
                  [] {
                      Area user;
                      const DWORD rc = LocateArea(false, true, user);
                      return Code(rc == ERROR_SUCCESS ? CreateContainer(user, "n") : rc);
                  },
                  kNobody),
              "0");
}

TEST_F(AreaTest, OtherUsersGetAnAreaOfTheirOwnAndShareTheMachineArea) {
    if (!IsRoot()) GTEST_SKIP() << "needs root to act as another user";
    Area area;
    ASSERT_EQ(LocateArea(true, true, area), ERROR_SUCCESS);
    ASSERT_EQ(LocateArea(false, true, area), ERROR_SUCCESS);
    const std::string result = InChild(
        [] {
            Area user, machine;
            std::string out = Code(LocateArea(false, true, user));
            out += "," + Code(CreateContainer(user, "n"));
            out += "," + Code(LocateArea(true, true, machine));
            out += "," + Code(CreateContainer(machine, "n"));
            return out;
        },
        kNobody);
    EXPECT_EQ(result, "0,0,0,0");
    const std::string theirs = root_ + "/users/" + std::to_string(kNobody);
    EXPECT_EQ(ModeOf(theirs), 0700u);
    struct stat st {};
    ASSERT_EQ(stat((MachineArea() + "/" + ContainerFileName("n")).c_str(), &st), 0);
    EXPECT_EQ(st.st_uid, kNobody);
    EXPECT_EQ(st.st_mode & 07777, 0600u);
}

TEST_F(AreaTest, WithoutRootTheDataHomeHoldsTheUserArea) {
    unsetenv("KEYHOLD_ROOT");
    const std::string xdg = temp_ / "xdg";
    setenv("XDG_DATA_HOME", xdg.c_str(), 1);
    Area area;
    ASSERT_EQ(LocateArea(false, true, area), ERROR_SUCCESS);
    EXPECT_EQ(area.dir, xdg + "/keyhold/keys");
    EXPECT_EQ(ModeOf(area.dir), 0700u);

    const std::string home = temp_ / "home";
    const char* oldHome = getenv("HOME");
    const std::string savedHome = oldHome ? oldHome : "";
    setenv("HOME", home.c_str(), 1);
    setenv("XDG_DATA_HOME", "relative/ignored", 1);
    const DWORD rc = LocateArea(false, false, area);
    unsetenv("XDG_DATA_HOME");
    EXPECT_EQ(rc, ERROR_SUCCESS);
    EXPECT_EQ(area.dir, home + "/.local/share/keyhold/keys");
    EXPECT_EQ(LocateArea(false, false, area), ERROR_SUCCESS);
    EXPECT_EQ(area.dir, home + "/.local/share/keyhold/keys");
    if (oldHome) setenv("HOME", savedHome.c_str(), 1);
    else unsetenv("HOME");

    // An empty root counts as unset.
    setenv("KEYHOLD_ROOT", "", 1);
    setenv("XDG_DATA_HOME", xdg.c_str(), 1);
    ASSERT_EQ(LocateArea(false, false, area), ERROR_SUCCESS);
    unsetenv("XDG_DATA_HOME");
    EXPECT_EQ(area.dir, xdg + "/keyhold/keys");
}

TEST_F(AreaTest, DefaultContainerIsTheLoginNameOrTheUid) {
    if (IsRoot()) {
        EXPECT_EQ(DefaultContainerName(), "root");
    }
    EXPECT_FALSE(DefaultContainerName().empty());
    if (!IsRoot()) GTEST_SKIP() << "needs root to become a user without a password entry";
    EXPECT_EQ(InChild([] { return DefaultContainerName(); }, kNoSuchUser), "uid" + std::to_string(kNoSuchUser));
}
