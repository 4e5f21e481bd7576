// keyhold_store_bench: the key store's operations in process, each beside a
// peer that does the nearest OpenSSL or system work alone, measured in the
// same run. The binary is linked with --wrap=fsync, so the durable writes'
// fsync time is counted apart ("fsync_us" per iteration) from the rest.
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include <benchmark/benchmark.h>
#include <openssl/bio.h>
#include <openssl/evp.h>
#include <openssl/pem.h>

#include <wincrypt.h>

#include "store/area.h"
#include "store/container_file.h"

extern "C" int __real_fsync(int fd);

namespace {

std::atomic<long long> g_fsyncNanos{0};

constexpr const char* kContainer = "bench-store";
constexpr int kEnumContainers = 1000;

std::string g_areaDir;
std::string g_fileName;
std::vector<BYTE> g_privateBlob;
std::vector<BYTE> g_publicBlob;

void Die(const char* what) {
    std::fprintf(stderr, "store_bench: %s failed (error 0x%08lx)\n", what, static_cast<unsigned long>(GetLastError()));
    std::exit(1);
}

std::vector<BYTE> Export(HCRYPTKEY key, DWORD type) {
    DWORD length = 0;
    if (!CryptExportKey(key, 0, type, 0, nullptr, &length)) Die("export length");
    std::vector<BYTE> blob(length);
    if (!CryptExportKey(key, 0, type, 0, blob.data(), &length)) Die("export");
    blob.resize(length);
    return blob;
}

// A container with an exportable 2048-bit exchange key, and 1,000 more
// written directly (no fsync) for the enumeration.
void MakeStore() {
    char root[] = "/tmp/keyhold-bench-XXXXXX";
    if (mkdtemp(root) == nullptr) Die("mkdtemp");
    setenv("KEYHOLD_ROOT", root, 1);
    HCRYPTPROV prov = 0;
    if (!CryptAcquireContextA(&prov, kContainer, nullptr, PROV_RSA_FULL, CRYPT_NEWKEYSET)) Die("create");
    HCRYPTKEY key = 0;
    if (!CryptGenKey(prov, CALG_RSA_KEYX, (2048u << 16) | CRYPT_EXPORTABLE, &key)) Die("generate");
    g_privateBlob = Export(key, PRIVATEKEYBLOB);
    g_publicBlob = Export(key, PUBLICKEYBLOB);
    CryptDestroyKey(key);
    CryptReleaseContext(prov, 0);

    keyhold::Area area;
    if (keyhold::LocateArea(false, false, area) != ERROR_SUCCESS) Die("locate");
    g_areaDir = area.dir;
    g_fileName = keyhold::ContainerFileName(kContainer);
    const int dir = open(g_areaDir.c_str(), O_RDONLY | O_DIRECTORY);
    keyhold::ContainerRecord record;
    for (int i = 1; i < kEnumContainers; ++i) {
        record.name = "bench-" + std::to_string(i);
        const keyhold::SecureBytes data = keyhold::EncodeContainerFile(record);
        const int fd = openat(dir, keyhold::ContainerFileName(record.name).c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        if (fd < 0 || write(fd, data.data(), data.size()) != static_cast<ssize_t>(data.size())) Die("write store");
        close(fd);
    }
    close(dir);
}

HCRYPTPROV OpenBench() {
    HCRYPTPROV prov = 0;
    if (!CryptAcquireContextA(&prov, kContainer, nullptr, PROV_RSA_FULL, 0)) Die("acquire");
    return prov;
}

EVP_PKEY* DecodeWithOpenSsl(const std::vector<BYTE>& blob, bool isPrivate) {
    BIO* bio = BIO_new_mem_buf(blob.data(), static_cast<int>(blob.size()));
    EVP_PKEY* key = isPrivate ? b2i_PrivateKey_bio(bio) : b2i_PublicKey_bio(bio);
    BIO_free(bio);
    return key;
}

void ReportFsync(benchmark::State& state, long long before) {
    state.counters["fsync_us"] =
        benchmark::Counter(static_cast<double>(g_fsyncNanos.load() - before) / 1e3, benchmark::Counter::kAvgIterations);
}

// --- acquire: open, check and close a container ------------------------------

void BM_Acquire(benchmark::State& state) {
    for (auto _ : state) {
        HCRYPTPROV prov = OpenBench();
        CryptReleaseContext(prov, 0);
    }
}
BENCHMARK(BM_Acquire);

// Peer: the raw reads of the same file: open the area, open, fstat, read, close.
void BM_Peer_ReadContainerFile(benchmark::State& state) {
    std::vector<unsigned char> buffer(64 * 1024);
    for (auto _ : state) {
        const int dir = open(g_areaDir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        const int fd = openat(dir, g_fileName.c_str(), O_RDONLY | O_CLOEXEC);
        struct stat st {};
        fstat(fd, &st);
        benchmark::DoNotOptimize(pread(fd, buffer.data(), static_cast<size_t>(st.st_size), 0));
        close(fd);
        close(dir);
    }
}
BENCHMARK(BM_Peer_ReadContainerFile);

// --- get user key: read the container, decode and check its key pair ---------

void BM_GetUserKey(benchmark::State& state) {
    HCRYPTPROV prov = OpenBench();
    for (auto _ : state) {
        HCRYPTKEY key = 0;
        if (!CryptGetUserKey(prov, AT_KEYEXCHANGE, &key)) Die("get user key");
        CryptDestroyKey(key);
    }
    CryptReleaseContext(prov, 0);
}
BENCHMARK(BM_GetUserKey);

// Peer: OpenSSL's decoder of the same private key blob, from memory.
void BM_Peer_DecodePrivateBlob(benchmark::State& state) {
    for (auto _ : state) EVP_PKEY_free(DecodeWithOpenSsl(g_privateBlob, true));
}
BENCHMARK(BM_Peer_DecodePrivateBlob);

// --- export ------------------------------------------------------------------

void ExportLoop(benchmark::State& state, DWORD type) {
    HCRYPTPROV prov = OpenBench();
    HCRYPTKEY key = 0;
    if (!CryptGetUserKey(prov, AT_KEYEXCHANGE, &key)) Die("get user key");
    std::vector<BYTE> buffer(8192);
    for (auto _ : state) {
        DWORD length = 0;
        if (!CryptExportKey(key, 0, type, 0, nullptr, &length)) Die("export length");
        if (!CryptExportKey(key, 0, type, 0, buffer.data(), &length)) Die("export");
        benchmark::DoNotOptimize(buffer.data());
    }
    CryptDestroyKey(key);
    CryptReleaseContext(prov, 0);
}

void PeerEncodeLoop(benchmark::State& state, bool isPrivate) {
    EVP_PKEY* pkey = DecodeWithOpenSsl(g_privateBlob, true);
    for (auto _ : state) {
        BIO* bio = BIO_new(BIO_s_mem());
        if (isPrivate) {
            i2b_PrivateKey_bio(bio, pkey);
        } else {
            i2b_PublicKey_bio(bio, pkey);
        }
        char* data = nullptr;
        benchmark::DoNotOptimize(BIO_get_mem_data(bio, &data));
        BIO_free(bio);
    }
    EVP_PKEY_free(pkey);
}

void BM_ExportPublic(benchmark::State& state) { ExportLoop(state, PUBLICKEYBLOB); }
BENCHMARK(BM_ExportPublic);
void BM_Peer_EncodePublicBlob(benchmark::State& state) { PeerEncodeLoop(state, false); }
BENCHMARK(BM_Peer_EncodePublicBlob);
void BM_ExportPrivate(benchmark::State& state) { ExportLoop(state, PRIVATEKEYBLOB); }
BENCHMARK(BM_ExportPrivate);
void BM_Peer_EncodePrivateBlob(benchmark::State& state) { PeerEncodeLoop(state, true); }
BENCHMARK(BM_Peer_EncodePrivateBlob);

// --- import of a 2048-bit private key blob: judged, stored durably -----------

void BM_ImportPrivate(benchmark::State& state) {
    HCRYPTPROV prov = OpenBench();
    const long long before = g_fsyncNanos.load();
    for (auto _ : state) {
        HCRYPTKEY key = 0;
        if (!CryptImportKey(prov, g_privateBlob.data(), static_cast<DWORD>(g_privateBlob.size()), 0,
                            CRYPT_EXPORTABLE, &key))
            Die("import");
        CryptDestroyKey(key);
    }
    ReportFsync(state, before);
    CryptReleaseContext(prov, 0);
}
BENCHMARK(BM_ImportPrivate)->Unit(benchmark::kMicrosecond);

// Peer: OpenSSL decodes the blob and checks the pair (as `openssl rsa -check`).
void BM_Peer_DecodeAndCheckPrivateBlob(benchmark::State& state) {
    for (auto _ : state) {
        EVP_PKEY* pkey = DecodeWithOpenSsl(g_privateBlob, true);
        EVP_PKEY_CTX* ctx = EVP_PKEY_CTX_new_from_pkey(nullptr, pkey, nullptr);
        benchmark::DoNotOptimize(EVP_PKEY_private_check(ctx));
        EVP_PKEY_CTX_free(ctx);
        EVP_PKEY_free(pkey);
    }
}
BENCHMARK(BM_Peer_DecodeAndCheckPrivateBlob)->Unit(benchmark::kMicrosecond);

// --- enumeration of 1,000 containers, per container --------------------------

void BM_EnumerateContainer(benchmark::State& state) {
    HCRYPTPROV prov = OpenBench();
    char name[1024];
    long long listed = 0;
    for (auto _ : state) {
        DWORD flags = CRYPT_FIRST;
        for (;;) {
            DWORD length = sizeof name;
            if (!CryptGetProvParam(prov, PP_ENUMCONTAINERS, reinterpret_cast<BYTE*>(name), &length, flags)) break;
            flags = CRYPT_NEXT;
            ++listed;
        }
    }
    if (listed != static_cast<long long>(state.iterations()) * kEnumContainers) Die("enumeration count");
    state.SetItemsProcessed(listed);
    CryptReleaseContext(prov, 0);
}
BENCHMARK(BM_EnumerateContainer)->Unit(benchmark::kMicrosecond);

// Peer: the system calls alone: readdir, and per file openat, pread, close.
void BM_Peer_ReadEveryContainerFile(benchmark::State& state) {
    unsigned char buffer[4096];
    for (auto _ : state) {
        const int dirFd = open(g_areaDir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        DIR* dir = fdopendir(dirFd);
        while (const dirent* entry = readdir(dir)) {
            if (entry->d_name[0] == '.') continue;
            const int fd = openat(dirFd, entry->d_name, O_RDONLY | O_CLOEXEC);
            benchmark::DoNotOptimize(pread(fd, buffer, sizeof buffer, 0));
            close(fd);
        }
        closedir(dir);
    }
}
BENCHMARK(BM_Peer_ReadEveryContainerFile)->Unit(benchmark::kMicrosecond);

// --- the durable write's floor: write a container-sized file, fsync it and
// its directory, as every change does --------------------------------------

void BM_Peer_DurableWriteFloor(benchmark::State& state) {
    const int dir = open(g_areaDir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    const long long before = g_fsyncNanos.load();
    for (auto _ : state) {
        const int fd = openat(dir, ".bench-floor", O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
        benchmark::DoNotOptimize(write(fd, g_privateBlob.data(), g_privateBlob.size()));
        fsync(fd);
        close(fd);
        renameat(dir, ".bench-floor", dir, ".bench-floor2");
        fsync(dir);
    }
    ReportFsync(state, before);
    unlinkat(dir, ".bench-floor2", 0);
    close(dir);
}
BENCHMARK(BM_Peer_DurableWriteFloor)->Unit(benchmark::kMicrosecond);

}  // namespace

extern "C" int __wrap_fsync(int fd) {
    const auto start = std::chrono::steady_clock::now();
    const int result = __real_fsync(fd);
    g_fsyncNanos += std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now() - start).count();
    return result;
}

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    MakeStore();
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    const char* root = getenv("KEYHOLD_ROOT");
    if (root != nullptr) {
        const std::string command = std::string("rm -rf '") + root + "'";
        if (std::system(command.c_str()) != 0) return 1;
    }
    return 0;
}
