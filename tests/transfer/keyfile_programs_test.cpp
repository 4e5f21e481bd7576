// Faldren and Ombrix end to end: messages, exit statuses and what they leave
// behind in the working directory and the key store.
#include <gtest/gtest.h>

#include "transfer_support.h"

using namespace transfer_test;

namespace {

const std::string kBadKeyset = ErrorLinePattern(0x80090016);
const std::string kNoKey = ErrorLinePattern(0x8009000D);

// A sandbox whose container "K" holds an exportable 1024-bit pair.
class KeyFileProgramsTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        box_ = new Sandbox;
        const RunResult r = box_->Run("Morbeck", {"/N:K", "/L:1024", "/X"});
        ASSERT_EQ(r.status, 0) << r.out;
    }
    static void TearDownTestSuite() {
        delete box_;
        box_ = nullptr;
    }
    void SetUp() override {
        // Each test starts from an empty working directory.
        for (const std::string& name : Entries(box_->Work())) {
            const std::string path = box_->File(name);
            if (remove(path.c_str()) != 0) rmdir(path.c_str());
        }
    }
    const Sandbox& box() const { return *box_; }
    static Sandbox* box_;
};
Sandbox* KeyFileProgramsTest::box_ = nullptr;

TEST_F(KeyFileProgramsTest, FaldrenWithoutFileOnlyTests) {
    RunResult r = box().Run("Faldren", {"/N:K"});
    EXPECT_EQ(r.out, "Export file[Virtual Test] succeeded.\n");
    EXPECT_EQ(r.status, 0);
    r = box().Run("Faldren", {"/N:K", "/K:7", "/Z"});
    EXPECT_EQ(r.out, "Export file[Virtual Test] succeeded.\n");
    EXPECT_EQ(r.status, 0);
    EXPECT_TRUE(Entries(box().Work()).empty());
}

TEST_F(KeyFileProgramsTest, FaldrenWritesTheBlobTypeAsked) {
    RunResult r = box().Run("Faldren", {"/F:pub.key", "/N:K"});
    EXPECT_EQ(r.out, "Export file[pub.key] succeeded.\n");
    const BlobView pub = ViewBlob(ReadBytes(box().File("pub.key")));
    EXPECT_EQ(pub.type, 6);
    EXPECT_EQ(ReadBytes(box().File("pub.key")).size(), 20u + 128);

    r = box().Run("Faldren", {"/F:priv.key", "/N:K", "/K:7"});
    EXPECT_EQ(r.out, "Export file[priv.key] succeeded.\n");
    const BlobView priv = ViewBlob(ReadBytes(box().File("priv.key")));
    EXPECT_EQ(priv.type, 7);
    EXPECT_EQ(priv.modulusHex, pub.modulusHex);
    EXPECT_EQ(ModeOf(box().File("priv.key")), 0600u);
}

TEST_F(KeyFileProgramsTest, FaldrenReplacesALongerFileWithExactlyTheBlob) {
    WriteBytes(box().File("long.key"), std::string(5000, 'x'));
    ASSERT_EQ(chmod(box().File("long.key").c_str(), 0640), 0);
    const RunResult r = box().Run("Faldren", {"/F:long.key", "/N:K"});
    EXPECT_EQ(r.out, "Export file[long.key] succeeded.\n");
    EXPECT_EQ(r.status, 0);
    const std::string bytes = ReadBytes(box().File("long.key"));
    EXPECT_EQ(bytes.size(), 20u + 128);
    EXPECT_EQ(ViewBlob(bytes).type, 6);
    EXPECT_EQ(ModeOf(box().File("long.key")), 0640u);
    EXPECT_EQ(Entries(box().Work()), std::set<std::string>{"long.key"});
}

TEST_F(KeyFileProgramsTest, FaldrenFailuresWriteNothing) {
    WriteBytes(box().File("keep.key"), "precious");
    struct Case {
        std::vector<std::string> args;
        uint32_t code;
    } cases[] = {
        {{"/N:K", "/K:abc", "/F:keep.key"}, 0x8009000A},  // blob type 0
        {{"/N:K", "/K:8", "/F:keep.key"}, 0x8009000A},
        {{"/N:Nobody", "/F:keep.key"}, 0x80090016},
        {{"/N:K", "/F:"}, 3},
        {{"/N:K", "/F:nodir/x.key"}, 3},
        {{"/N:K", "/P:2", "/F:keep.key"}, 0x80090014},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.args[1]);
        const RunResult r = box().Run("Faldren", c.args);
        EXPECT_TRUE(Matches(r.out, ErrorLinePattern(c.code))) << r.out;
        EXPECT_EQ(r.status, 1);
    }
    EXPECT_EQ(ReadBytes(box().File("keep.key")), "precious");
    EXPECT_EQ(Entries(box().Work()), std::set<std::string>{"keep.key"});
    EXPECT_FALSE(box().HasContainer("Nobody"));
}

TEST_F(KeyFileProgramsTest, OmbrixMovesPublicAndPrivateBlobs) {
    ASSERT_EQ(box().Run("Faldren", {"/N:K", "/F:k.pub"}).status, 0);
    ASSERT_EQ(box().Run("Faldren", {"/N:K", "/F:k.key", "/K:7"}).status, 0);

    // A public key lands in an empty container as a public-only key.
    RunResult r = box().Run("Ombrix", {"/F:k.pub", "/N:PubOnly"});
    EXPECT_EQ(r.out, "Import file[k.pub] succeeded.\n");
    EXPECT_EQ(r.status, 0);
    r = box().Run("Faldren", {"/N:PubOnly", "/F:back.pub"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(ReadBytes(box().File("back.pub")), ReadBytes(box().File("k.pub")));
    r = box().Run("Faldren", {"/N:PubOnly", "/K:7"});
    EXPECT_TRUE(Matches(r.out, ErrorLinePattern(0x8009000B))) << r.out;
    if (HaveProgram("Vandrel")) {
        r = box().Run("Vandrel", {"/N:PubOnly"});
        EXPECT_EQ(r.out.rfind("Container Name=PubOnly\n", 0), 0u) << r.out;
        EXPECT_NE(r.out.find("\t65537 [0x00010001]\n\t0x 01 00 01 (little endian) \n"), std::string::npos)
            << r.out;
    }

    // Without /X the imported pair stays inside.
    r = box().Run("Ombrix", {"/N:Locked", "/F:k.key"});
    EXPECT_EQ(r.out, "Import file[k.key] succeeded.\n");
    r = box().Run("Faldren", {"/N:Locked", "/K:7"});
    EXPECT_TRUE(Matches(r.out, ErrorLinePattern(0x8009000B))) << r.out;

    // The machine area is a store of its own.
    r = box().Run("Ombrix", {"/M", "/N:Shared", "/X", "/F:k.key"});
    EXPECT_EQ(r.out, "Import file[k.key] succeeded.\n");
    EXPECT_TRUE(box().HasContainer("Shared", true));
    EXPECT_FALSE(box().HasContainer("Shared", false));
    r = box().Run("Faldren", {"/M", "/N:Shared", "/K:7", "/F:m.key"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(ReadBytes(box().File("m.key")), ReadBytes(box().File("k.key")));
}

TEST_F(KeyFileProgramsTest, OmbrixReadFailuresTouchNoContainer) {
    ASSERT_EQ(mkdir(box().File("dir").c_str(), 0755), 0);
    ASSERT_EQ(symlink("nowhere", box().File("dangling").c_str()), 0);
    struct Case {
        std::vector<std::string> args;
        std::string pattern;
    } cases[] = {
        {{"/M"}, ErrorLinePattern(3)},
        {{"/N:R1", "/X"}, ErrorLinePattern(3)},
        {{"/N:R1", "/F:missing.key"}, ErrorLinePattern(2)},
        {{"/N:R1", "/F:dangling"}, ErrorLinePattern(2)},
        {{"/N:R1", "/F:dir"}, "Error\\[[0-9a-f]{8}\\]=[^\n]+\n"},
        {{"/N:R1", "/F:/dev/null"}, "Error\\[[0-9a-f]{8}\\]=[^\n]+\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.args.back());
        const RunResult r = box().Run("Ombrix", c.args);
        EXPECT_TRUE(Matches(r.out, c.pattern)) << r.out;
        EXPECT_EQ(r.status, 1);
    }
    WriteBytes(box().File("huge.key"), "");
    ASSERT_EQ(truncate(box().File("huge.key").c_str(), (off_t)0x100000000 + 20), 0);
    const RunResult huge = box().Run("Ombrix", {"/N:R1", "/F:huge.key"});
    EXPECT_TRUE(Matches(huge.out, ErrorLinePattern(223))) << huge.out;
    EXPECT_EQ(huge.status, 1);

    EXPECT_FALSE(box().HasContainer("R1"));
    // Nor the machine area's default container, which /M alone would have used.
    EXPECT_TRUE(Matches(box().Run("Faldren", {"/M"}).out, kBadKeyset));
}

TEST_F(KeyFileProgramsTest, OmbrixRefusedBlobLeavesTheCreatedContainer) {
    WriteBytes(box().File("empty.key"), "");
    WriteBytes(box().File("junk.key"), std::string("\x06\x02\x00\x00\x00\xa4\x00\x00RSA1", 12));
    struct Case {
        std::string file;
        std::string container;
        uint32_t code;
    } cases[] = {
        {"empty.key", "E1", 87},
        {"junk.key", "E3", 0x80090005},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.file);
        const RunResult r = box().Run("Ombrix", {"/F:" + c.file, "/N:" + c.container});
        EXPECT_TRUE(Matches(r.out, ErrorLinePattern(c.code))) << r.out;
        EXPECT_EQ(r.status, 1);
        const RunResult f = box().Run("Faldren", {"/N:" + c.container});
        EXPECT_TRUE(Matches(f.out, kNoKey)) << f.out;
    }
}

}  // namespace
