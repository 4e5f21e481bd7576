// Shared by the tests of other users and of hostile names and paths: a
// directory every user can reach, runs of the programs as another user, and
// a picture of a whole directory tree to prove that nothing outside the
// expected places changed.
#ifndef KEYHOLD_TESTS_USERS_SUPPORT_H
#define KEYHOLD_TESTS_USERS_SUPPORT_H

#include <ftw.h>
#include <pwd.h>
#include <regex.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <openssl/evp.h>

#include <fstream>
#include <iterator>
#include <map>
#include <set>
#include <stdexcept>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "output_match.h"
#include "file_bytes.h"
#include "run_program.h"

namespace users_test {

using keyhold_test::ProgramPath;
using keyhold_test::RunOptions;
using keyhold_test::RunProgram;
using keyhold_test::RunResult;

// A temporary directory under /tmp, 0755, so other users can pass through it
// whatever TMPDIR says. Removed with everything below it when this goes.
class SharedDir {
public:
    SharedDir() {
        std::string pattern = "/tmp/keyhold-users-XXXXXX";
        if (mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
        path_ = pattern;
        chmod(path_.c_str(), 0755);
    }
    ~SharedDir() {
        nftw(path_.c_str(), [](const char* p, const struct stat*, int, struct FTW*) { return remove(p); },
             16, FTW_DEPTH | FTW_PHYS);
    }
    SharedDir(const SharedDir&) = delete;
    SharedDir& operator=(const SharedDir&) = delete;
    const std::string& path() const { return path_; }
    std::string operator/(const std::string& name) const { return path_ + "/" + name; }

private:
    std::string path_;
};

using keyhold_test::Exists;
using keyhold_test::ReadBytes;
using keyhold_test::WriteBytes;

// Mode bits (with the file type) and owner, without following a link.
struct Owned {
    mode_t mode = 0;
    uid_t uid = (uid_t)-1;
};

inline Owned StatOf(const std::string& path) {
    struct stat st;
    Owned o;
    if (lstat(path.c_str(), &st) == 0) {
        o.mode = st.st_mode;
        o.uid = st.st_uid;
    }
    return o;
}

using keyhold_test::Entries;
using keyhold_test::ErrorLinePattern;
using keyhold_test::kAnyErrorLine;
using keyhold_test::kTimeLine;
using keyhold_test::Matches;

inline bool IsRoot() { return geteuid() == 0; }

inline std::string SetprivPath() {
    for (const char* p : {"/usr/bin/setpriv", "/bin/setpriv", "/usr/sbin/setpriv"})
        if (access(p, X_OK) == 0) return p;
    return {};
}

// A uid without a password entry, from `start` upwards; its default
// container is "uid<N>".
inline uid_t UnnamedUid(uid_t start) {
    for (uid_t uid = start;; ++uid)
        if (getpwuid(uid) == nullptr) return uid;
}

// What this test process checked, printed when it ends, for the figures of
// the reliability notes: program runs and how many ended in an error line,
// platform calls made to be refused and how many were, trees compared.
struct Figures {
    long runs = 0;
    long refusals = 0;
    long calls = 0;
    long callRefusals = 0;
    long comparisons = 0;
};
inline Figures figures;

class FiguresPrinter : public ::testing::Environment {
public:
    void TearDown() override {
        printf("[users figures] runs=%ld refusals=%ld calls=%ld call_refusals=%ld comparisons=%ld\n", figures.runs,
               figures.refusals, figures.calls, figures.callRefusals, figures.comparisons);
    }
};
inline const bool kFiguresPrinterAdded = (::testing::AddGlobalTestEnvironment(new FiguresPrinter), true);

inline RunResult Counted(RunResult r) {
    ++figures.runs;
    if (r.out.find("Error[") != std::string::npos && r.status == 1) ++figures.refusals;
    return r;
}

// Runs a program of the build as this process is.
inline RunResult RunHere(const std::string& program, const std::vector<std::string>& args,
                         const RunOptions& options) {
    return Counted(RunProgram(program, args, options));
}

// Runs a program of the build as `uid` (group the same number, no
// supplementary groups); uid 0 runs it as this process is.
inline RunResult RunAs(uid_t uid, const std::string& program, const std::vector<std::string>& args,
                       const RunOptions& options) {
    if (uid == 0) return RunHere(program, args, options);
    std::vector<std::string> all{"--reuid=" + std::to_string(uid), "--regid=" + std::to_string(uid),
                                 "--clear-groups", ProgramPath(program)};
    all.insert(all.end(), args.begin(), args.end());
    return Counted(RunProgram(SetprivPath(), all, options));
}

// Every entry below `top` (top itself as ""), by path relative to it, with
// its type, mode, owner, and a file's bytes or a link's target. Directory
// times are left out: they change with every lookup of a missing name.
using Tree = std::map<std::string, std::string>;

inline Tree Picture(const std::string& top) {
    static Tree* current = nullptr;
    static std::string base;
    Tree tree;
    current = &tree;
    base = top;
    nftw(top.c_str(),
         [](const char* p, const struct stat* st, int, struct FTW*) {
             std::string desc = std::to_string(st->st_mode) + " " + std::to_string(st->st_uid) + " ";
             if (S_ISREG(st->st_mode)) {
                 desc += ReadBytes(p);
             } else if (S_ISLNK(st->st_mode)) {
                 char target[4096];
                 const ssize_t n = readlink(p, target, sizeof target);
                 if (n > 0) desc.append(target, (size_t)n);
             }
             (*current)[std::string(p).substr(base.size())] = desc;
             return 0;
         },
         16, FTW_PHYS);
    current = nullptr;
    return tree;
}

// The paths whose entries differ between two pictures, for messages.
inline std::set<std::string> Changed(const Tree& before, const Tree& after) {
    ++figures.comparisons;
    std::set<std::string> paths;
    for (const auto& [path, desc] : before) {
        const auto it = after.find(path);
        if (it == after.end() || it->second != desc) paths.insert(path);
    }
    for (const auto& [path, desc] : after)
        if (before.find(path) == before.end()) paths.insert(path);
    return paths;
}

inline std::string Joined(const std::set<std::string>& paths) {
    std::string out;
    for (const auto& p : paths) out += "\n  " + p.substr(0, 120);
    return out;
}

// The file name the store gives a container: the hex SHA-256 of its name.
inline std::string Sha256Hex(const std::string& bytes) {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int size = 0;
    EVP_Digest(bytes.data(), bytes.size(), digest, &size, EVP_sha256(), nullptr);
    static const char hex[] = "0123456789abcdef";
    std::string out;
    for (unsigned int i = 0; i < size; ++i) {
        out += hex[digest[i] >> 4];
        out += hex[digest[i] & 15];
    }
    return out;
}

inline bool IsHexName(const std::string& name) {
    if (name.size() != 64) return false;
    for (char c : name)
        if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return false;
    return true;
}

}  // namespace users_test

#endif
