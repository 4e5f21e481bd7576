// Two unprivileged users and root sharing one key store: each user's
// containers stay theirs, in the machine area and in the user areas, and the
// store's directories and files carry the modes that make it so. These tests
// change user, so they run only as root.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include "users_support.h"

using namespace users_test;

namespace {

const std::string kDenied = ErrorLinePattern(5);

class OtherUsersTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (!IsRoot()) GTEST_SKIP() << "needs root to run the programs as other users";
        if (SetprivPath().empty()) GTEST_SKIP() << "needs setpriv (util-linux) to change user";
        alice = UnnamedUid(47001);
        bob = UnnamedUid(alice + 1);
        for (uid_t uid : {alice, bob}) {
            const std::string work = Work(uid);
            ASSERT_EQ(mkdir(work.c_str(), 0700), 0);
            ASSERT_EQ(chown(work.c_str(), uid, uid), 0);
        }
    }

    std::string Store() const { return dir / "store"; }
    std::string Machine() const { return Store() + "/machine"; }
    std::string UserArea(uid_t uid) const { return Store() + "/users/" + std::to_string(uid); }
    std::string Work(uid_t uid) const { return dir / ("work-" + std::to_string(uid)); }
    std::string ContainerFile(const std::string& area, const std::string& name) const {
        return area + "/" + Sha256Hex(name);
    }

    RunResult Run(uid_t uid, const std::string& program, const std::vector<std::string>& args,
                  std::map<std::string, std::string> env = {}) const {
        RunOptions options;
        options.env = {{"KEYHOLD_ROOT", Store()}, {"LC_ALL", "C"}};
        for (const auto& [k, v] : env) options.env[k] = v;
        options.cwd = uid == 0 ? dir.path() : Work(uid);
        return RunAs(uid, program, args, options);
    }

    // A store prepared by root as an administrator would: both areas exist.
    void PrepareStore() {
        ASSERT_EQ(Run(0, "Tessaro", {"/N:RootKey", "/L:512"}).status, 0);
        ASSERT_EQ(Run(0, "Tessaro", {"/M", "/N:RootKey", "/L:512", "/X"}).status, 0);
    }

    SharedDir dir;
    uid_t alice = 0;
    uid_t bob = 0;
};

TEST_F(OtherUsersTest, MachineContainersAreTheirOwnersAlone) {
    PrepareStore();
    // Alice makes and uses a container of her own in the machine area.
    RunResult r = Run(alice, "Tessaro", {"/M", "/N:Alice", "/L:512", "/X"});
    ASSERT_TRUE(Matches(r.out, kTimeLine)) << r.out;
    r = Run(alice, "Faldren", {"/M", "/N:Alice", "/K:7", "/F:alice.key"});
    ASSERT_EQ(r.status, 0) << r.out;
    r = Run(alice, "Vandrel", {"/M", "/N:Alice"});
    EXPECT_EQ(r.out.rfind("Container Name=Alice\n", 0), 0u) << r.out;
    EXPECT_EQ(r.status, 0);
    r = Run(alice, "Ombrix", {"/M", "/N:AliceCopy", "/F:alice.key"});
    EXPECT_EQ(r.out, "Import file[alice.key] succeeded.\n");
    r = Run(alice, "Zetrask", {"/M", "/N:AliceCopy"});
    EXPECT_EQ(r.status, 0) << r.out;

    // Bob gets a key file of his own with a valid blob, to try an import.
    WriteBytes(Work(bob) + "/bob.key", ReadBytes(Work(alice) + "/alice.key"));
    ASSERT_EQ(chown((Work(bob) + "/bob.key").c_str(), bob, bob), 0);

    const std::string aliceFile = ContainerFile(Machine(), "Alice");
    ASSERT_TRUE(Exists(aliceFile));
    const std::string aliceBytes = ReadBytes(aliceFile);
    const Tree machineBefore = Picture(Machine());
    const Tree bobWorkBefore = Picture(Work(bob));

    struct Attempt {
        std::string program;
        std::vector<std::string> args;
        std::string before;  // what may come ahead of the error line
    } attempts[] = {
        {"Vandrel", {"/M", "/N:Alice"}, ""},
        {"Faldren", {"/M", "/N:Alice", "/F:stolen.pub"}, ""},
        {"Faldren", {"/M", "/N:Alice", "/K:7", "/F:stolen.key"}, ""},
        {"Tessaro", {"/M", "/N:Alice", "/L:512"}, ""},
        {"Tessaro", {"/M", "/N:Alice", "/L:512", "/F:new.pub"}, ""},
        {"Morbeck", {"/M", "/N:Alice", "/L:512"}, kTimeLine},
        {"Ombrix", {"/M", "/N:Alice", "/F:bob.key"}, ""},
        {"Ombrix", {"/M", "/N:Alice", "/X", "/F:bob.key"}, ""},
        {"Zetrask", {"/M", "/N:Alice"}, ""},
    };
    for (const Attempt& a : attempts) {
        SCOPED_TRACE(a.program + " " + a.args.back());
        r = Run(bob, a.program, a.args);
        EXPECT_TRUE(Matches(r.out, a.before + kDenied)) << r.out;
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.err, "");
    }
    EXPECT_EQ(ReadBytes(aliceFile), aliceBytes);
    EXPECT_TRUE(Changed(machineBefore, Picture(Machine())).empty()) << Joined(Changed(machineBefore, Picture(Machine())));
    EXPECT_TRUE(Changed(bobWorkBefore, Picture(Work(bob))).empty()) << Joined(Changed(bobWorkBefore, Picture(Work(bob))));

    // Nor does Bob see it listed (his listing makes his default container).
    r = Run(bob, "Quorvin", {"/M"});
    EXPECT_EQ(r.out, "Provider Name=keyhold RSA Full Provider\n> Key Container Name List\n  1=uid" +
                         std::to_string(bob) + "\n")
        << r.out;
    r = Run(alice, "Quorvin", {"/M"});
    EXPECT_EQ(r.out, "Provider Name=keyhold RSA Full Provider\n> Key Container Name List\n  1=Alice\n  2=uid" +
                         std::to_string(alice) + "\n")
        << r.out;

    // Alice's container still works for her.
    r = Run(alice, "Faldren", {"/M", "/N:Alice", "/K:7", "/F:again.key"});
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_EQ(ReadBytes(Work(alice) + "/again.key"), ReadBytes(Work(alice) + "/alice.key"));
}

TEST_F(OtherUsersTest, EachUserMakesAndUsesTheirOwnMachineContainers) {
    PrepareStore();
    for (uid_t uid : {alice, bob}) {
        SCOPED_TRACE(uid);
        const std::string name = "/N:Own" + std::to_string(uid);
        EXPECT_TRUE(Matches(Run(uid, "Tessaro", {"/M", name, "/L:512", "/X", "/F:own.pub"}).out, kTimeLine));
        EXPECT_EQ(Run(uid, "Vandrel", {"/M", name}).status, 0);
        EXPECT_EQ(Run(uid, "Faldren", {"/M", name, "/K:7", "/F:own.key"}).status, 0);
        EXPECT_EQ(Run(uid, "Ombrix", {"/M", name + "b", "/F:own.key"}).status, 0);
        EXPECT_EQ(Run(uid, "Morbeck", {"/M", name + "c", "/L:512"}).status, 0);
        EXPECT_EQ(Run(uid, "Zetrask", {"/M", name + "b"}).status, 0);
        EXPECT_EQ(Run(uid, "Zetrask", {"/M", name + "c"}).status, 0);
    }
    // The names are the same length, so one container file of each is left.
    std::map<uid_t, int> owners;
    for (const auto& [path, desc] : Picture(Machine()))
        if (!path.empty()) ++owners[StatOf(Machine() + path).uid];
    EXPECT_EQ(owners, (std::map<uid_t, int>{{0, 1}, {alice, 1}, {bob, 1}}));
}

TEST_F(OtherUsersTest, UserAreasAreClosedToOtherUsers) {
    PrepareStore();
    // Alice's area without KEYHOLD_ROOT: under her home, which Bob then claims.
    const std::string home = dir / "home-alice";
    ASSERT_EQ(mkdir(home.c_str(), 0755), 0);
    ASSERT_EQ(chown(home.c_str(), alice, alice), 0);
    RunOptions homeOptions;
    homeOptions.env = {{"HOME", home}, {"LC_ALL", "C"}};
    homeOptions.unset = {"KEYHOLD_ROOT", "XDG_DATA_HOME"};
    homeOptions.cwd = Work(alice);
    ASSERT_TRUE(Matches(RunAs(alice, "Tessaro", {"/N:Mine", "/L:512"}, homeOptions).out, kTimeLine));
    const std::string area = home + "/.local/share/keyhold/keys";
    EXPECT_EQ(StatOf(area).mode & 07777, 0700u);
    const Tree homeBefore = Picture(home);

    homeOptions.cwd = Work(bob);
    for (const std::vector<std::string>& args : std::vector<std::vector<std::string>>{
             {"Vandrel", "/N:Mine"}, {"Faldren", "/N:Mine", "/F:x.pub"}, {"Tessaro", "/N:Mine", "/L:512"},
             {"Tessaro", "/N:Fresh", "/L:512"}, {"Ombrix", "/N:Fresh", "/F:/dev/null"},
             {"Quorvin"}, {"Zetrask", "/N:Mine"}}) {
        SCOPED_TRACE(args[0] + (args.size() > 1 ? " " + args[1] : ""));
        const RunResult r = RunAs(bob, args[0], {args.begin() + 1, args.end()}, homeOptions);
        EXPECT_TRUE(Matches(r.out, args[0] == "Ombrix" ? kAnyErrorLine : kDenied)) << r.out;
        EXPECT_EQ(r.status, 1);
    }
    EXPECT_TRUE(Changed(homeBefore, Picture(home)).empty()) << Joined(Changed(homeBefore, Picture(home)));
    EXPECT_TRUE(Picture(Work(bob)).size() == 1) << Joined(Changed({}, Picture(Work(bob))));

    // In a shared root, an area Alice made under Bob's number is not Bob's:
    // he is refused and writes nothing into it.
    const std::string squat = UserArea(bob);
    ASSERT_EQ(mkdir(squat.c_str(), 0777), 0);
    ASSERT_EQ(chmod(squat.c_str(), 0777), 0);
    ASSERT_EQ(chown(squat.c_str(), alice, alice), 0);
    for (const std::vector<std::string>& args : std::vector<std::vector<std::string>>{
             {"Tessaro", "/N:B", "/L:512"}, {"Quorvin"}, {"Vandrel", "/N:B"}, {"Zetrask", "/N:B"}}) {
        SCOPED_TRACE(args[0]);
        const RunResult r = Run(bob, args[0], {args.begin() + 1, args.end()});
        EXPECT_TRUE(Matches(r.out, kDenied)) << r.out;
        EXPECT_EQ(r.status, 1);
    }
    EXPECT_EQ(Picture(squat).size(), 1u);

    // Listings of the user area never show another user's containers.
    ASSERT_TRUE(Matches(Run(alice, "Tessaro", {"/N:AliceOnly", "/L:512"}).out, kTimeLine));
    const RunResult root = Run(0, "Quorvin", {});
    EXPECT_EQ(root.out, "Provider Name=keyhold RSA Full Provider\n> Key Container Name List\n  1=RootKey\n  2=root\n")
        << root.out;
}

TEST_F(OtherUsersTest, StoreDirectoriesAndFilesHaveTheirModes) {
    ASSERT_EQ(chmod(dir.path().c_str(), 01777), 0);
    // Under a umask that would open everything and one that would close it.
    for (mode_t mask : {0000, 0077}) {
        SCOPED_TRACE(mask);
        const std::string store = Store();
        const mode_t old = umask(mask);
        // Root makes the root (a user's root would serve that user alone); the
        // others make their areas in it.
        RunResult r = Run(0, "Tessaro", {"/M", "/N:R", "/L:512"});
        EXPECT_TRUE(Matches(r.out, kTimeLine)) << r.out;
        r = Run(alice, "Tessaro", {"/M", "/N:A", "/L:512", "/X"});
        EXPECT_TRUE(Matches(r.out, kTimeLine)) << r.out;
        r = Run(bob, "Tessaro", {"/N:B", "/L:512"});
        EXPECT_TRUE(Matches(r.out, kTimeLine)) << r.out;
        r = Run(alice, "Tessaro", {"/N:A", "/L:512", "/F:t.pub"});
        EXPECT_TRUE(Matches(r.out, kTimeLine)) << r.out;
        r = Run(bob, "Morbeck", {"/M", "/N:B", "/L:512", "/F:m.pub"});
        EXPECT_TRUE(Matches(r.out, kTimeLine)) << r.out;
        r = Run(alice, "Faldren", {"/M", "/N:A", "/K:7", "/F:new.key"});
        EXPECT_EQ(r.status, 0) << r.out;
        umask(old);

        EXPECT_EQ(StatOf(store).mode & 07777, 0755u);
        EXPECT_EQ(StatOf(store + "/users").mode & 07777, 01777u);
        EXPECT_EQ(StatOf(Machine()).mode & 07777, 01777u);
        for (uid_t uid : {alice, bob}) {
            EXPECT_EQ(StatOf(UserArea(uid)).mode & 07777, 0700u) << uid;
            EXPECT_EQ(StatOf(UserArea(uid)).uid, uid);
            for (const auto& [path, desc] : Picture(UserArea(uid))) {
                if (path.empty()) continue;
                EXPECT_EQ(StatOf(UserArea(uid) + path).mode, S_IFREG | 0600) << path;
                EXPECT_EQ(StatOf(UserArea(uid) + path).uid, uid) << path;
            }
        }
        const std::string machineFile = ContainerFile(Machine(), "A");
        EXPECT_EQ(StatOf(machineFile).mode, S_IFREG | 0600);
        EXPECT_EQ(StatOf(machineFile).uid, alice);
        EXPECT_EQ(StatOf(Work(alice) + "/new.key").mode, S_IFREG | 0600);
        EXPECT_EQ(StatOf(Work(alice) + "/new.key").uid, alice);
        EXPECT_EQ(StatOf(Work(alice) + "/t.pub").mode, S_IFREG | 0600);
        EXPECT_EQ(StatOf(Work(bob) + "/m.pub").mode, S_IFREG | 0600);
        EXPECT_EQ(StatOf(Work(bob) + "/m.pub").uid, bob);

        // Start again from nothing for the other umask.
        nftw(store.c_str(), [](const char* p, const struct stat*, int, struct FTW*) { return remove(p); }, 16,
             FTW_DEPTH | FTW_PHYS);
        for (const std::string& f : {Work(alice) + "/new.key", Work(alice) + "/t.pub", Work(bob) + "/m.pub"})
            unlink(f.c_str());
    }
}

// A root that a user made is that user's to rearrange, so no one else uses
// it, root included; one that root made serves everybody, whichever area
// was used first.
TEST_F(OtherUsersTest, ARootServesEveryoneOnlyWhenRootMadeIt) {
    ASSERT_EQ(chmod(dir.path().c_str(), 01777), 0);
    for (bool machineFirst : {true, false}) {
        SCOPED_TRACE(machineFirst);
        const std::vector<std::string> first = machineFirst ? std::vector<std::string>{"/M", "/N:A", "/L:512"}
                                                            : std::vector<std::string>{"/N:A", "/L:512"};
        RunResult r = Run(0, "Tessaro", first);
        ASSERT_TRUE(Matches(r.out, kTimeLine)) << r.out;
        r = Run(bob, "Tessaro", {"/N:B", "/L:512"});
        EXPECT_TRUE(Matches(r.out, kTimeLine)) << r.out;
        r = Run(bob, "Tessaro", {"/M", "/N:B", "/L:512"});
        EXPECT_TRUE(Matches(r.out, kTimeLine)) << r.out;
        nftw(Store().c_str(), [](const char* p, const struct stat*, int, struct FTW*) { return remove(p); }, 16,
             FTW_DEPTH | FTW_PHYS);
    }
    ASSERT_TRUE(Matches(Run(alice, "Tessaro", {"/N:A", "/L:512"}).out, kTimeLine));
    EXPECT_EQ(StatOf(Store()).uid, alice);
    EXPECT_TRUE(Matches(Run(alice, "Tessaro", {"/M", "/N:A", "/L:512"}).out, kTimeLine));
    for (uid_t other : {bob, uid_t{0}}) {
        for (const char* area : {"", "/M"}) {
            SCOPED_TRACE(std::to_string(other) + area);
            std::vector<std::string> args = {"/N:B", "/L:512"};
            if (*area != 0) args.push_back(area);
            const RunResult r = Run(other, "Tessaro", args);
            EXPECT_TRUE(Matches(r.out, ErrorLinePattern(5))) << r.out;
        }
    }
}

TEST_F(OtherUsersTest, EntriesPlantedByAnotherUserMisleadNobody) {
    PrepareStore();
    // Bob knows how the store names files, so he plants entries where Alice's
    // container and her writers' temporary file will go.
    const std::string bait = Work(bob) + "/bait";
    WriteBytes(bait, "bob's file");
    ASSERT_EQ(chmod(bait.c_str(), 0666), 0);
    ASSERT_EQ(chmod(Work(bob).c_str(), 0755), 0);
    ASSERT_EQ(symlink(bait.c_str(), ContainerFile(Machine(), "Linked").c_str()), 0);
    ASSERT_EQ(mkfifo(ContainerFile(Machine(), "Fifo").c_str(), 0666), 0);
    char temp[32];
    snprintf(temp, sizeof temp, ".khtmp-%016llx", (unsigned long long)alice);
    ASSERT_EQ(symlink(bait.c_str(), (Machine() + "/" + temp).c_str()), 0);
    for (const std::string& planted : {ContainerFile(Machine(), "Linked"), ContainerFile(Machine(), "Fifo"),
                                       Machine() + "/" + temp})
        ASSERT_EQ(lchown(planted.c_str(), bob, bob), 0);
    const Tree before = Picture(dir.path());

    for (uid_t uid : {alice, (uid_t)0}) {
        for (const char* name : {"/N:Linked", "/N:Fifo"}) {
            SCOPED_TRACE(std::to_string(uid) + " " + name);
            for (const std::vector<std::string>& args : std::vector<std::vector<std::string>>{
                     {"Tessaro", "/M", name, "/L:512"}, {"Vandrel", "/M", name}, {"Faldren", "/M", name}}) {
                const RunResult r = Run(uid, args[0], {args.begin() + 1, args.end()});
                EXPECT_TRUE(Matches(r.out, kAnyErrorLine)) << args[0] << ": " << r.out;
                EXPECT_EQ(r.status, 1);
            }
        }
    }
    EXPECT_EQ(ReadBytes(bait), "bob's file");
    const std::set<std::string> changed = Changed(before, Picture(dir.path()));
    EXPECT_TRUE(changed.empty()) << Joined(changed);

    // Alice's own writes go on beside the planted temporary name.
    EXPECT_TRUE(Matches(Run(alice, "Tessaro", {"/M", "/N:Mine", "/L:512"}).out, kTimeLine));
    EXPECT_TRUE(Matches(Run(alice, "Tessaro", {"/M", "/N:Mine", "/L:512"}).out, kTimeLine));
    EXPECT_EQ(ReadBytes(bait), "bob's file");
    EXPECT_EQ(StatOf(ContainerFile(Machine(), "Mine")).uid, alice);
}

TEST_F(OtherUsersTest, KeyFilesOfAnotherUserInASharedDirectoryStayTheirs) {
    PrepareStore();
    ASSERT_TRUE(Matches(Run(bob, "Tessaro", {"/M", "/N:Bob", "/L:512", "/X"}).out, kTimeLine));
    const std::string shared = dir / "shared";
    ASSERT_EQ(mkdir(shared.c_str(), 0777), 0);
    ASSERT_EQ(chmod(shared.c_str(), 01777), 0);
    // Alice's files there: one only she may write, one anybody may write.
    for (const char* name : {"closed.key", "open.key"}) {
        WriteBytes(shared + "/" + name, "alice's key file");
        ASSERT_EQ(chown((shared + "/" + name).c_str(), alice, alice), 0);
    }
    ASSERT_EQ(chmod((shared + "/closed.key").c_str(), 0644), 0);
    ASSERT_EQ(chmod((shared + "/open.key").c_str(), 0666), 0);
    const Tree before = Picture(shared);
    for (const char* name : {"closed.key", "open.key"}) {
        SCOPED_TRACE(name);
        const std::string path = "/F:" + shared + "/" + name;
        RunResult r = Run(bob, "Faldren", {"/M", "/N:Bob", "/K:7", path});
        EXPECT_TRUE(Matches(r.out, kDenied)) << r.out;
        EXPECT_EQ(r.status, 1);
        r = Run(bob, "Tessaro", {"/M", "/N:Bob", "/L:512", "/X", path});
        EXPECT_TRUE(Matches(r.out, kTimeLine + kDenied)) << r.out;
        EXPECT_EQ(r.status, 1);
    }
    const std::set<std::string> changed = Changed(before, Picture(shared));
    EXPECT_TRUE(changed.empty()) << Joined(changed);
    // A new file of his own there is his, and private.
    EXPECT_EQ(Run(bob, "Faldren", {"/M", "/N:Bob", "/K:7", "/F:" + shared + "/bob.key"}).status, 0);
    EXPECT_EQ(StatOf(shared + "/bob.key").mode, S_IFREG | 0600);
    EXPECT_EQ(StatOf(shared + "/bob.key").uid, bob);
}

// Root replacing a user's file with a public key leaves it hers; with a
// private key, the file becomes root's own, readable by no one else.
TEST_F(OtherUsersTest, RootReplacingAUsersKeyFileLeavesPublicKeysTheirsAndPrivateKeysRoots) {
    PrepareStore();
    const std::string shared = dir / "shared";
    ASSERT_EQ(mkdir(shared.c_str(), 0777), 0);
    ASSERT_EQ(chmod(shared.c_str(), 01777), 0);
    const std::string file = shared + "/alice.key";
    struct Step {
        std::string program;
        std::vector<std::string> args;
        bool secret;
    } steps[] = {
        {"Faldren", {"/M", "/N:RootKey", "/K:7"}, true},
        {"Tessaro", {"/M", "/N:RootKey", "/L:512", "/X"}, false},
        {"Morbeck", {"/M", "/N:RootKey", "/L:512"}, false},
    };
    for (Step& s : steps) {
        SCOPED_TRACE(s.program);
        unlink(file.c_str());
        WriteBytes(file, "alice's old key file");
        ASSERT_EQ(chown(file.c_str(), alice, alice), 0);
        ASSERT_EQ(chmod(file.c_str(), 0640), 0);
        s.args.push_back("/F:" + file);
        const RunResult r = Run(0, s.program, s.args);
        EXPECT_EQ(r.status, 0) << r.out;
        EXPECT_NE(ReadBytes(file), "alice's old key file");
        EXPECT_EQ(StatOf(file).uid, s.secret ? 0u : alice);
        EXPECT_EQ(StatOf(file).mode, S_IFREG | (s.secret ? 0600 : 0640));
        if (s.secret) continue;
        // Still hers: she replaces it, and she may remove it from the sticky directory.
        EXPECT_TRUE(Matches(Run(alice, "Tessaro", {"/M", "/N:Alice", "/L:512", "/F:" + file}).out, kTimeLine));
        EXPECT_EQ(StatOf(file).uid, alice);
        RunOptions options;
        options.cwd = dir.path();
        EXPECT_EQ(RunProgram(SetprivPath(), {"--reuid=" + std::to_string(alice), "--regid=" + std::to_string(alice),
                                             "--clear-groups", "/bin/rm", file},
                             options)
                      .status,
                  0);
        EXPECT_FALSE(Exists(file));
    }
}

TEST_F(OtherUsersTest, LinksAnotherUserPlantsInASharedDirectoryAreNotFollowed) {
    PrepareStore();
    ASSERT_TRUE(Matches(Run(alice, "Tessaro", {"/M", "/N:Alice", "/L:512", "/X"}).out, kTimeLine));
    const std::string shared = dir / "shared";
    ASSERT_EQ(mkdir(shared.c_str(), 0777), 0);
    ASSERT_EQ(chmod(shared.c_str(), 01777), 0);
    // Root's file, and a directory of root's, that Bob would like overwritten.
    const std::string victim = dir / "victim";
    WriteBytes(victim, "root's precious file");
    ASSERT_EQ(mkdir((dir / "victim-dir").c_str(), 0755), 0);
    WriteBytes(dir / "victim-dir/k.key", "root's key file");
    for (const auto& [name, target] : std::vector<std::pair<std::string, std::string>>{
             {"out.key", victim}, {"dirlink", dir / "victim-dir"}}) {
        ASSERT_EQ(symlink(target.c_str(), (shared + "/" + name).c_str()), 0);
        ASSERT_EQ(lchown((shared + "/" + name).c_str(), bob, bob), 0);
    }
    const Tree before = Picture(dir.path());
    for (const std::string& path : {shared + "/out.key", shared + "/dirlink/k.key"}) {
        for (uid_t uid : {(uid_t)0, alice}) {
            SCOPED_TRACE(path + " as " + std::to_string(uid));
            const std::string container = uid == 0 ? "/N:RootKey" : "/N:Alice";
            struct Step {
                std::string program;
                std::vector<std::string> args;
                std::string before;
            } steps[] = {
                {"Faldren", {"/M", container, "/K:7"}, ""},
                {"Faldren", {"/M", container}, ""},
                {"Ombrix", {"/M", "/N:Imported"}, ""},
            };
            for (Step& s : steps) {
                s.args.push_back("/F:" + path);
                const RunResult r = Run(uid, s.program, s.args);
                EXPECT_TRUE(Matches(r.out, s.before + kDenied)) << s.program << ": " << r.out;
                EXPECT_EQ(r.status, 1);
            }
        }
    }
    EXPECT_EQ(ReadBytes(victim), "root's precious file");
    EXPECT_EQ(ReadBytes(dir / "victim-dir/k.key"), "root's key file");
    const std::set<std::string> changed = Changed(before, Picture(dir.path()));
    EXPECT_TRUE(changed.empty()) << Joined(changed);

    // A link of one's own there is followed as anywhere else.
    ASSERT_EQ(symlink(victim.c_str(), (shared + "/mine.key").c_str()), 0);
    EXPECT_EQ(Run(0, "Faldren", {"/M", "/N:RootKey", "/F:" + shared + "/mine.key"}).status, 0);
    EXPECT_NE(ReadBytes(victim), "root's precious file");
    EXPECT_EQ(StatOf(shared + "/mine.key").mode & S_IFMT, (mode_t)S_IFLNK);
}

// Root reads and deletes every container, but stores keys only in its own:
// a container another user made under a name root uses later (squatting)
// never receives root's keys.
TEST_F(OtherUsersTest, RootReadsAndDeletesEveryContainerButWritesOnlyItsOwn) {
    PrepareStore();
    ASSERT_TRUE(Matches(Run(alice, "Tessaro", {"/M", "/N:Alice", "/L:512", "/X"}).out, kTimeLine));
    ASSERT_EQ(Run(alice, "Faldren", {"/M", "/N:Alice", "/K:7", "/F:alice.key"}).status, 0);
    const std::string aliceFile = ContainerFile(Machine(), "Alice");

    RunResult r = Run(0, "Vandrel", {"/M", "/N:Alice"});
    EXPECT_EQ(r.out.rfind("Container Name=Alice\n", 0), 0u) << r.out;
    r = Run(0, "Faldren", {"/M", "/N:Alice", "/K:7", "/F:root.key"});
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_EQ(ReadBytes(dir / "root.key"), ReadBytes(Work(alice) + "/alice.key"));
    r = Run(0, "Quorvin", {"/M"});
    EXPECT_NE(r.out.find("=Alice\n"), std::string::npos) << r.out;

    const std::string before = ReadBytes(aliceFile);
    for (const auto& args : {std::vector<std::string>{"Tessaro", "/M", "/N:Alice", "/L:512", "/X"},
                             std::vector<std::string>{"Morbeck", "/M", "/N:Alice", "/L:512"},
                             std::vector<std::string>{"Ombrix", "/M", "/N:Alice", "/X", "/F:root.key"}}) {
        SCOPED_TRACE(args[0]);
        r = Run(0, args[0], std::vector<std::string>(args.begin() + 1, args.end()));
        EXPECT_TRUE(Matches(r.out, std::string(args[0] == "Morbeck" ? kTimeLine : "") + ErrorLinePattern(5))) << r.out;
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(ReadBytes(aliceFile), before);
    }

    r = Run(0, "Zetrask", {"/M", "/N:Alice"});
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_FALSE(Exists(aliceFile));
    r = Run(alice, "Vandrel", {"/M", "/N:Alice"});
    EXPECT_TRUE(Matches(r.out, ErrorLinePattern(0x80090016))) << r.out;
}

}  // namespace
