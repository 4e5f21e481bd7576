// keyhold_store_bench: the key store's operations in process, each beside a
// peer that does the nearest OpenSSL or system work alone, measured in the
// same run. The binary is linked with --wrap=fsync, so the durable writes'
// fsync time is counted apart ("fsync_us" per iteration) from the rest.
#include <benchmark/benchmark.h>
#include <dirent.h>
#include <fcntl.h>
#include <openssl/bio.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <sys/stat.h>
#include <unistd.h>
#include <wincrypt.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <string>
#include <vector>

#include "store/area.h"
#include "store/container_file.h"

extern "C" int __real_fsync(int fd);

namespace {

std::atomic<long long> g_fsyncNanos{0};

constexpr const char* kContainer = "bench-store";
constexpr int kEnumContainers = 1000;

std::string g_parent;    // holds every store root of the run
std::string g_mainRoot;  // the store most operations run in
std::string g_areaDir;
std::string g_fileName;
std::vector<BYTE> g_privateBlob;
std::vector<BYTE> g_publicBlob;
std::map<int, std::vector<BYTE>> g_blobsBySize;  // private blobs of other lengths

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

// An exportable private key blob of `bits` bits, made in a store of its own.
std::vector<BYTE> FreshPrivateBlob(DWORD bits) {
    setenv("KEYHOLD_ROOT", (g_parent + "/keys").c_str(), 1);
    HCRYPTPROV prov = 0;
    if (!CryptAcquireContextA(&prov, "key", nullptr, PROV_RSA_FULL, 0) &&
        !CryptAcquireContextA(&prov, "key", nullptr, PROV_RSA_FULL, CRYPT_NEWKEYSET))
        Die("key store");
    HCRYPTKEY key = 0;
    if (!CryptGenKey(prov, CALG_RSA_KEYX, (bits << 16) | CRYPT_EXPORTABLE, &key)) Die("generate");
    std::vector<BYTE> blob = Export(key, PRIVATEKEYBLOB);
    CryptDestroyKey(key);
    CryptReleaseContext(prov, 0);
    return blob;
}

// Empty containers written directly (no fsync) into the current store's area.
void AddEmptyContainers(int count, const char* prefix) {
    keyhold::Area area;
    if (keyhold::LocateArea(false, false, area) != ERROR_SUCCESS) Die("locate");
    const int dir = open(area.dir.c_str(), O_RDONLY | O_DIRECTORY);
    keyhold::ContainerRecord record;
    for (int i = 0; i < count; ++i) {
        record.name = prefix + std::to_string(i);
        const keyhold::SecureBytes data = keyhold::EncodeContainerFile(record);
        const int fd = openat(dir, keyhold::ContainerFileName(record.name).c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        if (fd < 0 || write(fd, data.data(), data.size()) != static_cast<ssize_t>(data.size())) Die("write store");
        close(fd);
    }
    close(dir);
}

// A container with an exportable 2048-bit exchange key, and 1,000 more
// written directly (no fsync) for the enumeration.
void MakeStore() {
    char parent[] = "/tmp/keyhold-bench-XXXXXX";
    if (mkdtemp(parent) == nullptr) Die("mkdtemp");
    g_parent = parent;
    for (const int bits : {1024, 4096}) g_blobsBySize[bits] = FreshPrivateBlob(static_cast<DWORD>(bits));
    g_mainRoot = g_parent + "/main";
    setenv("KEYHOLD_ROOT", g_mainRoot.c_str(), 1);
    HCRYPTPROV prov = 0;
    if (!CryptAcquireContextA(&prov, kContainer, nullptr, PROV_RSA_FULL, CRYPT_NEWKEYSET)) Die("create");
    HCRYPTKEY key = 0;
    if (!CryptGenKey(prov, CALG_RSA_KEYX, (2048u << 16) | CRYPT_EXPORTABLE, &key)) Die("generate");
    g_privateBlob = Export(key, PRIVATEKEYBLOB);
    g_publicBlob = Export(key, PUBLICKEYBLOB);
    CryptDestroyKey(key);
    CryptReleaseContext(prov, 0);

    g_blobsBySize[2048] = g_privateBlob;
    keyhold::Area area;
    if (keyhold::LocateArea(false, false, area) != ERROR_SUCCESS) Die("locate");
    g_areaDir = area.dir;
    g_fileName = keyhold::ContainerFileName(kContainer);
    AddEmptyContainers(kEnumContainers - 1, "bench-");
}

// A store of the bench container (the 2048-bit key imported) and `others`
// empty containers beside it, made on first use; the current store until
// the returned guard ends.
struct StoreOfSize {
    explicit StoreOfSize(int others) {
        const std::string root = g_parent + "/others-" + std::to_string(others);
        setenv("KEYHOLD_ROOT", root.c_str(), 1);
        static std::map<int, bool> made;
        if (made[others]) return;
        made[others] = true;
        HCRYPTPROV prov = 0;
        HCRYPTKEY key = 0;
        if (!CryptAcquireContextA(&prov, kContainer, nullptr, PROV_RSA_FULL, CRYPT_NEWKEYSET) ||
            !CryptImportKey(prov, g_privateBlob.data(), static_cast<DWORD>(g_privateBlob.size()), 0, CRYPT_EXPORTABLE,
                            &key))
            Die("store of size");
        CryptDestroyKey(key);
        CryptReleaseContext(prov, 0);
        AddEmptyContainers(others, "other-");
    }
    ~StoreOfSize() { setenv("KEYHOLD_ROOT", g_mainRoot.c_str(), 1); }
    StoreOfSize(const StoreOfSize&) = delete;
    StoreOfSize& operator=(const StoreOfSize&) = delete;
};

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

double Nanos(std::chrono::steady_clock::time_point from, std::chrono::steady_clock::time_point to) {
    return static_cast<double>(std::chrono::duration_cast<std::chrono::nanoseconds>(to - from).count());
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

// Peer: the raw reads of the same file: open the area, open, fstat, read,
// close.
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

void ImportLoop(benchmark::State& state, const std::vector<BYTE>& blob) {
    HCRYPTPROV prov = OpenBench();
    const long long before = g_fsyncNanos.load();
    for (auto _ : state) {
        HCRYPTKEY key = 0;
        if (!CryptImportKey(prov, blob.data(), static_cast<DWORD>(blob.size()), 0, CRYPT_EXPORTABLE, &key))
            Die("import");
        CryptDestroyKey(key);
    }
    ReportFsync(state, before);
    CryptReleaseContext(prov, 0);
}

void BM_ImportPrivate(benchmark::State& state) { ImportLoop(state, g_privateBlob); }
BENCHMARK(BM_ImportPrivate)->Unit(benchmark::kMicrosecond);

// Import and CryptGetUserKey may not grow with the store: the same container
// in a store of its own and in one with 100,000 others, in turns. Beside each
// import, the bare durable write of a file of its size in the same directory,
// to show what the file system's own operations cost in each.
struct SizedStore {
    HCRYPTPROV prov = 0;
    int dir = -1;
};

SizedStore OpenInStoreOfSize(int others) {
    const StoreOfSize store(others);
    SizedStore opened;
    opened.prov = OpenBench();
    keyhold::Area area;
    if (keyhold::LocateArea(false, false, area) != ERROR_SUCCESS) Die("locate");
    opened.dir = open(area.dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    return opened;
}

// Create, write, fsync, rename over the last one, fsync the directory: the
// steps of every durable change, with nothing of the store's own.
void DurableWrite(int dir, const std::vector<BYTE>& blob) {
    const int fd = openat(dir, ".bench-floor", O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    benchmark::DoNotOptimize(write(fd, blob.data(), blob.size()));
    fsync(fd);
    close(fd);
    renameat(dir, ".bench-floor", dir, ".bench-floor2");
    fsync(dir);
}

// Time of `step` less its fsyncs, added to `nanos`.
template <typename Step>
void TimeApartFromFsync(double& nanos, Step step) {
    const long long f0 = g_fsyncNanos.load();
    const auto t0 = std::chrono::steady_clock::now();
    step();
    nanos += Nanos(t0, std::chrono::steady_clock::now()) - static_cast<double>(g_fsyncNanos.load() - f0);
}

void BM_StoreSizes(benchmark::State& state) {
    const bool import = state.range(0) == 1;
    const SizedStore stores[2] = {OpenInStoreOfSize(0), OpenInStoreOfSize(100000)};
    double nanos[2] = {0, 0}, floorNanos[2] = {0, 0};
    for (auto _ : state) {
        for (int i = 0; i < 2; ++i) {
            TimeApartFromFsync(nanos[i], [&] {
                HCRYPTKEY key = 0;
                const bool done =
                    import ? CryptImportKey(stores[i].prov, g_privateBlob.data(),
                                            static_cast<DWORD>(g_privateBlob.size()), 0, CRYPT_EXPORTABLE, &key)
                           : CryptGetUserKey(stores[i].prov, AT_KEYEXCHANGE, &key);
                if (!done) Die(import ? "import" : "get user key");
                CryptDestroyKey(key);
            });
            if (import) TimeApartFromFsync(floorNanos[i], [&] { DurableWrite(stores[i].dir, g_privateBlob); });
        }
    }
    const auto average = benchmark::Counter::kAvgIterations;
    state.counters["alone_us"] = benchmark::Counter(nanos[0] / 1e3, average);
    state.counters["beside_100000_us"] = benchmark::Counter(nanos[1] / 1e3, average);
    if (import) {
        state.counters["floor_alone_us"] = benchmark::Counter(floorNanos[0] / 1e3, average);
        state.counters["floor_beside_100000_us"] = benchmark::Counter(floorNanos[1] / 1e3, average);
    }
    for (const SizedStore& store : stores) {
        unlinkat(store.dir, ".bench-floor2", 0);
        close(store.dir);
        CryptReleaseContext(store.prov, 0);
    }
}
// 0: CryptGetUserKey, 1: CryptImportKey.
BENCHMARK(BM_StoreSizes)->Arg(0)->Arg(1)->Unit(benchmark::kMicrosecond);

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

// --- an import beside the durable write's floor -----------------------------
// Each round imports the blob, then writes a file of its size the way every
// change is written (create, write, fsync, rename over the last one, fsync
// the directory). The two go in turns because ext4 takes longer to create a
// file the more files were deleted in the last minute (its inode allocator
// steps over them), so a loop of either alone meets a state of its own.

void BM_ImportBesideFloor(benchmark::State& state) {
    const std::vector<BYTE>& blob = g_blobsBySize[static_cast<int>(state.range(0))];
    HCRYPTPROV prov = OpenBench();
    const int dir = open(g_areaDir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    double importNs = 0, importFsyncNs = 0, floorNs = 0, floorFsyncNs = 0;
    for (auto _ : state) {
        const long long f0 = g_fsyncNanos.load();
        const auto t0 = std::chrono::steady_clock::now();
        HCRYPTKEY key = 0;
        if (!CryptImportKey(prov, blob.data(), static_cast<DWORD>(blob.size()), 0, CRYPT_EXPORTABLE, &key))
            Die("import");
        CryptDestroyKey(key);
        const auto t1 = std::chrono::steady_clock::now();
        const long long f1 = g_fsyncNanos.load();
        DurableWrite(dir, blob);
        const auto t2 = std::chrono::steady_clock::now();
        const long long f2 = g_fsyncNanos.load();
        importFsyncNs += static_cast<double>(f1 - f0);
        importNs += Nanos(t0, t1) - static_cast<double>(f1 - f0);
        floorFsyncNs += static_cast<double>(f2 - f1);
        floorNs += Nanos(t1, t2) - static_cast<double>(f2 - f1);
    }
    const auto average = benchmark::Counter::kAvgIterations;
    state.counters["import_us"] = benchmark::Counter(importNs / 1e3, average);
    state.counters["import_fsync_us"] = benchmark::Counter(importFsyncNs / 1e3, average);
    state.counters["floor_us"] = benchmark::Counter(floorNs / 1e3, average);
    state.counters["floor_fsync_us"] = benchmark::Counter(floorFsyncNs / 1e3, average);
    unlinkat(dir, ".bench-floor2", 0);
    close(dir);
    CryptReleaseContext(prov, 0);
}
BENCHMARK(BM_ImportBesideFloor)->Arg(1024)->Arg(2048)->Arg(4096)->Unit(benchmark::kMicrosecond);

}  // namespace

extern "C" int __wrap_fsync(int fd) {
    const auto start = std::chrono::steady_clock::now();
    const int result = __real_fsync(fd);
    g_fsyncNanos +=
        std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now() - start).count();
    return result;
}

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    MakeStore();
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    const std::string command = "rm -rf '" + g_parent + "'";
    return std::system(command.c_str()) == 0 ? 0 : 1;
}
