// Shared by the end-to-end tests of Quorvin, Zetrask and Vandrel: a throw-away
// key store used both by the programs (through their environment) and by the
// test process itself (to prepare and inspect containers).
#ifndef KEYHOLD_TESTS_PROGRAMS_PROGRAM_TEST_SUPPORT_H
#define KEYHOLD_TESTS_PROGRAMS_PROGRAM_TEST_SUPPORT_H

#include <dirent.h>
#include <errno.h>
#include <iconv.h>
#include <pwd.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>
#include <wincrypt.h>

#include <map>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "legacy_container.h"
#include "output_match.h"
#include "run_program.h"

namespace keyhold_test {

// A key store root for one test; the test process uses it too while it lives.
class Store {
public:
    Store() {
        const char* old = getenv("KEYHOLD_ROOT");
        hadOld_ = old != nullptr;
        if (hadOld_) old_ = old;
        setenv("KEYHOLD_ROOT", root().c_str(), 1);
    }
    ~Store() {
        if (hadOld_)
            setenv("KEYHOLD_ROOT", old_.c_str(), 1);
        else
            unsetenv("KEYHOLD_ROOT");
    }
    std::string root() const { return dir_ / "store"; }
    std::string areaDir(bool machine) const {
        return machine ? root() + "/machine" : root() + "/users/" + std::to_string(geteuid());
    }

    RunOptions options(const std::string& input = "", const std::string& locale = "C") const {
        RunOptions o;
        o.env["KEYHOLD_ROOT"] = root();
        o.env["LC_ALL"] = locale;
        o.input = input;
        return o;
    }
    RunResult run(const std::string& program, const std::vector<std::string>& args,
                  const std::string& input = "") const {
        return RunProgram(program, args, options(input));
    }

    // File name -> inode and change time of everything in an area.
    std::map<std::string, std::string> snapshot(bool machine) const {
        std::map<std::string, std::string> files;
        const std::string dir = areaDir(machine);
        DIR* d = opendir(dir.c_str());
        if (d == nullptr) return files;
        while (dirent* e = readdir(d)) {
            struct stat st;
            const std::string path = dir + "/" + e->d_name;
            if (e->d_name[0] == '.' || stat(path.c_str(), &st) != 0) continue;
            files[e->d_name] = std::to_string(st.st_ino) + ":" + std::to_string(st.st_ctim.tv_sec) + "." +
                               std::to_string(st.st_ctim.tv_nsec);
        }
        closedir(d);
        return files;
    }

private:
    TempDir dir_;
    bool hadOld_ = false;
    std::string old_;
};

inline DWORD AreaFlag(bool machine) { return machine ? CRYPT_MACHINE_KEYSET : 0; }

// Creates a container (no keys) in the test process.
inline void CreateContainer(const std::string& name, bool machine = false, DWORD type = PROV_RSA_FULL) {
    HCRYPTPROV context = 0;
    ASSERT_TRUE(CryptAcquireContextA(&context, name.c_str(), nullptr, type, CRYPT_NEWKEYSET | AreaFlag(machine)))
        << "cannot create " << name << ": " << std::hex << GetLastError();
    CryptReleaseContext(context, 0);
}

// Null: the default container.
inline bool ContainerExists(const char* name, bool machine = false) {
    HCRYPTPROV context = 0;
    if (!CryptAcquireContextA(&context, name, nullptr, PROV_RSA_FULL, AreaFlag(machine))) {
        EXPECT_EQ(GetLastError(), (DWORD)NTE_BAD_KEYSET);
        return false;
    }
    CryptReleaseContext(context, 0);
    return true;
}
inline bool ContainerExists(const std::string& name, bool machine = false) {
    return ContainerExists(name.c_str(), machine);
}

// The default container's name: the effective user's login name.
inline std::string DefaultContainerName() {
    const passwd* pw = getpwuid(geteuid());
    return pw != nullptr ? pw->pw_name : "uid" + std::to_string(geteuid());
}

inline std::string ProviderName(DWORD type) {
    HCRYPTPROV context = 0;
    if (!CryptAcquireContextA(&context, nullptr, nullptr, type, CRYPT_VERIFYCONTEXT)) {
        ADD_FAILURE() << "no verify context for type " << type;
        return "";
    }
    BYTE name[1024];
    DWORD length = sizeof name;
    const bool ok = CryptGetProvParam(context, PP_NAME, name, &length, 0);
    CryptReleaseContext(context, 0);
    EXPECT_TRUE(ok);
    return ok ? reinterpret_cast<const char*>(name) : "";
}

// One error line for the code; the text is the platform's.
inline bool IsErrorLine(const std::string& text, DWORD code) {
    return Matches(text, ErrorLinePattern(code));
}

// The bytes code page 932 gives a UTF-8 text.
inline std::string ToCp932(const std::string& utf8) {
    iconv_t cd = iconv_open("CP932", "UTF-8");
    if (cd == (iconv_t)-1) {
        ADD_FAILURE() << "iconv knows no CP932";
        return "";
    }
    std::string out(utf8.size() * 2 + 16, '\0');
    char* in = const_cast<char*>(utf8.data());
    size_t inLeft = utf8.size();
    char* outPtr = out.data();
    size_t outLeft = out.size();
    const size_t rc = iconv(cd, &in, &inLeft, &outPtr, &outLeft);
    iconv_close(cd);
    EXPECT_NE(rc, (size_t)-1) << "iconv failed: " << errno;
    out.resize(out.size() - outLeft);
    return out;
}

// A Shift-JIS locale generated into `dir`; false when localedef cannot make it.
// localedef ends with 1 and a warning (the charmap is not ASCII compatible) yet
// writes the locale, so only the result counts.
inline bool MakeShiftJisLocale(const TempDir& dir) {
    const std::string command = "localedef -f SHIFT_JIS -i ja_JP '" + dir / "ja_JP.SJIS" + "' >/dev/null 2>&1";
    (void)system(command.c_str());
    struct stat st;
    return stat((dir / "ja_JP.SJIS").c_str(), &st) == 0;
}

inline RunOptions ShiftJisOptions(const RunOptions& base, const TempDir& locales) {
    RunOptions o = base;
    o.env["LC_ALL"] = "ja_JP.SJIS";
    o.env["LOCPATH"] = locales.path();
    return o;
}

}  // namespace keyhold_test

#endif
