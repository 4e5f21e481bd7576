// Shared helpers of the transfer tests: a throw-away key store with a working
// directory beside it, file helpers and the patterns of the lines the
// programs print.
#ifndef KEYHOLD_TESTS_TRANSFER_SUPPORT_H
#define KEYHOLD_TESTS_TRANSFER_SUPPORT_H

#include <dirent.h>
#include <regex.h>
#include <stdint.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <iterator>
#include <set>
#include <string>
#include <vector>

#include "output_match.h"
#include "file_bytes.h"
#include "run_program.h"

namespace transfer_test {

using keyhold_test::RunOptions;
using keyhold_test::RunProgram;
using keyhold_test::RunResult;
using keyhold_test::TempDir;

using keyhold_test::Exists;
using keyhold_test::ReadBytes;
using keyhold_test::WriteBytes;

inline mode_t ModeOf(const std::string& path) {
    struct stat st;
    if (stat(path.c_str(), &st) != 0) return (mode_t)-1;
    return st.st_mode & 07777;
}

using keyhold_test::Entries;
using keyhold_test::ErrorLinePattern;
using keyhold_test::kAnyErrorLine;
using keyhold_test::kTimeLine;
using keyhold_test::Matches;

inline uint32_t Le32(const std::string& blob, size_t offset) {
    return (uint32_t)(uint8_t)blob[offset] | (uint32_t)(uint8_t)blob[offset + 1] << 8 |
           (uint32_t)(uint8_t)blob[offset + 2] << 16 | (uint32_t)(uint8_t)blob[offset + 3] << 24;
}

// The fields of a PUBLICKEYBLOB or PRIVATEKEYBLOB, and its modulus as
// upper-case hex, most significant digit first (as openssl prints it).
struct BlobView {
    int type = -1;
    int version = -1;
    uint32_t algorithm = 0;
    uint32_t magic = 0;
    uint32_t bitLength = 0;
    uint32_t exponent = 0;
    std::string modulusHex;
};

inline BlobView ViewBlob(const std::string& blob) {
    BlobView view;
    if (blob.size() < 20) return view;
    view.type = (uint8_t)blob[0];
    view.version = (uint8_t)blob[1];
    view.algorithm = Le32(blob, 4);
    view.magic = Le32(blob, 8);
    view.bitLength = Le32(blob, 12);
    view.exponent = Le32(blob, 16);
    const size_t bytes = view.bitLength / 8;
    if (blob.size() < 20 + bytes) return view;
    static const char digits[] = "0123456789ABCDEF";
    for (size_t i = bytes; i-- > 0;) {
        const uint8_t b = (uint8_t)blob[20 + i];
        view.modulusHex += digits[b >> 4];
        view.modulusHex += digits[b & 15];
    }
    return view;
}

inline const uint32_t kRsa1 = 0x31415352;
inline const uint32_t kRsa2 = 0x32415352;

// A key store root and a working directory of its own; every program runs in
// the working directory, under the C locale unless a test says otherwise.
class Sandbox {
public:
    Sandbox() {
        mkdir(Store().c_str(), 0755);
        mkdir(Work().c_str(), 0755);
    }
    std::string Store() const { return dir_ / "store"; }
    std::string Work() const { return dir_ / "work"; }
    std::string File(const std::string& name) const { return Work() + "/" + name; }

    RunResult Run(const std::string& program, const std::vector<std::string>& args,
                  std::map<std::string, std::string> env = {}) const {
        RunOptions options;
        options.env = {{"KEYHOLD_ROOT", Store()}, {"LC_ALL", "C"}};
        for (const auto& [k, v] : env) options.env[k] = v;
        options.cwd = Work();
        return RunProgram(program, args, options);
    }

    // Whether the container exists, asked through an export that never creates.
    bool HasContainer(const std::string& name, bool machine = false) const {
        std::vector<std::string> args{"/N:" + name};
        if (machine) args.push_back("/M");
        const RunResult r = Run("Faldren", args);
        return !Matches(r.out, ErrorLinePattern(0x80090016));
    }

private:
    TempDir dir_;
};

inline bool HaveProgram(const std::string& name) {
    return access(keyhold_test::ProgramPath(name).c_str(), X_OK) == 0;
}

}  // namespace transfer_test

#endif
