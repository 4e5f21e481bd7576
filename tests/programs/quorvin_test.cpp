// Quorvin run against a temporary key store.
#include <algorithm>

#include "program_test_support.h"

namespace keyhold_test {
namespace {

const char* const kHeading = "> Key Container Name List\n";

std::string Listing(DWORD type, std::vector<std::string> names) {
    std::string text = "Provider Name=" + ProviderName(type) + "\n" + kHeading;
    std::sort(names.begin(), names.end());
    int number = 1;
    for (const auto& name : names) {
        char line[64];
        snprintf(line, sizeof line, "%3d=", number++);
        text += line + name + "\n";
    }
    return text;
}

// What follows the heading.
std::string Names(const std::string& out) {
    const auto at = out.find(kHeading);
    return at == std::string::npos ? "<no heading>" : out.substr(at + strlen(kHeading));
}

TEST(Quorvin, CreatesTheMissingDefaultContainerOnceAndListsIt) {
    Store store;
    const std::string me = DefaultContainerName();
    EXPECT_FALSE(ContainerExists(nullptr));

    const RunResult first = store.run("Quorvin", {});
    EXPECT_EQ(first.out, Listing(PROV_RSA_FULL, {me}));
    EXPECT_EQ(first.err, "");
    EXPECT_EQ(first.status, 0);
    EXPECT_TRUE(ContainerExists(nullptr));
    EXPECT_TRUE(ContainerExists(me));

    const auto before = store.snapshot(false);
    ASSERT_EQ(before.size(), 1u);
    const RunResult second = store.run("Quorvin", {});
    EXPECT_EQ(second.out, first.out);
    EXPECT_EQ(second.status, 0);
    EXPECT_EQ(store.snapshot(false), before) << "the second listing rewrote the default container";
}

TEST(Quorvin, NumbersNamesRightAlignedInThreePlacesAndNeverCutsThem) {
    for (int total : {1, 10, 1000}) {
        Store store;
        std::vector<std::string> names = {DefaultContainerName()};
        for (int i = 1; i < total; ++i) {
            char name[32];
            snprintf(name, sizeof name, "box-%04d", i);
            names.push_back(name);
            CreateContainer(name);
        }
        const RunResult r = store.run("Quorvin", {});
        EXPECT_EQ(r.out, Listing(PROV_RSA_FULL, names)) << total << " names";
        EXPECT_EQ(r.status, 0);
        if (total == 10) {
            EXPECT_NE(r.out.find("\n 10=" + DefaultContainerName() + "\n"), std::string::npos);
        }
        if (total == 1000) {
            EXPECT_NE(r.out.find("\n1000=" + DefaultContainerName() + "\n"), std::string::npos);
        }
    }
}

TEST(Quorvin, PrintsNamesAsTheirBytes) {
    Store store;
    const std::vector<std::string> names = {DefaultContainerName(), "Test Provider", "鍵コンテナ", "50%d%s"};
    for (size_t i = 1; i < names.size(); ++i) CreateContainer(names[i]);
    const RunResult r = store.run("Quorvin", {});
    EXPECT_EQ(r.out, Listing(PROV_RSA_FULL, names));
    EXPECT_EQ(r.status, 0);
}

TEST(Quorvin, RefusedProviderTypesGiveTheErrorLineAlone) {
    for (const char* arg : {"/P:abc", "/P:2", "/P:0", "/P:-1"}) {
        Store store;
        const RunResult r = store.run("Quorvin", {arg});
        EXPECT_TRUE(IsErrorLine(r.out, NTE_BAD_PROV_TYPE)) << arg << ": " << r.out;
        EXPECT_EQ(r.status, 1) << arg;
        EXPECT_FALSE(ContainerExists(nullptr)) << arg;
    }
}

TEST(Quorvin, ProviderTypesShareOneStore) {
    Store store;
    CreateContainer("Shared");
    const RunResult schannel = store.run("Quorvin", {"/P:12"});
    const RunResult aes = store.run("Quorvin", {"/P:1", "/P:24"});
    EXPECT_EQ(schannel.out, Listing(PROV_RSA_SCHANNEL, {"Shared", DefaultContainerName()}));
    EXPECT_EQ(aes.out, Listing(PROV_RSA_AES, {"Shared", DefaultContainerName()}));
    EXPECT_EQ(Names(schannel.out), Names(aes.out));
    EXPECT_EQ(schannel.status, 0);
    EXPECT_EQ(aes.status, 0);
}

TEST(Quorvin, IgnoresContainerNamesAndOtherArguments) {
    Store store;
    CreateContainer("Alpha");
    CreateContainer("Beta");
    const RunResult r = store.run("Quorvin", {"/N:Alpha", "/Z", "/p:24", "extra"});
    EXPECT_EQ(r.out, Listing(PROV_RSA_FULL, {"Alpha", "Beta", DefaultContainerName()}));
    EXPECT_EQ(r.status, 0);
}

TEST(Quorvin, ListsTheMachineAreaApartFromTheUsers) {
    Store store;
    CreateContainer("MachineOnly", true);
    CreateContainer("UserOnly", false);
    const RunResult machine = store.run("Quorvin", {"/M"});
    EXPECT_EQ(machine.out, Listing(PROV_RSA_FULL, {"MachineOnly", DefaultContainerName()}));
    EXPECT_EQ(machine.status, 0);
    EXPECT_TRUE(ContainerExists(nullptr, true));
    EXPECT_FALSE(ContainerExists(nullptr, false)) << "/M created the user's default container";

    const RunResult user = store.run("Quorvin", {});
    EXPECT_EQ(user.out, Listing(PROV_RSA_FULL, {"UserOnly", DefaultContainerName()}));
    const RunResult aesMachine = store.run("Quorvin", {"/P:24", "/M"});
    EXPECT_EQ(aesMachine.out, Listing(PROV_RSA_AES, {"MachineOnly", DefaultContainerName()}));
}

// A name longer than the 1024-byte buffer (one an earlier version made) stops
// the listing with an error line.
TEST(Quorvin, StopsAtANameTooLongForItsBufferWithTheErrorLine) {
    Store store;
    CreateContainer("aaa");
    ASSERT_TRUE(PlantLegacyContainer(std::string(2000, 'z')));
    const RunResult r = store.run("Quorvin", {});
    const std::string listed = "Provider Name=" + ProviderName(PROV_RSA_FULL) + "\n" + kHeading + "  1=aaa\n  2=" +
                               DefaultContainerName() + "\n";
    ASSERT_EQ(r.out.substr(0, listed.size()), listed);
    EXPECT_TRUE(IsErrorLine(r.out.substr(listed.size()), ERROR_MORE_DATA)) << r.out;
    EXPECT_EQ(r.status, 1);
}

}  // namespace
}  // namespace keyhold_test
