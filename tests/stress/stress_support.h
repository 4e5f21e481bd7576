// Shared pieces of the crash and concurrency tests: bounded sizes that the
// environment may raise, a replayable random source, starting and killing the
// programs, and reading the key store back from the test process.
#ifndef KEYHOLD_TESTS_STRESS_SUPPORT_H
#define KEYHOLD_TESTS_STRESS_SUPPORT_H

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <fstream>
#include <iterator>
#include <random>
#include <set>
#include <string>
#include <vector>

#include <windows.h>
#include <wincrypt.h>

#include "run_program.h"

extern char** environ;

namespace stress_test {

using keyhold_test::ProgramPath;
using keyhold_test::TempDir;

#if defined(__SANITIZE_ADDRESS__)
#define KEYHOLD_STRESS_SANITIZED 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define KEYHOLD_STRESS_SANITIZED 1
#endif
#endif

// A size of a run: the bounded default, or the value of `variable` (the
// longer runs of scripts/reliability/stress.sh set them). A sanitized build
// runs everything several times slower and looks for memory faults, not for
// rare windows, so a count of rounds (`scaled`) is halved there by default.
inline unsigned Setting(const char* variable, unsigned fallback, bool scaled = true) {
    const char* text = getenv(variable);
    if (text != nullptr && *text != '\0') return static_cast<unsigned>(strtoul(text, nullptr, 10));
#ifdef KEYHOLD_STRESS_SANITIZED
    if (scaled) return fallback / 2;
#else
    (void)scaled;
#endif
    return fallback;
}

// KEYHOLD_STRESS_SEED replays a run; otherwise a fresh seed, printed.
inline std::uint64_t Seed() {
    const char* text = getenv("KEYHOLD_STRESS_SEED");
    if (text != nullptr && *text != '\0') return strtoull(text, nullptr, 10);
    std::random_device device;
    return (static_cast<std::uint64_t>(device()) << 32) ^ device() ^ static_cast<std::uint64_t>(getpid());
}

// Nanoseconds on the monotonic clock, which all processes of the machine share:
// it orders operations of different processes, it never judges their speed.
inline std::int64_t Now() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<std::int64_t>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

inline std::string ReadBytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

inline bool WriteBytes(const std::string& path, const std::string& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    return static_cast<bool>(out);
}

inline std::string Hex(const std::string& bytes) {
    static const char digits[] = "0123456789abcdef";
    std::string text;
    for (unsigned char b : bytes) {
        text += digits[b >> 4];
        text += digits[b & 15];
    }
    return text;
}

inline std::string Unhex(const std::string& text) {
    std::string bytes;
    for (std::size_t i = 0; i + 1 < text.size(); i += 2)
        bytes.push_back(static_cast<char>(std::stoi(text.substr(i, 2), nullptr, 16)));
    return bytes;
}

// Starts a built program with the test's environment, its output discarded.
inline pid_t StartProgram(const std::string& program, const std::vector<std::string>& args) {
    const std::string path = ProgramPath(program);
    std::vector<std::string> store{path};
    store.insert(store.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (auto& a : store) argv.push_back(a.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    pid_t pid = -1;
    const int rc = posix_spawn(&pid, path.c_str(), &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    return rc == 0 ? pid : -1;
}

// Waits for a child: its exit status, or 128 + the signal that ended it.
inline int WaitFor(pid_t pid) {
    int status = 0;
    while (waitpid(pid, &status, 0) < 0) {
        if (errno != EINTR) return -1;
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

inline void SleepMicroseconds(std::int64_t us) {
    if (us <= 0) return;
    timespec ts{static_cast<time_t>(us / 1000000), static_cast<long>(us % 1000000) * 1000};
    while (nanosleep(&ts, &ts) != 0 && errno == EINTR) {
    }
}

// One export of a key handle; empty when the key store refuses it.
inline std::string Export(HCRYPTKEY key, DWORD type) {
    DWORD length = 0;
    if (!CryptExportKey(key, 0, type, 0, nullptr, &length)) return {};
    std::string blob(length, '\0');
    if (!CryptExportKey(key, 0, type, 0, reinterpret_cast<BYTE*>(&blob[0]), &length)) return {};
    blob.resize(length);
    return blob;
}

// What a container holds, as the key store reports it to a reader.
struct Holding {
    DWORD openError = ERROR_SUCCESS;  // of CryptAcquireContextA without flags
    DWORD keyError = ERROR_SUCCESS;   // of CryptGetUserKey(AT_KEYEXCHANGE)
    std::string publicBlob;           // the exchange key's PUBLICKEYBLOB
    std::string privateBlob;          // and PRIVATEKEYBLOB (all keys here are exportable)

    bool present() const { return openError == ERROR_SUCCESS; }
    bool hasKey() const { return present() && keyError == ERROR_SUCCESS; }
    bool empty() const { return present() && keyError == (DWORD)NTE_NO_KEY; }
    bool sameAs(const Holding& other) const {
        return openError == other.openError && keyError == other.keyError &&
               publicBlob == other.publicBlob && privateBlob == other.privateBlob;
    }
};

inline Holding Inspect(const std::string& name) {
    Holding h;
    HCRYPTPROV context = 0;
    if (!CryptAcquireContextA(&context, name.c_str(), nullptr, PROV_RSA_FULL, 0)) {
        h.openError = GetLastError();
        return h;
    }
    HCRYPTKEY key = 0;
    if (CryptGetUserKey(context, AT_KEYEXCHANGE, &key)) {
        h.publicBlob = Export(key, PUBLICKEYBLOB);
        h.privateBlob = Export(key, PRIVATEKEYBLOB);
        CryptDestroyKey(key);
    } else {
        h.keyError = GetLastError();
    }
    CryptReleaseContext(context, 0);
    return h;
}

// The names PP_ENUMCONTAINERS walks in the user area (or with
// CRYPT_MACHINE_KEYSET the machine area), in its order; a failed walk gives
// the single entry "<error XXXXXXXX>".
inline std::vector<std::string> ListNames(DWORD areaFlag = 0) {
    std::vector<std::string> names;
    HCRYPTPROV context = 0;
    char text[32];
    if (!CryptAcquireContextA(&context, nullptr, nullptr, PROV_RSA_FULL, CRYPT_VERIFYCONTEXT | areaFlag)) {
        snprintf(text, sizeof text, "<error %08x>", (unsigned)GetLastError());
        return {text};
    }
    std::vector<BYTE> buffer(4096 + 1);
    for (DWORD flag = CRYPT_FIRST;; flag = CRYPT_NEXT) {
        DWORD length = static_cast<DWORD>(buffer.size());
        if (!CryptGetProvParam(context, PP_ENUMCONTAINERS, buffer.data(), &length, flag)) {
            if (GetLastError() != ERROR_NO_MORE_ITEMS) {
                snprintf(text, sizeof text, "<error %08x>", (unsigned)GetLastError());
                names = {text};
            }
            break;
        }
        names.emplace_back(reinterpret_cast<const char*>(buffer.data()));
    }
    CryptReleaseContext(context, 0);
    return names;
}

// A private key blob of a fresh exportable pair, made in a verify context so
// that nothing is stored.
inline std::string FreshPrivateBlob(DWORD bits) {
    HCRYPTPROV context = 0;
    if (!CryptAcquireContextA(&context, nullptr, nullptr, PROV_RSA_FULL, CRYPT_VERIFYCONTEXT)) return {};
    HCRYPTKEY key = 0;
    std::string blob;
    if (CryptGenKey(context, CALG_RSA_KEYX, bits << 16 | CRYPT_EXPORTABLE, &key)) {
        blob = Export(key, PRIVATEKEYBLOB);
        CryptDestroyKey(key);
    }
    CryptReleaseContext(context, 0);
    return blob;
}

// The PUBLICKEYBLOB the key store gives for a private blob, through a verify
// context; empty when the blob is not a consistent key pair.
inline std::string PublicOf(const std::string& privateBlob) {
    HCRYPTPROV context = 0;
    if (!CryptAcquireContextA(&context, nullptr, nullptr, PROV_RSA_FULL, CRYPT_VERIFYCONTEXT)) return {};
    HCRYPTKEY key = 0;
    std::string blob;
    if (CryptImportKey(context, reinterpret_cast<const BYTE*>(privateBlob.data()),
                       static_cast<DWORD>(privateBlob.size()), 0, CRYPT_EXPORTABLE, &key)) {
        blob = Export(key, PUBLICKEYBLOB);
        CryptDestroyKey(key);
    }
    CryptReleaseContext(context, 0);
    return blob;
}

inline std::uint32_t Le32(const std::string& blob, std::size_t offset) {
    if (blob.size() < offset + 4) return 0;
    return static_cast<std::uint32_t>(static_cast<unsigned char>(blob[offset])) |
           static_cast<std::uint32_t>(static_cast<unsigned char>(blob[offset + 1])) << 8 |
           static_cast<std::uint32_t>(static_cast<unsigned char>(blob[offset + 2])) << 16 |
           static_cast<std::uint32_t>(static_cast<unsigned char>(blob[offset + 3])) << 24;
}

// A fresh pair as a generator should leave it: a consistent private blob of
// `bits` bits and public exponent 65537.
inline bool IsValidPair(const std::string& privateBlob, DWORD bits) {
    return privateBlob.size() > 20 && privateBlob[0] == PRIVATEKEYBLOB && Le32(privateBlob, 12) == bits &&
           Le32(privateBlob, 16) == 65537 && !PublicOf(privateBlob).empty();
}

inline bool IsContainerFileName(const std::string& name) {
    if (name.size() != 64) return false;
    for (char c : name)
        if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return false;
    return true;
}

// The entries of an area directory: container files and everything else.
inline void AreaEntries(const std::string& dir, std::set<std::string>& containers, std::set<std::string>& others) {
    containers.clear();
    others.clear();
    DIR* d = opendir(dir.c_str());
    if (d == nullptr) return;
    while (dirent* e = readdir(d)) {
        const std::string name = e->d_name;
        if (name == "." || name == "..") continue;
        (IsContainerFileName(name) ? containers : others).insert(name);
    }
    closedir(d);
}

// Container names in Quorvin's output ("  1=name" lines), in its order.
inline std::vector<std::string> QuorvinNames(const std::string& out) {
    std::vector<std::string> names;
    std::size_t start = 0;
    while (start < out.size()) {
        std::size_t end = out.find('\n', start);
        if (end == std::string::npos) end = out.size();
        const std::string line = out.substr(start, end - start);
        const std::size_t eq = line.find('=');
        if (eq == 3 && line.find_first_not_of(" 0123456789") == 3) names.push_back(line.substr(4));
        start = end + 1;
    }
    return names;
}

}  // namespace stress_test

#endif
