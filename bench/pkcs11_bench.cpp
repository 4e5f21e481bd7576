// keyhold_pkcs11_bench: the PKCS#11 module beside its peers, in one process.
//
//   keyhold_pkcs11_bench sign ROUNDS BATCH KEYHOLD_MODULE SOFTHSM_MODULE
//     RSA-2048 PKCS#1 v1.5 signatures of one DigestInfo with the container
//     "bench-sign"'s key (an exportable exchange key of the store under
//     $KEYHOLD_ROOT): through C_SignInit + C_Sign, through OpenSSL's own
//     EVP_PKEY_sign of the same key (the private-key operation alone), through
//     SoftHSM2 with the same key imported into its token "bench" (user PIN
//     1234, $SOFTHSM2_CONF), and through C_Sign in two threads at once.
//   keyhold_pkcs11_bench find ROUNDS BATCH KEYHOLD_MODULE SOFTHSM_MODULE COLD ROOT...
//     C_FindObjectsInit/C_FindObjects/C_FindObjectsFinal by label, cycling
//     over ten labels "bench-<i>" that every store holds: the module in each
//     store (find_keyhold_<i>), in the last one with COLD labels never
//     searched before (find_keyhold_cold), and SoftHSM2 over its filled token.
//   keyhold_pkcs11_bench fill SOFTHSM_MODULE COUNT
//     Puts COUNT RSA public key objects labelled "bench-<i>" into SoftHSM2's
//     token "bench".
//
// The measured things run in turns, a batch each per round, so that a change
// of load falls on all alike. Prints "LABEL MEDIAN P90" per thing: the time
// of one operation in microseconds, median and 90th percentile over rounds.
#include <dlfcn.h>
#include <wincrypt.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include <openssl/core_names.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/rsa.h>

#include "cryptoki.h"
#include "stats.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr int kThreadRun = 10;

[[noreturn]] void Die(const char* what, unsigned long code = 0) {
    std::fprintf(stderr, "pkcs11_bench: %s failed (0x%lx)\n", what, code);
    std::exit(1);
}

void Must(CK_RV rv, const char* what) {
    if (rv != CKR_OK) Die(what, rv);
}

CK_FUNCTION_LIST* Load(const char* path) {
    void* module = dlopen(path, RTLD_NOW | RTLD_LOCAL);
    if (module == nullptr) Die(dlerror());
    auto get = reinterpret_cast<CK_C_GetFunctionList>(dlsym(module, "C_GetFunctionList"));
    CK_FUNCTION_LIST* list = nullptr;
    if (get == nullptr) Die("C_GetFunctionList");
    Must(get(&list), "C_GetFunctionList");
    CK_C_INITIALIZE_ARGS args{};
    args.flags = CKF_OS_LOCKING_OK;
    Must(list->C_Initialize(&args), "C_Initialize");
    return list;
}

// A session of the token with that label; logged in with the PIN when one is given.
CK_SESSION_HANDLE OpenToken(CK_FUNCTION_LIST* p11, const char* label, const char* pin, bool readWrite = false) {
    CK_SLOT_ID slots[16];
    CK_ULONG count = 16;
    Must(p11->C_GetSlotList(CK_TRUE, slots, &count), "C_GetSlotList");
    for (CK_ULONG i = 0; i < count; ++i) {
        CK_TOKEN_INFO info;
        if (p11->C_GetTokenInfo(slots[i], &info) != CKR_OK) continue;
        std::string name(reinterpret_cast<char*>(info.label), 32);
        name.erase(name.find_last_not_of(' ') + 1);
        if (name != label) continue;
        CK_SESSION_HANDLE session = 0;
        Must(p11->C_OpenSession(slots[i], CKF_SERIAL_SESSION | (readWrite ? CKF_RW_SESSION : 0), nullptr, nullptr,
                                &session), "C_OpenSession");
        if (pin != nullptr) {
            const CK_RV rv = p11->C_Login(session, CKU_USER, reinterpret_cast<CK_UTF8CHAR*>(const_cast<char*>(pin)),
                                          std::strlen(pin));
            if (rv != CKR_OK && rv != CKR_USER_ALREADY_LOGGED_IN) Die("C_Login", rv);
        }
        return session;
    }
    Die(label);
}

CK_OBJECT_HANDLE FindOne(CK_FUNCTION_LIST* p11, CK_SESSION_HANDLE session, const std::string& label,
                         CK_OBJECT_CLASS cls) {
    CK_ATTRIBUTE t[] = {{CKA_LABEL, const_cast<char*>(label.data()), label.size()}, {CKA_CLASS, &cls, sizeof cls}};
    CK_OBJECT_HANDLE found = 0;
    CK_ULONG count = 0;
    Must(p11->C_FindObjectsInit(session, t, 2), "C_FindObjectsInit");
    Must(p11->C_FindObjects(session, &found, 1, &count), "C_FindObjects");
    Must(p11->C_FindObjectsFinal(session), "C_FindObjectsFinal");
    if (count != 1) Die(("find " + label).c_str());
    return found;
}

// The private key of "bench-sign" as the store exports it.
EVP_PKEY* ExportedKey() {
    HCRYPTPROV prov = 0;
    HCRYPTKEY key = 0;
    DWORD length = 0;
    if (!CryptAcquireContextA(&prov, "bench-sign", nullptr, PROV_RSA_FULL, 0) ||
        !CryptGetUserKey(prov, AT_KEYEXCHANGE, &key) || !CryptExportKey(key, 0, PRIVATEKEYBLOB, 0, nullptr, &length))
        Die("export", GetLastError());
    std::vector<BYTE> blob(length);
    if (!CryptExportKey(key, 0, PRIVATEKEYBLOB, 0, blob.data(), &length)) Die("export", GetLastError());
    CryptDestroyKey(key);
    CryptReleaseContext(prov, 0);
    const unsigned char* cursor = blob.data();
    EVP_PKEY* pkey = b2i_PrivateKey(&cursor, static_cast<long>(length));
    OPENSSL_cleanse(blob.data(), blob.size());
    if (pkey == nullptr) Die("b2i_PrivateKey");
    return pkey;
}

std::vector<unsigned char> Number(const EVP_PKEY* key, const char* name) {
    BIGNUM* bn = nullptr;
    if (EVP_PKEY_get_bn_param(key, name, &bn) != 1) Die(name);
    std::vector<unsigned char> bytes(static_cast<std::size_t>(BN_num_bytes(bn)));
    BN_bn2bin(bn, bytes.data());
    BN_clear_free(bn);
    return bytes;
}

// The same key pair as a private key object of SoftHSM2's token.
CK_OBJECT_HANDLE ImportIntoSoftHsm(CK_FUNCTION_LIST* p11, CK_SESSION_HANDLE session, const EVP_PKEY* key) {
    const char* names[] = {OSSL_PKEY_PARAM_RSA_N,         OSSL_PKEY_PARAM_RSA_E,
                           OSSL_PKEY_PARAM_RSA_D,         OSSL_PKEY_PARAM_RSA_FACTOR1,
                           OSSL_PKEY_PARAM_RSA_FACTOR2,   OSSL_PKEY_PARAM_RSA_EXPONENT1,
                           OSSL_PKEY_PARAM_RSA_EXPONENT2, OSSL_PKEY_PARAM_RSA_COEFFICIENT1};
    const CK_ATTRIBUTE_TYPE types[] = {CKA_MODULUS,    CKA_PUBLIC_EXPONENT, CKA_PRIVATE_EXPONENT, CKA_PRIME_1,
                                       CKA_PRIME_2,    CKA_EXPONENT_1,      CKA_EXPONENT_2,       CKA_COEFFICIENT};
    std::vector<std::vector<unsigned char>> values;
    for (const char* name : names) values.push_back(Number(key, name));
    CK_OBJECT_CLASS cls = CKO_PRIVATE_KEY;
    CK_KEY_TYPE type = CKK_RSA;
    CK_BBOOL yes = CK_TRUE;
    char label[] = "bench-sign";
    std::vector<CK_ATTRIBUTE> t = {{CKA_CLASS, &cls, sizeof cls},   {CKA_KEY_TYPE, &type, sizeof type},
                                   {CKA_TOKEN, &yes, sizeof yes},   {CKA_SIGN, &yes, sizeof yes},
                                   {CKA_PRIVATE, &yes, sizeof yes}, {CKA_LABEL, label, 10}};
    for (std::size_t i = 0; i < values.size(); ++i) t.push_back({types[i], values[i].data(), values[i].size()});
    CK_OBJECT_HANDLE object = 0;
    Must(p11->C_CreateObject(session, t.data(), t.size(), &object), "SoftHSM C_CreateObject");
    return object;
}

// PKCS#1 v1.5 input: a SHA-256 DigestInfo.
std::vector<unsigned char> DigestInfo() {
    std::vector<unsigned char> info = {0x30, 0x31, 0x30, 0x0d, 0x06, 0x09, 0x60, 0x86, 0x48, 0x01,
                                       0x65, 0x03, 0x04, 0x02, 0x01, 0x05, 0x00, 0x04, 0x20};
    for (int i = 0; i < 32; ++i) info.push_back(static_cast<unsigned char>(i));
    return info;
}

void P11Sign(CK_FUNCTION_LIST* p11, CK_SESSION_HANDLE session, CK_OBJECT_HANDLE key,
             const std::vector<unsigned char>& data) {
    CK_MECHANISM mechanism{CKM_RSA_PKCS, nullptr, 0};
    unsigned char signature[512];
    CK_ULONG length = sizeof signature;
    Must(p11->C_SignInit(session, &mechanism, key), "C_SignInit");
    Must(p11->C_Sign(session, const_cast<unsigned char*>(data.data()), data.size(), signature, &length), "C_Sign");
}

struct Measure {
    std::string label;
    std::function<void()> once;  // one operation
    double divisor = 1;          // operations that `once` stands for
    std::vector<double> micros = {};
};

void RunRounds(std::vector<Measure>& measures, int rounds, int batch) {
    for (Measure& m : measures)  // warm-up
        for (int i = 0; i < std::max(1, batch / 4); ++i) m.once();
    for (int r = 0; r < rounds; ++r)
        for (Measure& m : measures) {
            const auto start = Clock::now();
            for (int i = 0; i < batch; ++i) m.once();
            const double us = std::chrono::duration<double, std::micro>(Clock::now() - start).count();
            m.micros.push_back(us / batch / m.divisor);
        }
    for (Measure& m : measures) {
        std::sort(m.micros.begin(), m.micros.end());
        std::printf("%s %.2f %.2f\n", m.label.c_str(), keyhold_bench::Median(m.micros),
                    keyhold_bench::Percentile(m.micros, 0.9));
    }
}

int Sign(int rounds, int batch, const char* keyholdPath, const char* softhsmPath) {
    EVP_PKEY* pkey = ExportedKey();
    const std::vector<unsigned char> data = DigestInfo();
    EVP_PKEY_CTX* evp = EVP_PKEY_CTX_new(pkey, nullptr);
    if (evp == nullptr || EVP_PKEY_sign_init(evp) != 1 || EVP_PKEY_CTX_set_rsa_padding(evp, RSA_PKCS1_PADDING) != 1)
        Die("EVP_PKEY_sign_init");
    EVP_PKEY_CTX* evp2 = EVP_PKEY_CTX_dup(evp);
    if (evp2 == nullptr) Die("EVP_PKEY_CTX_dup");

    CK_FUNCTION_LIST* keyhold = Load(keyholdPath);
    CK_SESSION_HANDLE sessions[2] = {OpenToken(keyhold, "keyhold user", nullptr),
                                     OpenToken(keyhold, "keyhold user", nullptr)};
    const CK_OBJECT_HANDLE key = FindOne(keyhold, sessions[0], "bench-sign", CKO_PRIVATE_KEY);
    CK_FUNCTION_LIST* softhsm = Load(softhsmPath);
    const CK_SESSION_HANDLE hsmSession = OpenToken(softhsm, "bench", "1234", true);
    const CK_OBJECT_HANDLE hsmKey = ImportIntoSoftHsm(softhsm, hsmSession, pkey);

    std::vector<Measure> measures = {
        {"sign_evp", [&] {
             unsigned char signature[512];
             std::size_t length = sizeof signature;
             if (EVP_PKEY_sign(evp, signature, &length, data.data(), data.size()) != 1) Die("EVP_PKEY_sign");
         }},
        {"sign_keyhold", [&] { P11Sign(keyhold, sessions[0], key, data); }},
        {"sign_softhsm", [&] { P11Sign(softhsm, hsmSession, hsmKey, data); }},
        // OpenSSL alone in two threads, a context each: what the machine
        // gives two threads at the time.
        {"sign_evp_2threads", [&] {
             auto run = [&](EVP_PKEY_CTX* ctx) {
                 unsigned char signature[512];
                 for (int i = 0; i < kThreadRun; ++i) {
                     std::size_t length = sizeof signature;
                     if (EVP_PKEY_sign(ctx, signature, &length, data.data(), data.size()) != 1) Die("EVP_PKEY_sign");
                 }
             };
             std::thread other(run, evp2);
             run(evp);
             other.join();
         }, 2.0 * kThreadRun},
        // Two threads, a session each, the same key: the wall time of
        // kThreadRun signatures in each, counted per signature.
        {"sign_keyhold_2threads", [&] {
             auto run = [&](CK_SESSION_HANDLE s) {
                 for (int i = 0; i < kThreadRun; ++i) P11Sign(keyhold, s, key, data);
             };
             std::thread other(run, sessions[1]);
             run(sessions[0]);
             other.join();
         }, 2.0 * kThreadRun},
    };
    RunRounds(measures, rounds, batch);
    EVP_PKEY_CTX_free(evp);
    EVP_PKEY_CTX_free(evp2);
    EVP_PKEY_free(pkey);
    return 0;
}

int Find(int rounds, int batch, const char* keyholdPath, const char* softhsmPath, const std::vector<std::string>& roots,
         long coldLabels) {
    CK_FUNCTION_LIST* keyhold = Load(keyholdPath);
    const CK_SESSION_HANDLE session = OpenToken(keyhold, "keyhold user", nullptr);
    CK_FUNCTION_LIST* softhsm = Load(softhsmPath);
    const CK_SESSION_HANDLE hsmSession = OpenToken(softhsm, "bench", "1234");
    std::size_t next = 0;
    long nextCold = 0;
    auto find = [&](CK_FUNCTION_LIST* p11, CK_SESSION_HANDLE s, const std::string& label) {
        CK_ATTRIBUTE t{CKA_LABEL, const_cast<char*>(label.data()), label.size()};
        CK_OBJECT_HANDLE found[4];
        CK_ULONG count = 0;
        Must(p11->C_FindObjectsInit(s, &t, 1), "C_FindObjectsInit");
        Must(p11->C_FindObjects(s, found, 4, &count), "C_FindObjects");
        Must(p11->C_FindObjectsFinal(s), "C_FindObjectsFinal");
        if (count == 0) Die(("no object " + label).c_str());
    };
    // Ten labels in turn, the same in every store: after the first round the
    // module has their keys decoded, so what differs is the lookup alone.
    auto warm = [&] { return "bench-" + std::to_string(next++ % 10); };
    std::vector<Measure> measures;
    for (std::size_t i = 0; i < roots.size(); ++i)
        measures.push_back({"find_keyhold_" + std::to_string(i), [&, i] {
                                setenv("KEYHOLD_ROOT", roots[i].c_str(), 1);
                                find(keyhold, session, warm());
                            }});
    // In the last store, a label not searched for before each time: its file
    // read and decoded.
    measures.push_back({"find_keyhold_cold", [&] {
                            setenv("KEYHOLD_ROOT", roots.back().c_str(), 1);
                            find(keyhold, session, "bench-" + std::to_string(10 + nextCold++ % coldLabels));
                        }});
    measures.push_back({"find_softhsm", [&] { find(softhsm, hsmSession, warm()); }});
    RunRounds(measures, rounds, batch);
    return 0;
}

int Fill(const char* softhsmPath, long count) {
    CK_FUNCTION_LIST* softhsm = Load(softhsmPath);
    const CK_SESSION_HANDLE session = OpenToken(softhsm, "bench", "1234", true);
    CK_OBJECT_CLASS cls = CKO_PUBLIC_KEY;
    CK_KEY_TYPE type = CKK_RSA;
    CK_BBOOL yes = CK_TRUE;
    std::vector<unsigned char> modulus(256, 0xC5), exponent = {1, 0, 1};
    for (long i = 0; i < count; ++i) {
        const std::string label = "bench-" + std::to_string(i);
        CK_ATTRIBUTE t[] = {{CKA_CLASS, &cls, sizeof cls},
                            {CKA_KEY_TYPE, &type, sizeof type},
                            {CKA_TOKEN, &yes, sizeof yes},
                            {CKA_LABEL, const_cast<char*>(label.data()), label.size()},
                            {CKA_MODULUS, modulus.data(), modulus.size()},
                            {CKA_PUBLIC_EXPONENT, exponent.data(), exponent.size()}};
        CK_OBJECT_HANDLE object = 0;
        Must(softhsm->C_CreateObject(session, t, 6, &object), "SoftHSM C_CreateObject");
    }
    return 0;
}

}  // namespace

int main(int argc, char* argv[]) {
    const std::string mode = argc > 1 ? argv[1] : "";
    if (mode == "sign" && argc == 6) return Sign(std::atoi(argv[2]), std::atoi(argv[3]), argv[4], argv[5]);
    if (mode == "find" && argc >= 8)
        return Find(std::atoi(argv[2]), std::atoi(argv[3]), argv[4], argv[5], std::vector<std::string>(argv + 7, argv + argc),
                    std::atol(argv[6]));
    if (mode == "fill" && argc == 4) return Fill(argv[2], std::atol(argv[3]));
    std::fprintf(stderr, "usage: see the top of pkcs11_bench.cpp\n");
    return 2;
}
