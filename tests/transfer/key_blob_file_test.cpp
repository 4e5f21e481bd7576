// WriteKeyFile and ReadKeyFile in the test's own process: what ends up on disk,
// and that a failure never costs the file that was there before.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>

#include "key_blob.h"
#include "transfer_support.h"

using namespace transfer_test;

namespace {

const std::string kOld = std::string(300, 'o') + "old content that must survive";

std::string Blob(size_t n, char seed) {
    std::string s;
    for (size_t i = 0; i < n; ++i) s += (char)(seed + i * 7);
    return s;
}

// Bytes that begin as a public key blob does; anything else counts as secret.
std::string PublicBlob(size_t n, char seed) { return std::string(1, (char)PUBLICKEYBLOB) + Blob(n - 1, seed); }

bool Write(const std::string& path, const std::string& bytes) {
    return WriteKeyFile(path.c_str(), (const BYTE*)bytes.data(), (DWORD)bytes.size());
}

// Another process holding a file open for writing until this goes away.
class WriterElsewhere {
public:
    explicit WriterElsewhere(const std::string& path) {
        int ready[2], done[2];
        if (pipe(ready) != 0 || pipe(done) != 0) return;
        pid_ = fork();
        if (pid_ == 0) {
            close(ready[0]);
            close(done[1]);
            HANDLE h = CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, NULL,
                                   OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, NULL);
            const char ok = h != INVALID_HANDLE_VALUE ? 'y' : 'n';
            if (write(ready[1], &ok, 1) != 1) _exit(2);
            char c;
            while (read(done[0], &c, 1) < 0) {
            }
            _exit(0);
        }
        close(ready[1]);
        close(done[0]);
        done_ = done[1];
        char c = 0;
        held_ = read(ready[0], &c, 1) == 1 && c == 'y';
        close(ready[0]);
    }
    ~WriterElsewhere() {
        if (done_ >= 0) close(done_);
        if (pid_ > 0) waitpid(pid_, nullptr, 0);
    }
    bool held() const { return held_; }

private:
    pid_t pid_ = -1;
    int done_ = -1;
    bool held_ = false;
};

class KeyFileTest : public ::testing::Test {
protected:
    TempDir dir;
    std::string Path(const std::string& name) const { return dir / name; }
};

TEST_F(KeyFileTest, NewFileHoldsExactlyTheBytesAndIsPrivate) {
    const std::string blob = Blob(148, 3);
    ASSERT_TRUE(Write(Path("new.key"), blob));
    EXPECT_EQ(ReadBytes(Path("new.key")), blob);
    EXPECT_EQ(ModeOf(Path("new.key")), 0600u);
    EXPECT_EQ(Entries(dir.path()), std::set<std::string>{"new.key"});
}

// A public key keeps the mode of the file it replaces; a secret never does.
TEST_F(KeyFileTest, ReplacingShortensTheFileAndKeepsTheModeOfPublicKeysOnly) {
    const struct {
        std::string blob;
        unsigned mode;
    } cases[] = {{PublicBlob(20, 9), 0644u}, {Blob(20, 9), 0600u}, {"", 0600u}};
    for (const auto& c : cases) {
        WriteBytes(Path("t.key"), kOld);
        ASSERT_EQ(chmod(Path("t.key").c_str(), 0644), 0);
        ASSERT_TRUE(Write(Path("t.key"), c.blob));
        EXPECT_EQ(ReadBytes(Path("t.key")), c.blob);
        EXPECT_EQ(ModeOf(Path("t.key")), c.mode) << c.blob.size();
        EXPECT_EQ(Entries(dir.path()), std::set<std::string>{"t.key"});
    }
}

TEST_F(KeyFileTest, ThroughALinkTheLinkedFileIsReplaced) {
    ASSERT_EQ(mkdir(Path("keys").c_str(), 0755), 0);
    WriteBytes(Path("keys/v3.key"), kOld);
    ASSERT_EQ(chmod(Path("keys/v3.key").c_str(), 0644), 0);
    ASSERT_EQ(symlink("keys/v3.key", Path("current.key").c_str()), 0);
    const std::string blob = PublicBlob(30, 2);
    ASSERT_TRUE(Write(Path("current.key"), blob));
    char link[64] = {};
    ASSERT_GT(readlink(Path("current.key").c_str(), link, sizeof link - 1), 0);
    EXPECT_STREQ(link, "keys/v3.key");
    EXPECT_EQ(ReadBytes(Path("keys/v3.key")), blob);
    EXPECT_EQ(ModeOf(Path("keys/v3.key")), 0644u);
    EXPECT_EQ(Entries(Path("keys")), std::set<std::string>{"v3.key"});
}

TEST_F(KeyFileTest, EmptyBlobMakesAnEmptyFile) {
    WriteBytes(Path("e.key"), kOld);
    ASSERT_TRUE(Write(Path("e.key"), ""));
    EXPECT_TRUE(Exists(Path("e.key")));
    EXPECT_EQ(ReadBytes(Path("e.key")), "");
}

TEST_F(KeyFileTest, RelativePathWritesIntoTheWorkingDirectory) {
    char old[4096];
    ASSERT_NE(getcwd(old, sizeof old), nullptr);
    ASSERT_EQ(chdir(dir.path().c_str()), 0);
    const bool ok = Write("plain.key", "abc");
    ASSERT_EQ(chdir(old), 0);
    ASSERT_TRUE(ok);
    EXPECT_EQ(ReadBytes(Path("plain.key")), "abc");
    EXPECT_EQ(Entries(dir.path()), std::set<std::string>{"plain.key"});
}

TEST_F(KeyFileTest, FailuresTouchNothing) {
    // A missing directory and an empty path.
    EXPECT_FALSE(Write(Path("missing/x.key"), "abc"));
    EXPECT_FALSE(Exists(Path("missing")));
    EXPECT_FALSE(Write("", "abc"));

    // A directory where the file should be: neither replaced nor filled.
    ASSERT_EQ(mkdir(Path("d.key").c_str(), 0755), 0);
    EXPECT_FALSE(Write(Path("d.key"), "abc"));
    EXPECT_TRUE(Entries(Path("d.key")).empty());
    EXPECT_EQ(Entries(dir.path()), std::set<std::string>{"d.key"});
}

TEST_F(KeyFileTest, FileTooLargeForTheLimitLeavesTargetIntact) {
    WriteBytes(Path("t.key"), kOld);
    ASSERT_EQ(chmod(Path("t.key").c_str(), 0640), 0);
    struct rlimit saved;
    ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &saved), 0);
    void (*oldHandler)(int) = signal(SIGXFSZ, SIG_IGN);
    struct rlimit small = saved;
    small.rlim_cur = 64;
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
    const bool ok = Write(Path("t.key"), Blob(4096, 1));
    setrlimit(RLIMIT_FSIZE, &saved);
    signal(SIGXFSZ, oldHandler);

    EXPECT_FALSE(ok);
    EXPECT_EQ(ReadBytes(Path("t.key")), kOld);
    EXPECT_EQ(ModeOf(Path("t.key")), 0640u);
    EXPECT_EQ(Entries(dir.path()), std::set<std::string>{"t.key"});
}

// A file its owner may write, in a directory where no new name can be made:
// the replacement cannot be prepared, so the file must stay as it was. Root
// writes anywhere, so as root the write runs in a child as another user.
TEST_F(KeyFileTest, UnwritableDirectoryLeavesTargetIntact) {
    const uid_t nobody = 65534;
    const std::string sub = Path("ro");
    ASSERT_EQ(mkdir(sub.c_str(), 0755), 0);
    const std::string target = sub + "/t.key";
    WriteBytes(target, kOld);
    ASSERT_EQ(chmod(target.c_str(), 0666), 0);

    int result = -1;
    if (geteuid() == 0) {
        ASSERT_EQ(chmod(dir.path().c_str(), 0755), 0);
        ASSERT_EQ(chown(target.c_str(), nobody, nobody), 0);
        const pid_t child = fork();
        if (child == 0) {
            if (setgid(nobody) != 0 || setuid(nobody) != 0) _exit(3);
            _exit(Write(target, "new") ? 1 : 0);
        }
        int status = 0;
        ASSERT_EQ(waitpid(child, &status, 0), child);
        ASSERT_TRUE(WIFEXITED(status));
        result = WEXITSTATUS(status);
    } else {
        ASSERT_EQ(chmod(sub.c_str(), 0555), 0);
        result = Write(target, "new") ? 1 : 0;
        chmod(sub.c_str(), 0755);
    }
    EXPECT_EQ(result, 0);
    EXPECT_EQ(ReadBytes(target), kOld);
    EXPECT_EQ(Entries(sub), std::set<std::string>{"t.key"});
}

TEST_F(KeyFileTest, FileAnotherProcessWritesIsNeitherReplacedNorRead) {
    WriteBytes(Path("busy.key"), kOld);
    WriterElsewhere writer(Path("busy.key"));
    ASSERT_TRUE(writer.held());
    EXPECT_FALSE(Write(Path("busy.key"), "new"));
    EXPECT_EQ(ReadBytes(Path("busy.key")), kOld);
    EXPECT_EQ(Entries(dir.path()), std::set<std::string>{"busy.key"});

    BYTE* buffer = reinterpret_cast<BYTE*>(1);
    DWORD length = 77;
    EXPECT_FALSE(ReadKeyFile(Path("busy.key").c_str(), &buffer, &length));
    EXPECT_EQ(buffer, nullptr);
}

TEST_F(KeyFileTest, ReadGivesTheWholeFile) {
    const std::string blob = Blob(1172, 5);
    WriteBytes(Path("r.key"), blob);
    BYTE* buffer = nullptr;
    DWORD length = 0;
    ASSERT_TRUE(ReadKeyFile(Path("r.key").c_str(), &buffer, &length));
    ASSERT_NE(buffer, nullptr);
    EXPECT_EQ(std::string((const char*)buffer, length), blob);
    FreeKeyBuffer(buffer, length);
}

TEST_F(KeyFileTest, ReadRefusesFilesTooLongForThirtyTwoBits) {
    // Sparse files: no disk space is used.
    for (const off_t size : {(off_t)0xFFFFFFFF, (off_t)0x100000000 + 16}) {
        SCOPED_TRACE(size);
        const std::string path = Path("huge.key");
        WriteBytes(path, "");
        ASSERT_EQ(truncate(path.c_str(), size), 0);
        BYTE* buffer = reinterpret_cast<BYTE*>(1);
        DWORD length = 99;
        EXPECT_FALSE(ReadKeyFile(path.c_str(), &buffer, &length));
        EXPECT_EQ(buffer, nullptr);
        EXPECT_EQ(GetLastError(), (DWORD)ERROR_FILE_TOO_LARGE);
    }
}

TEST_F(KeyFileTest, ReadOfAnEmptyFileGivesAnEmptyBuffer) {
    WriteBytes(Path("empty.key"), "");
    BYTE* buffer = nullptr;
    DWORD length = 99;
    ASSERT_TRUE(ReadKeyFile(Path("empty.key").c_str(), &buffer, &length));
    EXPECT_NE(buffer, nullptr);
    EXPECT_EQ(length, 0u);
    FreeKeyBuffer(buffer, length);
}

TEST_F(KeyFileTest, ReadFailuresHandOverNoBuffer) {
    ASSERT_EQ(mkdir(Path("dir").c_str(), 0755), 0);
    ASSERT_EQ(symlink(Path("nowhere").c_str(), Path("dangling").c_str()), 0);
    // A device is no key blob file, even one that reads as empty.
    for (const std::string& path : {Path("missing.key"), Path("dir"), Path("dangling"),
                                     std::string("/dev/null"), std::string()}) {
        SCOPED_TRACE(path);
        BYTE* buffer = reinterpret_cast<BYTE*>(1);
        DWORD length = 99;
        EXPECT_FALSE(ReadKeyFile(path.c_str(), &buffer, &length));
        EXPECT_EQ(buffer, nullptr);
        EXPECT_EQ(length, 0u);
    }
    BYTE* buffer = reinterpret_cast<BYTE*>(1);
    DWORD length = 99;
    EXPECT_FALSE(ReadKeyFile(nullptr, &buffer, &length));
    EXPECT_EQ(buffer, nullptr);
}

}  // namespace

// A write changes the file it names and nothing else: files that look like
// a writer's temporaries, of this user or of a process long gone, stay.
TEST_F(KeyFileTest, NothingButTheTargetIsTouched) {
    const pid_t dead = fork();
    ASSERT_GE(dead, 0);
    if (dead == 0) _exit(0);
    ASSERT_EQ(waitpid(dead, nullptr, 0), dead);
    const std::set<std::string> others = {".keyhold-99999-0000abcd.tmp",
                                          ".keyhold-" + std::to_string(dead) + "-0badc0de.tmp",
                                          ".keyhold-00000000000000000000000000000000"};
    for (const auto& name : others) WriteBytes(Path(name), kOld);
    ASSERT_TRUE(Write(Path("t.key"), Blob(148, 5)));
    std::set<std::string> expected = others;
    expected.insert("t.key");
    EXPECT_EQ(Entries(dir.path()), expected);
    for (const auto& name : others) EXPECT_EQ(ReadBytes(Path(name)), kOld);
}
