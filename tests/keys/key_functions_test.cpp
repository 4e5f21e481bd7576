// The key functions end to end, against a throw-away key store root.
#include <gtest/gtest.h>

#include <dirent.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <map>
#include <sstream>
#include <string>

#include <wincrypt.h>

#include "blob_builder.h"
#include "keys/blob_codec.h"
#include "run_program.h"
#include "store/area.h"
#include "store/container_file.h"

using namespace keyhold_test;

namespace {

constexpr DWORD k512 = 512u << 16;
constexpr DWORD k1024 = 1024u << 16;

using Snapshot = std::map<std::string, std::string>;

void SnapshotDir(const std::string& dir, const std::string& prefix, Snapshot& out) {
    DIR* d = opendir(dir.c_str());
    if (d == nullptr) return;
    while (dirent* entry = readdir(d)) {
        const std::string name = entry->d_name;
        if (name == "." || name == "..") continue;
        const std::string path = dir + "/" + name;
        struct stat st {};
        if (lstat(path.c_str(), &st) != 0) continue;
        if (S_ISDIR(st.st_mode)) {
            out[prefix + name + "/"] = "";
            SnapshotDir(path, prefix + name + "/", out);
        } else {
            std::ifstream in(path, std::ios::binary);
            std::ostringstream content;
            content << in.rdbuf();
            out[prefix + name] = content.str();
        }
    }
    closedir(d);
}

class KeyFunctions : public ::testing::Test {
protected:
    void SetUp() override { setenv("KEYHOLD_ROOT", root_.path().c_str(), 1); }
    void TearDown() override {
        for (HCRYPTKEY key : keys_) CryptDestroyKey(key);
        for (HCRYPTPROV prov : provs_) CryptReleaseContext(prov, 0);
        unsetenv("KEYHOLD_ROOT");
    }

    HCRYPTPROV Acquire(const char* name, DWORD flags = 0) {
        HCRYPTPROV prov = 0;
        if (!CryptAcquireContextA(&prov, name, nullptr, PROV_RSA_FULL, flags)) return 0;
        provs_.push_back(prov);
        return prov;
    }
    HCRYPTPROV NewContainer(const char* name) { return Acquire(name, CRYPT_NEWKEYSET); }

    HCRYPTKEY Track(HCRYPTKEY key) {
        if (key != 0) keys_.push_back(key);
        return key;
    }
    HCRYPTKEY Gen(HCRYPTPROV prov, ALG_ID alg, DWORD flags) {
        HCRYPTKEY key = 0;
        EXPECT_TRUE(CryptGenKey(prov, alg, flags, &key)) << std::hex << GetLastError();
        return Track(key);
    }
    HCRYPTKEY UserKey(HCRYPTPROV prov, DWORD spec = AT_KEYEXCHANGE) {
        HCRYPTKEY key = 0;
        return CryptGetUserKey(prov, spec, &key) ? Track(key) : 0;
    }
    HCRYPTKEY Import(HCRYPTPROV prov, const Bytes& blob, DWORD flags = 0) {
        HCRYPTKEY key = 0;
        return CryptImportKey(prov, blob.data(), static_cast<DWORD>(blob.size()), 0, flags, &key) ? Track(key) : 0;
    }
    // The blob, or empty with the last error set.
    static Bytes Export(HCRYPTKEY key, DWORD type) {
        DWORD len = 0;
        if (!CryptExportKey(key, 0, type, 0, nullptr, &len)) return {};
        Bytes blob(len);
        if (!CryptExportKey(key, 0, type, 0, blob.data(), &len)) return {};
        blob.resize(len);
        return blob;
    }
    static DWORD ParamOf(HCRYPTKEY key, DWORD param) {
        DWORD value = 0xDEADBEEF, len = sizeof value;
        EXPECT_TRUE(CryptGetKeyParam(key, param, reinterpret_cast<BYTE*>(&value), &len, 0)) << param;
        EXPECT_EQ(len, 4u);
        return value;
    }
    Snapshot Files() const {
        Snapshot s;
        SnapshotDir(root_.path(), "", s);
        return s;
    }
    // The container's record as the store holds it on disk.
    static keyhold::ContainerRecord Stored(const char* name) {
        keyhold::Area area;
        keyhold::ContainerRecord record;
        EXPECT_EQ(keyhold::LocateArea(false, false, area), DWORD(ERROR_SUCCESS));
        std::ifstream in(area.dir + "/" + keyhold::ContainerFileName(name), std::ios::binary);
        const std::string file((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        EXPECT_EQ(keyhold::DecodeContainerFile(reinterpret_cast<const unsigned char*>(file.data()), file.size(),
                                               record),
                  DWORD(ERROR_SUCCESS));
        return record;
    }
    static Bytes BlobOf(const keyhold::StoredKey& key) { return Bytes(key.blob.begin(), key.blob.end()); }
    static DWORD Dword(const Bytes& b, size_t at) {
        return b[at] | b[at + 1] << 8 | b[at + 2] << 16 | static_cast<DWORD>(b[at + 3]) << 24;
    }

    TempDir root_;
    std::vector<HCRYPTKEY> keys_;
    std::vector<HCRYPTPROV> provs_;
};

TEST_F(KeyFunctions, GeneratedPairExportsInThePublishedLayouts) {
    const HCRYPTPROV prov = NewContainer("gen");
    ASSERT_NE(prov, 0u);
    const HCRYPTKEY key = Gen(prov, CALG_RSA_KEYX, k512 | CRYPT_EXPORTABLE);
    const Bytes pub = Export(key, PUBLICKEYBLOB);
    ASSERT_EQ(pub.size(), 84u);
    EXPECT_EQ(pub[0], PUBLICKEYBLOB);
    EXPECT_EQ(pub[1], 2);
    EXPECT_EQ(Dword(pub, 4), DWORD(CALG_RSA_KEYX));
    EXPECT_EQ(Dword(pub, 8), 0x31415352u);
    EXPECT_EQ(Dword(pub, 12), 512u);
    EXPECT_EQ(Dword(pub, 16), 65537u);
    const Bytes priv = Export(key, PRIVATEKEYBLOB);
    ASSERT_EQ(priv.size(), 308u);
    EXPECT_EQ(priv[0], PRIVATEKEYBLOB);
    EXPECT_EQ(Dword(priv, 8), 0x32415352u);
    // Both describe the same key (bit length, exponent, modulus), and the pair is consistent.
    EXPECT_TRUE(std::equal(pub.begin() + 12, pub.end(), priv.begin() + 12));
    keyhold::DecodedBlob decoded;
    EXPECT_EQ(keyhold::DecodeKeyBlob(priv.data(), priv.size(), decoded), DWORD(ERROR_SUCCESS));

    // Stored as the export gives it; the signature slot stays empty.
    const keyhold::ContainerRecord record = Stored("gen");
    EXPECT_TRUE(record.keys[keyhold::kExchangeSlot].present);
    EXPECT_TRUE(record.keys[keyhold::kExchangeSlot].exportable);
    EXPECT_EQ(BlobOf(record.keys[keyhold::kExchangeSlot]), priv);
    EXPECT_FALSE(record.keys[keyhold::kSignatureSlot].present);

    // The container now holds it: a fresh key handle exports the same bytes.
    const HCRYPTKEY again = UserKey(prov);
    ASSERT_NE(again, 0u);
    EXPECT_EQ(Export(again, PRIVATEKEYBLOB), priv);
}

TEST_F(KeyFunctions, PrivateExportRoundTripsByteForByte) {
    const HCRYPTPROV a = NewContainer("from"), b = NewContainer("to");
    const Bytes priv = Export(Gen(a, AT_KEYEXCHANGE, k1024 | CRYPT_EXPORTABLE), PRIVATEKEYBLOB);
    ASSERT_EQ(priv.size(), keyhold::RsaBlobLength(PRIVATEKEYBLOB, 1024));
    const HCRYPTKEY imported = Import(b, priv, CRYPT_EXPORTABLE);
    ASSERT_NE(imported, 0u) << std::hex << GetLastError();
    EXPECT_EQ(Export(imported, PRIVATEKEYBLOB), priv);
    EXPECT_EQ(Export(UserKey(b), PRIVATEKEYBLOB), priv);
    EXPECT_EQ(ParamOf(imported, KP_KEYLEN), 1024u);
}

TEST_F(KeyFunctions, ExportableRules) {
    const HCRYPTPROV prov = NewContainer("rules");
    const HCRYPTKEY locked = Gen(prov, CALG_RSA_KEYX, k512);
    EXPECT_FALSE(Export(locked, PUBLICKEYBLOB).empty());
    DWORD len = 0;
    EXPECT_FALSE(CryptExportKey(locked, 0, PRIVATEKEYBLOB, 0, nullptr, &len));
    EXPECT_EQ(GetLastError(), DWORD(NTE_BAD_KEY_STATE));
    EXPECT_EQ(ParamOf(locked, KP_PERMISSIONS), 0x3Bu);
    // The flag is stored with the key: a later handle keeps the refusal.
    const HCRYPTKEY later = UserKey(prov);
    EXPECT_FALSE(CryptExportKey(later, 0, PRIVATEKEYBLOB, 0, nullptr, &len));
    EXPECT_EQ(GetLastError(), DWORD(NTE_BAD_KEY_STATE));

    const HCRYPTKEY open = Gen(prov, CALG_RSA_KEYX, k512 | CRYPT_EXPORTABLE);
    EXPECT_EQ(ParamOf(open, KP_PERMISSIONS), 0x3Fu);
    const Bytes priv = Export(open, PRIVATEKEYBLOB);
    ASSERT_FALSE(priv.empty());

    // Imported without CRYPT_EXPORTABLE, a pair cannot leave again.
    const HCRYPTPROV other = NewContainer("rules2");
    const HCRYPTKEY imported = Import(other, priv, 0);
    ASSERT_NE(imported, 0u);
    EXPECT_TRUE(Export(imported, PRIVATEKEYBLOB).empty());
    EXPECT_EQ(GetLastError(), DWORD(NTE_BAD_KEY_STATE));
    EXPECT_TRUE(Export(UserKey(other), PRIVATEKEYBLOB).empty());
    EXPECT_EQ(GetLastError(), DWORD(NTE_BAD_KEY_STATE));
    EXPECT_EQ(ParamOf(imported, KP_PERMISSIONS), 0x3Bu);
}

TEST_F(KeyFunctions, ExportArguments) {
    const HCRYPTPROV prov = NewContainer("args");
    const HCRYPTKEY key = Gen(prov, CALG_RSA_KEYX, k512 | CRYPT_EXPORTABLE);
    DWORD len = 0;
    EXPECT_FALSE(CryptExportKey(key, key, PUBLICKEYBLOB, 0, nullptr, &len));
    EXPECT_EQ(GetLastError(), DWORD(NTE_BAD_KEY));
    EXPECT_FALSE(CryptExportKey(key, 0, PUBLICKEYBLOB, 1, nullptr, &len));
    EXPECT_EQ(GetLastError(), DWORD(NTE_BAD_FLAGS));
    for (DWORD type : {0u, 1u, 5u, 8u, 9u, 0x107u}) {
        EXPECT_FALSE(CryptExportKey(key, 0, type, 0, nullptr, &len)) << type;
        EXPECT_EQ(GetLastError(), DWORD(NTE_BAD_TYPE)) << type;
    }
    EXPECT_FALSE(CryptExportKey(key, 0, PUBLICKEYBLOB, 0, nullptr, nullptr));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_PARAMETER));

    for (DWORD type : {DWORD(PUBLICKEYBLOB), DWORD(PRIVATEKEYBLOB)}) {
        ASSERT_TRUE(CryptExportKey(key, 0, type, 0, nullptr, &len));
        const DWORD needed = len;
        Bytes buf(needed + 10, 0xAA);
        len = needed - 1;
        EXPECT_FALSE(CryptExportKey(key, 0, type, 0, buf.data(), &len));
        EXPECT_EQ(GetLastError(), DWORD(ERROR_MORE_DATA));
        EXPECT_EQ(len, needed);
        EXPECT_EQ(buf[0], 0xAA) << "a short buffer is left alone";
        len = needed + 10;  // a larger buffer: the length becomes the blob's
        EXPECT_TRUE(CryptExportKey(key, 0, type, 0, buf.data(), &len));
        EXPECT_EQ(len, needed);
        EXPECT_EQ(buf[0], type);
        EXPECT_EQ(buf[needed], 0xAA);
    }
}

TEST_F(KeyFunctions, GenKeyRefusesBeforeGenerating) {
    const HCRYPTPROV prov = NewContainer("flags");
    const Snapshot before = Files();
    HCRYPTKEY key = 0;
    for (ALG_ID alg : {0u, 3u, 0x6610u, 0xA401u, 0x2401u}) {
        EXPECT_FALSE(CryptGenKey(prov, alg, k512, &key)) << alg;
        EXPECT_EQ(GetLastError(), DWORD(NTE_BAD_ALGID));
    }
    for (DWORD flags : {k512 | 2u, k512 | 0x8u, k512 | 0x8000u, 511u << 16, 504u << 16, 8u << 16,
                        16385u << 16, 16392u << 16, 0xFFFFu << 16, 2u}) {
        EXPECT_FALSE(CryptGenKey(prov, CALG_RSA_KEYX, flags, &key)) << std::hex << flags;
        EXPECT_EQ(GetLastError(), DWORD(NTE_BAD_FLAGS)) << std::hex << flags;
    }
    EXPECT_FALSE(CryptGenKey(prov, CALG_RSA_KEYX, k512, nullptr));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_PARAMETER));
    EXPECT_EQ(Files(), before);
    EXPECT_EQ(UserKey(prov), 0u);
    EXPECT_EQ(GetLastError(), DWORD(NTE_NO_KEY));
}

TEST_F(KeyFunctions, LengthsAreTakenFromTheFlags) {
    const HCRYPTPROV prov = NewContainer("lengths");
    // 520: a multiple of 8 but not of 16.
    const HCRYPTKEY odd = Gen(prov, CALG_RSA_KEYX, 520u << 16 | CRYPT_EXPORTABLE);
    EXPECT_EQ(ParamOf(odd, KP_KEYLEN), 520u);
    const Bytes priv = Export(odd, PRIVATEKEYBLOB);
    EXPECT_EQ(priv.size(), keyhold::RsaBlobLength(PRIVATEKEYBLOB, 520));
    EXPECT_EQ(Export(Import(NewContainer("lengths2"), priv, CRYPT_EXPORTABLE), PRIVATEKEYBLOB), priv);
    // No length: the default of 2048 bits.
    const HCRYPTKEY def = Gen(prov, CALG_RSA_SIGN, 0);
    EXPECT_EQ(ParamOf(def, KP_KEYLEN), 2048u);
    EXPECT_EQ(Export(def, PUBLICKEYBLOB).size(), 20u + 256);
}

TEST_F(KeyFunctions, SlotsFollowTheAlgorithm) {
    const HCRYPTPROV prov = NewContainer("slots");
    const HCRYPTKEY sig = Gen(prov, AT_SIGNATURE, k512 | CRYPT_EXPORTABLE);
    EXPECT_EQ(ParamOf(sig, KP_ALGID), DWORD(CALG_RSA_SIGN));
    EXPECT_EQ(UserKey(prov, AT_KEYEXCHANGE), 0u);
    EXPECT_EQ(GetLastError(), DWORD(NTE_NO_KEY));
    const HCRYPTKEY sigAgain = UserKey(prov, AT_SIGNATURE);
    ASSERT_NE(sigAgain, 0u);
    EXPECT_EQ(ParamOf(sigAgain, KP_ALGID), DWORD(CALG_RSA_SIGN));
    const Bytes sigPriv = Export(sigAgain, PRIVATEKEYBLOB);
    EXPECT_EQ(Dword(sigPriv, 4), DWORD(CALG_RSA_SIGN));

    // A signature blob imports into the signature slot of another container.
    const HCRYPTPROV other = NewContainer("slots2");
    ASSERT_NE(Import(other, sigPriv, CRYPT_EXPORTABLE), 0u);
    EXPECT_EQ(UserKey(other, AT_KEYEXCHANGE), 0u);
    EXPECT_EQ(Export(UserKey(other, AT_SIGNATURE), PRIVATEKEYBLOB), sigPriv);

    // A new pair replaces the old one of its kind, and only that one.
    const Bytes first = Export(Gen(prov, CALG_RSA_KEYX, k512), PUBLICKEYBLOB);
    const Bytes second = Export(Gen(prov, CALG_RSA_KEYX, k512), PUBLICKEYBLOB);
    EXPECT_NE(first, second);
    EXPECT_EQ(Export(UserKey(prov), PUBLICKEYBLOB), second);
    EXPECT_EQ(Export(UserKey(prov, AT_SIGNATURE), PRIVATEKEYBLOB), sigPriv);

    HCRYPTKEY key = 0;
    for (DWORD spec : {0u, 3u, DWORD(CALG_RSA_KEYX), DWORD(CALG_RSA_SIGN)}) {
        EXPECT_FALSE(CryptGetUserKey(prov, spec, &key)) << spec;
        EXPECT_EQ(GetLastError(), DWORD(NTE_BAD_KEY));
    }
    EXPECT_FALSE(CryptGetUserKey(prov, AT_KEYEXCHANGE, nullptr));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_PARAMETER));
}

TEST_F(KeyFunctions, RefusedImportsLeaveTheContainerUntouched) {
    const HCRYPTPROV prov = NewContainer("guarded");
    const Bytes priv = Export(Gen(prov, CALG_RSA_KEYX, k512 | CRYPT_EXPORTABLE), PRIVATEKEYBLOB);
    const Bytes pub = Export(UserKey(prov), PUBLICKEYBLOB);
    const Snapshot before = Files();
    HCRYPTKEY key = 0;

    EXPECT_FALSE(CryptImportKey(prov, priv.data(), DWORD(priv.size()), 1, 0, &key));
    EXPECT_EQ(GetLastError(), DWORD(NTE_BAD_KEY));
    EXPECT_FALSE(CryptImportKey(prov, priv.data(), DWORD(priv.size()), 0, 2, &key));
    EXPECT_EQ(GetLastError(), DWORD(NTE_BAD_FLAGS));
    EXPECT_FALSE(CryptImportKey(prov, priv.data(), DWORD(priv.size()), 0, CRYPT_NEWKEYSET, &key));
    EXPECT_EQ(GetLastError(), DWORD(NTE_BAD_FLAGS));
    EXPECT_FALSE(CryptImportKey(prov, nullptr, 12, 0, 0, &key));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_PARAMETER));
    EXPECT_FALSE(CryptImportKey(prov, nullptr, 0, 0, 0, &key));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_PARAMETER));
    EXPECT_FALSE(CryptImportKey(prov, priv.data(), DWORD(priv.size()), 0, 0, nullptr));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_PARAMETER));

    const struct {
        const char* what;
        size_t offset;
        unsigned char value;
        DWORD code;
    } damage[] = {{"type", 0, 8, NTE_BAD_TYPE},        {"version", 1, 1, NTE_BAD_VER},
                  {"algorithm", 5, 0x66, NTE_BAD_ALGID}, {"magic", 11, 0x31, NTE_BAD_DATA},
                  {"exponent", 16, 0x02, NTE_BAD_DATA},  {"prime", 20 + 64, 0x00, NTE_BAD_DATA},
                  {"d", 307, 0x00, NTE_BAD_DATA}};
    for (const auto& d : damage) {
        Bytes bad = priv;
        bad[d.offset] = bad[d.offset] == d.value ? d.value ^ 1 : d.value;
        EXPECT_EQ(Import(prov, bad), 0u) << d.what;
        EXPECT_EQ(GetLastError(), d.code) << d.what;
    }
    const Bytes cut(priv.begin(), priv.end() - 1);
    EXPECT_EQ(Import(prov, cut), 0u);
    EXPECT_EQ(GetLastError(), DWORD(NTE_BAD_DATA));
    // A public key never takes a pair's place.
    EXPECT_EQ(Import(prov, pub, CRYPT_EXPORTABLE), 0u);
    EXPECT_EQ(GetLastError(), DWORD(NTE_EXISTS));

    EXPECT_EQ(Files(), before);
    EXPECT_EQ(Export(UserKey(prov), PRIVATEKEYBLOB), priv);
}

TEST_F(KeyFunctions, NonExportablePairsAreStoredWhole) {
    // Not exportable is a promise of the key store, not a loss of the key: the
    // pair is kept, so that it can be used, only never handed out.
    const HCRYPTPROV prov = NewContainer("kept");
    const Bytes pub = Export(Gen(prov, CALG_RSA_SIGN, k512), PUBLICKEYBLOB);
    const keyhold::ContainerRecord record = Stored("kept");
    const keyhold::StoredKey& key = record.keys[keyhold::kSignatureSlot];
    ASSERT_TRUE(key.present);
    EXPECT_FALSE(key.exportable);
    ASSERT_EQ(key.blob.size(), keyhold::RsaBlobLength(PRIVATEKEYBLOB, 512));
    EXPECT_EQ(key.blob[0], PRIVATEKEYBLOB);
    EXPECT_TRUE(std::equal(pub.begin() + 12, pub.end(), key.blob.begin() + 12));
}

TEST_F(KeyFunctions, PublicOnlyKeys) {
    const HCRYPTPROV source = NewContainer("source");
    const Bytes pubA = Export(Gen(source, CALG_RSA_KEYX, k512 | CRYPT_EXPORTABLE), PUBLICKEYBLOB);
    const Bytes privA = Export(UserKey(source), PRIVATEKEYBLOB);
    const Bytes pubB = Export(Gen(source, CALG_RSA_KEYX, k512), PUBLICKEYBLOB);

    const HCRYPTPROV prov = NewContainer("public");
    const HCRYPTKEY imported = Import(prov, pubA, CRYPT_EXPORTABLE);
    ASSERT_NE(imported, 0u) << std::hex << GetLastError();
    EXPECT_EQ(Export(imported, PUBLICKEYBLOB), pubA);
    EXPECT_TRUE(Export(imported, PRIVATEKEYBLOB).empty());
    EXPECT_EQ(GetLastError(), DWORD(NTE_BAD_KEY_STATE));
    EXPECT_EQ(ParamOf(imported, KP_PERMISSIONS), 0x3Bu);

    const keyhold::ContainerRecord record = Stored("public");
    EXPECT_EQ(BlobOf(record.keys[keyhold::kExchangeSlot]), pubA);
    EXPECT_FALSE(record.keys[keyhold::kExchangeSlot].exportable);

    const HCRYPTKEY stored = UserKey(prov);
    ASSERT_NE(stored, 0u);
    EXPECT_EQ(Export(stored, PUBLICKEYBLOB), pubA);
    EXPECT_TRUE(Export(stored, PRIVATEKEYBLOB).empty());
    EXPECT_EQ(GetLastError(), DWORD(NTE_BAD_KEY_STATE));

    // A public key replaces a public key; a pair replaces it too.
    ASSERT_NE(Import(prov, pubB), 0u);
    EXPECT_EQ(Export(UserKey(prov), PUBLICKEYBLOB), pubB);
    ASSERT_NE(Import(prov, privA, CRYPT_EXPORTABLE), 0u);
    EXPECT_EQ(Export(UserKey(prov), PRIVATEKEYBLOB), privA);
    EXPECT_EQ(Import(prov, pubB), 0u);
    EXPECT_EQ(GetLastError(), DWORD(NTE_EXISTS));
}

TEST_F(KeyFunctions, KeysOutliveTheirContextAndReachOtherProcesses) {
    HCRYPTPROV prov = 0;
    ASSERT_TRUE(CryptAcquireContextA(&prov, "lasting", nullptr, PROV_RSA_FULL, CRYPT_NEWKEYSET));
    HCRYPTKEY key = 0;
    ASSERT_TRUE(CryptGenKey(prov, CALG_RSA_KEYX, k512 | CRYPT_EXPORTABLE, &key));
    Track(key);
    ASSERT_TRUE(CryptReleaseContext(prov, 0));
    const Bytes priv = Export(key, PRIVATEKEYBLOB);
    ASSERT_FALSE(priv.empty()) << "a key handle stays valid after its context is released";

    EXPECT_EQ(Export(UserKey(Acquire("lasting")), PRIVATEKEYBLOB), priv);
    // Another provider type shares the store.
    HCRYPTPROV aes = 0;
    ASSERT_TRUE(CryptAcquireContextA(&aes, "lasting", nullptr, PROV_RSA_AES, 0));
    provs_.push_back(aes);
    EXPECT_EQ(Export(UserKey(aes), PRIVATEKEYBLOB), priv);

    const HCRYPTPROV older = Acquire("lasting");
    EXPECT_EQ(UserKey(older, AT_SIGNATURE), 0u);
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        HCRYPTPROV p = 0;
        HCRYPTKEY k = 0;
        bool ok = CryptAcquireContextA(&p, "lasting", nullptr, PROV_RSA_FULL, 0) &&
                  CryptGetUserKey(p, AT_KEYEXCHANGE, &k) && Export(k, PRIVATEKEYBLOB) == priv;
        // And a key the child makes now is seen by the parent's older context.
        HCRYPTKEY s = 0;
        ok = ok && CryptGenKey(p, CALG_RSA_SIGN, k512, &s);
        _exit(ok ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
    const HCRYPTKEY made = UserKey(older, AT_SIGNATURE);
    ASSERT_NE(made, 0u);
    EXPECT_EQ(ParamOf(made, KP_ALGID), DWORD(CALG_RSA_SIGN));
}

TEST_F(KeyFunctions, VerifyContextKeysAreNeverStored) {
    const HCRYPTPROV verify = Acquire(nullptr, CRYPT_VERIFYCONTEXT);
    ASSERT_NE(verify, 0u) << std::hex << GetLastError();
    const Snapshot before = Files();
    EXPECT_EQ(UserKey(verify), 0u);
    EXPECT_EQ(GetLastError(), DWORD(NTE_NO_KEY));
    const Bytes priv = Export(Gen(verify, CALG_RSA_KEYX, k512 | CRYPT_EXPORTABLE), PRIVATEKEYBLOB);
    ASSERT_FALSE(priv.empty());
    EXPECT_EQ(Export(UserKey(verify), PRIVATEKEYBLOB), priv);

    // Imports stay in the context as well, under the same rules.
    const Bytes pub = Export(UserKey(verify), PUBLICKEYBLOB);
    EXPECT_EQ(Import(verify, pub), 0u);
    EXPECT_EQ(GetLastError(), DWORD(NTE_EXISTS));
    EXPECT_EQ(Export(UserKey(verify), PRIVATEKEYBLOB), priv);
    HCRYPTKEY key = 0;
    Bytes sig = priv;
    sig[5] = 0x24;  // the same pair as a signature key
    ASSERT_TRUE(CryptImportKey(verify, sig.data(), DWORD(sig.size()), 0, 0, &key));
    Track(key);
    EXPECT_NE(UserKey(verify, AT_SIGNATURE), 0u);

    EXPECT_EQ(Files(), before);
    const HCRYPTPROV fresh = Acquire(nullptr, CRYPT_VERIFYCONTEXT);
    EXPECT_EQ(UserKey(fresh), 0u);
    EXPECT_EQ(GetLastError(), DWORD(NTE_NO_KEY));
}

TEST_F(KeyFunctions, KeyParameters) {
    const HCRYPTPROV prov = NewContainer("params");
    const HCRYPTKEY key = Gen(prov, CALG_RSA_KEYX, k1024);
    EXPECT_EQ(ParamOf(key, KP_ALGID), DWORD(CALG_RSA_KEYX));
    EXPECT_EQ(ParamOf(key, KP_BLOCKLEN), 1024u);
    EXPECT_EQ(ParamOf(key, KP_KEYLEN), 1024u);
    EXPECT_EQ(ParamOf(key, KP_PADDING), DWORD(PKCS5_PADDING));
    EXPECT_EQ(ParamOf(key, KP_MODE), 0u);
    EXPECT_EQ(ParamOf(key, KP_MODE_BITS), 0u);
    EXPECT_EQ(ParamOf(key, KP_PERMISSIONS), 0x3Bu);

    BYTE buf[64];
    DWORD len = sizeof buf;
    for (DWORD param : {DWORD(KP_IV), DWORD(KP_SALT), DWORD(KP_SALT_EX), DWORD(KP_OAEP_PARAMS), 0u, 11u, 99u}) {
        len = sizeof buf;
        EXPECT_FALSE(CryptGetKeyParam(key, param, buf, &len, 0)) << param;
        EXPECT_EQ(GetLastError(), DWORD(NTE_BAD_TYPE)) << param;
        EXPECT_FALSE(CryptGetKeyParam(key, param, nullptr, &len, 0)) << param;
    }
    len = 4;
    EXPECT_FALSE(CryptGetKeyParam(key, KP_KEYLEN, buf, &len, 1));
    EXPECT_EQ(GetLastError(), DWORD(NTE_BAD_FLAGS));
    len = 0;
    EXPECT_TRUE(CryptGetKeyParam(key, KP_KEYLEN, nullptr, &len, 0));
    EXPECT_EQ(len, 4u);
    len = 3;
    buf[0] = 0xAA;
    EXPECT_FALSE(CryptGetKeyParam(key, KP_KEYLEN, buf, &len, 0));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_MORE_DATA));
    EXPECT_EQ(len, 4u);
    EXPECT_EQ(buf[0], 0xAA);
    EXPECT_FALSE(CryptGetKeyParam(key, KP_KEYLEN, buf, nullptr, 0));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_PARAMETER));
    // Little-endian bytes, as the published value layout.
    len = 8;
    EXPECT_TRUE(CryptGetKeyParam(key, KP_ALGID, buf, &len, 0));
    EXPECT_EQ(len, 4u);
    EXPECT_EQ(buf[0], 0x00);
    EXPECT_EQ(buf[1], 0xA4);
}

TEST_F(KeyFunctions, BadHandlesAreRefusedNotFollowed) {
    const HCRYPTPROV prov = NewContainer("handles");
    HCRYPTKEY destroyed = 0;
    ASSERT_TRUE(CryptGenKey(prov, CALG_RSA_KEYX, k512, &destroyed));
    ASSERT_TRUE(CryptDestroyKey(destroyed));
    EXPECT_FALSE(CryptDestroyKey(destroyed));
    EXPECT_EQ(GetLastError(), DWORD(NTE_BAD_KEY));
    // The key stays stored when its handle goes.
    EXPECT_NE(UserKey(prov), 0u);

    const HCRYPTKEY badKeys[] = {0, destroyed, 0x123456789ABCull, ~HCRYPTKEY(0), prov};
    BYTE buf[400];
    for (HCRYPTKEY bad : badKeys) {
        DWORD len = sizeof buf;
        EXPECT_FALSE(CryptExportKey(bad, 0, PUBLICKEYBLOB, 0, buf, &len));
        EXPECT_EQ(GetLastError(), DWORD(NTE_BAD_KEY));
        len = sizeof buf;
        EXPECT_FALSE(CryptGetKeyParam(bad, KP_KEYLEN, buf, &len, 0));
        EXPECT_EQ(GetLastError(), DWORD(NTE_BAD_KEY));
        EXPECT_FALSE(CryptDestroyKey(bad));
        EXPECT_EQ(GetLastError(), DWORD(NTE_BAD_KEY));
    }

    HCRYPTPROV released = 0;
    ASSERT_TRUE(CryptAcquireContextA(&released, "handles", nullptr, PROV_RSA_FULL, 0));
    ASSERT_TRUE(CryptReleaseContext(released, 0));
    const HCRYPTKEY key = UserKey(prov);
    const Bytes blob = Export(key, PUBLICKEYBLOB);
    const HCRYPTPROV badProvs[] = {0, released, 0x123456789ABCull, key};
    for (HCRYPTPROV bad : badProvs) {
        HCRYPTKEY out = 0;
        EXPECT_FALSE(CryptGetUserKey(bad, AT_KEYEXCHANGE, &out));
        EXPECT_EQ(GetLastError(), DWORD(NTE_BAD_UID));
        EXPECT_FALSE(CryptGenKey(bad, CALG_RSA_KEYX, k512, &out));
        EXPECT_EQ(GetLastError(), DWORD(NTE_BAD_UID));
        EXPECT_FALSE(CryptImportKey(bad, blob.data(), DWORD(blob.size()), 0, 0, &out));
        EXPECT_EQ(GetLastError(), DWORD(NTE_BAD_UID));
        EXPECT_EQ(out, 0u);
    }
}

TEST_F(KeyFunctions, DeletedContainerAndDamagedEntries) {
    const HCRYPTPROV prov = NewContainer("doomed");
    ASSERT_NE(prov, 0u);
    HCRYPTPROV none = 0;
    ASSERT_TRUE(CryptAcquireContextA(&none, "doomed", nullptr, PROV_RSA_FULL, CRYPT_DELETEKEYSET));
    HCRYPTKEY key = 0;
    EXPECT_FALSE(CryptGenKey(prov, CALG_RSA_KEYX, k512, &key));
    EXPECT_EQ(GetLastError(), DWORD(NTE_BAD_KEYSET));
    EXPECT_FALSE(CryptGetUserKey(prov, AT_KEYEXCHANGE, &key));
    EXPECT_EQ(GetLastError(), DWORD(NTE_BAD_KEYSET));
    EXPECT_EQ(Files().count("users/"), 1u);

    // A container file that is whole but holds a blob the codec refuses, or a
    // signature blob in the exchange slot: reported, never used.
    const HCRYPTPROV good = NewContainer("damaged");
    const Bytes priv = Export(Gen(good, CALG_RSA_SIGN, k512 | CRYPT_EXPORTABLE), PRIVATEKEYBLOB);
    Bytes exchangePub = Export(keys_.back(), PUBLICKEYBLOB);
    exchangePub[5] = 0xA4;
    keyhold::Area area;
    ASSERT_EQ(keyhold::LocateArea(false, false, area), DWORD(ERROR_SUCCESS));
    const std::string path = area.dir + "/" + keyhold::ContainerFileName("damaged");
    for (int variant = 0; variant < 2; ++variant) {
        keyhold::ContainerRecord record;
        record.name = "damaged";
        record.keys[keyhold::kExchangeSlot].present = true;
        record.keys[keyhold::kExchangeSlot].blob.assign(priv.begin(), priv.end());
        if (variant == 0) record.keys[keyhold::kExchangeSlot].blob[300] ^= 1;
        const keyhold::SecureBytes file = keyhold::EncodeContainerFile(record);
        std::ofstream(path, std::ios::binary | std::ios::trunc)
            .write(reinterpret_cast<const char*>(file.data()), static_cast<std::streamsize>(file.size()));
        EXPECT_FALSE(CryptGetUserKey(good, AT_KEYEXCHANGE, &key)) << variant;
        EXPECT_EQ(GetLastError(), DWORD(NTE_KEYSET_ENTRY_BAD)) << variant;
        // A public key does not blindly overwrite what cannot be read.
        const Snapshot before = Files();
        EXPECT_EQ(Import(good, exchangePub), 0u) << variant;
        EXPECT_EQ(GetLastError(), DWORD(NTE_KEYSET_ENTRY_BAD)) << variant;
        EXPECT_EQ(Files(), before);
    }
    // A new pair may replace the damaged entry: that is the way to repair it.
    EXPECT_NE(Gen(good, CALG_RSA_KEYX, k512), 0u);
    EXPECT_NE(UserKey(good), 0u);
}

}  // namespace
