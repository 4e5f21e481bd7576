// Concurrency test: many processes (forked children calling the platform
// functions, and children running the programs) create, generate, import,
// export, list and delete against one key area, on shared and on their own
// containers. Each logs what succeeded, with the key it wrote and when; the
// final state must then be one that the successful operations could have left.
#include <pwd.h>

#include <algorithm>
#include <map>
#include <sstream>

#include <gtest/gtest.h>

#include "stress_support.h"

namespace stress_test {
namespace {

constexpr DWORD kBits = 512;
constexpr int kSharedCount = 3;

std::string SharedName(int i) { return "shared-" + std::to_string(i); }

// The default container, which Quorvin opens (and creates) to list.
std::string DefaultName() {
    const passwd* entry = getpwuid(geteuid());
    return entry != nullptr && entry->pw_name != nullptr && *entry->pw_name ? entry->pw_name
                                                                             : "uid" + std::to_string(geteuid());
}

// One line of a worker's log. Writes are create, generate, import, delete, and
// "maycreate" for a program run that creates the container when it finds none
// (whether it did is not known); reads are read and list.
struct Entry {
    std::string kind, name;
    std::int64_t start = 0, end = 0;
    std::string key;  // hex PUBLICKEYBLOB written or read, "-" for none
};

// What an operation leaves in a container: nothing, an empty container, a key.
std::string Effect(const Entry& e) {
    if (e.kind == "delete" || e.kind == "initial") return "absent";
    if (e.kind == "create" || e.kind == "maycreate") return "empty";
    return "key " + e.key;
}

std::string EffectOf(const Holding& h) {
    if (!h.present()) return "absent";
    if (!h.hasKey()) return "empty";
    return "key " + Hex(h.publicBlob);
}

class Worker {
public:
    Worker(const std::string& logPath, const std::vector<std::string>& pool, const std::vector<std::string>& poolPub,
           const std::vector<std::string>& poolFiles, std::uint64_t seed, std::string own, std::string scratch)
        : log_(logPath), pool_(pool), poolPub_(poolPub), poolFiles_(poolFiles), rng_(seed), own_(std::move(own)),
          scratch_(std::move(scratch)) {}

    std::uint64_t Uniform(std::uint64_t below) { return rng_() % below; }

    void Log(const std::string& kind, const std::string& name, std::int64_t start, std::int64_t end,
             const std::string& key = "-") {
        log_ << kind << ' ' << name << ' ' << start << ' ' << end << ' ' << (key.empty() ? "-" : key) << '\n';
    }
    void Bad(const std::string& what) { log_ << "BAD " << what << '\n'; }
    void Count(const std::string& what) { log_ << "COUNT " << what << " 0 0 -\n"; }

    // Checks a listing against what this worker knows: its own container is
    // listed exactly when it exists, names are sorted, unique and known.
    void CheckListing(const std::vector<std::string>& names, const std::string& source) {
        if (!names.empty() && names[0].rfind("<error", 0) == 0) return Bad(source + " failed: " + names[0]);
        if (!std::is_sorted(names.begin(), names.end()) ||
            std::adjacent_find(names.begin(), names.end()) != names.end())
            Bad(source + " not sorted or repeats a name");
        const bool listed = std::find(names.begin(), names.end(), own_) != names.end();
        if (listed != (ownState_ != "absent"))
            Bad(source + (listed ? " lists " : " leaves out ") + own_ + " whose state is " + ownState_);
        for (const auto& n : names)
            if (n.rfind("shared-", 0) != 0 && n.rfind("own-", 0) != 0 && n != DefaultName())
                Bad(source + " lists an unknown name " + n);
    }

protected:
    std::ofstream log_;
    const std::vector<std::string>& pool_;
    const std::vector<std::string>& poolPub_;
    const std::vector<std::string>& poolFiles_;
    std::mt19937_64 rng_;
    std::string own_, scratch_;
    std::string ownState_ = "absent";  // "absent", "empty" or "key <hex>"
};

std::string Code(DWORD code) {
    char text[16];
    snprintf(text, sizeof text, "%08x", (unsigned)code);
    return text;
}

// A child calling the platform functions.
class ApiWorker : public Worker {
public:
    using Worker::Worker;

    void Run(unsigned rounds) {
        for (unsigned r = 0; r < rounds * 6; ++r) {
            const bool own = Uniform(2) == 0;
            const std::string name = own ? own_ : SharedName(static_cast<int>(Uniform(kSharedCount)));
            switch (Uniform(7)) {
            case 0: Create(name, own); break;
            case 1: Generate(name, own); break;
            case 2: case 3: Import(name, own); break;
            case 4: Read(name, own); break;
            case 5: List(); break;
            default: Delete(name, own); break;
            }
        }
    }

private:
    // The result of an operation on a shared container: success or one of
    // the answers a race may give; anything else is a fault.
    void Judge(const std::string& op, const std::string& name, bool own, DWORD error,
               std::initializer_list<DWORD> raceAnswers, const std::string& expectedOwnCode) {
        if (own) {
            if (Code(error) != expectedOwnCode)
                Bad(op + " " + name + " gave " + Code(error) + ", expected " + expectedOwnCode + " in state " +
                    ownState_);
            return;
        }
        if (error == ERROR_SUCCESS) return;
        for (DWORD allowed : raceAnswers)
            if (error == allowed) return;
        Bad(op + " " + name + " gave " + Code(error));
    }

    void Create(const std::string& name, bool own) {
        Count("try-create");
        const std::int64_t start = Now();
        HCRYPTPROV context = 0;
        const DWORD error = CryptAcquireContextA(&context, name.c_str(), nullptr, PROV_RSA_FULL, CRYPT_NEWKEYSET)
                                ? ERROR_SUCCESS
                                : GetLastError();
        const std::int64_t end = Now();
        if (context != 0) CryptReleaseContext(context, 0);
        Judge("create", name, own, error, {(DWORD)NTE_EXISTS},
              Code(ownState_ == "absent" ? ERROR_SUCCESS : (DWORD)NTE_EXISTS));
        if (error == ERROR_SUCCESS) {
            Log("create", name, start, end);
            if (own) ownState_ = "empty";
        }
    }

    // Generation or import: open, then store a key.
    void Store(const std::string& name, bool own, bool generate) {
        Count(generate ? "try-generate" : "try-import");
        const std::size_t index = Uniform(pool_.size());
        const std::int64_t start = Now();
        HCRYPTPROV context = 0;
        DWORD error = ERROR_SUCCESS;
        std::string pub;
        if (!CryptAcquireContextA(&context, name.c_str(), nullptr, PROV_RSA_FULL, 0)) {
            error = GetLastError();
        } else {
            HCRYPTKEY key = 0;
            const std::string& blob = pool_[index];
            const bool ok = generate ? CryptGenKey(context, CALG_RSA_KEYX, kBits << 16 | CRYPT_EXPORTABLE, &key)
                                     : CryptImportKey(context, reinterpret_cast<const BYTE*>(blob.data()),
                                                      static_cast<DWORD>(blob.size()), 0, CRYPT_EXPORTABLE, &key);
            if (ok) {
                pub = Export(key, PUBLICKEYBLOB);
                CryptDestroyKey(key);
            } else {
                error = GetLastError();
            }
            CryptReleaseContext(context, 0);
        }
        const std::int64_t end = Now();
        const std::string op = generate ? "generate" : "import";
        Judge(op, name, own, error, {(DWORD)NTE_BAD_KEYSET},
              Code(ownState_ == "absent" ? (DWORD)NTE_BAD_KEYSET : ERROR_SUCCESS));
        if (error != ERROR_SUCCESS) return;
        if (pub.empty()) return Bad(op + " " + name + ": the new key does not export");
        if (!generate && pub != poolPub_[index]) Bad("import " + name + ": the key handed back is another");
        Log(op, name, start, end, Hex(pub));
        if (own) ownState_ = "key " + Hex(pub);
    }
    void Generate(const std::string& name, bool own) { Store(name, own, true); }
    void Import(const std::string& name, bool own) { Store(name, own, false); }

    void Read(const std::string& name, bool own) {
        Count("try-read");
        const std::int64_t start = Now();
        HCRYPTPROV context = 0;
        DWORD error = ERROR_SUCCESS;
        std::string pub;
        if (!CryptAcquireContextA(&context, name.c_str(), nullptr, PROV_RSA_FULL, 0)) {
            error = GetLastError();
        } else {
            HCRYPTKEY key = 0;
            if (CryptGetUserKey(context, AT_KEYEXCHANGE, &key)) {
                pub = Export(key, PUBLICKEYBLOB);
                if (pub.empty()) error = GetLastError();
                CryptDestroyKey(key);
            } else {
                error = GetLastError();
            }
            CryptReleaseContext(context, 0);
        }
        const std::int64_t end = Now();
        const DWORD ownCode = ownState_ == "absent" ? (DWORD)NTE_BAD_KEYSET
                              : ownState_ == "empty" ? (DWORD)NTE_NO_KEY
                                                     : ERROR_SUCCESS;
        Judge("read", name, own, error, {(DWORD)NTE_BAD_KEYSET, (DWORD)NTE_NO_KEY}, Code(ownCode));
        if (error != ERROR_SUCCESS) return;
        if (own && "key " + Hex(pub) != ownState_) Bad("read " + name + ": not the key last stored");
        Log("read", name, start, end, Hex(pub));
    }

    void List() {
        Count("try-list");
        const std::int64_t start = Now();
        const std::vector<std::string> names = ListNames();
        CheckListing(names, "PP_ENUMCONTAINERS");
        Log("list", "-", start, Now());
    }

    void Delete(const std::string& name, bool own) {
        Count("try-delete");
        const std::int64_t start = Now();
        HCRYPTPROV context = 0;
        const DWORD error = CryptAcquireContextA(&context, name.c_str(), nullptr, PROV_RSA_FULL, CRYPT_DELETEKEYSET)
                                ? ERROR_SUCCESS
                                : GetLastError();
        const std::int64_t end = Now();
        Judge("delete", name, own, error, {(DWORD)NTE_BAD_KEYSET},
              Code(ownState_ == "absent" ? (DWORD)NTE_BAD_KEYSET : ERROR_SUCCESS));
        if (error == ERROR_SUCCESS) {
            Log("delete", name, start, end);
            if (own) ownState_ = "absent";
        }
    }
};

// The error code of a program's error line, or "" when it printed none.
std::string ErrorCode(const std::string& out) {
    const std::size_t at = out.find("Error[");
    return at == std::string::npos ? "" : out.substr(at + 6, 8);
}

// A child running the programs.
class ProgramWorker : public Worker {
public:
    using Worker::Worker;

    void Run(unsigned rounds) {
        for (unsigned r = 0; r < rounds * 3; ++r) {
            switch (Uniform(7)) {
            case 0: Generate("Tessaro"); break;
            case 1: Generate("Morbeck"); break;
            case 2: ExportOwn(); break;
            case 3: case 4: ImportShared(); break;
            case 5: Delete(Uniform(3) == 0); break;
            default: List(); break;
            }
        }
    }

private:
    keyhold_test::RunResult Run(const std::string& program, const std::vector<std::string>& args) {
        return keyhold_test::RunProgram(program, args);
    }

    void Generate(const std::string& program) {
        Count("try-" + program);
        const std::string file = scratch_ + "/new.pub";
        unlink(file.c_str());
        const std::int64_t start = Now();
        const auto r = Run(program, {"/N:" + own_, "/L:512", "/X", "/F:" + file});
        const std::int64_t end = Now();
        if (r.status != 0) return Bad(program + " " + own_ + " failed: " + r.out);
        const std::string pub = ReadBytes(file);
        if (pub.size() < 20 || pub[0] != PUBLICKEYBLOB) return Bad(program + " wrote no public key blob");
        // The run creates the container before it stores the pair.
        if (ownState_ == "absent") Log("create", own_, start, start);
        Log("generate", own_, start + 1, end, Hex(pub));
        ownState_ = "key " + Hex(pub);
    }

    void ExportOwn() {
        Count("try-Faldren");
        const std::string file = scratch_ + "/export.pub";
        unlink(file.c_str());
        const std::int64_t start = Now();
        const auto r = Run("Faldren", {"/N:" + own_, "/K:6", "/F:" + file});
        const std::int64_t end = Now();
        const bool hasKey = ownState_.rfind("key ", 0) == 0;
        if ((r.status == 0) != hasKey) return Bad("Faldren " + own_ + " in state " + ownState_ + ": " + r.out);
        if (!hasKey) {
            const std::string expected = Code(ownState_ == "absent" ? (DWORD)NTE_BAD_KEYSET : (DWORD)NTE_NO_KEY);
            if (ErrorCode(r.out) != expected) Bad("Faldren " + own_ + " in state " + ownState_ + ": " + r.out);
            return;
        }
        const std::string pub = ReadBytes(file);
        if ("key " + Hex(pub) != ownState_) return Bad("Faldren " + own_ + ": not the key last stored");
        Log("read", own_, start, end, Hex(pub));
    }

    void ImportShared() {
        Count("try-Ombrix");
        const std::size_t index = Uniform(pool_.size());
        const std::string name = SharedName(static_cast<int>(Uniform(kSharedCount)));
        const std::int64_t start = Now();
        const auto r = Run("Ombrix", {"/F:" + poolFiles_[index], "/N:" + name, "/X"});
        const std::int64_t end = Now();
        Log("maycreate", name, start, end);
        if (r.status == 0) return Log("import", name, start, end, Hex(poolPub_[index]));
        // Between opening and storing, another process may take or delete the container.
        const std::string code = ErrorCode(r.out);
        if (code != Code((DWORD)NTE_EXISTS) && code != Code((DWORD)NTE_BAD_KEYSET))
            Bad("Ombrix " + name + ": " + r.out);
    }

    void Delete(bool own) {
        Count("try-Zetrask");
        const std::string name = own ? own_ : SharedName(static_cast<int>(Uniform(kSharedCount)));
        const std::int64_t start = Now();
        const auto r = Run("Zetrask", {"/N:" + name});
        const std::int64_t end = Now();
        if (own && (r.status == 0) != (ownState_ != "absent"))
            return Bad("Zetrask " + name + " in state " + ownState_ + ": " + r.out);
        if (r.status != 0) {
            if (ErrorCode(r.out) != Code((DWORD)NTE_BAD_KEYSET)) Bad("Zetrask " + name + ": " + r.out);
            return;
        }
        Log("delete", name, start, end);
        if (own) ownState_ = "absent";
    }

    void List() {
        Count("try-Quorvin");
        const std::int64_t start = Now();
        const auto r = Run("Quorvin", {});
        const std::int64_t end = Now();
        Log("maycreate", DefaultName(), start, end);
        // Two first runs at once both find no default container and both try
        // to create it; the one that loses that race reports NTE_EXISTS (its
        // one creating retry is spent), as Ombrix does.
        if (r.status != 0 && ErrorCode(r.out) == Code((DWORD)NTE_EXISTS)) return;
        if (r.status != 0) return Bad("Quorvin: " + r.out);
        CheckListing(QuorvinNames(r.out), "Quorvin");
        Log("list", "-", start, end);
    }
};

std::vector<Entry> ReadLog(const std::string& path, std::vector<std::string>& bad,
                           std::map<std::string, unsigned>& attempts) {
    std::vector<Entry> entries;
    std::ifstream in(path);
    std::string line;
    while (std::getline(in, line)) {
        if (line.rfind("BAD ", 0) == 0) {
            bad.push_back(line.substr(4));
            continue;
        }
        std::istringstream fields(line);
        Entry e;
        fields >> e.kind >> e.name >> e.start >> e.end >> e.key;
        if (e.kind == "COUNT") {
            ++attempts[e.name];
            continue;
        }
        entries.push_back(e);
    }
    return entries;
}

class ConcurrencyTest : public ::testing::Test {
protected:
    void SetUp() override {
        root_ = temp_ / "root";
        setenv("KEYHOLD_ROOT", root_.c_str(), 1);
        area_ = root_ + "/users/" + std::to_string(geteuid());
        seed_ = Seed();
        printf("[ seed     ] KEYHOLD_STRESS_SEED=%llu\n", static_cast<unsigned long long>(seed_));
    }
    void TearDown() override { unsetenv("KEYHOLD_ROOT"); }

    TempDir temp_;
    std::string root_, area_;
    std::uint64_t seed_ = 0;
};

TEST_F(ConcurrencyTest, FinalStateFollowsFromTheSuccessfulOperations) {
    const unsigned apiWorkers = Setting("KEYHOLD_STRESS_PROCESSES", 8, false);
    const unsigned programWorkers = 2;
    const unsigned rounds = Setting("KEYHOLD_STRESS_ROUNDS", 25);
    std::mt19937_64 rng(seed_);

    std::vector<std::string> pool, poolPub, poolFiles;
    for (int i = 0; i < 8; ++i) {
        pool.push_back(FreshPrivateBlob(kBits));
        ASSERT_FALSE(pool.back().empty());
        poolPub.push_back(PublicOf(pool.back()));
        poolFiles.push_back(temp_ / ("pool-" + std::to_string(i) + ".key"));
        ASSERT_TRUE(WriteBytes(poolFiles.back(), pool.back()));
    }

    std::vector<std::string> names, logs;
    for (int i = 0; i < kSharedCount; ++i) names.push_back(SharedName(i));
    names.push_back(DefaultName());
    std::vector<pid_t> children;
    fflush(stdout);
    for (unsigned w = 0; w < apiWorkers + programWorkers; ++w) {
        const bool programs = w >= apiWorkers;
        const std::string own = programs ? "own-prog-" + std::to_string(w) : "own-api-" + std::to_string(w);
        const std::string scratch = temp_ / ("worker-" + std::to_string(w));
        ASSERT_EQ(mkdir(scratch.c_str(), 0700), 0);
        names.push_back(own);
        logs.push_back(scratch + "/log");
        const std::uint64_t workerSeed = rng();
        const pid_t pid = fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            if (programs) {
                ProgramWorker(logs.back(), pool, poolPub, poolFiles, workerSeed, own, scratch).Run(rounds);
            } else {
                ApiWorker(logs.back(), pool, poolPub, poolFiles, workerSeed, own, scratch).Run(rounds);
            }
            _exit(0);
        }
        children.push_back(pid);
    }
    for (pid_t pid : children) EXPECT_EQ(WaitFor(pid), 0);

    std::vector<std::string> bad;
    std::map<std::string, unsigned> attempts, successes;
    std::map<std::string, std::vector<Entry>> byName;
    for (const auto& path : logs)
        for (const Entry& e : ReadLog(path, bad, attempts)) {
            ++successes[e.kind];
            byName[e.name].push_back(e);
        }
    for (const auto& b : bad) ADD_FAILURE() << "seed " << seed_ << ": " << b;

    // Quorvin opens (creating) the default container, so it runs before the state is read.
    const auto quorvin = keyhold_test::RunProgram("Quorvin", {});
    EXPECT_EQ(quorvin.status, 0) << quorvin.out;
    byName[DefaultName()].push_back({"maycreate", DefaultName(), 0, Now(), "-"});

    unsigned exact = 0, checked = 0, ownExact = 0, owners = 0;
    std::vector<std::string> present;
    for (const auto& name : names) {
        const Holding h = Inspect(name);
        ASSERT_TRUE(h.openError == ERROR_SUCCESS || h.openError == (DWORD)NTE_BAD_KEYSET)
            << name << std::hex << " " << h.openError;
        if (h.present()) {
            ASSERT_TRUE(h.keyError == ERROR_SUCCESS || h.keyError == (DWORD)NTE_NO_KEY)
                << name << std::hex << " " << h.keyError;
            EXPECT_TRUE(!h.hasKey() || IsValidPair(h.privateBlob, kBits)) << name;
            present.push_back(name);
        }
        // The last write is one that no certain write followed entirely.
        std::vector<Entry>& ops = byName[name];
        ops.push_back({"initial", name, 0, 0, "-"});
        std::set<std::string> effects;
        for (const Entry& w : ops) {
            if (w.kind == "read" || w.kind == "list") continue;
            bool superseded = false;
            for (const Entry& later : ops)
                if (later.kind != "read" && later.kind != "maycreate" && later.start > w.end) superseded = true;
            if (!superseded) effects.insert(Effect(w));
        }
        ++checked;
        if (effects.size() == 1) ++exact;
        if (name.rfind("own-", 0) == 0) {
            ++owners;
            if (effects.size() == 1) ++ownExact;
        }
        std::string possible;
        for (const auto& e : effects) possible += "\n  " + e.substr(0, 40);
        EXPECT_EQ(effects.count(EffectOf(h)), 1u)
            << "seed " << seed_ << ": " << name << " holds " << EffectOf(h).substr(0, 40)
            << ", which no last successful write left; possible:" << possible;
        // Every key read was written before the read ended.
        for (const Entry& r : ops) {
            if (r.kind != "read") continue;
            bool written = false;
            for (const Entry& w : ops)
                if ((w.kind == "generate" || w.kind == "import") && w.key == r.key && w.start < r.end) written = true;
            EXPECT_TRUE(written) << "seed " << seed_ << ": " << name << " gave a key no one had stored";
        }
    }
    std::sort(present.begin(), present.end());
    EXPECT_EQ(ListNames(), present);
    EXPECT_EQ(QuorvinNames(quorvin.out), present);
    std::set<std::string> files, others;
    AreaEntries(area_, files, others);
    EXPECT_EQ(files.size(), present.size());
    EXPECT_TRUE(others.empty()) << *others.begin();

    // Own containers see one writer at a time, so their check is exact.
    EXPECT_EQ(ownExact, owners) << "seed " << seed_;
    // Program runs count as attempts of the kind of change they make.
    const std::map<std::string, std::vector<std::string>> tries = {
        {"create", {"try-create"}},
        {"generate", {"try-generate", "try-Tessaro", "try-Morbeck"}},
        {"import", {"try-import", "try-Ombrix"}},
        {"read", {"try-read", "try-Faldren"}},
        {"list", {"try-list", "try-Quorvin"}},
        {"delete", {"try-delete", "try-Zetrask"}}};
    printf("[ figures  ] %u processes (%u calling the key store, %u running programs) x %u rounds; "
           "successes/attempts:",
           apiWorkers + programWorkers, apiWorkers, programWorkers, rounds);
    for (const char* kind : {"create", "generate", "import", "read", "list", "delete"}) {
        unsigned tried = 0;
        for (const auto& t : tries.at(kind)) tried += attempts[t];
        printf(" %s %u/%u", kind, successes[kind], tried);
    }
    printf("\n[ figures  ] final state: %u containers checked, %u with one possible state, %zu present\n",
           checked, exact, present.size());
    if (rounds >= 10) {
        for (const char* kind : {"create", "generate", "import", "read", "list", "delete"})
            EXPECT_GT(successes[kind], 0u) << kind;
    }
}

// K processes race to create one container, then to delete it: one winner
// each time, in the user area and the machine area by turns, each first made
// by the race itself.
TEST_F(ConcurrencyTest, RacesHaveExactlyOneWinner) {
    const unsigned racers = std::max(2u, Setting("KEYHOLD_STRESS_RACERS", 8, false));
    const unsigned rounds = Setting("KEYHOLD_STRESS_RACES", 10);
    unsigned races = 0;
    for (unsigned round = 0; round < rounds; ++round) {
        const std::string name = "race-" + std::to_string(round % 3);
        const DWORD area = round % 2 == 1 ? (DWORD)CRYPT_MACHINE_KEYSET : 0;
        for (DWORD flag : {(DWORD)CRYPT_NEWKEYSET | area, (DWORD)CRYPT_DELETEKEYSET | area}) {
            const DWORD loss = (flag & CRYPT_NEWKEYSET) != 0 ? (DWORD)NTE_EXISTS : (DWORD)NTE_BAD_KEYSET;
            int gate[2];
            ASSERT_EQ(pipe(gate), 0);
            std::vector<pid_t> pids;
            fflush(stdout);
            for (unsigned k = 0; k < racers; ++k) {
                const pid_t pid = fork();
                if (pid < 0) {
                    ADD_FAILURE() << "fork failed";  // the racers started so far are still released below
                    break;
                }
                if (pid == 0) {
                    close(gate[1]);
                    char byte;
                    // All start together, once the gate closes.
                    while (read(gate[0], &byte, 1) < 0 && errno == EINTR) {
                    }
                    HCRYPTPROV context = 0;
                    if (CryptAcquireContextA(&context, name.c_str(), nullptr, PROV_RSA_FULL, flag)) _exit(0);
                    _exit(GetLastError() == loss ? 1 : 2);
                }
                pids.push_back(pid);
            }
            close(gate[0]);
            close(gate[1]);
            unsigned won = 0, lost = 0, other = 0;
            for (pid_t pid : pids) {
                const int status = WaitFor(pid);
                (status == 0 ? won : status == 1 ? lost : other)++;
            }
            EXPECT_EQ(won, 1u) << "round " << round << " flag " << flag;
            EXPECT_EQ(won + lost, racers) << "round " << round << " flag " << flag;
            EXPECT_EQ(lost, racers - 1) << "round " << round << " flag " << flag;
            EXPECT_EQ(other, 0u) << "round " << round << " flag " << flag;
            ++races;
        }
        // The same with the deletion program.
        HCRYPTPROV context = 0;
        ASSERT_TRUE(CryptAcquireContextA(&context, name.c_str(), nullptr, PROV_RSA_FULL, CRYPT_NEWKEYSET | area));
        CryptReleaseContext(context, 0);
        std::vector<std::string> args = {"/N:" + name};
        if (area != 0) args.push_back("/M");
        std::vector<pid_t> pids;
        for (unsigned k = 0; k < racers / 2; ++k) pids.push_back(StartProgram("Zetrask", args));
        unsigned won = 0;
        for (pid_t pid : pids) {
            ASSERT_GT(pid, 0);
            const int status = WaitFor(pid);
            EXPECT_TRUE(status == 0 || status == 1);
            if (status == 0) ++won;
        }
        EXPECT_EQ(won, 1u) << "round " << round << ": Zetrask";
        ++races;
        EXPECT_EQ(ListNames(area), std::vector<std::string>{}) << "round " << round;
        // The racers that made the area between them left it as one would have.
        struct stat st {};
        const std::string dir = area != 0 ? root_ + "/machine" : area_;
        ASSERT_EQ(stat(dir.c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 07777, area != 0 ? 01777u : 0700u) << dir;
        if (HasFailure()) break;
    }
    printf("[ figures  ] %u races of %u processes (create, delete, Zetrask; user and machine area), one winner "
           "each\n",
           races, racers);
}

}  // namespace
}  // namespace stress_test
