// Zetrask run against a temporary key store.
#include "program_test_support.h"

namespace keyhold_test {
namespace {

const std::string kPrompt = "既定の鍵コンテナを削除しますか？[y(Y)/n(N)]\n";
const std::string kDefaultDeleted = "鍵コンテナ[(既定)]を削除しました。\n";

std::string Deleted(const std::string& name) { return "鍵コンテナ[" + name + "]を削除しました。\n"; }

TEST(Zetrask, DeletesTheDefaultContainerOnYes) {
    for (const char* key : {"y", "Y", "yn"}) {
        Store store;
        CreateContainer(DefaultContainerName());
        CreateContainer("Other");
        const RunResult r = store.run("Zetrask", {}, key);
        EXPECT_EQ(r.out, kPrompt + kDefaultDeleted) << "key " << key;
        EXPECT_EQ(r.err, "");
        EXPECT_EQ(r.status, 0);
        EXPECT_FALSE(ContainerExists(nullptr));
        EXPECT_TRUE(ContainerExists("Other"));
    }
}

TEST(Zetrask, AnyOtherAnswerDeletesNothingAndPrintsNothingMore) {
    for (const std::string key : {"n", "N", "\n", "\r", "\x1b", "", "q", "ny", " y"}) {
        Store store;
        CreateContainer(DefaultContainerName());
        const RunResult r = store.run("Zetrask", {}, key);
        EXPECT_EQ(r.out, kPrompt) << "key code " << (key.empty() ? -1 : key[0]);
        EXPECT_EQ(r.status, 1);
        EXPECT_TRUE(ContainerExists(nullptr));
    }
}

TEST(Zetrask, ReportsAMissingDefaultContainerAfterTheConfirmation) {
    Store store;
    const RunResult r = store.run("Zetrask", {}, "y");
    ASSERT_EQ(r.out.substr(0, kPrompt.size()), kPrompt);
    EXPECT_TRUE(IsErrorLine(r.out.substr(kPrompt.size()), NTE_BAD_KEYSET)) << r.out;
    EXPECT_EQ(r.status, 1);
}

TEST(Zetrask, DeletesANamedContainerWithoutAsking) {
    Store store;
    CreateContainer("TestProvider");
    CreateContainer("Test Provider");
    CreateContainer(DefaultContainerName());
    const RunResult r = store.run("Zetrask", {"/N:TestProvider"}, "n");
    EXPECT_EQ(r.out, Deleted("TestProvider"));
    EXPECT_EQ(r.status, 0);
    EXPECT_FALSE(ContainerExists("TestProvider"));
    EXPECT_TRUE(ContainerExists("Test Provider"));

    const RunResult spaced = store.run("Zetrask", {"/N:Test Provider"});
    EXPECT_EQ(spaced.out, Deleted("Test Provider"));
    EXPECT_EQ(spaced.status, 0);
    EXPECT_FALSE(ContainerExists("Test Provider"));
    EXPECT_TRUE(ContainerExists(nullptr));

    // The default container by its own name: no question either.
    const RunResult byName = store.run("Zetrask", {"/N:" + DefaultContainerName()});
    EXPECT_EQ(byName.out, Deleted(DefaultContainerName()));
    EXPECT_FALSE(ContainerExists(nullptr));
}

TEST(Zetrask, ReportsAMissingNamedContainer) {
    Store store;
    const RunResult r = store.run("Zetrask", {"/N:Missing"});
    EXPECT_TRUE(IsErrorLine(r.out, NTE_BAD_KEYSET)) << r.out;
    EXPECT_EQ(r.status, 1);
    EXPECT_FALSE(ContainerExists("Missing"));
}

TEST(Zetrask, PassesAnEmptyNameOnWhichTheStoreRefuses) {
    Store store;
    CreateContainer(DefaultContainerName());
    CreateContainer("Keep");
    const RunResult r = store.run("Zetrask", {"/N:"}, "y");
    EXPECT_TRUE(IsErrorLine(r.out, NTE_BAD_KEYSET_PARAM)) << r.out;
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(ContainerExists(nullptr));
    EXPECT_TRUE(ContainerExists("Keep"));
}

TEST(Zetrask, WorksInTheMachineAreaApartFromTheUsers) {
    Store store;
    CreateContainer("Both", false);
    CreateContainer("Both", true);
    CreateContainer(DefaultContainerName(), false);
    CreateContainer(DefaultContainerName(), true);

    const RunResult named = store.run("Zetrask", {"/N:Both", "/M"});
    EXPECT_EQ(named.out, Deleted("Both"));
    EXPECT_FALSE(ContainerExists("Both", true));
    EXPECT_TRUE(ContainerExists("Both", false));

    const RunResult byDefault = store.run("Zetrask", {"/M"}, "Y");
    EXPECT_EQ(byDefault.out, kPrompt + kDefaultDeleted);
    EXPECT_EQ(byDefault.status, 0);
    EXPECT_FALSE(ContainerExists(nullptr, true));
    EXPECT_TRUE(ContainerExists(nullptr, false));
}

TEST(Zetrask, IgnoresAProviderTypeAndAlwaysUsesTheFullProvider) {
    Store store;
    CreateContainer("Typed", false, PROV_RSA_AES);
    const RunResult r = store.run("Zetrask", {"/P:24", "/N:Typed"});
    EXPECT_EQ(r.out, Deleted("Typed"));
    EXPECT_EQ(r.status, 0);
    const RunResult bogus = store.run("Zetrask", {"/P:abc", "/N:Missing"});
    EXPECT_TRUE(IsErrorLine(bogus.out, NTE_BAD_KEYSET)) << bogus.out;  // not NTE_BAD_PROV_TYPE
}

TEST(Zetrask, PromptsAndAnswersInCodePage932UnderAShiftJisLocale) {
    TempDir locales;
    if (!MakeShiftJisLocale(locales)) GTEST_SKIP() << "cannot generate a Shift-JIS locale with localedef";
    Store store;
    CreateContainer(DefaultContainerName());
    CreateContainer("Named");
    const RunResult r = RunProgram("Zetrask", {}, ShiftJisOptions(store.options("y"), locales));
    EXPECT_EQ(r.out, ToCp932(kPrompt + kDefaultDeleted));
    EXPECT_EQ(r.status, 0);
    const RunResult named = RunProgram("Zetrask", {"/N:Named"}, ShiftJisOptions(store.options(), locales));
    EXPECT_EQ(named.out, ToCp932(Deleted("Named")));
    EXPECT_EQ(named.status, 0);
}

}  // namespace
}  // namespace keyhold_test
