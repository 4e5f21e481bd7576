// Key blob file paths that are no plain file, and key store roots and areas
// that are no plain directory: every program gives an error line and exit
// status 1, never crashes or hangs, and writes nothing through the path.
#include <gtest/gtest.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/un.h>
#include <unistd.h>

#include <functional>

#include "users_support.h"

using namespace users_test;

namespace {

class HostilePathsTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(mkdir(Work().c_str(), 0755), 0);
        ASSERT_EQ(mkdir(Odd().c_str(), 0755), 0);
        ASSERT_TRUE(Matches(Run("Tessaro", {"/N:K", "/L:512", "/X"}).out, kTimeLine));
        ASSERT_EQ(Run("Faldren", {"/N:K", "/K:7", "/F:" + (dir / "k.key")}).status, 0);
    }

    std::string Store() const { return dir / "store"; }
    std::string Work() const { return dir / "work"; }
    std::string Odd() const { return dir / "odd"; }

    RunResult Run(const std::string& program, const std::vector<std::string>& args,
                  const std::string& root = "") const {
        RunOptions options;
        options.env = {{"KEYHOLD_ROOT", root.empty() ? Store() : root}, {"LC_ALL", "C"}};
        options.cwd = Work();
        return RunHere(program, args, options);
    }

    SharedDir dir;
};

struct DeviceId {
    mode_t mode;
    dev_t rdev;
    bool operator==(const DeviceId& o) const { return mode == o.mode && rdev == o.rdev; }
};

DeviceId DeviceOf(const char* path) {
    struct stat st {};
    lstat(path, &st);
    return {st.st_mode, st.st_rdev};
}

// A chain of directories whose path is longer than PATH_MAX, in a directory
// of its own; removed step by step, since no single path reaches its end.
class DeepChain {
public:
    explicit DeepChain(int depth) : depth_(depth) {
        char old[4096];
        if (getcwd(old, sizeof old) == nullptr || chdir(top_.path().c_str()) != 0) return;
        int made = 0;
        while (made < depth_ && mkdir(kComponent.c_str(), 0755) == 0 && chdir(kComponent.c_str()) == 0) ++made;
        made_ = made == depth_;
        for (int i = 0; i < made; ++i) {
            if (chdir("..") != 0) break;
        }
        (void)!chdir(old);
    }
    ~DeepChain() {
        char old[4096];
        if (getcwd(old, sizeof old) == nullptr || chdir(top_.path().c_str()) != 0) return;
        int down = 0;
        while (chdir(kComponent.c_str()) == 0) ++down;
        for (int i = 0; i < down; ++i) {
            if (chdir("..") != 0) break;
            rmdir(kComponent.c_str());
        }
        (void)!chdir(old);
    }
    bool made() const { return made_; }
    const std::string& top() const { return top_.path(); }
    std::string chain() const {
        std::string out = kComponent;
        for (int i = 1; i < depth_; ++i) out += "/" + kComponent;
        return out;
    }

private:
    const std::string kComponent = std::string(200, 'd');
    SharedDir top_;
    int depth_;
    bool made_ = false;
};

TEST_F(HostilePathsTest, KeyBlobPathsThatAreNoPlainFileAreRefused) {
    const std::string odd = Odd();
    ASSERT_EQ(mkdir((odd + "/dir").c_str(), 0755), 0);
    ASSERT_EQ(mkfifo((odd + "/fifo").c_str(), 0644), 0);
    const int sock = socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    const std::string sockPath = odd + "/sock";
    ASSERT_LT(sockPath.size(), sizeof addr.sun_path);
    memcpy(addr.sun_path, sockPath.c_str(), sockPath.size() + 1);
    ASSERT_EQ(bind(sock, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
    ASSERT_EQ(listen(sock, 1), 0);  // a listening socket: a connect would succeed
    ASSERT_EQ(symlink("nowhere", (odd + "/dangling").c_str()), 0);
    ASSERT_EQ(symlink(("../" + odd.substr(odd.rfind('/') + 1) + "/no/such/dir/f").c_str(),
                      (odd + "/dangling-deep").c_str()), 0);
    ASSERT_EQ(symlink("loop2", (odd + "/loop1").c_str()), 0);
    ASSERT_EQ(symlink("loop1", (odd + "/loop2").c_str()), 0);
    WriteBytes(odd + "/file", "plain content");
    ASSERT_EQ(symlink("dir", (odd + "/to-dir").c_str()), 0);
    ASSERT_EQ(symlink("/dev/null", (odd + "/to-null").c_str()), 0);
    // A directory chain deeper than PATH_MAX, made one step at a time.
    DeepChain deep(22);
    ASSERT_TRUE(deep.made());
    const std::string deepRelative = "../../" + deep.top().substr(deep.top().rfind('/') + 1) + "/" + deep.chain();

    struct Path {
        std::string path;
        uint32_t code;
    } paths[] = {
        {odd + "/dir", 5},
        {odd + "/to-dir", 5},
        {"/dev/null", 5},
        {odd + "/to-null", 5},
        {"/dev/zero", 5},
        {"/dev/full", 5},
        {odd + "/fifo", 5},
        {odd + "/sock", 5},
        {odd + "/dangling", 2},
        {odd + "/dangling-deep", 2},
        {odd + "/loop1", 0x781},
        {odd + "/file/x", 3},
        {odd + "/file/", 3},
        {odd + "/" + std::string(300, 'n'), 206},
        {std::string(5000, 'x'), 206},
        {deepRelative + "/k.key", 206},
        {deep.top() + "/" + deep.chain() + "/k.key", 206},
    };
    const DeviceId devices[] = {DeviceOf("/dev/null"), DeviceOf("/dev/zero"), DeviceOf("/dev/full")};
    const Tree before = Picture(dir.path());
    for (const Path& p : paths) {
        struct Step {
            std::string program;
            std::vector<std::string> args;
            std::string before;
        } steps[] = {
            {"Tessaro", {"/N:K", "/L:512", "/X"}, kTimeLine},
            {"Morbeck", {"/N:M", "/L:512"}, kTimeLine},
            {"Faldren", {"/N:K"}, ""},
            {"Faldren", {"/N:K", "/K:7"}, ""},
            {"Ombrix", {"/N:New"}, ""},
        };
        for (Step& s : steps) {
            SCOPED_TRACE(s.program + " " + p.path.substr(0, 80));
            s.args.push_back("/F:" + p.path);
            const RunResult r = Run(s.program, s.args);
            EXPECT_TRUE(Matches(r.out, s.before + ErrorLinePattern(p.code))) << r.out;
            EXPECT_EQ(r.status, 1);
            EXPECT_EQ(r.err, "");
        }
    }
    close(sock);
    // Nothing replaced, filled, created or left behind; only the two
    // containers' files changed, by the generations that went before.
    std::set<std::string> changed = Changed(before, Picture(dir.path()));
    changed.erase("/store/users/" + std::to_string(geteuid()) + "/" + Sha256Hex("K"));
    changed.erase("/store/users/" + std::to_string(geteuid()) + "/" + Sha256Hex("M"));
    EXPECT_TRUE(changed.empty()) << Joined(changed);
    EXPECT_TRUE(DeviceOf("/dev/null") == devices[0]);
    EXPECT_TRUE(DeviceOf("/dev/zero") == devices[1]);
    EXPECT_TRUE(DeviceOf("/dev/full") == devices[2]);
    EXPECT_TRUE(S_ISCHR(DeviceOf("/dev/null").mode));
    EXPECT_TRUE(Matches(Run("Faldren", {"/N:New"}).out, ErrorLinePattern(0x80090016)));
}

// Every program in both areas, against a root or area that is not what it
// should be. Ombrix reads a good key file first, so it reaches the store.
std::vector<std::vector<std::string>> StoreSteps(const std::string& keyFile) {
    std::vector<std::vector<std::string>> steps;
    for (const char* area : {"", "/M"}) {
        std::vector<std::vector<std::string>> base = {
            {"Tessaro", "/N:K", "/L:512"}, {"Tessaro", "/N:Fresh", "/L:512"}, {"Morbeck", "/N:Fresh", "/L:512"},
            {"Vandrel", "/N:K"},           {"Faldren", "/N:K"},               {"Ombrix", "/N:Fresh", "/F:" + keyFile},
            {"Quorvin"},                   {"Zetrask", "/N:K"},
        };
        for (auto& s : base) {
            if (*area) s.push_back(area);
            steps.push_back(s);
        }
    }
    return steps;
}

void ExpectRefusedEverywhere(const HostilePathsTest& test, const std::string& root, const std::string& keyFile,
                             const std::string& errorLine,
                             const std::function<RunResult(const std::string&, const std::vector<std::string>&,
                                                           const std::string&)>& run) {
    (void)test;
    for (const auto& s : StoreSteps(keyFile)) {
        SCOPED_TRACE(s[0] + (s.size() > 1 ? " " + s[1] : "") + (s.back() == "/M" ? " /M" : ""));
        const RunResult r = run(s[0], {s.begin() + 1, s.end()}, root);
        EXPECT_TRUE(Matches(r.out, (s[0] == "Morbeck" ? kTimeLine : "") + errorLine)) << r.out;
        EXPECT_EQ(r.status, 1);
    }
}

TEST_F(HostilePathsTest, RootsThatAreNoDirectoryAreRefused) {
    WriteBytes(dir / "file", "a file, not a directory");
    ASSERT_EQ(symlink((dir / "nowhere").c_str(), (dir / "dangling").c_str()), 0);
    ASSERT_EQ(symlink((dir / "loop-b").c_str(), (dir / "loop-a").c_str()), 0);
    ASSERT_EQ(symlink((dir / "loop-a").c_str(), (dir / "loop-b").c_str()), 0);
    const Tree before = Picture(dir.path());
    auto run = [this](const std::string& p, const std::vector<std::string>& a, const std::string& root) {
        return Run(p, a, root);
    };
    for (const std::string& root : {dir / "file", dir / "file/sub", dir / "dangling", dir / "dangling/sub",
                                    dir / "loop-a"}) {
        SCOPED_TRACE(root);
        ExpectRefusedEverywhere(*this, root, dir / "k.key", kAnyErrorLine, run);
    }
    const std::set<std::string> changed = Changed(before, Picture(dir.path()));
    EXPECT_TRUE(changed.empty()) << Joined(changed);
}

TEST_F(HostilePathsTest, AreasReplacedByLinksAreRefused) {
    ASSERT_TRUE(Matches(Run("Tessaro", {"/M", "/N:K", "/L:512"}).out, kTimeLine));
    const std::string elsewhere = dir / "elsewhere";
    ASSERT_EQ(mkdir(elsewhere.c_str(), 0777), 0);
    const std::string userArea = Store() + "/users/" + std::to_string(geteuid());
    auto run = [this](const std::string& p, const std::vector<std::string>& a, const std::string& root) {
        return Run(p, a, root);
    };
    // Each of the three directories in turn becomes a link to an empty
    // directory; the real one is kept aside and put back afterwards.
    for (const std::string& moved : {Store() + "/machine", userArea, Store() + "/users"}) {
        SCOPED_TRACE(moved);
        ASSERT_EQ(rename(moved.c_str(), (moved + ".real").c_str()), 0);
        ASSERT_EQ(symlink(elsewhere.c_str(), moved.c_str()), 0);
        const Tree before = Picture(dir.path());
        for (const auto& s : StoreSteps(dir / "k.key")) {
            const bool machine = s.back() == "/M";
            // Only the area whose path runs through the link is refused.
            if (machine != (moved == Store() + "/machine")) continue;
            SCOPED_TRACE(s[0] + " " + (s.size() > 1 ? s[1] : ""));
            const RunResult r = run(s[0], {s.begin() + 1, s.end()}, "");
            EXPECT_TRUE(Matches(r.out, (s[0] == "Morbeck" ? kTimeLine : "") + ErrorLinePattern(5))) << r.out;
            EXPECT_EQ(r.status, 1);
        }
        const std::set<std::string> changed = Changed(before, Picture(dir.path()));
        EXPECT_TRUE(changed.empty()) << Joined(changed);
        EXPECT_EQ(Picture(elsewhere).size(), 1u);
        ASSERT_EQ(unlink(moved.c_str()), 0);
        ASSERT_EQ(rename((moved + ".real").c_str(), moved.c_str()), 0);
    }
    // Put back, the store works as before.
    EXPECT_EQ(Run("Faldren", {"/N:K"}).status, 0);
    EXPECT_EQ(Run("Faldren", {"/M", "/N:K"}).status, 0);
}

TEST_F(HostilePathsTest, RootOwnedByAnotherUserIsRefused) {
    if (!IsRoot()) GTEST_SKIP() << "needs root to run the programs as other users";
    if (SetprivPath().empty()) GTEST_SKIP() << "needs setpriv (util-linux) to change user";
    const uid_t owner = UnnamedUid(47011);
    const uid_t other = UnnamedUid(owner + 1);
    const std::string alien = dir / "alien";
    ASSERT_EQ(mkdir(alien.c_str(), 0700), 0);
    ASSERT_EQ(chown(alien.c_str(), owner, owner), 0);
    ASSERT_EQ(chown(Work().c_str(), other, other), 0);
    const std::string keyFile = dir / "other.key";
    WriteBytes(keyFile, ReadBytes(dir / "k.key"));
    ASSERT_EQ(chown(keyFile.c_str(), other, other), 0);
    auto run = [this, other](const std::string& p, const std::vector<std::string>& a, const std::string& root) {
        RunOptions options;
        options.env = {{"KEYHOLD_ROOT", root}, {"LC_ALL", "C"}};
        options.cwd = Work();
        return RunAs(other, p, a, options);
    };
    const Tree before = Picture(dir.path());
    // Closed to others altogether, then open to pass but not to write.
    for (mode_t mode : {0700, 0755}) {
        SCOPED_TRACE(mode);
        ASSERT_EQ(chmod(alien.c_str(), mode), 0);
        ExpectRefusedEverywhere(*this, alien + "/store", keyFile, kAnyErrorLine, run);
        ExpectRefusedEverywhere(*this, alien, keyFile, kAnyErrorLine, run);
    }
    ASSERT_EQ(chmod(alien.c_str(), 0700), 0);
    const std::set<std::string> changed = Changed(before, Picture(dir.path()));
    EXPECT_TRUE(changed.empty()) << Joined(changed);
}

}  // namespace
