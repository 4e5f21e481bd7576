// Container names crafted to reach outside the key area: through every
// program that takes /N: and through the platform functions themselves, they
// name containers inside the area and nothing else; the whole temporary tree,
// /etc and the working directory are compared before and after.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>
#include <wincrypt.h>

#include "users_support.h"

using namespace users_test;

namespace {

const std::string kLongest(1023, 'n');          // the longest name a new container may have
const std::string kTooLongToCreate(1024, 'n');  // longer names earlier versions made stay usable
const std::string kTooLong(4096, 'n');          // beyond any stored name

// Every name here is valid and must stay a container inside the area.
std::vector<std::string> HostileNames() {
    return {
        "../x", "../../etc/x", "../../../../../../../../etc/keyhold-x", "/etc/passwd", "/tmp/x", "a/b",
        ".", "..", "./.", "~", "*", "-", " leading and trailing ", kLongest,
        std::string("\xff\xfe", 2), std::string("\xc0\xaf..\xc0\xaf", 6),  // invalid UTF-8, overlong slashes
        std::string("\x01\x1b[2J\x7f", 6), "tab\there", "line\nbreak", "cr\rreturn",
        Sha256Hex("Seed"),  // exactly the file name of another container
        ".khtmp-" + Sha256Hex("Seed"),  // the store's own temporary name for another container
    };
}

std::string Printable(const std::string& name) {
    std::string out;
    for (unsigned char c : name.substr(0, 40)) {
        char buf[8];
        if (c >= 0x20 && c < 0x7f) {
            out += (char)c;
        } else {
            snprintf(buf, sizeof buf, "\\x%02x", c);
            out += buf;
        }
    }
    return out + (name.size() > 40 ? "...(" + std::to_string(name.size()) + " bytes)" : "");
}

class HostileNamesTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(mkdir(Work().c_str(), 0755), 0);
        ASSERT_EQ(mkdir((dir / "keys").c_str(), 0755), 0);
        ASSERT_TRUE(Matches(Run("Tessaro", {"/N:Seed", "/L:512", "/X"}).out, kTimeLine));
        ASSERT_TRUE(Matches(Run("Tessaro", {"/M", "/N:Seed", "/L:512"}).out, kTimeLine));
        ASSERT_EQ(Run("Faldren", {"/N:Seed", "/K:7", "/F:" + SeedKey()}).status, 0);
        // Listings make the default container; make it before any picture.
        ASSERT_EQ(Run("Quorvin", {}).status, 0);
        ASSERT_EQ(Run("Quorvin", {"/M"}).status, 0);
    }

    std::string Store() const { return dir / "store"; }
    std::string Work() const { return dir / "work"; }
    std::string SeedKey() const { return dir / "keys/seed.key"; }
    std::string AreaPath(bool machine) const {
        return machine ? "/store/machine" : "/store/users/" + std::to_string(geteuid());
    }

    RunResult Run(const std::string& program, const std::vector<std::string>& args) const {
        RunOptions options;
        options.env = {{"KEYHOLD_ROOT", Store()}, {"LC_ALL", "C"}};
        options.cwd = Work();
        return RunHere(program, args, options);
    }

    // What of /etc a stray write would change: its names and the password file.
    static std::string EtcPicture() {
        std::string out = ReadBytes("/etc/passwd");
        for (const char* p : {"/etc/x", "/etc/keyhold-x", "/tmp/x"}) out += Exists(p) ? "+" : "-";
        return out;
    }

    SharedDir dir;
};

TEST_F(HostileNamesTest, EveryProgramKeepsHostileNamesInsideTheArea) {
    const Tree before = Picture(dir.path());
    const std::string etcBefore = EtcPicture();
    const std::vector<std::string> names = HostileNames();
    for (bool machine : {false, true}) {
        std::set<std::string> expected;
        for (const std::string& name : names) {
            SCOPED_TRACE(Printable(name) + (machine ? " /M" : ""));
            std::vector<std::string> area = machine ? std::vector<std::string>{"/M"} : std::vector<std::string>{};
            auto with = [&](std::vector<std::string> args) {
                args.insert(args.begin(), "/N:" + name);
                args.insert(args.end(), area.begin(), area.end());
                return args;
            };
            RunResult r = Run("Tessaro", with({"/L:512", "/X"}));
            EXPECT_TRUE(Matches(r.out, kTimeLine)) << r.out;
            r = Run("Vandrel", with({}));
            EXPECT_EQ(r.out.rfind("Container Name=" + name + "\n", 0), 0u) << r.out;
            EXPECT_EQ(r.status, 0) << r.out;
            r = Run("Faldren", with({"/K:7"}));
            EXPECT_EQ(r.status, 0) << r.out;
            r = Run("Morbeck", with({"/L:512"}));
            EXPECT_TRUE(Matches(r.out, kTimeLine)) << r.out;
            r = Run("Ombrix", with({"/X", "/F:" + SeedKey()}));
            EXPECT_EQ(r.out, "Import file[" + SeedKey() + "] succeeded.\n");
            expected.insert(AreaPath(machine) + "/" + Sha256Hex(name));
        }
        // Exactly one new file per name, each in the area, and nothing else.
        const std::set<std::string> changed = Changed(before, Picture(dir.path()));
        EXPECT_EQ(changed, expected) << Joined(changed);
        EXPECT_EQ(EtcPicture(), etcBefore);

        const RunResult list = Run("Quorvin", machine ? std::vector<std::string>{"/M"} : std::vector<std::string>{});
        for (const char* shown : {"=../x\n", "=/etc/passwd\n", "=a/b\n", "=.\n", "=..\n", "=line\nbreak\n"})
            EXPECT_NE(list.out.find(shown), std::string::npos) << Printable(shown) << list.out.substr(0, 400);

        // The container named like Seed's file is not Seed.
        EXPECT_EQ(Run("Faldren", {"/N:Seed", "/K:7", "/F:" + (dir / "keys/again.key")}).status, 0);
        EXPECT_EQ(ReadBytes(dir / "keys/again.key"), ReadBytes(SeedKey()));
        unlink((dir / "keys/again.key").c_str());

        for (const std::string& name : names) {
            SCOPED_TRACE(Printable(name));
            std::vector<std::string> args{"/N:" + name};
            if (machine) args.push_back("/M");
            const RunResult r = Run("Zetrask", args);
            EXPECT_EQ(r.status, 0) << r.out;
        }
        const std::set<std::string> left = Changed(before, Picture(dir.path()));
        EXPECT_TRUE(left.empty()) << Joined(left);
    }
}

TEST_F(HostileNamesTest, TooLongNamesAreRefusedByEveryProgram) {
    const Tree before = Picture(dir.path());
    const std::string refused = ErrorLinePattern(0x8009001F);
    for (bool machine : {false, true}) {
        std::vector<std::string> area = machine ? std::vector<std::string>{"/M"} : std::vector<std::string>{};
        struct Case {
            std::string program;
            std::vector<std::string> args;
            std::string before;
        } cases[] = {
            {"Tessaro", {"/L:512"}, ""},        {"Vandrel", {}, ""},
            {"Faldren", {"/F:tl.pub"}, ""},     {"Morbeck", {"/L:512", "/F:tl.pub"}, kTimeLine},
            {"Ombrix", {"/F:" + SeedKey()}, ""}, {"Zetrask", {}, ""},
        };
        for (Case& c : cases) {
            SCOPED_TRACE(c.program + (machine ? " /M" : ""));
            c.args.insert(c.args.begin(), "/N:" + kTooLong);
            c.args.insert(c.args.end(), area.begin(), area.end());
            const RunResult r = Run(c.program, c.args);
            EXPECT_TRUE(Matches(r.out, c.before + refused)) << r.out.substr(0, 200);
            EXPECT_EQ(r.status, 1);
        }
    }
    const std::set<std::string> changed = Changed(before, Picture(dir.path()));
    EXPECT_TRUE(changed.empty()) << Joined(changed);
}

// The same names straight through CryptAcquireContextA/W, in this process.
class PlatformNamesTest : public HostileNamesTest {
protected:
    void SetUp() override {
        HostileNamesTest::SetUp();
        setenv("KEYHOLD_ROOT", Store().c_str(), 1);
    }
    void TearDown() override { unsetenv("KEYHOLD_ROOT"); }

    static std::string ContainerOf(HCRYPTPROV prov) {
        std::vector<BYTE> buffer(8192);
        DWORD length = (DWORD)buffer.size();
        if (!CryptGetProvParam(prov, PP_CONTAINER, buffer.data(), &length, 0)) return "<failed>";
        return std::string(reinterpret_cast<const char*>(buffer.data()));
    }
};

TEST_F(PlatformNamesTest, HostileNamesStayInsideTheArea) {
    const Tree before = Picture(dir.path());
    for (DWORD area : {0u, (DWORD)CRYPT_MACHINE_KEYSET}) {
        std::set<std::string> expected;
        for (const std::string& name : HostileNames()) {
            SCOPED_TRACE(Printable(name));
            HCRYPTPROV prov = 0;
            ASSERT_TRUE(CryptAcquireContextA(&prov, name.c_str(), nullptr, PROV_RSA_FULL, area | CRYPT_NEWKEYSET))
                << std::hex << GetLastError();
            EXPECT_EQ(ContainerOf(prov), name);
            EXPECT_TRUE(CryptReleaseContext(prov, 0));
            ASSERT_TRUE(CryptAcquireContextA(&prov, name.c_str(), nullptr, PROV_RSA_AES, area));
            EXPECT_TRUE(CryptReleaseContext(prov, 0));
            expected.insert(AreaPath(area != 0) + "/" + Sha256Hex(name));
        }
        const std::set<std::string> changed = Changed(before, Picture(dir.path()));
        EXPECT_EQ(changed, expected) << Joined(changed);
        for (const std::string& name : HostileNames()) {
            HCRYPTPROV prov = 0;
            EXPECT_TRUE(CryptAcquireContextA(&prov, name.c_str(), nullptr, PROV_RSA_FULL, area | CRYPT_DELETEKEYSET))
                << Printable(name);
        }
        EXPECT_TRUE(Changed(before, Picture(dir.path())).empty());
    }
}

TEST_F(PlatformNamesTest, NamesBeyondTheLimitAreRefusedInBothCharacterSets) {
    const Tree before = Picture(dir.path());
    auto refusedA = [](const std::string& name, DWORD flags) {
        HCRYPTPROV prov = 0;
        SetLastError(0);
        const BOOL ok = CryptAcquireContextA(&prov, name.c_str(), nullptr, PROV_RSA_FULL, flags);
        const bool refused = !ok && GetLastError() == (DWORD)NTE_BAD_KEYSET_PARAM && prov == 0;
        ++figures.calls;
        figures.callRefusals += refused;
        return refused;
    };
    auto acquireW = [](const std::u16string& name, DWORD flags, HCRYPTPROV* prov) {
        *prov = 0;
        SetLastError(0);
        return CryptAcquireContextW(prov, reinterpret_cast<LPCWSTR>(name.c_str()), nullptr, PROV_RSA_FULL, flags);
    };
    for (DWORD flags : {0u, (DWORD)CRYPT_NEWKEYSET, (DWORD)CRYPT_DELETEKEYSET, (DWORD)CRYPT_MACHINE_KEYSET,
                        (DWORD)(CRYPT_MACHINE_KEYSET | CRYPT_NEWKEYSET)}) {
        SCOPED_TRACE(flags);
        const bool creating = (flags & CRYPT_NEWKEYSET) != 0;
        EXPECT_TRUE(refusedA(creating ? kTooLongToCreate : kTooLong, flags));
        EXPECT_TRUE(refusedA(std::string(100000, 'n'), flags));
        EXPECT_TRUE(refusedA("", flags));
        HCRYPTPROV prov = 0;
        // Too many ASCII characters; hiragana of three bytes each, two bytes
        // over; an unpaired surrogate, which has no bytes at all.
        const std::size_t limit = creating ? 1023 : 4095;
        for (const std::u16string& name :
             {std::u16string(limit + 1, u'n'), std::u16string(limit / 3 + 1, u'\u3042'),
              std::u16string(u"ab\xD800z"), std::u16string(u"\xDC00")}) {
            const BOOL ok = acquireW(name, flags, &prov);
            EXPECT_FALSE(ok);
            EXPECT_EQ(GetLastError(), (DWORD)NTE_BAD_KEYSET_PARAM);
            ++figures.calls;
            figures.callRefusals += !ok && GetLastError() == (DWORD)NTE_BAD_KEYSET_PARAM;
            EXPECT_EQ(prov, 0u);
        }
    }
    EXPECT_TRUE(Changed(before, Picture(dir.path())).empty()) << Joined(Changed(before, Picture(dir.path())));

    // Just inside the limit in either set: 1023 bytes.
    HCRYPTPROV prov = 0;
    ASSERT_TRUE(CryptAcquireContextA(&prov, kLongest.c_str(), nullptr, PROV_RSA_FULL, CRYPT_NEWKEYSET));
    EXPECT_EQ(ContainerOf(prov), kLongest);
    CryptReleaseContext(prov, 0);
    ASSERT_TRUE(acquireW(std::u16string(341, u'\u3042'), CRYPT_NEWKEYSET, &prov)) << std::hex << GetLastError();
    std::string hiragana;
    for (int i = 0; i < 341; ++i) hiragana += "\xe3\x81\x82";
    EXPECT_EQ(ContainerOf(prov), hiragana);
    CryptReleaseContext(prov, 0);
    EXPECT_EQ(Changed(before, Picture(dir.path())),
              (std::set<std::string>{AreaPath(false) + "/" + Sha256Hex(kLongest),
                                     AreaPath(false) + "/" + Sha256Hex(hiragana)}));
}

}  // namespace
