#include <ftw.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <set>

#include <gtest/gtest.h>

#include "store/area.h"
#include "store/area_dir.h"
#include "store/container_file.h"
#include "store/container_store.h"
#include "store/container_write.h"
#include "store_fixture.h"

using namespace keyhold;
using namespace keyhold_test;

namespace {

class StorageTest : public StoreTest {
protected:
    void SetUp() override {
        StoreTest::SetUp();
        ASSERT_EQ(LocateArea(false, true, user_), ERROR_SUCCESS);
        ASSERT_EQ(LocateArea(true, true, machine_), ERROR_SUCCESS);
    }
    std::string FileOf(const Area& area, const std::string& name) const {
        return area.dir + "/" + ContainerFileName(name);
    }
    std::vector<std::string> Temporaries(const Area& area) const {
        std::vector<std::string> out;
        for (const auto& e : DirEntries(area.dir))
            if (e.rfind(".khtmp-", 0) == 0) out.push_back(e);
        return out;
    }
    std::vector<std::string> List(const Area& area) const {
        std::vector<std::string> names;
        EXPECT_EQ(ListContainerNames(area, names), ERROR_SUCCESS);
        return names;
    }
    Area user_, machine_;
};

SecureBytes Bytes(const std::string& text) { return SecureBytes(text.begin(), text.end()); }

DWORD SetExchange(const Area& area, const std::string& name, const std::string& blob) {
    return UpdateContainer(area, name, [&](ContainerRecord& r) {
        r.keys[kExchangeSlot].present = true;
        r.keys[kExchangeSlot].exportable = false;
        r.keys[kExchangeSlot].blob = Bytes(blob);
        return static_cast<DWORD>(ERROR_SUCCESS);
    });
}

const DWORD kBadKeyset = NTE_BAD_KEYSET;
const DWORD kEntryBad = NTE_KEYSET_ENTRY_BAD;
const DWORD kExists = NTE_EXISTS;
const DWORD kDenied = ERROR_ACCESS_DENIED;

}  // namespace

TEST_F(StorageTest, CreateReadUpdateRemove) {
    ContainerRecord record;
    EXPECT_EQ(ReadContainer(user_, "box", record), kBadKeyset);
    ASSERT_EQ(CreateContainer(user_, "box"), ERROR_SUCCESS);
    EXPECT_EQ(ModeOf(FileOf(user_, "box")), 0600u);
    EXPECT_EQ(CreateContainer(user_, "box"), kExists);

    ASSERT_EQ(ReadContainer(user_, "box", record), ERROR_SUCCESS);
    EXPECT_EQ(record.name, "box");
    EXPECT_FALSE(record.keys[kExchangeSlot].present);
    EXPECT_FALSE(record.keys[kSignatureSlot].present);

    ASSERT_EQ(SetExchange(user_, "box", "first"), ERROR_SUCCESS);
    ASSERT_EQ(ReadContainer(user_, "box", record), ERROR_SUCCESS);
    EXPECT_EQ(record.keys[kExchangeSlot].blob, Bytes("first"));
    EXPECT_EQ(ModeOf(FileOf(user_, "box")), 0600u);

    // The same name in the other area is another container.
    EXPECT_EQ(ReadContainer(machine_, "box", record), kBadKeyset);

    ASSERT_EQ(RemoveContainer(user_, "box"), ERROR_SUCCESS);
    EXPECT_FALSE(Exists(FileOf(user_, "box")));
    EXPECT_EQ(RemoveContainer(user_, "box"), kBadKeyset);
    EXPECT_EQ(ReadContainer(user_, "box", record), kBadKeyset);
    EXPECT_EQ(SetExchange(user_, "box", "x"), kBadKeyset);
    EXPECT_TRUE(Temporaries(user_).empty());
}

TEST_F(StorageTest, RefusedChangesWriteNothing) {
    ASSERT_EQ(CreateContainer(user_, "box"), ERROR_SUCCESS);
    ASSERT_EQ(SetExchange(user_, "box", "kept"), ERROR_SUCCESS);
    const std::string before = ReadWhole(FileOf(user_, "box"));

    EXPECT_EQ(UpdateContainer(user_, "box",
                              [](ContainerRecord& r) {
                                  r.keys[kExchangeSlot].blob = Bytes("lost");
                                  return static_cast<DWORD>(NTE_EXISTS);
                              }),
              kExists);
    EXPECT_EQ(UpdateContainer(user_, "box",
                              [](ContainerRecord& r) {
                                  r.name = "other";
                                  return static_cast<DWORD>(ERROR_SUCCESS);
                              }),
              static_cast<DWORD>(NTE_BAD_DATA));
    EXPECT_EQ(UpdateContainer(user_, "box",
                              [](ContainerRecord& r) {
                                  r.keys[kSignatureSlot].present = true;
                                  r.keys[kSignatureSlot].blob.assign(kMaxStoredBlobLength + 1, 1);
                                  return static_cast<DWORD>(ERROR_SUCCESS);
                              }),
              static_cast<DWORD>(NTE_BAD_DATA));
    EXPECT_EQ(ReadWhole(FileOf(user_, "box")), before);
    EXPECT_FALSE(Exists(FileOf(user_, "other")));
    EXPECT_TRUE(Temporaries(user_).empty());
}

TEST_F(StorageTest, RefusedNamesCreateNothing) {
    for (const std::string& name : {std::string(), std::string(1024, 'n'), std::string("a\0b", 3)}) {
        EXPECT_EQ(CheckNewContainerName(name), static_cast<DWORD>(NTE_BAD_KEYSET_PARAM));
        EXPECT_EQ(CreateContainer(user_, name), static_cast<DWORD>(NTE_BAD_KEYSET_PARAM));
    }
    EXPECT_TRUE(DirEntries(user_.dir).empty());
    EXPECT_EQ(CheckNewContainerName(std::string(1023, 'n')), ERROR_SUCCESS);
    // Longer names stored earlier stay usable, up to the file layout's limit.
    EXPECT_EQ(CheckContainerName(std::string(4095, 'n')), ERROR_SUCCESS);
    EXPECT_EQ(CheckContainerName(std::string(4096, 'n')), static_cast<DWORD>(NTE_BAD_KEYSET_PARAM));
}

TEST_F(StorageTest, NoNameReachesOutsideItsArea) {
    const std::vector<std::string> names = {"../x", "../../escape", "/etc/passwd", "a/b", ".", "..",
                                            "\x01\x02\x1b[0m", "\xff\xfe\xc3", "con", " ", "*", "\n"};
    for (const auto& name : names) ASSERT_EQ(CreateContainer(user_, name), ERROR_SUCCESS) << name;

    // Everything under the root: the areas, and in the user area only hashed files.
    static std::vector<std::string> seen;
    seen.clear();
    ASSERT_EQ(nftw(temp_.path().c_str(),
                   [](const char* p, const struct stat*, int, struct FTW*) {
                       seen.emplace_back(p);
                       return 0;
                   },
                   16, FTW_PHYS),
              0);
    std::set<std::string> expected = {temp_.path(), root_, root_ + "/users", UserArea(), MachineArea()};
    for (const auto& name : names) expected.insert(FileOf(user_, name));
    EXPECT_EQ(std::set<std::string>(seen.begin(), seen.end()), expected);

    std::vector<std::string> sorted = names;
    std::sort(sorted.begin(), sorted.end());
    EXPECT_EQ(List(user_), sorted);
}

TEST_F(StorageTest, ListingIsSortedByBytesAndIgnoresStrangers) {
    for (const char* name : {"b", "\xc3\xa9t\xc3\xa9", "B", "aa", "a", "\x7f"}) ASSERT_EQ(CreateContainer(user_, name), ERROR_SUCCESS);
    // Files that are no containers: wrong names, upper-case hex, a temporary, a directory.
    WriteWhole(user_.dir + "/notes.txt", "x");
    std::string upper = ContainerFileName("zz");
    std::transform(upper.begin(), upper.end(), upper.begin(), ::toupper);
    ASSERT_EQ(CreateContainer(user_, "zz"), ERROR_SUCCESS);
    ASSERT_EQ(rename(FileOf(user_, "zz").c_str(), (user_.dir + "/" + upper).c_str()), 0);
    ASSERT_EQ(mkdir((user_.dir + "/" + ContainerFileName("dir")).c_str(), 0700), 0);
    EXPECT_EQ(List(user_), (std::vector<std::string>{"B", "a", "aa", "b", "\x7f", "\xc3\xa9t\xc3\xa9"}));
    EXPECT_TRUE(List(machine_).empty());
}

TEST_F(StorageTest, DamagedFilesAreReportedNeverUsedAndCanBeRemoved) {
    ASSERT_EQ(CreateContainer(user_, "good"), ERROR_SUCCESS);
    ASSERT_EQ(CreateContainer(user_, "flipped"), ERROR_SUCCESS);
    ASSERT_EQ(SetExchange(user_, "flipped", "blob"), ERROR_SUCCESS);
    std::string bytes = ReadWhole(FileOf(user_, "flipped"));
    bytes[bytes.size() - 40] ^= 1;  // inside the blob: only the checksum sees it
    WriteWhole(FileOf(user_, "flipped"), bytes);

    // A whole, valid file stored under another name's file name.
    ASSERT_EQ(CreateContainer(user_, "original"), ERROR_SUCCESS);
    ASSERT_EQ(rename(FileOf(user_, "original").c_str(), FileOf(user_, "moved").c_str()), 0);

    WriteWhole(FileOf(user_, "garbage"), std::string(100, 'g'));
    ASSERT_EQ(symlink(FileOf(user_, "good").c_str(), FileOf(user_, "linked").c_str()), 0);
    ASSERT_EQ(mkfifo(FileOf(user_, "fifo").c_str(), 0600), 0);
    ASSERT_EQ(mkdir(FileOf(user_, "dir").c_str(), 0700), 0);
    ASSERT_EQ(CreateContainer(user_, "huge"), ERROR_SUCCESS);
    ASSERT_EQ(truncate(FileOf(user_, "huge").c_str(), 1 << 30), 0);  // sparse: judged by its size alone

    ContainerRecord record;
    for (const char* name : {"flipped", "moved", "garbage", "linked", "fifo", "dir", "huge"}) {
        EXPECT_EQ(ReadContainer(user_, name, record), kEntryBad) << name;
        EXPECT_EQ(SetExchange(user_, name, "x"), kEntryBad) << name;
    }
    EXPECT_EQ(List(user_), std::vector<std::string>{"good"});

    const std::string flippedBytes = ReadWhole(FileOf(user_, "flipped"));
    EXPECT_EQ(flippedBytes, bytes) << "a damaged file is never overwritten by an update";
    for (const char* name : {"flipped", "moved", "garbage", "linked", "fifo", "huge"}) {
        EXPECT_EQ(RemoveContainer(user_, name), ERROR_SUCCESS) << name;
        EXPECT_FALSE(Exists(FileOf(user_, name))) << name;
    }
    EXPECT_TRUE(Exists(FileOf(user_, "good"))) << "removing a link removes the link only";
}

TEST_F(StorageTest, StaleTemporariesAreRemovedByTheNextWriterOfTheirContainer) {
    ASSERT_EQ(CreateContainer(user_, "next"), ERROR_SUCCESS);
    const std::string stale = user_.dir + "/" + TemporaryNameOf(ContainerFileName("next"));
    const std::string other = user_.dir + "/" + TemporaryNameOf(ContainerFileName("other"));
    const std::string hidden = user_.dir + "/.hidden";
    for (const auto& p : {stale, other, hidden}) WriteWhole(p, "left over");
    EXPECT_TRUE(List(user_) == std::vector<std::string>{"next"});
    EXPECT_TRUE(Exists(stale)) << "readers change nothing";
    ASSERT_EQ(SetExchange(user_, "next", "blob"), ERROR_SUCCESS);
    EXPECT_FALSE(Exists(stale));
    EXPECT_TRUE(Exists(other)) << "no writer removes what is not its container's";
    EXPECT_TRUE(Exists(hidden));
    WriteWhole(stale, "left over");
    ASSERT_EQ(RemoveContainer(user_, "next"), ERROR_SUCCESS);
    EXPECT_FALSE(Exists(stale)) << "a record left by a killed writer goes with its container";
}

TEST_F(StorageTest, UnreadableContainersAreLeftOutOfTheListing) {
    // Run as an ordinary user: root reads any file whatever its mode.
    auto body = [this] {
        Area area;
        std::string out = Code(LocateArea(true, true, area));
        out += "," + Code(CreateContainer(area, "visible"));
        out += "," + Code(CreateContainer(area, "locked"));
        out += "," + std::to_string(chmod(FileOf(area, "locked").c_str(), 0));
        ContainerRecord r;
        out += "," + Code(ReadContainer(area, "locked", r));
        std::vector<std::string> names;
        out += "," + Code(ListContainerNames(area, names));
        for (const auto& n : names) out += "," + n;
        out += "," + Code(RemoveContainer(area, "locked"));
        return out;
    };
    const std::string result = IsRoot() ? InChild(body, kNobody) : body();
    EXPECT_EQ(result, "0,0,0,0,5,0,visible,0");
}

TEST_F(StorageTest, ABlockedTemporaryNameDoesNotStopWriters) {
    if (!IsRoot()) GTEST_SKIP() << "needs root to plant a file as another user";
    // Root plants a file under the temporary name of nobody's container in the
    // shared area; the sticky bit keeps nobody from removing it.
    const std::string planted = machine_.dir + "/" + TemporaryNameOf(ContainerFileName("n"));
    WriteWhole(planted, "planted");
    const std::string result = InChild(
        [this] {
            std::string out = Code(CreateContainer(machine_, "n"));
            out += "," + Code(SetExchange(machine_, "n", "v"));
            ContainerRecord r;
            out += "," + Code(ReadContainer(machine_, "n", r));
            return out;
        },
        kNobody);
    EXPECT_EQ(result, "0,0,0");
    EXPECT_EQ(ReadWhole(planted), "planted");
    EXPECT_TRUE(Temporaries(machine_) == std::vector<std::string>{TemporaryNameOf(ContainerFileName("n"))});
}

TEST_F(StorageTest, FailedWriteLeavesTheOldFileAndNoTemporary) {
    ASSERT_EQ(CreateContainer(user_, "box"), ERROR_SUCCESS);
    ASSERT_EQ(SetExchange(user_, "box", "small"), ERROR_SUCCESS);
    const std::string before = ReadWhole(FileOf(user_, "box"));
    // A file size limit makes the write of a large record fail half way.
    const std::string result = InChild([this] {
        signal(SIGXFSZ, SIG_IGN);
        rlimit limit{512, 512};
        if (setrlimit(RLIMIT_FSIZE, &limit) != 0) return std::string("<rlimit>");
        return Code(SetExchange(user_, "box", std::string(8000, 'L'))) + "," +
               Code(UpdateContainer(user_, "fresh", [](ContainerRecord&) { return DWORD{0}; }));
    });
    EXPECT_EQ(result, Code(ERROR_FILE_TOO_LARGE) + "," + Code(NTE_BAD_KEYSET));
    EXPECT_EQ(ReadWhole(FileOf(user_, "box")), before);
    EXPECT_TRUE(Temporaries(user_).empty());
    ContainerRecord record;
    ASSERT_EQ(ReadContainer(user_, "box", record), ERROR_SUCCESS);
    EXPECT_EQ(record.keys[kExchangeSlot].blob, Bytes("small"));
}

TEST_F(StorageTest, UnwritableAreaFailsCleanly) {
    if (!IsRoot()) {
        ASSERT_EQ(chmod(user_.dir.c_str(), 0500), 0);
        EXPECT_EQ(CreateContainer(user_, "x"), kDenied);
        ASSERT_EQ(chmod(user_.dir.c_str(), 0700), 0);
        EXPECT_TRUE(DirEntries(user_.dir).empty());
        return;
    }
    // As another user, in a machine area that is not world-writable.
    ASSERT_EQ(chmod(machine_.dir.c_str(), 0755), 0);
    EXPECT_EQ(InChild([this] { return Code(CreateContainer(machine_, "x")); }, kNobody), Code(kDenied));
    EXPECT_TRUE(DirEntries(machine_.dir).empty());
}

TEST_F(StorageTest, OnlyTheOwnerOrRootMayUseAContainer) {
    if (!IsRoot()) GTEST_SKIP() << "needs root to act as two users";
    ASSERT_EQ(CreateContainer(machine_, "roots"), ERROR_SUCCESS);
    ASSERT_EQ(SetExchange(machine_, "roots", "secret"), ERROR_SUCCESS);
    // Readable by mode, but still not this user's.
    ASSERT_EQ(CreateContainer(machine_, "open"), ERROR_SUCCESS);
    ASSERT_EQ(chmod(FileOf(machine_, "open").c_str(), 0644), 0);
    const std::string before = ReadWhole(FileOf(machine_, "roots"));

    const std::string result = InChild(
        [this] {
            ContainerRecord r;
            std::string out = Code(ReadContainer(machine_, "roots", r));
            out += "," + Code(ReadContainer(machine_, "open", r));
            out += "," + Code(SetExchange(machine_, "roots", "mine now"));
            out += "," + Code(RemoveContainer(machine_, "roots"));
            out += "," + Code(CreateContainer(machine_, "theirs"));
            out += "," + Code(SetExchange(machine_, "theirs", "v1"));
            std::vector<std::string> names;
            out += "," + Code(ListContainerNames(machine_, names));
            for (const auto& n : names) out += "," + n;
            return out;
        },
        kNobody);
    EXPECT_EQ(result, "5,5,5,5,0,0,0,theirs");
    EXPECT_EQ(ReadWhole(FileOf(machine_, "roots")), before);

    // Root reads and removes everything, but writes key material only into
    // files of its own: another user's container is no place for root's keys.
    EXPECT_EQ(List(machine_), (std::vector<std::string>{"open", "roots", "theirs"}));
    const std::string theirs = ReadWhole(FileOf(machine_, "theirs"));
    ContainerRecord r;
    EXPECT_EQ(ReadContainer(machine_, "theirs", r), ERROR_SUCCESS);
    EXPECT_EQ(SetExchange(machine_, "theirs", "root's key"), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    EXPECT_EQ(ReadWhole(FileOf(machine_, "theirs")), theirs);
    EXPECT_EQ(RemoveContainer(machine_, "theirs"), ERROR_SUCCESS);
    EXPECT_FALSE(Exists(FileOf(machine_, "theirs")));
}

TEST_F(StorageTest, RacingCreatorsHaveExactlyOneWinner) {
    for (int round = 0; round < 5; ++round) {
        const std::string name = "race" + std::to_string(round);
        int gate[2];
        ASSERT_EQ(pipe(gate), 0);
        std::vector<std::pair<pid_t, int>> children;
        for (int i = 0; i < 8; ++i) {
            int result[2];
            ASSERT_EQ(pipe(result), 0);
            const pid_t pid = fork();
            if (pid == 0) {
                close(gate[1]);
                char c;
                if (read(gate[0], &c, 1) < 0) _exit(2);  // released all at once by the close below
                const std::string code = Code(CreateContainer(user_, name));
                if (write(result[1], code.data(), code.size()) < 0) _exit(2);
                _exit(0);
            }
            close(result[1]);
            children.emplace_back(pid, result[0]);
        }
        close(gate[0]);
        close(gate[1]);
        int wins = 0, exists = 0;
        for (auto [pid, fd] : children) {
            char buf[32] = {};
            const ssize_t n = read(fd, buf, sizeof buf - 1);
            close(fd);
            waitpid(pid, nullptr, 0);
            const std::string code(buf, n > 0 ? static_cast<size_t>(n) : 0);
            if (code == "0") ++wins;
            else if (code == Code(NTE_EXISTS)) ++exists;
            else ADD_FAILURE() << "unexpected result " << code;
        }
        EXPECT_EQ(wins, 1);
        EXPECT_EQ(exists, 7);
    }
    EXPECT_TRUE(Temporaries(user_).empty());
    EXPECT_EQ(List(user_).size(), 5u);
}

TEST_F(StorageTest, RacingUpdatesAllLand) {
    ASSERT_EQ(CreateContainer(machine_, "counter"), ERROR_SUCCESS);
    constexpr int kProcesses = 4, kIncrements = 40;
    std::vector<pid_t> pids;
    for (int p = 0; p < kProcesses; ++p) {
        const pid_t pid = fork();
        if (pid == 0) {
            for (int i = 0; i < kIncrements; ++i) {
                const DWORD rc = UpdateContainer(machine_, "counter", [](ContainerRecord& r) {
                    StoredKey& k = r.keys[kSignatureSlot];
                    const unsigned long value = k.present ? std::stoul(std::string(k.blob.begin(), k.blob.end())) : 0;
                    const std::string next = std::to_string(value + 1);
                    k.present = true;
                    k.blob.assign(next.begin(), next.end());
                    return static_cast<DWORD>(ERROR_SUCCESS);
                });
                if (rc != ERROR_SUCCESS) _exit(1);
            }
            _exit(0);
        }
        pids.push_back(pid);
    }
    for (pid_t pid : pids) {
        int status = 0;
        waitpid(pid, &status, 0);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    }
    ContainerRecord record;
    ASSERT_EQ(ReadContainer(machine_, "counter", record), ERROR_SUCCESS);
    const auto& blob = record.keys[kSignatureSlot].blob;
    EXPECT_EQ(std::string(blob.begin(), blob.end()), std::to_string(kProcesses * kIncrements));
    EXPECT_TRUE(Temporaries(machine_).empty());
}
