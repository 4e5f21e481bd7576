#include "fault_campaign.h"
#include "output_match.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <ftw.h>
#include <signal.h>
#include <spawn.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <windows.h>
#include <wincrypt.h>

#include <fstream>
#include <iterator>
#include <regex>
#include <set>
#include <sstream>
#include <stdexcept>

#include "run_program.h"
#include "store/area.h"

extern char** environ;

namespace fault_test {

namespace {

using keyhold_test::TempDir;

// A run that has not ended by then is hung; generous, since others share the machine.
constexpr int kRunTimeoutSeconds = 60;

std::string ReadBytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void WriteBytes(const std::string& path, const std::string& bytes, mode_t mode) {
    {
        std::ofstream out(path, std::ios::binary | std::ios::trunc);
        out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
        if (!out) throw std::runtime_error("cannot write " + path);
    }
    chmod(path.c_str(), mode);
}

using keyhold_test::Entries;

// Copies a tree with its modes; the campaign's templates hold directories and
// regular files only.
void CopyTree(const std::string& from, const std::string& to) {
    struct stat st {};
    if (lstat(from.c_str(), &st) != 0) return;
    if (S_ISDIR(st.st_mode)) {
        mkdir(to.c_str(), 0700);
        for (const auto& name : Entries(from)) CopyTree(from + "/" + name, to + "/" + name);
        chmod(to.c_str(), st.st_mode & 07777);
    } else if (S_ISREG(st.st_mode)) {
        WriteBytes(to, ReadBytes(from), st.st_mode & 07777);
    } else {
        throw std::runtime_error("unexpected file type in template: " + from);
    }
}

// The platform functions read the root from the environment, as the programs do.
struct RootSetting {
    explicit RootSetting(const std::string& root) { setenv("KEYHOLD_ROOT", root.c_str(), 1); }
    ~RootSetting() { unsetenv("KEYHOLD_ROOT"); }
};

KeyImage ExportImage(HCRYPTPROV context, DWORD keySpec) {
    KeyImage image;
    HCRYPTKEY key = 0;
    if (!CryptGetUserKey(context, keySpec, &key)) return image;
    image.present = true;
    for (DWORD type : {static_cast<DWORD>(PUBLICKEYBLOB), static_cast<DWORD>(PRIVATEKEYBLOB)}) {
        DWORD length = 0;
        if (!CryptExportKey(key, 0, type, 0, nullptr, &length)) continue;
        std::string blob(length, '\0');
        if (!CryptExportKey(key, 0, type, 0, reinterpret_cast<BYTE*>(&blob[0]), &length)) continue;
        blob.resize(length);
        (type == PUBLICKEYBLOB ? image.pub : image.priv) = blob;
    }
    CryptDestroyKey(key);
    return image;
}

ContainerImage ReadContainer(const std::string& root, const std::string& name) {
    RootSetting setting(root);
    ContainerImage image;
    HCRYPTPROV context = 0;
    if (!CryptAcquireContextA(&context, name.c_str(), nullptr, PROV_RSA_FULL, 0)) {
        image.error = GetLastError();
        return image;
    }
    image.exchange = ExportImage(context, AT_KEYEXCHANGE);
    image.signature = ExportImage(context, AT_SIGNATURE);
    CryptReleaseContext(context, 0);
    return image;
}

FileImage ReadFileImage(const std::string& path) {
    FileImage image;
    struct stat st {};
    if (lstat(path.c_str(), &st) != 0) return image;
    image.exists = true;
    image.mode = st.st_mode;
    image.bytes = ReadBytes(path);
    return image;
}

State Snapshot(const Scenario& s, const std::string& root, const std::string& work) {
    State state;
    for (const auto& name : s.containers) state.containers[name] = ReadContainer(root, name);
    for (const auto& name : s.files) state.files[name] = ReadFileImage(work + "/" + name);
    return state;
}

std::string Describe(const ContainerImage& c) {
    if (!c.exists()) {
        char code[32];
        snprintf(code, sizeof code, "%08lx", c.error);
        return std::string("unopenable (") + code + ")";
    }
    std::ostringstream out;
    out << "exchange " << (c.exchange.present ? std::to_string(c.exchange.pub.size()) + "-byte key" : "none")
        << ", signature " << (c.signature.present ? "key" : "none");
    return out.str();
}

struct RunOutcome {
    int status = -1;  // exit status, 128 + signal, or -1 when it hung
    std::string out;
    std::string err;
};

// Runs a program with the shim loaded and the given settings added to the
// environment; stdout and stderr go to files, and a run past the deadline is
// killed and reported as hung.
RunOutcome Run(const std::string& program, const std::vector<std::string>& args, const std::string& work,
               const std::map<std::string, std::string>& settings, const std::string& scratch) {
    const std::string path = std::string(KEYHOLD_BIN_DIR) + "/" + program;
    std::vector<std::string> argStore{path};
    argStore.insert(argStore.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (auto& a : argStore) argv.push_back(&a[0]);
    argv.push_back(nullptr);

    std::map<std::string, std::string> envMap;
    for (char** e = environ; *e; ++e) {
        const std::string kv(*e);
        const auto eq = kv.find('=');
        if (eq != std::string::npos) envMap[kv.substr(0, eq)] = kv.substr(eq + 1);
    }
    for (const char* name : {"KH_FAULT_CLASS", "KH_FAULT_N", "KH_FAULT_ERRNO", "KH_FAULT_LOG", "KH_FAULT_PATHS"})
        envMap.erase(name);
    envMap["LD_PRELOAD"] = KH_FAULT_SHIM;
    // A sanitised build's runtime would otherwise refuse a library before it.
    std::string& asan = envMap["ASAN_OPTIONS"];
    asan += std::string(asan.empty() ? "" : ":") + "verify_asan_link_order=0";
    for (const auto& [k, v] : settings) envMap[k] = v;
    std::vector<std::string> envStore;
    for (const auto& [k, v] : envMap) envStore.push_back(k + "=" + v);
    std::vector<char*> envp;
    for (auto& e : envStore) envp.push_back(&e[0]);
    envp.push_back(nullptr);

    const std::string outPath = scratch + "/stdout", errPath = scratch + "/stderr";
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    posix_spawn_file_actions_addopen(&actions, 2, errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    posix_spawn_file_actions_addchdir_np(&actions, work.c_str());
    pid_t pid = -1;
    const int rc = posix_spawn(&pid, path.c_str(), &actions, nullptr, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    if (rc != 0) throw std::runtime_error("cannot start " + path);

    RunOutcome outcome;
    int wstatus = 0;
    const time_t deadline = time(nullptr) + kRunTimeoutSeconds;
    for (;;) {
        const pid_t done = waitpid(pid, &wstatus, WNOHANG);
        if (done == pid) {
            outcome.status = WIFEXITED(wstatus) ? WEXITSTATUS(wstatus) : 128 + WTERMSIG(wstatus);
            break;
        }
        if (done < 0 && errno != EINTR) throw std::runtime_error("waitpid failed");
        if (time(nullptr) > deadline) {
            kill(pid, SIGKILL);
            waitpid(pid, &wstatus, 0);
            outcome.status = -1;
            break;
        }
        const timespec pause{0, 2 * 1000 * 1000};
        nanosleep(&pause, nullptr);
    }
    outcome.out = ReadBytes(outPath);
    outcome.err = ReadBytes(errPath);
    return outcome;
}

struct LoggedCall {
    std::string cls;
    std::string path;
    int injected = 0;
};

std::vector<LoggedCall> ReadLog(const std::string& path) {
    std::vector<LoggedCall> calls;
    std::istringstream in(ReadBytes(path));
    std::string line;
    while (std::getline(in, line)) {
        LoggedCall call;
        std::istringstream fields(line);
        fields >> call.cls >> call.path;
        std::string mark;
        if (fields >> mark && mark == "INJECTED") fields >> call.injected;
        calls.push_back(call);
    }
    return calls;
}

unsigned long ExpectedCode(int err) {
    switch (err) {
    case EACCES:
    case EPERM:
    case EROFS: return ERROR_ACCESS_DENIED;
    case ENOSPC:
    case EDQUOT: return ERROR_DISK_FULL;
    case EIO: return ERROR_IO_DEVICE;
    default: return 0;
    }
}

// The codes of the error lines in a program's output.
std::vector<unsigned long> ErrorCodes(const std::string& out) {
    std::vector<unsigned long> codes;
    static const std::regex line("Error\\[([0-9a-f]{8})\\]=[^\n]+\n");
    for (auto it = std::sregex_iterator(out.begin(), out.end(), line); it != std::sregex_iterator(); ++it)
        codes.push_back(std::stoul((*it)[1].str(), nullptr, 16));
    return codes;
}

// The names Quorvin lists, or "<error>" lines when its output is not a listing.
std::set<std::string> Listed(const std::string& out, bool& ok) {
    std::set<std::string> names;
    const std::string heading = "> Key Container Name List\n";
    const auto at = out.find(heading);
    ok = at != std::string::npos;
    if (!ok) return names;
    std::istringstream in(out.substr(at + heading.size()));
    std::string line;
    static const std::regex entry(" *[0-9]+=(.*)");
    std::smatch m;
    while (std::getline(in, line)) {
        if (!std::regex_match(line, m, entry)) {
            ok = false;
            continue;
        }
        names.insert(m[1].str());
    }
    return names;
}

bool IsTemporaryName(const std::string& name) {
    return name.compare(0, 7, ".khtmp-") == 0 || name.compare(0, 9, ".keyhold-") == 0;
}

std::string Basename(const std::string& path) {
    const auto slash = path.find_last_of('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

// Every file below `dir` whose name marks it as a temporary.
void FindTemporaries(const std::string& dir, std::vector<std::string>& found) {
    for (const auto& name : Entries(dir)) {
        const std::string path = dir + "/" + name;
        struct stat st {};
        if (lstat(path.c_str(), &st) != 0) continue;
        if (S_ISDIR(st.st_mode)) {
            FindTemporaries(path, found);
        } else if (IsTemporaryName(name)) {
            found.push_back(path);
        }
    }
}

bool IsCreatedEmpty(const Scenario& s, const State& before, const State& after) {
    if (!s.createsContainer) return false;
    for (const auto& [name, image] : after.containers) {
        const ContainerImage& old = before.containers.at(name);
        if (image == old) continue;
        if (old.exists() || !image.exists() || image.exchange.present || image.signature.present) return false;
    }
    for (const auto& [name, image] : after.files)
        if (!(image == before.files.at(name))) return false;
    return true;
}

std::string StateText(const State& st) {
    std::string text;
    for (const auto& [name, c] : st.containers) text += " [" + name + ": " + Describe(c) + "]";
    for (const auto& [name, f] : st.files)
        text += " [" + name + ": " + (f.exists ? std::to_string(f.bytes.size()) + " bytes" : "absent") + "]";
    return text;
}

struct Template {
    TempDir dir;
    std::string root() const { return dir / "root"; }
    std::string work() const { return dir / "work"; }
};

// A directory for one run, named without symbolic links so the shim's path
// test matches what the kernel reports for descriptors.
// On a memory file system when there is one: the runs fsync a great deal, and
// what is judged is what the programs do with failures, not the disk.
struct ShmTmpdir {
    ShmTmpdir() {
        if (access("/dev/shm", W_OK) == 0) setenv("TMPDIR", "/dev/shm", 1);
    }
};

struct RunDir {
    ShmTmpdir shm;
    TempDir dir;
    std::string base;
    RunDir() {
        char* real = realpath(dir.path().c_str(), nullptr);
        if (real == nullptr) throw std::runtime_error("realpath failed");
        base = real;
        free(real);
    }
    std::string root() const { return base + "/root"; }
    std::string work() const { return base + "/work"; }
    std::string scratch() const { return base + "/scratch"; }
    std::string log() const { return base + "/scratch/calls.log"; }
};

void PrepareRun(const Template& t, const RunDir& run) {
    struct stat st {};
    if (lstat(t.root().c_str(), &st) == 0) CopyTree(t.root(), run.root());
    CopyTree(t.work(), run.work());
    mkdir(run.scratch().c_str(), 0700);
}

std::map<std::string, std::string> Settings(const RunDir& run) {
    return {{"KEYHOLD_ROOT", run.root()}, {"KH_FAULT_PATHS", run.root() + ":" + run.work()},
            {"KH_FAULT_LOG", run.log()}};
}

// Judges one injected (or, with an empty class, clean) run; returns the
// faults found, empty when it survived.
std::vector<std::string> JudgeRun(const Scenario& s, const Template& t, const std::string& cls, int n, int err,
                                  std::vector<LoggedCall>* calls, bool swallow = false, bool shortWrite = false) {
    RunDir run;
    PrepareRun(t, run);
    const State before = Snapshot(s, run.root(), run.work());
    auto settings = Settings(run);
    if (!cls.empty()) {
        settings["KH_FAULT_CLASS"] = cls;
        settings["KH_FAULT_N"] = std::to_string(n);
        settings["KH_FAULT_ERRNO"] = std::to_string(err);
        if (swallow) settings["KH_FAULT_SWALLOW"] = "1";
        if (shortWrite) settings["KH_FAULT_SHORT"] = "1";
    }
    const RunOutcome r = Run(s.program, s.args, run.work(), settings, run.scratch());
    const std::vector<LoggedCall> logged = ReadLog(run.log());
    if (calls != nullptr) *calls = logged;

    std::vector<std::string> faults;
    auto fault = [&](const std::string& what) { faults.push_back(what); };
    const LoggedCall* hit = nullptr;
    for (const auto& c : logged)
        if (c.injected != 0) hit = &c;
    if (!cls.empty() && hit == nullptr) fault("the failure did not land: the run made fewer such calls");

    if (r.status == -1) fault("hung (killed after " + std::to_string(kRunTimeoutSeconds) + " s)");
    if (r.status >= 128) fault("ended by signal " + std::to_string(r.status - 128));
    if (!r.err.empty()) fault("wrote to standard error: " + r.err);
    const std::vector<unsigned long> codes = ErrorCodes(r.out);
    // A failed cleanup of a temporary (or of a leftover it looks for) changes
    // nothing the user relies on; every other failed call must fail the run.
    const bool ignorable = hit != nullptr && hit->cls == "unlink" && IsTemporaryName(Basename(hit->path));
    if (cls.empty() && r.status != 0) fault("a clean run failed: " + r.out);
    if (hit != nullptr && r.status == 0 && !ignorable && !shortWrite) fault("ended with 0 after a failed " + hit->cls);
    if (shortWrite && r.status != 0) fault("a short write, which is no failure, failed the run: " + r.out);
    if (r.status == 1) {
        if (codes.empty()) fault("ended with 1 without an error line: " + r.out);
        const unsigned long want = ExpectedCode(err);
        if (want != 0 && !codes.empty() && codes.back() != want) {
            char text[96];
            snprintf(text, sizeof text, "error line shows %08lx, the failed call's error is %08lx", codes.back(), want);
            fault(text);
        }
    } else if (r.status != 0 && r.status != -1 && r.status < 128) {
        fault("ended with " + std::to_string(r.status));
    }

    const State after = Snapshot(s, run.root(), run.work());
    std::string whyNotNew;
    const bool isOld = after.containers == before.containers && after.files == before.files;
    const bool isNew = s.isNew(before, after, whyNotNew);
    if (r.status == 0 && !isNew) fault("ended with 0 but the new state is not complete: " + whyNotNew);
    if (r.status != 0 && !isOld && !isNew && !IsCreatedEmpty(s, before, after))
        fault("neither the old nor the new state:" + StateText(after) + " (" + whyNotNew + ")");

    // No temporary of a key blob file is ever removed by a later run.
    for (const auto& name : Entries(run.work()))
        if (before.files.count(name) == 0 || IsTemporaryName(name)) fault("left in the work directory: " + name);

    // A later run of the same operation succeeds, and leaves nothing behind.
    const bool stillToDo = s.program != "Zetrask" || after.containers.at(s.containers.front()).exists();
    if (stillToDo && !cls.empty()) {
        const RunOutcome again = Run(s.program, s.args, run.work(), Settings(run), run.scratch());
        const State redone = Snapshot(s, run.root(), run.work());
        std::string why;
        if (again.status != 0) fault("the clean run after it failed: " + again.out);
        else if (!s.isNew(before, redone, why)) fault("the clean run after it left no new state: " + why);
    }
    std::vector<std::string> temps;
    FindTemporaries(run.base + "/root", temps);
    for (const auto& p : temps) fault("temporary still there after a later run: " + p);

    // The listing shows exactly the containers that exist (Quorvin adds the
    // default container when it is missing).
    const RunOutcome listing = Run("Quorvin", {}, run.work(), Settings(run), run.scratch());
    bool listed = false;
    const std::set<std::string> names = Listed(listing.out, listed);
    if (listing.status != 0 || !listed) {
        fault("the listing failed: " + listing.out);
    } else {
        std::set<std::string> want{keyhold::DefaultContainerName()};
        for (const auto& name : s.containers)
            if (ReadContainer(run.root(), name).exists()) want.insert(name);
        if (names != want) {
            std::string text = "the listing shows";
            for (const auto& name : names) text += " " + name;
            fault(text);
        }
    }
    return faults;
}

std::string ErrnoName(int err) {
    switch (err) {
    case EIO: return "EIO";
    case ENOSPC: return "ENOSPC";
    case EDQUOT: return "EDQUOT";
    case EACCES: return "EACCES";
    case EPERM: return "EPERM";
    case EROFS: return "EROFS";
    default: return std::to_string(err);
    }
}

}  // namespace

const std::vector<std::string>& CallClasses() {
    static const std::vector<std::string> classes{"open", "open-read", "open-dir", "write", "fsync", "dirfsync",
                                                  "rename", "link", "unlink", "mkdir", "close"};
    return classes;
}

std::vector<ErrnoRound> Rounds(bool full) {
    std::vector<ErrnoRound> rounds;
    rounds.push_back({"main", {{"open", EACCES}, {"open-read", EACCES}, {"open-dir", EACCES}, {"write", ENOSPC}, {"fsync", EIO},
                               {"dirfsync", EIO}, {"rename", EACCES}, {"link", EACCES}, {"unlink", EIO},
                               {"mkdir", EIO}, {"close", EIO}}});
    rounds.push_back({"other", {{"open", EIO}, {"open-read", EIO}, {"open-dir", EIO}, {"write", EIO}, {"fsync", ENOSPC},
                                {"dirfsync", EROFS}, {"rename", EIO}, {"link", EPERM}, {"unlink", EACCES},
                                {"mkdir", ENOSPC}, {"close", ENOSPC}}});
    if (full) {
        rounds.push_back({"more", {{"open", EPERM}, {"open-read", EPERM}, {"open-dir", EROFS}, {"write", EDQUOT}, {"fsync", EROFS},
                                   {"dirfsync", ENOSPC}, {"rename", EPERM}, {"link", EIO}, {"unlink", EPERM},
                                   {"mkdir", EACCES}, {"close", EDQUOT}}});
    }
    return rounds;
}

CampaignResult RunCampaign(const Scenario& s, const std::vector<ErrnoRound>& rounds) {
    CampaignResult result;
    Template t;
    mkdir(t.work().c_str(), 0755);
    s.prepare(t.root(), t.work());

    // The clean run: it must succeed, and it tells how many calls of each class there are.
    std::vector<LoggedCall> calls;
    for (const auto& f : JudgeRun(s, t, "", 0, 0, &calls)) result.failures.push_back("clean run: " + f);
    std::map<std::string, int> counts;
    for (const auto& c : calls) ++counts[c.cls];

    for (const auto& round : rounds) {
        for (const auto& cls : CallClasses()) {
            const int err = round.errnoOf.at(cls);
            ClassTally& tally = result.perClass[cls + " " + ErrnoName(err)];
            for (int n = 1; n <= counts[cls]; ++n) {
                const auto faults = JudgeRun(s, t, cls, n, err, nullptr);
                ++tally.injected;
                ++result.injected;
                if (faults.empty()) {
                    ++tally.survived;
                    ++result.survived;
                }
                for (const auto& f : faults)
                    result.failures.push_back(cls + " #" + std::to_string(n) + " " + ErrnoName(err) + ": " + f);
            }
        }
    }
    // Short writes: the program must write the rest and succeed.
    ClassTally& tally = result.perClass["write short"];
    for (int n = 1; n <= counts["write"]; ++n) {
        const auto faults = JudgeRun(s, t, "write", n, 0, nullptr, false, true);
        ++tally.injected;
        ++result.injected;
        if (faults.empty()) {
            ++tally.survived;
            ++result.survived;
        }
        for (const auto& f : faults) result.failures.push_back("write #" + std::to_string(n) + " short: " + f);
    }
    return result;
}

std::vector<std::string> JudgeSwallowed(const Scenario& s, const std::string& cls, int n) {
    Template t;
    mkdir(t.work().c_str(), 0755);
    s.prepare(t.root(), t.work());
    return JudgeRun(s, t, cls, n, EIO, nullptr, true);
}

// ---- the operations ----

namespace {

constexpr DWORD kBits1024 = 1024u << 16;

// Makes a container holding the keys asked for (exportable), in `root`.
void MakeContainer(const std::string& root, const std::string& name, bool exchange, bool signature) {
    RootSetting setting(root);
    HCRYPTPROV context = 0;
    if (!CryptAcquireContextA(&context, name.c_str(), nullptr, PROV_RSA_FULL, CRYPT_NEWKEYSET))
        throw std::runtime_error("cannot create container " + name);
    HCRYPTKEY key = 0;
    if (exchange) {
        if (!CryptGenKey(context, AT_KEYEXCHANGE, kBits1024 | CRYPT_EXPORTABLE, &key))
            throw std::runtime_error("cannot generate");
        CryptDestroyKey(key);
    }
    if (signature) {
        if (!CryptGenKey(context, AT_SIGNATURE, kBits1024, &key)) throw std::runtime_error("cannot generate");
        CryptDestroyKey(key);
    }
    CryptReleaseContext(context, 0);
}

// A key pair that lives in no store of the campaign: its private and public blobs.
const KeyImage& ForeignPair() {
    static const KeyImage pair = [] {
        TempDir dir;
        MakeContainer(dir / "root", "source", true, false);
        return ReadContainer(dir / "root", "source").exchange;
    }();
    return pair;
}

uint32_t Le32(const std::string& blob, size_t at) {
    if (blob.size() < at + 4) return 0;
    return static_cast<uint32_t>(static_cast<uint8_t>(blob[at])) |
           static_cast<uint32_t>(static_cast<uint8_t>(blob[at + 1])) << 8 |
           static_cast<uint32_t>(static_cast<uint8_t>(blob[at + 2])) << 16 |
           static_cast<uint32_t>(static_cast<uint8_t>(blob[at + 3])) << 24;
}

bool Not(std::string& why, const std::string& text) {
    why = text;
    return false;
}

bool Unchanged(const State& before, const State& after, const std::string& except, std::string& why) {
    for (const auto& [name, image] : after.containers) {
        if (name == except) continue;
        if (!(image == before.containers.at(name))) {
            why = "container " + name + " changed";
            return false;
        }
    }
    for (const auto& [name, image] : after.files) {
        if (name == except) continue;
        if (!(image == before.files.at(name))) {
            why = "file " + name + " changed";
            return false;
        }
    }
    return true;
}

// A freshly generated exchange pair of `bits` and `exponent`, exportable,
// other than the one before; the signature key stays as it was.
bool HasFreshPair(const State& before, const State& after, const std::string& name, uint32_t exponent,
                  std::string& why) {
    const ContainerImage& now = after.containers.at(name);
    const ContainerImage& old = before.containers.at(name);
    if (!now.exists()) return Not(why, name + " is missing");
    if (!now.exchange.present || now.exchange.priv.empty()) return Not(why, name + " has no exportable pair");
    if (old.exchange.present && now.exchange.pub == old.exchange.pub) return Not(why, name + " keeps its old pair");
    if (Le32(now.exchange.pub, 12) != 1024 || Le32(now.exchange.pub, 16) != exponent)
        return Not(why, name + " holds a pair of the wrong length or exponent");
    const KeyImage oldSignature = old.exists() ? old.signature : KeyImage{};
    if (!(now.signature == oldSignature)) return Not(why, name + " lost or changed its signature key");
    return Unchanged(before, after, name, why);
}

bool HoldsPair(const State& before, const State& after, const std::string& name, const KeyImage& pair,
               std::string& why) {
    const ContainerImage& now = after.containers.at(name);
    const ContainerImage& old = before.containers.at(name);
    if (!now.exists()) return Not(why, name + " is missing");
    if (!(now.exchange == pair)) return Not(why, name + " does not hold the imported pair");
    const KeyImage oldSignature = old.exists() ? old.signature : KeyImage{};
    if (!(now.signature == oldSignature)) return Not(why, name + " lost or changed its signature key");
    return Unchanged(before, after, name, why);
}

void WriteKeyInput(const std::string& work) { WriteBytes(work + "/b.key", ForeignPair().priv, 0600); }

}  // namespace

std::vector<Scenario> Scenarios() {
    std::vector<Scenario> list;
    {
        Scenario s;
        s.name = "TessaroExisting";
        s.program = "Tessaro";
        s.args = {"/N:c", "/L:1024", "/X"};
        s.containers = {"c", "keep"};
        s.prepare = [](const std::string& root, const std::string&) {
            MakeContainer(root, "c", true, true);
            MakeContainer(root, "keep", true, false);
        };
        s.isNew = [](const State& b, const State& a, std::string& why) { return HasFreshPair(b, a, "c", 65537, why); };
        list.push_back(s);
    }
    {
        Scenario s;
        s.name = "TessaroNew";
        s.program = "Tessaro";
        s.args = {"/N:n", "/L:1024", "/X"};
        s.containers = {"n"};
        s.createsContainer = true;
        s.prepare = [](const std::string&, const std::string&) {};  // not even the key area exists
        s.isNew = [](const State& b, const State& a, std::string& why) { return HasFreshPair(b, a, "n", 65537, why); };
        list.push_back(s);
    }
    {
        Scenario s;
        s.name = "MorbeckExisting";
        s.program = "Morbeck";
        s.args = {"/N:c", "/L:1024", "/E:17", "/X"};
        s.containers = {"c", "keep"};
        s.prepare = [](const std::string& root, const std::string&) {
            MakeContainer(root, "c", true, true);
            MakeContainer(root, "keep", true, false);
        };
        s.isNew = [](const State& b, const State& a, std::string& why) { return HasFreshPair(b, a, "c", 17, why); };
        list.push_back(s);
    }
    {
        Scenario s;
        s.name = "OmbrixExisting";
        s.program = "Ombrix";
        s.args = {"/F:b.key", "/N:c", "/X"};
        s.containers = {"c", "keep"};
        s.files = {"b.key"};
        s.prepare = [](const std::string& root, const std::string& work) {
            MakeContainer(root, "c", true, true);
            MakeContainer(root, "keep", true, false);
            WriteKeyInput(work);
        };
        s.isNew = [](const State& b, const State& a, std::string& why) {
            return HoldsPair(b, a, "c", ForeignPair(), why);
        };
        list.push_back(s);
    }
    {
        Scenario s;
        s.name = "OmbrixNew";
        s.program = "Ombrix";
        s.args = {"/F:b.key", "/N:n", "/X"};
        s.containers = {"n", "keep"};
        s.files = {"b.key"};
        s.createsContainer = true;
        s.prepare = [](const std::string& root, const std::string& work) {
            MakeContainer(root, "keep", true, false);
            WriteKeyInput(work);
        };
        s.isNew = [](const State& b, const State& a, std::string& why) {
            return HoldsPair(b, a, "n", ForeignPair(), why);
        };
        list.push_back(s);
    }
    {
        Scenario s;
        s.name = "Zetrask";
        s.program = "Zetrask";
        s.args = {"/N:x"};
        s.containers = {"x", "keep"};
        s.prepare = [](const std::string& root, const std::string&) {
            MakeContainer(root, "x", true, true);
            MakeContainer(root, "keep", true, false);
        };
        s.isNew = [](const State& b, const State& a, std::string& why) {
            if (a.containers.at("x").error != static_cast<unsigned long>(NTE_BAD_KEYSET))
                return Not(why, "x is still there");
            return Unchanged(b, a, "x", why);
        };
        list.push_back(s);
    }
    for (bool existing : {true, false}) {
        Scenario s;
        s.name = existing ? "FaldrenExistingTarget" : "FaldrenNewTarget";
        s.program = "Faldren";
        s.args = {"/K:7", "/F:pair.key", "/N:c"};
        s.containers = {"c", "keep"};
        s.files = {"pair.key"};
        s.prepare = [existing](const std::string& root, const std::string& work) {
            MakeContainer(root, "c", true, true);
            MakeContainer(root, "keep", true, false);
            // A private key never keeps the mode of what it replaces.
            if (existing) WriteBytes(work + "/pair.key", ForeignPair().pub, 0640);
        };
        s.isNew = [](const State& b, const State& a, std::string& why) {
            const FileImage& f = a.files.at("pair.key");
            if (!f.exists || f.bytes != a.containers.at("c").exchange.priv)
                return Not(why, "pair.key does not hold the exported pair");
            if ((f.mode & 07777) != 0600u) return Not(why, "pair.key has the wrong mode");
            return Unchanged(b, a, "pair.key", why);
        };
        list.push_back(s);
    }
    return list;
}

}  // namespace fault_test
