// Crash test: key generations, imports and deletions killed with SIGKILL at
// random moments, by program and in-process writers, each kill followed by a
// full check of the key area: every container intact, holding its old or its
// new key, the listing exactly the containers there, no leftover that trips a
// later writer.
#include <poll.h>

#include <algorithm>
#include <map>
#include <sstream>

#include <gtest/gtest.h>

#include "store/container_file.h"
#include "store/container_write.h"
#include "stress_support.h"

namespace stress_test {
namespace {

constexpr DWORD kBits = 512;
const char* const kKinds[] = {"Tessaro", "Morbeck", "Ombrix", "Zetrask"};
enum Kind { kTessaro, kMorbeck, kOmbrix, kZetrask, kKindCount };

class CrashTest : public ::testing::Test {
protected:
    void SetUp() override {
        root_ = temp_ / "root";
        setenv("KEYHOLD_ROOT", root_.c_str(), 1);
        area_ = root_ + "/users/" + std::to_string(geteuid());
        seed_ = Seed();
        rng_.seed(seed_);
        printf("[ seed     ] KEYHOLD_STRESS_SEED=%llu\n", static_cast<unsigned long long>(seed_));
        for (int i = 0; i < 6; ++i) {
            const std::string blob = FreshPrivateBlob(kBits);
            ASSERT_FALSE(blob.empty());
            const std::string path = temp_ / ("pool-" + std::to_string(i) + ".key");
            ASSERT_TRUE(WriteBytes(path, blob));
            pool_.push_back(blob);
            poolFiles_.push_back(path);
        }
    }
    void TearDown() override { unsetenv("KEYHOLD_ROOT"); }

    std::vector<std::string> Args(Kind kind, const std::string& name, std::size_t blob) const {
        const std::string n = "/N:" + name;
        switch (kind) {
        case kTessaro:
        case kMorbeck: return {n, "/L:512", "/X", "/F:" + publicFile_};
        case kOmbrix: return {"/F:" + poolFiles_[blob], n, "/X"};
        default: return {n};
        }
    }

    std::uint64_t Uniform(std::uint64_t below) { return below == 0 ? 0 : rng_() % below; }

    // After a kill: the listing names exactly the containers that open, every
    // container file is one of them, a later writer on the same area
    // succeeds, and nothing else is there but the record a writer killed
    // just before its rename left under its container's temporary name (the
    // next writer or the deletion of that container removes it).
    void CheckArea(const std::vector<std::string>& names, const std::string& context) {
        std::vector<std::string> expected;
        for (const auto& name : names) {
            const Holding h = Inspect(name);
            EXPECT_TRUE(h.openError == ERROR_SUCCESS || h.openError == (DWORD)NTE_BAD_KEYSET)
                << context << ": opening " << name << " gave " << std::hex << h.openError;
            if (h.present()) {
                EXPECT_TRUE(h.keyError == ERROR_SUCCESS || h.keyError == (DWORD)NTE_NO_KEY)
                    << context << ": the key of " << name << " gave " << std::hex << h.keyError;
                expected.push_back(name);
            }
        }
        std::sort(expected.begin(), expected.end());
        EXPECT_EQ(ListNames(), expected) << context;
        std::set<std::string> files, others;
        AreaEntries(area_, files, others);
        EXPECT_EQ(files.size(), expected.size()) << context;

        HCRYPTPROV probe = 0;
        EXPECT_TRUE(CryptAcquireContextA(&probe, "crash-probe", nullptr, PROV_RSA_FULL, CRYPT_NEWKEYSET))
            << context << ": a later creation failed with " << std::hex << GetLastError();
        if (probe != 0) CryptReleaseContext(probe, 0);
        EXPECT_TRUE(CryptAcquireContextA(&probe, "crash-probe", nullptr, PROV_RSA_FULL, CRYPT_DELETEKEYSET))
            << context << ": a later deletion failed with " << std::hex << GetLastError();
        AreaEntries(area_, files, others);
        for (const auto& name : names) others.erase(keyhold::TemporaryNameOf(keyhold::ContainerFileName(name)));
        EXPECT_TRUE(others.empty()) << context << ": left in the area: " << *others.begin();
    }

    TempDir temp_;
    std::string root_, area_;
    std::uint64_t seed_ = 0;
    std::mt19937_64 rng_;
    std::vector<std::string> pool_, poolFiles_;
    std::string publicFile_ = temp_ / "new.pub";  // where Tessaro and Morbeck write the new public key
};

// Programs killed at a random moment within their measured run time.
TEST_F(CrashTest, KilledProgramsLeaveOldOrNewState) {
    const unsigned rounds = Setting("KEYHOLD_STRESS_KILLS", 150);
    const std::vector<std::string> names = {"crash-0", "crash-1", "crash-2"};

    // Each kind's typical run, to spread the kills over all of it.
    std::int64_t typical[kKindCount] = {};
    for (int k = 0; k < kKindCount; ++k) {
        std::vector<std::int64_t> runs;
        for (int i = 0; i < 3; ++i) {
            if (k == kZetrask) {
                HCRYPTPROV context = 0;
                ASSERT_TRUE(CryptAcquireContextA(&context, "crash-timing", nullptr, PROV_RSA_FULL, 0) ||
                            CryptAcquireContextA(&context, "crash-timing", nullptr, PROV_RSA_FULL, CRYPT_NEWKEYSET));
                CryptReleaseContext(context, 0);
            }
            const std::int64_t start = Now();
            const pid_t pid = StartProgram(kKinds[k], Args(static_cast<Kind>(k), "crash-timing", 0));
            ASSERT_GT(pid, 0);
            ASSERT_EQ(WaitFor(pid), 0) << kKinds[k];
            runs.push_back((Now() - start) / 1000);
        }
        std::sort(runs.begin(), runs.end());
        typical[k] = runs[1];
    }
    HCRYPTPROV gone = 0;
    ASSERT_FALSE(CryptAcquireContextA(&gone, "crash-timing", nullptr, PROV_RSA_FULL, 0));
    printf("[ timing   ] typical run (us): Tessaro %lld, Morbeck %lld, Ombrix %lld, Zetrask %lld\n",
           (long long)typical[0], (long long)typical[1], (long long)typical[2], (long long)typical[3]);

    unsigned kills[kKindCount] = {}, completed[kKindCount] = {}, killedOld = 0, killedNew = 0, fileWritten = 0;
    for (unsigned round = 0; round < rounds; ++round) {
        const std::string& name = names[Uniform(names.size())];
        const Holding before = Inspect(name);
        const std::string fileBefore = ReadBytes(publicFile_);
        Kind kind = static_cast<Kind>(Uniform(kKindCount));
        if (kind == kZetrask && !before.present()) kind = kTessaro;
        const std::size_t blob = Uniform(pool_.size());
        const std::int64_t delay = static_cast<std::int64_t>(Uniform(typical[kind] * 12 / 10 + 1));
        std::ostringstream context;
        context << "seed " << seed_ << " round " << round << " " << kKinds[kind] << " " << name << " delay "
                << delay << "us";

        const pid_t pid = StartProgram(kKinds[kind], Args(kind, name, blob));
        ASSERT_GT(pid, 0);
        SleepMicroseconds(delay);
        kill(pid, SIGKILL);
        const int status = WaitFor(pid);
        const bool killed = status == 128 + SIGKILL;
        if (killed) {
            ++kills[kind];
        } else {
            ++completed[kind];
            EXPECT_EQ(status, 0) << context.str() << ": ran to its end and failed";
        }

        const Holding after = Inspect(name);
        bool isOld = after.sameAs(before);
        bool isNew = false;
        switch (kind) {
        case kZetrask: isNew = after.openError == (DWORD)NTE_BAD_KEYSET; break;
        case kOmbrix: isNew = after.hasKey() && after.privateBlob == pool_[blob]; break;
        default:
            isNew = after.hasKey() && after.privateBlob != before.privateBlob && IsValidPair(after.privateBlob, kBits);
        }
        // A creating run killed between creating the container and storing
        // the key leaves it empty; that is the old state, as nothing was there.
        if (!before.present() && after.empty() && kind != kZetrask) isOld = true;
        EXPECT_TRUE(isOld || isNew) << context.str() << ": neither the old nor the new state (open "
                                    << std::hex << after.openError << ", key " << after.keyError << ")";
        EXPECT_TRUE(killed || isNew) << context.str() << ": a finished run left the old state";
        if (killed && isNew && !isOld) ++killedNew;
        if (killed && isOld && !isNew) ++killedOld;
        if (kind == kTessaro || kind == kMorbeck) {
            // The public key file is replaced whole, after the pair is stored.
            const std::string file = ReadBytes(publicFile_);
            if (file != fileBefore) ++fileWritten;
            EXPECT_TRUE(file == fileBefore || (after.hasKey() && file == after.publicBlob))
                << context.str() << ": the public key file is neither the old one nor the new key's";
            EXPECT_TRUE(killed || (after.hasKey() && file == after.publicBlob)) << context.str();
        }
        CheckArea(names, context.str());
        if (HasFailure()) break;
    }
    unsigned totalKills = 0;
    for (unsigned k : kills) totalKills += k;
    // The program's listing agrees (it adds the default container it opens).
    const auto quorvin = keyhold_test::RunProgram("Quorvin", {});
    EXPECT_EQ(quorvin.status, 0) << quorvin.out;
    EXPECT_EQ(QuorvinNames(quorvin.out), ListNames());

    // Killed key file writers may leave their own temporary files beside the
    // target; they hold public keys only here and break no later run.
    std::set<std::string> files, others;
    AreaEntries(temp_.path(), files, others);
    unsigned keyFileLeftovers = 0;
    for (const auto& entry : others) keyFileLeftovers += entry.rfind(".keyhold-", 0) == 0;
    printf("[ figures  ] %u rounds, %u killed (Tessaro %u, Morbeck %u, Ombrix %u, Zetrask %u), %u ran to the end\n"
           "[ figures  ] killed runs that left the old state %u, the new state %u; public key files written %u; "
           "key file temporaries left by kills %u\n",
           rounds, totalKills, kills[0], kills[1], kills[2], kills[3],
           completed[0] + completed[1] + completed[2] + completed[3], killedOld, killedNew, fileWritten,
           keyFileLeftovers);
    // The delays start at zero and cover the typical run, so many kills land,
    // some before the change: the checks above were not idle.
    if (rounds >= 40) {
        EXPECT_GT(totalKills, rounds / 8);
        EXPECT_GT(killedOld, 0u);
    }
}

enum class Loop { kImport, kGenerate, kCreateDelete };

// A child that writes into one container until it is killed.
[[noreturn]] void WriterLoop(Loop loop, const std::string& name, const std::vector<std::string>& pool,
                             std::uint64_t seed, int readyFd) {
    std::mt19937_64 rng(seed);
    bool told = false;
    for (;;) {
        HCRYPTPROV context = 0;
        if (loop == Loop::kCreateDelete) {
            if (CryptAcquireContextA(&context, name.c_str(), nullptr, PROV_RSA_FULL, CRYPT_NEWKEYSET))
                CryptReleaseContext(context, 0);
            CryptAcquireContextA(&context, name.c_str(), nullptr, PROV_RSA_FULL, CRYPT_DELETEKEYSET);
        } else if (CryptAcquireContextA(&context, name.c_str(), nullptr, PROV_RSA_FULL, 0)) {
            HCRYPTKEY key = 0;
            bool ok;
            if (loop == Loop::kImport) {
                const std::string& blob = pool[rng() % pool.size()];
                ok = CryptImportKey(context, reinterpret_cast<const BYTE*>(blob.data()),
                                    static_cast<DWORD>(blob.size()), 0, CRYPT_EXPORTABLE, &key);
            } else {
                ok = CryptGenKey(context, CALG_RSA_KEYX, kBits << 16 | CRYPT_EXPORTABLE, &key);
            }
            if (ok) CryptDestroyKey(key);
            CryptReleaseContext(context, 0);
        }
        if (!told) {
            const char byte = 1;
            told = write(readyFd, &byte, 1) == 1;
        }
    }
}

// In-process writers killed in their loops hit the short windows of a write
// (temporary file written, renamed or linked, not yet removed) far more often.
TEST_F(CrashTest, KilledInProcessWritersLeaveOldOrNewState) {
    const unsigned rounds = Setting("KEYHOLD_STRESS_INPROCESS_KILLS", 120);
    const std::vector<std::string> names = {"loop-import", "loop-generate", "loop-created"};
    for (std::size_t i = 0; i < 2; ++i) {
        HCRYPTPROV context = 0;
        ASSERT_TRUE(CryptAcquireContextA(&context, names[i].c_str(), nullptr, PROV_RSA_FULL, CRYPT_NEWKEYSET));
        HCRYPTKEY key = 0;
        ASSERT_TRUE(CryptImportKey(context, reinterpret_cast<const BYTE*>(pool_[0].data()),
                                   static_cast<DWORD>(pool_[0].size()), 0, CRYPT_EXPORTABLE, &key));
        CryptDestroyKey(key);
        CryptReleaseContext(context, 0);
    }

    unsigned kills[3] = {}, leftovers = 0;
    std::set<std::string> generatedSeen;
    for (unsigned round = 0; round < rounds; ++round) {
        const Loop loop = static_cast<Loop>(round % 3);
        const std::string& name = names[round % 3];
        const std::int64_t delay = static_cast<std::int64_t>(Uniform(20000));
        const std::uint64_t childSeed = rng_();
        std::ostringstream context;
        context << "seed " << seed_ << " round " << round << " " << name << " delay " << delay << "us";

        int ready[2];
        ASSERT_EQ(pipe(ready), 0);
        fflush(stdout);
        const pid_t pid = fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            close(ready[0]);
            WriterLoop(loop, name, pool_, childSeed, ready[1]);
        }
        close(ready[1]);
        // The kill lands after one whole write at least, then anywhere.
        char byte = 0;
        const bool started = read(ready[0], &byte, 1) == 1;
        close(ready[0]);
        SleepMicroseconds(delay);
        kill(pid, SIGKILL);
        EXPECT_EQ(WaitFor(pid), 128 + SIGKILL) << context.str();
        EXPECT_TRUE(started) << context.str();
        ++kills[round % 3];

        const Holding after = Inspect(name);
        switch (loop) {
        case Loop::kImport: {
            EXPECT_TRUE(after.hasKey()) << context.str() << std::hex << " open " << after.openError << " key "
                                        << after.keyError;
            EXPECT_NE(std::find(pool_.begin(), pool_.end(), after.privateBlob), pool_.end())
                << context.str() << ": the key is none of the imported ones";
            break;
        }
        case Loop::kGenerate:
            EXPECT_TRUE(after.hasKey() && IsValidPair(after.privateBlob, kBits))
                << context.str() << std::hex << " open " << after.openError << " key " << after.keyError;
            generatedSeen.insert(after.privateBlob);
            break;
        case Loop::kCreateDelete:
            EXPECT_TRUE(after.openError == (DWORD)NTE_BAD_KEYSET || after.empty())
                << context.str() << std::hex << " open " << after.openError << " key " << after.keyError;
            break;
        }
        if (loop != Loop::kCreateDelete) {
            // A killed writer may have left its next record, keys and all, in a
            // temporary file; deleting the container must not leave it behind.
            std::set<std::string> files, others;
            AreaEntries(area_, files, others);
            if (!others.empty()) ++leftovers;
            HCRYPTPROV provider = 0;
            EXPECT_TRUE(CryptAcquireContextA(&provider, name.c_str(), nullptr, PROV_RSA_FULL, CRYPT_DELETEKEYSET))
                << context.str();
            AreaEntries(area_, files, others);
            EXPECT_TRUE(others.empty()) << context.str() << ": key material left after the deletion in "
                                        << *others.begin();
            ASSERT_TRUE(CryptAcquireContextA(&provider, name.c_str(), nullptr, PROV_RSA_FULL, CRYPT_NEWKEYSET));
            HCRYPTKEY key = 0;
            EXPECT_TRUE(CryptImportKey(provider, reinterpret_cast<const BYTE*>(pool_[0].data()),
                                       static_cast<DWORD>(pool_[0].size()), 0, CRYPT_EXPORTABLE, &key));
            CryptDestroyKey(key);
            CryptReleaseContext(provider, 0);
        }
        CheckArea(names, context.str());
        if (HasFailure()) break;
    }
    printf("[ figures  ] %u in-process writers killed: importing %u, generating %u, creating/deleting %u\n",
           kills[0] + kills[1] + kills[2], kills[0], kills[1], kills[2]);
    printf("[ figures  ] kills of an importer or generator that left a temporary file (removed by the deletion "
           "that followed): %u of %u\n",
           leftovers, kills[0] + kills[1]);
    // The generators did store keys, not only survive.
    if (rounds >= 30 && !HasFailure()) {
        EXPECT_GT(generatedSeen.size(), 1u);
    }
}

// A writer that keeps storing and reading back its own container while
// others are killed in the same area: every store succeeds and every read
// gives the key just stored. It stops when `stopFd` reads end of input and
// exits 0 when nothing went wrong; what did goes to `logPath`.
[[noreturn]] void Bystander(const std::string& name, const std::vector<std::string>& pool, int stopFd,
                            const std::string& logPath) {
    std::ofstream log(logPath);
    unsigned stores = 0, faults = 0;
    for (std::size_t i = 0;; ++i) {
        pollfd stop{stopFd, POLLIN, 0};
        if (poll(&stop, 1, 0) > 0) break;
        const std::string& blob = pool[i % pool.size()];
        HCRYPTPROV context = 0;
        HCRYPTKEY key = 0;
        std::string stored;
        if (!CryptAcquireContextA(&context, name.c_str(), nullptr, PROV_RSA_FULL, 0)) {
            log << "open failed " << std::hex << GetLastError() << '\n';
            ++faults;
            continue;
        }
        if (CryptImportKey(context, reinterpret_cast<const BYTE*>(blob.data()), static_cast<DWORD>(blob.size()), 0,
                           CRYPT_EXPORTABLE, &key)) {
            CryptDestroyKey(key);
            ++stores;
            if (CryptGetUserKey(context, AT_KEYEXCHANGE, &key)) {
                stored = Export(key, PRIVATEKEYBLOB);
                CryptDestroyKey(key);
            }
            if (stored != blob) {
                log << "read back another key after store " << stores << '\n';
                ++faults;
            }
        } else {
            log << "import failed " << std::hex << GetLastError() << '\n';
            ++faults;
        }
        CryptReleaseContext(context, 0);
    }
    log << "stores " << stores << '\n';
    log.close();
    _exit(faults == 0 && stores > 0 ? 0 : 1);
}

// Writers killed beside a live one never make it fail: the lock a killed
// writer held is free again, and what it left is cleared without harm.
TEST_F(CrashTest, WritersBesideKilledOnesNeverFail) {
    const unsigned rounds = Setting("KEYHOLD_STRESS_INPROCESS_KILLS", 120) / 3;
    for (const char* name : {"victim", "bystander"}) {
        HCRYPTPROV context = 0;
        ASSERT_TRUE(CryptAcquireContextA(&context, name, nullptr, PROV_RSA_FULL, CRYPT_NEWKEYSET));
        CryptReleaseContext(context, 0);
    }
    int stop[2];
    ASSERT_EQ(pipe(stop), 0);
    const std::string logPath = temp_ / "bystander.log";
    fflush(stdout);
    const pid_t bystander = fork();
    ASSERT_GE(bystander, 0);
    if (bystander == 0) {
        close(stop[1]);
        Bystander("bystander", pool_, stop[0], logPath);
    }
    close(stop[0]);
    // However the test ends, the bystander does not outlive it.
    struct Reaper {
        pid_t pid;
        int& stopFd;
        ~Reaper() {
            if (stopFd < 0) return;
            close(stopFd);
            kill(pid, SIGKILL);
            WaitFor(pid);
        }
    } reaper{bystander, stop[1]};

    unsigned kills = 0;
    for (unsigned round = 0; round < rounds; ++round) {
        int ready[2];
        ASSERT_EQ(pipe(ready), 0);
        const std::uint64_t childSeed = rng_();
        const pid_t pid = fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            close(ready[0]);
            close(stop[1]);
            WriterLoop(round % 2 == 0 ? Loop::kImport : Loop::kGenerate, "victim", pool_, childSeed, ready[1]);
        }
        close(ready[1]);
        char byte = 0;
        EXPECT_EQ(read(ready[0], &byte, 1), 1);
        close(ready[0]);
        SleepMicroseconds(static_cast<std::int64_t>(Uniform(20000)));
        kill(pid, SIGKILL);
        EXPECT_EQ(WaitFor(pid), 128 + SIGKILL);
        ++kills;
    }
    close(stop[1]);
    stop[1] = -1;
    EXPECT_EQ(WaitFor(bystander), 0) << ReadBytes(logPath);
    const Holding victim = Inspect("victim");
    EXPECT_TRUE(victim.hasKey() && IsValidPair(victim.privateBlob, kBits)) << std::hex << victim.openError;
    const Holding byst = Inspect("bystander");
    EXPECT_NE(std::find(pool_.begin(), pool_.end(), byst.privateBlob), pool_.end());
    CheckArea({"victim", "bystander"}, "after the kills beside the bystander");
    std::string stores = ReadBytes(logPath);
    stores = stores.substr(stores.rfind("stores ") + 7);
    stores.erase(stores.find_last_not_of("\n") + 1);
    printf("[ figures  ] %u writers killed beside a live one, which stored and read back %s keys without a fault\n",
           kills, stores.c_str());
}

// What a writer killed between writing its temporary file and renaming it
// leaves: the container's next record, private key included. Deleting the
// container must take that with it.
TEST_F(CrashTest, DeletionRemovesTheRecordAKilledWriterLeft) {
    HCRYPTPROV context = 0;
    ASSERT_TRUE(CryptAcquireContextA(&context, "doomed", nullptr, PROV_RSA_FULL, CRYPT_NEWKEYSET));
    CryptReleaseContext(context, 0);
    const std::string leftover = area_ + "/" + keyhold::TemporaryNameOf(keyhold::ContainerFileName("doomed"));
    ASSERT_TRUE(WriteBytes(leftover, pool_[1]));
    ASSERT_TRUE(CryptAcquireContextA(&context, "doomed", nullptr, PROV_RSA_FULL, CRYPT_DELETEKEYSET));
    std::set<std::string> files, others;
    AreaEntries(area_, files, others);
    EXPECT_TRUE(files.empty());
    EXPECT_TRUE(others.empty()) << "left: " << *others.begin();
}

}  // namespace
}  // namespace stress_test
