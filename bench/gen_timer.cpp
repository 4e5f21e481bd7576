// libkeyhold_gen_timer.so, for LD_PRELOAD: times OpenSSL's key generation call
// in a program (EVP_PKEY_generate, and EVP_PKEY_keygen, which calls it, as
// genrsa makes it; RSA_generate_key_ex, as Morbeck does; only the outermost
// is counted) and at exit appends the total, in microseconds, as
// one line to the file that KEYHOLD_GEN_TIME_FILE names. With it a benchmark
// tells what a program costs apart from the generation itself, whose time
// varies far more from run to run than anything else the program does.
#include <dlfcn.h>
#include <fcntl.h>
#include <openssl/evp.h>
#include <openssl/rsa.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>

namespace {

std::atomic<long long> g_nanos{0};
thread_local int t_depth = 0;

// Calls the real `name` with `args`, timing it unless a timed call encloses it.
template <typename Function, typename... Args>
int Timed(const char* name, Args... args) {
    const auto real = reinterpret_cast<Function>(dlsym(RTLD_NEXT, name));
    if (real == nullptr) return 0;
    if (t_depth++ > 0) {
        const int result = real(args...);
        --t_depth;
        return result;
    }
    const auto start = std::chrono::steady_clock::now();
    const int result = real(args...);
    g_nanos += std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now() - start).count();
    --t_depth;
    return result;
}

using PkeyGenerate = int (*)(EVP_PKEY_CTX*, EVP_PKEY**);
using RsaGenerate = int (*)(RSA*, int, BIGNUM*, BN_GENCB*);

__attribute__((destructor)) void Report() {
    const char* path = std::getenv("KEYHOLD_GEN_TIME_FILE");
    if (path == nullptr) return;
    const int fd = open(path, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
    if (fd < 0) return;
    char line[32];
    const int length = std::snprintf(line, sizeof line, "%.1f\n", static_cast<double>(g_nanos.load()) / 1e3);
    if (length > 0 && write(fd, line, static_cast<size_t>(length)) < 0) {
    }
    close(fd);
}

}  // namespace

extern "C" int EVP_PKEY_generate(EVP_PKEY_CTX* ctx, EVP_PKEY** key) {
    return Timed<PkeyGenerate>("EVP_PKEY_generate", ctx, key);
}
extern "C" int EVP_PKEY_keygen(EVP_PKEY_CTX* ctx, EVP_PKEY** key) {
    return Timed<PkeyGenerate>("EVP_PKEY_keygen", ctx, key);
}
extern "C" int RSA_generate_key_ex(RSA* rsa, int bits, BIGNUM* e, BN_GENCB* cb) {
    return Timed<RsaGenerate>("RSA_generate_key_ex", rsa, bits, e, cb);
}
