#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <set>
#include <thread>

#include <gtest/gtest.h>

#include <wincrypt.h>

#include "store/area.h"
#include "store/container_file.h"
#include "store/container_store.h"
#include "store/context.h"
#include "legacy_container.h"
#include "store_fixture.h"

using namespace keyhold;
using namespace keyhold_test;

namespace {

using ContextTest = StoreTest;

// The result of an acquire: the last error on failure, 0 on success.
DWORD TryAcquire(HCRYPTPROV* prov, const char* name, DWORD flags, DWORD type = PROV_RSA_FULL,
                 const char* provider = nullptr) {
    SetLastError(0x12345678);
    return CryptAcquireContextA(prov, name, provider, type, flags) ? 0 : GetLastError();
}

DWORD TryAcquireW(HCRYPTPROV* prov, const WCHAR* name, DWORD flags, const WCHAR* provider = nullptr) {
    return CryptAcquireContextW(prov, name, provider, PROV_RSA_FULL, flags) ? 0 : GetLastError();
}

std::string StringParam(HCRYPTPROV prov, DWORD param, DWORD flags = 0) {
    BYTE buf[8192];
    DWORD len = sizeof buf;
    if (!CryptGetProvParam(prov, param, buf, &len, flags)) return "<error " + std::to_string(GetLastError()) + ">";
    if (len == 0 || buf[len - 1] != 0) return "<not terminated>";
    return std::string(reinterpret_cast<char*>(buf), len - 1);
}

// The whole walk, CRYPT_FIRST then CRYPT_NEXT until the end.
std::vector<std::string> Enumerate(HCRYPTPROV prov) {
    std::vector<std::string> names;
    DWORD flags = CRYPT_FIRST;
    for (;;) {
        BYTE buf[8192];
        DWORD len = sizeof buf;
        if (!CryptGetProvParam(prov, PP_ENUMCONTAINERS, buf, &len, flags)) {
            EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NO_MORE_ITEMS));
            return names;
        }
        names.emplace_back(reinterpret_cast<char*>(buf), len - 1);
        flags = CRYPT_NEXT;
    }
}

DWORD Release(HCRYPTPROV prov, DWORD flags = 0) { return CryptReleaseContext(prov, flags) ? 0 : GetLastError(); }

HCRYPTPROV Created(const char* name, DWORD flags = 0) {
    HCRYPTPROV prov = 0;
    EXPECT_EQ(TryAcquire(&prov, name, CRYPT_NEWKEYSET | flags), 0u) << name;
    return prov;
}

}  // namespace

TEST_F(ContextTest, FlagsAreCheckedFirst) {
    HCRYPTPROV prov = 77;
    for (DWORD flags : {DWORD{0x80}, DWORD{0x1}, DWORD{0x100}, DWORD{CRYPT_NEWKEYSET | CRYPT_DELETEKEYSET},
                        DWORD{CRYPT_VERIFYCONTEXT | CRYPT_NEWKEYSET}, DWORD{CRYPT_VERIFYCONTEXT | CRYPT_DELETEKEYSET},
                        DWORD{0x10000000}, DWORD{0x80000000}}) {
        EXPECT_EQ(TryAcquire(&prov, "x", flags, 999), static_cast<DWORD>(NTE_BAD_FLAGS))
            << std::hex << flags;
    }
    EXPECT_EQ(TryAcquire(&prov, nullptr, CRYPT_VERIFYCONTEXT | 0x80), static_cast<DWORD>(NTE_BAD_FLAGS));
    EXPECT_FALSE(Exists(root_));
}

TEST_F(ContextTest, ProviderTypesAndNames) {
    HCRYPTPROV prov = 0;
    for (DWORD type : {DWORD{0}, DWORD{2}, DWORD{13}, DWORD{23}, DWORD{25}, DWORD{0xFFFFFFFF}})
        EXPECT_EQ(TryAcquire(&prov, nullptr, CRYPT_VERIFYCONTEXT, type), static_cast<DWORD>(NTE_BAD_PROV_TYPE)) << type;

    const std::pair<DWORD, const char*> offered[] = {{PROV_RSA_FULL, "keyhold RSA Full Provider"},
                                                      {PROV_RSA_SCHANNEL, "keyhold RSA SChannel Provider"},
                                                      {PROV_RSA_AES, "keyhold RSA and AES Provider"}};
    for (const auto& [type, name] : offered) {
        ASSERT_EQ(TryAcquire(&prov, nullptr, CRYPT_VERIFYCONTEXT, type, name), 0u) << name;
        EXPECT_EQ(StringParam(prov, PP_NAME), name);
        EXPECT_EQ(Release(prov), 0u);
        EXPECT_EQ(TryAcquire(&prov, nullptr, CRYPT_VERIFYCONTEXT, type, "keyhold"),
                  static_cast<DWORD>(NTE_KEYSET_NOT_DEF));
        EXPECT_EQ(TryAcquire(&prov, nullptr, CRYPT_VERIFYCONTEXT, type, ""), static_cast<DWORD>(NTE_KEYSET_NOT_DEF));
    }
    EXPECT_EQ(TryAcquire(&prov, nullptr, CRYPT_VERIFYCONTEXT, PROV_RSA_AES, "keyhold RSA Full Provider"),
              static_cast<DWORD>(NTE_KEYSET_NOT_DEF));

    // All types share one store.
    HCRYPTPROV full = Created("shared");
    ASSERT_EQ(TryAcquire(&prov, "shared", 0, PROV_RSA_AES), 0u);
    EXPECT_EQ(TryAcquire(&prov, "shared", CRYPT_NEWKEYSET, PROV_RSA_SCHANNEL), static_cast<DWORD>(NTE_EXISTS));
    EXPECT_EQ(Release(full), 0u);
}

TEST_F(ContextTest, OpenCreateDelete) {
    HCRYPTPROV prov = 99;
    EXPECT_EQ(TryAcquire(&prov, "box", 0), static_cast<DWORD>(NTE_BAD_KEYSET));
    EXPECT_EQ(prov, 0u);
    EXPECT_FALSE(Exists(root_)) << "opening creates no directories";
    EXPECT_EQ(TryAcquire(&prov, "box", CRYPT_DELETEKEYSET), static_cast<DWORD>(NTE_BAD_KEYSET));

    HCRYPTPROV created = Created("box");
    ASSERT_NE(created, 0u);
    EXPECT_EQ(StringParam(created, PP_CONTAINER), "box");
    EXPECT_EQ(TryAcquire(&prov, "box", CRYPT_NEWKEYSET), static_cast<DWORD>(NTE_EXISTS));
    HCRYPTPROV opened = 0;
    ASSERT_EQ(TryAcquire(&opened, "box", CRYPT_SILENT), 0u);
    EXPECT_NE(opened, created);
    EXPECT_EQ(TryAcquire(&prov, "box", CRYPT_MACHINE_KEYSET), static_cast<DWORD>(NTE_BAD_KEYSET));

    prov = 55;
    EXPECT_EQ(TryAcquire(&prov, "box", CRYPT_DELETEKEYSET), 0u);
    EXPECT_EQ(prov, 0u) << "deletion returns no handle";
    EXPECT_EQ(TryAcquire(nullptr, "box", CRYPT_DELETEKEYSET), static_cast<DWORD>(NTE_BAD_KEYSET));
    EXPECT_EQ(TryAcquire(&prov, "box", 0), static_cast<DWORD>(NTE_BAD_KEYSET));
    // Contexts opened before the deletion still answer for their name.
    EXPECT_EQ(StringParam(opened, PP_CONTAINER), "box");
    EXPECT_EQ(Release(created), 0u);
    EXPECT_EQ(Release(opened), 0u);

    Created("again", CRYPT_MACHINE_KEYSET);
    EXPECT_EQ(TryAcquire(nullptr, "again", CRYPT_DELETEKEYSET | CRYPT_MACHINE_KEYSET), 0u);
    EXPECT_EQ(TryAcquire(nullptr, "x", CRYPT_NEWKEYSET), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    EXPECT_EQ(TryAcquire(nullptr, "x", 0), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
}

TEST_F(ContextTest, DefaultAndEmptyNames) {
    HCRYPTPROV prov = 0;
    ASSERT_EQ(TryAcquire(&prov, nullptr, CRYPT_NEWKEYSET), 0u);
    EXPECT_EQ(StringParam(prov, PP_CONTAINER), DefaultContainerName());
    EXPECT_EQ(Release(prov), 0u);

    // An empty name never reaches the default container.
    for (DWORD flags : {DWORD{0}, DWORD{CRYPT_NEWKEYSET}, DWORD{CRYPT_DELETEKEYSET}})
        EXPECT_EQ(TryAcquire(&prov, "", flags), static_cast<DWORD>(NTE_BAD_KEYSET_PARAM)) << flags;
    const std::string tooLong(1024, 'L');
    EXPECT_EQ(TryAcquire(&prov, tooLong.c_str(), CRYPT_NEWKEYSET), static_cast<DWORD>(NTE_BAD_KEYSET_PARAM));
    const std::string longest(1023, 'L');
    ASSERT_EQ(TryAcquire(&prov, longest.c_str(), CRYPT_NEWKEYSET), 0u);
    EXPECT_EQ(StringParam(prov, PP_CONTAINER), longest);
    EXPECT_EQ(Release(prov), 0u);
    // A longer name that an earlier version stored is still opened and removed.
    const std::string legacy(4095, 'L');
    ASSERT_TRUE(PlantLegacyContainer(legacy));
    ASSERT_EQ(TryAcquire(&prov, legacy.c_str(), 0), 0u);
    EXPECT_EQ(StringParam(prov, PP_CONTAINER), legacy);
    EXPECT_EQ(Release(prov), 0u);
    EXPECT_EQ(TryAcquire(nullptr, legacy.c_str(), CRYPT_DELETEKEYSET), 0u);
    EXPECT_EQ(TryAcquire(&prov, std::string(4096, 'L').c_str(), 0), static_cast<DWORD>(NTE_BAD_KEYSET_PARAM));

    ASSERT_EQ(TryAcquire(&prov, DefaultContainerName().c_str(), 0), 0u);
    EXPECT_EQ(Release(prov), 0u);
    EXPECT_EQ(TryAcquire(nullptr, nullptr, CRYPT_DELETEKEYSET), 0u);
    EXPECT_EQ(TryAcquire(&prov, nullptr, 0), static_cast<DWORD>(NTE_BAD_KEYSET));
}

TEST_F(ContextTest, VerifyContextHasNoContainerButKnowsItsArea) {
    HCRYPTPROV prov = 0;
    EXPECT_EQ(TryAcquire(&prov, "named", CRYPT_VERIFYCONTEXT), static_cast<DWORD>(NTE_BAD_FLAGS));
    ASSERT_EQ(TryAcquire(&prov, nullptr, CRYPT_VERIFYCONTEXT), 0u);
    EXPECT_FALSE(Exists(root_)) << "a verify context creates nothing";
    EXPECT_EQ(StringParam(prov, PP_CONTAINER), "<error " + std::to_string(NTE_BAD_KEYSET) + ">");
    EXPECT_TRUE(Enumerate(prov).empty());
    Release(Created("u1"));
    Release(Created("m1", CRYPT_MACHINE_KEYSET));
    EXPECT_EQ(Enumerate(prov), std::vector<std::string>{"u1"});
    HCRYPTPROV machine = 0;
    ASSERT_EQ(TryAcquire(&machine, nullptr, CRYPT_VERIFYCONTEXT | CRYPT_MACHINE_KEYSET), 0u);
    EXPECT_EQ(Enumerate(machine), std::vector<std::string>{"m1"});
    EXPECT_EQ(Release(machine), 0u);
    EXPECT_EQ(Release(prov), 0u);
}

TEST_F(ContextTest, DamagedContainerIsReportedAndCanBeDeleted) {
    Release(Created("hurt"));
    Release(Created("fine"));
    Area area;
    ASSERT_EQ(LocateArea(false, false, area), ERROR_SUCCESS);
    const std::string file = area.dir + "/" + ContainerFileName("hurt");
    std::string bytes = ReadWhole(file);
    bytes[5] ^= 0x40;
    WriteWhole(file, bytes);
    HCRYPTPROV prov = 0;
    EXPECT_EQ(TryAcquire(&prov, "hurt", 0), static_cast<DWORD>(NTE_KEYSET_ENTRY_BAD));
    EXPECT_EQ(TryAcquire(&prov, "hurt", CRYPT_NEWKEYSET), static_cast<DWORD>(NTE_EXISTS));
    EXPECT_EQ(ReadWhole(file), bytes) << "never silently overwritten";
    ASSERT_EQ(TryAcquire(&prov, "fine", 0), 0u);
    EXPECT_EQ(Enumerate(prov), std::vector<std::string>{"fine"});
    EXPECT_EQ(TryAcquire(nullptr, "hurt", CRYPT_DELETEKEYSET), 0u);
    EXPECT_FALSE(Exists(file));
    EXPECT_EQ(Release(prov), 0u);
}

TEST_F(ContextTest, EnumerationWalksASortedSnapshot) {
    for (const char* name : {"delta", "Alpha", "charlie", "bravo", "\xe6\x97\xa5"}) Release(Created(name));
    HCRYPTPROV prov = 0;
    ASSERT_EQ(TryAcquire(&prov, "bravo", 0), 0u);

    BYTE buf[64];
    DWORD len = 0;
    // CRYPT_NEXT before any CRYPT_FIRST starts from the beginning; a size query does not move.
    ASSERT_TRUE(CryptGetProvParam(prov, PP_ENUMCONTAINERS, nullptr, &len, CRYPT_NEXT));
    EXPECT_EQ(len, 6u);
    len = 5;
    EXPECT_FALSE(CryptGetProvParam(prov, PP_ENUMCONTAINERS, buf, &len, CRYPT_NEXT));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_MORE_DATA));
    EXPECT_EQ(len, 6u);
    len = 6;
    ASSERT_TRUE(CryptGetProvParam(prov, PP_ENUMCONTAINERS, buf, &len, CRYPT_NEXT));
    EXPECT_STREQ(reinterpret_cast<char*>(buf), "Alpha");
    EXPECT_EQ(len, 6u);

    // A container made during the walk is not in it.
    Release(Created("alpha2"));
    std::vector<std::string> rest;
    for (;;) {
        len = sizeof buf;
        if (!CryptGetProvParam(prov, PP_ENUMCONTAINERS, buf, &len, CRYPT_NEXT)) break;
        rest.emplace_back(reinterpret_cast<char*>(buf));
    }
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NO_MORE_ITEMS));
    EXPECT_EQ(rest, (std::vector<std::string>{"bravo", "charlie", "delta", "\xe6\x97\xa5"}));
    len = sizeof buf;
    EXPECT_FALSE(CryptGetProvParam(prov, PP_ENUMCONTAINERS, buf, &len, CRYPT_NEXT));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NO_MORE_ITEMS));
    EXPECT_FALSE(CryptGetProvParam(prov, PP_ENUMCONTAINERS, nullptr, &len, 0));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NO_MORE_ITEMS));

    // CRYPT_FIRST takes a new snapshot.
    EXPECT_EQ(Enumerate(prov),
              (std::vector<std::string>{"Alpha", "alpha2", "bravo", "charlie", "delta", "\xe6\x97\xa5"}));
    EXPECT_EQ(Release(prov), 0u);
}

TEST_F(ContextTest, ParameterErrors) {
    HCRYPTPROV prov = Created("p");
    BYTE buf[64];
    DWORD len = sizeof buf;
    EXPECT_FALSE(CryptGetProvParam(prov, PP_NAME, buf, nullptr, 0));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    for (DWORD param : {DWORD{0}, DWORD{1}, DWORD{3}, DWORD{5}, DWORD{7}, DWORD{0x20}}) {
        len = sizeof buf;
        EXPECT_FALSE(CryptGetProvParam(prov, param, buf, &len, 0)) << param;
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(NTE_BAD_TYPE)) << param;
    }
    for (DWORD param : {DWORD{PP_NAME}, DWORD{PP_CONTAINER}}) {
        len = sizeof buf;
        EXPECT_FALSE(CryptGetProvParam(prov, param, buf, &len, CRYPT_FIRST));
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(NTE_BAD_FLAGS));
    }
    len = sizeof buf;
    EXPECT_FALSE(CryptGetProvParam(prov, PP_ENUMCONTAINERS, buf, &len, 4));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(NTE_BAD_FLAGS));

    // Size query, then a buffer one byte short, for a plain value.
    len = 0;
    ASSERT_TRUE(CryptGetProvParam(prov, PP_NAME, nullptr, &len, 0));
    const DWORD needed = len;
    EXPECT_EQ(needed, std::strlen("keyhold RSA Full Provider") + 1);
    len = needed - 1;
    std::memset(buf, 'z', sizeof buf);
    EXPECT_FALSE(CryptGetProvParam(prov, PP_NAME, buf, &len, 0));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_MORE_DATA));
    EXPECT_EQ(len, needed);
    EXPECT_EQ(buf[0], 'z') << "nothing written to a short buffer";
    EXPECT_EQ(Release(prov), 0u);
}

TEST_F(ContextTest, BadHandlesAreRefused) {
    HCRYPTPROV prov = Created("h");
    EXPECT_EQ(Release(prov, 1), static_cast<DWORD>(NTE_BAD_FLAGS));
    EXPECT_EQ(StringParam(prov, PP_CONTAINER), "h") << "a refused release leaves the handle live";
    EXPECT_EQ(Release(prov), 0u);
    BYTE buf[16];
    for (HCRYPTPROV bad : {prov, HCRYPTPROV{0}, HCRYPTPROV{1}, HCRYPTPROV{0xdeadbeef}, ~HCRYPTPROV{0},
                           prov + 1000, reinterpret_cast<HCRYPTPROV>(&buf)}) {
        DWORD len = sizeof buf;
        EXPECT_FALSE(CryptGetProvParam(bad, PP_NAME, buf, &len, 0));
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(NTE_BAD_UID));
        EXPECT_EQ(Release(bad), static_cast<DWORD>(NTE_BAD_UID));
        EXPECT_EQ(Release(bad, 1), static_cast<DWORD>(NTE_BAD_UID));
        EXPECT_EQ(FindContext(bad), nullptr);
    }
}

TEST_F(ContextTest, WideNamesBecomeUtf8) {
    HCRYPTPROV prov = 0;
    ASSERT_EQ(TryAcquireW(&prov, u"Z\u00e4hler \u65e5\U0001F511", CRYPT_NEWKEYSET), 0u);
    EXPECT_EQ(StringParam(prov, PP_CONTAINER), "Z\xc3\xa4hler \xe6\x97\xa5\xf0\x9f\x94\x91");
    EXPECT_EQ(Release(prov), 0u);
    HCRYPTPROV narrow = 0;
    EXPECT_EQ(TryAcquire(&narrow, "Z\xc3\xa4hler \xe6\x97\xa5\xf0\x9f\x94\x91", 0), 0u);
    EXPECT_EQ(Release(narrow), 0u);

    const char16_t loneHigh[] = {u'a', 0xD83D, u'b', 0};
    const char16_t loneLow[] = {0xDD11, 0};
    const char16_t highAtEnd[] = {u'a', 0xD83D, 0};
    for (const WCHAR* name : {static_cast<const WCHAR*>(loneHigh), static_cast<const WCHAR*>(loneLow),
                              static_cast<const WCHAR*>(highAtEnd), u""})
        EXPECT_EQ(TryAcquireW(&prov, name, CRYPT_NEWKEYSET), static_cast<DWORD>(NTE_BAD_KEYSET_PARAM));
    std::u16string tooLong(512, u'\u00e4');  // 1024 bytes in UTF-8
    EXPECT_EQ(TryAcquireW(&prov, tooLong.c_str(), CRYPT_NEWKEYSET), static_cast<DWORD>(NTE_BAD_KEYSET_PARAM));
    tooLong.pop_back();
    tooLong.push_back(u'x');  // 1023 bytes
    ASSERT_EQ(TryAcquireW(&prov, tooLong.c_str(), CRYPT_NEWKEYSET), 0u);
    EXPECT_EQ(Release(prov), 0u);

    ASSERT_EQ(TryAcquireW(&prov, nullptr, CRYPT_VERIFYCONTEXT, u"keyhold RSA Full Provider"), 0u);
    EXPECT_EQ(Release(prov), 0u);
    EXPECT_EQ(TryAcquireW(&prov, nullptr, CRYPT_VERIFYCONTEXT, loneHigh), static_cast<DWORD>(NTE_KEYSET_NOT_DEF));
    EXPECT_EQ(TryAcquireW(&prov, nullptr, CRYPT_NEWKEYSET), 0u);
    EXPECT_EQ(StringParam(prov, PP_CONTAINER), DefaultContainerName());
    EXPECT_EQ(Release(prov), 0u);
}

TEST_F(ContextTest, ThreadsShareOneWalkWithoutLosingNames) {
    for (int i = 0; i < 200; ++i) Release(Created(("c" + std::to_string(1000 + i)).c_str()));
    HCRYPTPROV prov = 0;
    ASSERT_EQ(TryAcquire(&prov, "c1000", 0), 0u);
    std::mutex seenMutex;
    std::vector<std::string> seen;
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&] {
            for (;;) {
                BYTE buf[64];
                DWORD len = sizeof buf;
                if (!CryptGetProvParam(prov, PP_ENUMCONTAINERS, buf, &len, CRYPT_NEXT)) return;
                std::lock_guard<std::mutex> lock(seenMutex);
                seen.emplace_back(reinterpret_cast<char*>(buf));
            }
        });
    }
    for (auto& t : threads) t.join();
    EXPECT_EQ(seen.size(), 200u);
    EXPECT_EQ(std::set<std::string>(seen.begin(), seen.end()).size(), 200u);
    EXPECT_EQ(Release(prov), 0u);
}

TEST_F(ContextTest, AnotherUsersContainerIsDenied) {
    if (!IsRoot()) GTEST_SKIP() << "needs root to act as another user";
    Release(Created("roots", CRYPT_MACHINE_KEYSET));
    const std::string result = InChild(
        [] {
            HCRYPTPROV prov = 0;
            std::string out = Code(TryAcquire(&prov, "roots", CRYPT_MACHINE_KEYSET));
            out += "," + Code(TryAcquire(nullptr, "roots", CRYPT_DELETEKEYSET | CRYPT_MACHINE_KEYSET));
            out += "," + Code(TryAcquire(&prov, "roots", CRYPT_NEWKEYSET | CRYPT_MACHINE_KEYSET));
            out += "," + Code(TryAcquire(&prov, nullptr, CRYPT_NEWKEYSET | CRYPT_MACHINE_KEYSET));
            out += "," + StringParam(prov, PP_CONTAINER);
            out += "," + Code(TryAcquire(&prov, nullptr, CRYPT_VERIFYCONTEXT | CRYPT_MACHINE_KEYSET));
            for (const auto& n : Enumerate(prov)) out += "," + n;
            return out;
        },
        kNobody);
    EXPECT_EQ(result, "5,5," + Code(NTE_EXISTS) + ",0,nobody,0,nobody");
    HCRYPTPROV prov = 0;
    ASSERT_EQ(TryAcquire(&prov, "roots", CRYPT_MACHINE_KEYSET), 0u);
    EXPECT_EQ(Enumerate(prov), (std::vector<std::string>{"nobody", "roots"}));
    EXPECT_EQ(Release(prov), 0u);
}
