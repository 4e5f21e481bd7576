// Another user on the same machine attacks the store and the key blob file
// writer: the findings of a review, each replayed as written. Every attack
// must end with the victim's files and keys safe: the operation succeeds with
// files of the victim's own (0600 for a private key), or it fails with one
// error line and changes nothing.
#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <functional>

#include <gtest/gtest.h>

#include "legacy_container.h"
#include "users_support.h"

using namespace users_test;

namespace {

const std::string kDenied = ErrorLinePattern(5);

// Runs `body` in a child process as `uid` (group the same, no others) and
// returns its exit status.
int AsUser(uid_t uid, const std::function<int()>& body) {
    fflush(stdout);
    const pid_t pid = fork();
    if (pid == 0) {
        if (setgroups(0, nullptr) != 0 || setgid(uid) != 0 || setuid(uid) != 0) _exit(90);
        _exit(body());
    }
    int status = 0;
    if (pid < 0 || waitpid(pid, &status, 0) != pid) return -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

// Another user's process that waits, with inotify, for someone to open
// `path`, and then does `act` to it at once.
class Ambush {
public:
    Ambush(uid_t uid, const std::string& path, std::function<void(const std::string&)> act) {
        int ready[2];
        if (pipe(ready) != 0) return;
        fflush(stdout);
        pid_ = fork();
        if (pid_ == 0) {
            close(ready[0]);
            if (setgroups(0, nullptr) != 0 || setgid(uid) != 0 || setuid(uid) != 0) _exit(90);
            const int fd = inotify_init1(IN_CLOEXEC);
            if (fd < 0 || inotify_add_watch(fd, path.c_str(), IN_OPEN) < 0) _exit(91);
            if (write(ready[1], "r", 1) != 1) _exit(92);
            pollfd p{fd, POLLIN, 0};
            if (poll(&p, 1, 5000) != 1) _exit(1);  // nobody opened it
            act(path);
            _exit(0);
        }
        close(ready[1]);
        char c = 0;
        armed_ = pid_ > 0 && read(ready[0], &c, 1) == 1;
        close(ready[0]);
    }
    ~Ambush() { Sprung(); }
    bool armed() const { return armed_; }
    // Whether it acted; waits for it to end.
    bool Sprung() {
        if (pid_ <= 0) return sprung_;
        int status = 0;
        waitpid(pid_, &status, 0);
        pid_ = -1;
        sprung_ = WIFEXITED(status) && WEXITSTATUS(status) == 0;
        return sprung_;
    }

private:
    pid_t pid_ = -1;
    bool armed_ = false;
    bool sprung_ = false;
};

struct FileId {
    std::string bytes;
    ino_t inode = 0;
    mode_t mode = 0;
    uid_t uid = 0;
    bool operator==(const FileId& o) const {
        return bytes == o.bytes && inode == o.inode && mode == o.mode && uid == o.uid;
    }
};

FileId IdOf(const std::string& path) {
    struct stat st {};
    FileId id;
    if (lstat(path.c_str(), &st) != 0) return id;
    id.bytes = ReadBytes(path);
    id.inode = st.st_ino;
    id.mode = st.st_mode;
    id.uid = st.st_uid;
    return id;
}

class AttackTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (!IsRoot()) GTEST_SKIP() << "needs root to play another user";
        if (SetprivPath().empty()) GTEST_SKIP() << "needs setpriv (util-linux) to change user";
        mallory = UnnamedUid(48001);
        victim = UnnamedUid(mallory + 1);
        for (uid_t uid : {mallory, victim}) {
            ASSERT_EQ(mkdir(Work(uid).c_str(), 0700), 0);
            ASSERT_EQ(chown(Work(uid).c_str(), uid, uid), 0);
        }
        // A world-writable sticky directory, as /tmp is.
        ASSERT_EQ(mkdir(Shared().c_str(), 0777), 0);
        ASSERT_EQ(chmod(Shared().c_str(), 01777), 0);
        // The store as an administrator leaves it: made by root, both areas there.
        setenv("KEYHOLD_ROOT", Store().c_str(), 1);
        keyhold::Area area;
        ASSERT_EQ(keyhold::LocateArea(true, true, area), ERROR_SUCCESS);
    }
    void TearDown() override { unsetenv("KEYHOLD_ROOT"); }

    std::string Store() const { return dir / "store"; }
    std::string Machine() const { return Store() + "/machine"; }
    std::string Shared() const { return dir / "tmp"; }
    std::string Work(uid_t uid) const { return dir / ("work-" + std::to_string(uid)); }

    RunResult Run(uid_t uid, const std::string& program, const std::vector<std::string>& args,
                  const std::string& root = "") const {
        RunOptions options;
        options.env = {{"KEYHOLD_ROOT", root.empty() ? Store() : root}, {"LC_ALL", "C"}};
        options.cwd = uid == 0 ? dir.path() : Work(uid);
        return RunAs(uid, program, args, options);
    }

    // A file of `uid`'s in the shared directory, mode 0666, as an attacker leaves one.
    void PlantFile(uid_t uid, const std::string& path) {
        ASSERT_EQ(AsUser(uid,
                         [&] {
                             const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0666);
                             return fd >= 0 && fchmod(fd, 0666) == 0 && close(fd) == 0 ? 0 : 1;
                         }),
                  0);
    }

    SharedDir dir;
    uid_t mallory = 0;
    uid_t victim = 0;
};

// A file swapped for a link to a file of root's the moment root opens it:
// root's file stays as it was, whatever the timing.
TEST_F(AttackTest, ALinkSwappedInMidWriteNeverRedirectsIt) {
    ASSERT_TRUE(Matches(Run(0, "Tessaro", {"/N:RootKey", "/L:512", "/X"}).out, kTimeLine));
    const std::string precious = dir / "precious";
    WriteBytes(precious, "root's own file");
    ASSERT_EQ(chmod(precious.c_str(), 0600), 0);
    const FileId before = IdOf(precious);
    const std::string out = Shared() + "/out.blob";
    int swapped = 0;
    for (int round = 0; round < 60; ++round) {
        SCOPED_TRACE(round);
        unlink(out.c_str());
        PlantFile(mallory, out);
        Ambush swap(mallory, out, [&](const std::string& p) {
            unlink(p.c_str());
            (void)symlink(precious.c_str(), p.c_str());
        });
        ASSERT_TRUE(swap.armed());
        const RunResult r = Run(0, "Faldren", {"/N:RootKey", round % 2 ? "/K:7" : "/K:6", "/F:" + out});
        swapped += swap.Sprung();
        EXPECT_TRUE(IdOf(precious) == before) << r.out;
        // What the name holds now is root's new file, or Mallory's link left
        // alone when she came too late for root's check... never root's file.
        const Owned now = StatOf(out);
        if (S_ISREG(now.mode) && now.uid != mallory) {
            EXPECT_EQ(now.mode & 0777, 0600u);
        }
        if (HasFailure()) break;
    }
    printf("[ figures  ] link swaps landed in %d of 60 writes by root\n", swapped);
}

// The target deleted the moment the victim opens it, and files the victim
// owns with other modes: a private key lands in a file of the victim's own,
// 0600, every time.
TEST_F(AttackTest, APrivateKeyNeverLandsInAFileOthersCanRead) {
    ASSERT_TRUE(Matches(Run(victim, "Tessaro", {"/N:K", "/L:512", "/X"}).out, kTimeLine));
    const std::string out = Shared() + "/victim.key";
    int deleted = 0;
    for (int round = 0; round < 20; ++round) {
        SCOPED_TRACE(round);
        unlink(out.c_str());
        PlantFile(mallory, out);
        Ambush remove(mallory, out, [](const std::string& p) { unlink(p.c_str()); });
        ASSERT_TRUE(remove.armed());
        const RunResult r = Run(victim, "Faldren", {"/N:K", "/K:7", "/F:" + out});
        deleted += remove.Sprung();
        if (r.status == 0) {
            EXPECT_EQ(StatOf(out).uid, victim);
            EXPECT_EQ(StatOf(out).mode, S_IFREG | 0600);
        } else {
            EXPECT_TRUE(Matches(r.out, kAnyErrorLine)) << r.out;
        }
        if (HasFailure()) break;
    }
    // Without any attacker: the victim's own file, readable by all before.
    const std::string own = Work(victim) + "/own.key";
    ASSERT_EQ(AsUser(victim, [&] { return creat(own.c_str(), 0644) >= 0 && chmod(own.c_str(), 0644) == 0 ? 0 : 1; }),
              0);
    ASSERT_EQ(Run(victim, "Faldren", {"/N:K", "/K:7", "/F:own.key"}).status, 0);
    EXPECT_EQ(StatOf(own).mode, S_IFREG | 0600);
    printf("[ figures  ] targets deleted in %d of 20 private exports\n", deleted);
}

// Mallory makes the machine containers that root will use later, under a
// name root picks and under root's default name: root's keys never go there.
TEST_F(AttackTest, SquattedContainersNeverReceiveRootsKeys) {
    ASSERT_TRUE(Matches(Run(0, "Tessaro", {"/N:Seed", "/L:512", "/X"}).out, kTimeLine));
    ASSERT_EQ(Run(0, "Faldren", {"/N:Seed", "/K:7", "/F:seed.key"}).status, 0);
    for (const char* name : {"web", "root"})
        ASSERT_TRUE(Matches(Run(mallory, "Tessaro", {"/M", std::string("/N:") + name, "/L:512"}).out, kTimeLine));
    const Tree before = Picture(Machine());
    struct Attempt {
        std::string program;
        std::vector<std::string> args;
        std::string before;
    } attempts[] = {
        {"Tessaro", {"/M", "/N:web", "/L:512"}, ""},
        {"Tessaro", {"/M", "/L:512"}, ""},  // the default container, "root"
        {"Ombrix", {"/M", "/N:web", "/X", "/F:seed.key"}, ""},
        {"Morbeck", {"/M", "/N:web", "/L:512"}, kTimeLine},
    };
    for (const Attempt& a : attempts) {
        SCOPED_TRACE(a.program);
        const RunResult r = Run(0, a.program, a.args);
        EXPECT_TRUE(Matches(r.out, a.before + kDenied)) << r.out;
        EXPECT_EQ(r.status, 1);
    }
    EXPECT_TRUE(Changed(before, Picture(Machine())).empty());
    // Root may still remove them, and then use the names for itself.
    EXPECT_EQ(Run(0, "Zetrask", {"/M", "/N:web"}).status, 0);
    EXPECT_TRUE(Matches(Run(0, "Tessaro", {"/M", "/N:web", "/L:512"}).out, kTimeLine));
}

// Mallory holds an exclusive lock on the machine area's directory, which
// every user can open: root's writers neither wait for it nor fail.
TEST_F(AttackTest, AnotherUsersLockNeverHoldsAWriter) {
    ASSERT_TRUE(Matches(Run(0, "Tessaro", {"/M", "/N:first", "/L:512"}).out, kTimeLine));
    int ready[2];
    ASSERT_EQ(pipe(ready), 0);
    fflush(stdout);
    const pid_t holder = fork();
    if (holder == 0) {
        close(ready[0]);
        if (setgroups(0, nullptr) != 0 || setgid(mallory) != 0 || setuid(mallory) != 0) _exit(90);
        const int fd = open(Machine().c_str(), O_RDONLY | O_DIRECTORY);
        if (fd < 0 || flock(fd, LOCK_EX) != 0 || write(ready[1], "l", 1) != 1) _exit(91);
        pause();
        _exit(0);
    }
    close(ready[1]);
    char c = 0;
    ASSERT_EQ(read(ready[0], &c, 1), 1);
    close(ready[0]);
    struct Step {
        std::vector<std::string> args;
        std::string out;
    } steps[] = {
        {{"Tessaro", "/M", "/N:web", "/L:512"}, kTimeLine},
        {{"Tessaro", "/M", "/N:web", "/L:512"}, kTimeLine},
        {{"Zetrask", "/M", "/N:web"}, "[^\n]*\\[web\\][^\n]*\n"},
    };
    for (const Step& s : steps) {
        SCOPED_TRACE(s.args[0]);
        // A run that waited for the lock would be ended by timeout (status 124).
        std::vector<std::string> args = {"20", ProgramPath(s.args[0])};
        args.insert(args.end(), s.args.begin() + 1, s.args.end());
        RunOptions options;
        options.env = {{"KEYHOLD_ROOT", Store()}, {"LC_ALL", "C"}};
        const RunResult r = RunProgram("/usr/bin/timeout", args, options);
        EXPECT_EQ(r.status, 0) << r.out;
        EXPECT_TRUE(Matches(r.out, s.out)) << r.out;
    }
    kill(holder, SIGKILL);
    waitpid(holder, nullptr, 0);
}

// Mallory plants a container (as an earlier version could make it) whose name
// does not fit the listing's buffer: root's listing of the machine area still
// shows every other container and ends normally.
TEST_F(AttackTest, ALongNameNeverHidesOthersContainers) {
    for (const char* name : {"a", "m", "z"})
        ASSERT_TRUE(Matches(Run(0, "Tessaro", {"/M", std::string("/N:") + name, "/L:512"}).out, kTimeLine));
    const std::string longName(1100, 'n');
    ASSERT_EQ(AsUser(mallory, [&] { return keyhold_test::PlantLegacyContainer(longName, true) ? 0 : 1; }), 0);
    // Nor can she make one through the store.
    EXPECT_TRUE(Matches(Run(mallory, "Tessaro", {"/M", "/N:" + std::string(1024, 'x'), "/L:512"}).out,
                        ErrorLinePattern(0x8009001F)));
    const RunResult r = Run(0, "Quorvin", {"/M"});
    EXPECT_EQ(r.out, "Provider Name=keyhold RSA Full Provider\n> Key Container Name List\n  1=a\n  2=m\n  3=root\n  4=z\n");
    EXPECT_EQ(r.status, 0);
    // Hers stays hers to open and delete.
    EXPECT_EQ(Run(mallory, "Zetrask", {"/M", "/N:" + longName}).status, 0);
}

// A store root that another user owns, or whose machine area anyone may
// write without the sticky bit: root uses neither, and writes nothing there.
TEST_F(AttackTest, AnAreaAnotherUserControlsIsNeverUsed) {
    const std::string theirs = dir / "theirs";
    ASSERT_EQ(mkdir(theirs.c_str(), 0755), 0);
    ASSERT_EQ(mkdir((theirs + "/machine").c_str(), 0777), 0);
    ASSERT_EQ(chmod((theirs + "/machine").c_str(), 0777), 0);
    for (const std::string& d : {theirs, theirs + "/machine"}) ASSERT_EQ(chown(d.c_str(), mallory, mallory), 0);
    const std::string open = dir / "open";
    ASSERT_EQ(mkdir(open.c_str(), 0755), 0);
    ASSERT_EQ(mkdir((open + "/machine").c_str(), 0777), 0);
    ASSERT_EQ(chmod((open + "/machine").c_str(), 0777), 0);
    for (const std::string& root : {theirs, open}) {
        SCOPED_TRACE(root);
        const Tree before = Picture(root);
        for (const std::vector<std::string>& args :
             {std::vector<std::string>{"Tessaro", "/M", "/N:web", "/L:512"}, {"Quorvin", "/M"}}) {
            const RunResult r = Run(0, args[0], {args.begin() + 1, args.end()}, root);
            EXPECT_TRUE(Matches(r.out, kDenied)) << r.out;
            EXPECT_EQ(r.status, 1);
        }
        EXPECT_TRUE(Changed(before, Picture(root)).empty());
    }
}

// While Tessaro and Morbeck generate as another user, their /proc entries
// are root's (the programs are not dumpable), and an abort leaves no core.
TEST_F(AttackTest, PrivateKeysNeverReachCoreDumps) {
    const std::string corePattern = ReadBytes("/proc/sys/kernel/core_pattern");
    const bool coreFiles = !corePattern.empty() && corePattern[0] != '|';
    for (const std::string program : {"Tessaro", "Morbeck"}) {
        SCOPED_TRACE(program);
        fflush(stdout);
        const pid_t pid = fork();
        if (pid == 0) {
            if (chdir(Work(victim).c_str()) != 0) _exit(90);
            setenv("KEYHOLD_ROOT", Store().c_str(), 1);
            const std::string path = ProgramPath(program);
            const std::string limit = "ulimit -c unlimited && exec \"$0\" \"$@\"";
            execl(SetprivPath().c_str(), "setpriv", ("--reuid=" + std::to_string(victim)).c_str(),
                  ("--regid=" + std::to_string(victim)).c_str(), "--clear-groups", "/bin/sh", "-c", limit.c_str(),
                  path.c_str(), "/N:big", "/L:4096", nullptr);
            _exit(127);
        }
        ASSERT_GT(pid, 0);
        // Once it runs as the victim, its status file tells who may read it.
        const std::string status = "/proc/" + std::to_string(pid) + "/status";
        bool asVictim = false;
        for (int i = 0; i < 2000 && !asVictim; ++i) {
            asVictim = ReadBytes(status).find("\nUid:\t" + std::to_string(victim)) != std::string::npos &&
                       ReadBytes("/proc/" + std::to_string(pid) + "/comm") == program + "\n";
            if (!asVictim) usleep(1000);
        }
        ASSERT_TRUE(asVictim);
        usleep(50000);  // well inside the generation of a 4096-bit key
        EXPECT_EQ(StatOf(status).uid, 0u) << "the running program's /proc entries are its user's";
        kill(pid, SIGABRT);
        int st = 0;
        waitpid(pid, &st, 0);
        EXPECT_TRUE(WIFSIGNALED(st) && WTERMSIG(st) == SIGABRT && !WCOREDUMP(st)) << st;
        if (coreFiles) {
            EXPECT_TRUE(Entries(Work(victim)).empty());
        }
    }
}

// Mallory plants files under the temporary names of the victim's writers
// and 60,000 more in the machine area: the victim's writes succeed, read no
// directory, and leave every planted file alone.
TEST_F(AttackTest, PlantedFilesCostAVictimNothing) {
    if (access("/usr/bin/strace", X_OK) != 0) GTEST_SKIP() << "needs strace to count directory reads";
    ASSERT_TRUE(Matches(Run(victim, "Tessaro", {"/M", "/N:web", "/L:512", "/X"}).out, kTimeLine));
    ASSERT_EQ(Run(victim, "Faldren", {"/M", "/N:web", "/K:7", "/F:web.key"}).status, 0);
    ASSERT_EQ(AsUser(mallory,
                     [&] {
                         const int dirFd = open(Machine().c_str(), O_RDONLY | O_DIRECTORY);
                         // The temporary names a writer of hers would take: one of
                         // her container's, and one of her own that writers once used.
                         char ofUser[32];
                         snprintf(ofUser, sizeof ofUser, ".khtmp-%016llx", (unsigned long long)victim);
                         int fd = -1;
                         for (const std::string& temp : {".khtmp-" + Sha256Hex("web"), std::string(ofUser)}) {
                             fd = openat(dirFd, temp.c_str(), O_WRONLY | O_CREAT | O_EXCL, 0644);
                             if (fd < 0 || close(fd) != 0) return 1;
                         }
                         for (int i = 0; i < 60000; ++i) {
                             const std::string name = ".khtmp-" + std::to_string(i);
                             fd = openat(dirFd, name.c_str(), O_WRONLY | O_CREAT | O_EXCL, 0644);
                             if (fd < 0 || close(fd) != 0) return 2;
                         }
                         return 0;
                     }),
              0);
    const std::size_t planted = Entries(Machine()).size();
    for (const std::vector<std::string>& args :
         {std::vector<std::string>{"Ombrix", "/M", "/N:web", "/X", "/F:web.key"},
          std::vector<std::string>{"Tessaro", "/M", "/N:web", "/L:512"}, std::vector<std::string>{"Zetrask", "/M", "/N:web"}}) {
        SCOPED_TRACE(args[0]);
        const std::string trace = dir / "trace";
        std::vector<std::string> all = {"-f", "-qq", "-e", "trace=getdents,getdents64", "-o", trace, SetprivPath(),
                                        "--reuid=" + std::to_string(victim), "--regid=" + std::to_string(victim),
                                        "--clear-groups", ProgramPath(args[0])};
        all.insert(all.end(), args.begin() + 1, args.end());
        RunOptions options;
        // LeakSanitizer cannot work under ptrace; in a sanitized build it would end the run.
        options.env = {{"KEYHOLD_ROOT", Store()}, {"LC_ALL", "C"}, {"ASAN_OPTIONS", "detect_leaks=0"}};
        options.cwd = Work(victim);
        const RunResult r = RunProgram("/usr/bin/strace", all, options);
        EXPECT_EQ(r.status, 0) << r.out;
        EXPECT_EQ(ReadBytes(trace), "") << "a write read a directory";
    }
    // Every planted file is still there; the container is gone.
    EXPECT_EQ(Entries(Machine()).size(), planted - 1);
}

}  // namespace
