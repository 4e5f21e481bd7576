// The fault campaign: for one operation of one program, count the system calls
// on its mutation paths in a clean run, then fail each of them in turn (one run
// per call and error) and judge what the run left: its output and status, the
// containers, the key blob files, and whether a later run trips over anything.
#ifndef KEYHOLD_TESTS_FAULT_CAMPAIGN_H
#define KEYHOLD_TESTS_FAULT_CAMPAIGN_H

#include <sys/types.h>

#include <functional>
#include <map>
#include <ostream>
#include <string>
#include <vector>

namespace fault_test {

// One key of a container as the key store exports it; `priv` is empty for a
// key that does not export its private half.
struct KeyImage {
    bool present = false;
    std::string pub;
    std::string priv;
    bool operator==(const KeyImage& o) const { return present == o.present && pub == o.pub && priv == o.priv; }
};

// A container as a reader sees it; `error` is 0 when it opened, else the code
// the key store gave (NTE_BAD_KEYSET when it does not exist).
struct ContainerImage {
    unsigned long error = 0;
    KeyImage exchange;
    KeyImage signature;
    bool exists() const { return error == 0; }
    bool operator==(const ContainerImage& o) const {
        return error == o.error && exchange == o.exchange && signature == o.signature;
    }
};

struct FileImage {
    bool exists = false;
    std::string bytes;
    mode_t mode = 0;
    bool operator==(const FileImage& o) const { return exists == o.exists && bytes == o.bytes && mode == o.mode; }
};

// Everything a run may have changed.
struct State {
    std::map<std::string, ContainerImage> containers;
    std::map<std::string, FileImage> files;
};

// One operation under test. The campaign builds `prepare`'s store and files
// once, copies them for every run, and judges each run's result against the
// state before it.
struct Scenario {
    std::string name;                     // e.g. "Tessaro, existing container"
    std::string program;
    std::vector<std::string> args;
    std::vector<std::string> containers;  // the names whose state is judged
    std::vector<std::string> files;       // the key blob files (in the work directory) judged
    bool createsContainer = false;        // an empty container may stand after a failed run
    // Fills a fresh store root and work directory.
    std::function<void(const std::string& root, const std::string& work)> prepare;
    // Whether `after` is exactly the completed operation applied to `before`.
    std::function<bool(const State& before, const State& after, std::string& why)> isNew;
};

// Test names say which operation it is.
inline void PrintTo(const Scenario& s, std::ostream* out) { *out << s.name; }

struct ErrnoRound {
    std::string name;
    std::map<std::string, int> errnoOf;  // per call class
};

struct ClassTally {
    int injected = 0;
    int survived = 0;
};

struct CampaignResult {
    std::map<std::string, ClassTally> perClass;  // "class errno" -> tally
    std::vector<std::string> failures;
    int injected = 0;
    int survived = 0;
};

// The call classes the shim knows.
const std::vector<std::string>& CallClasses();

// The rounds of errors: the first is the main one; `full` adds more.
std::vector<ErrnoRound> Rounds(bool full);

CampaignResult RunCampaign(const Scenario& scenario, const std::vector<ErrnoRound>& rounds);

// One run in which the chosen call is skipped and reported as done, as a
// caller that ignores its result would see it; returns what the judge found.
std::vector<std::string> JudgeSwallowed(const Scenario& scenario, const std::string& cls, int n);

// The operations of the campaign.
std::vector<Scenario> Scenarios();

}  // namespace fault_test

#endif
