// The command-line scan of every program, through its own option table.
#include <gtest/gtest.h>

#include <stdint.h>

#include <string>
#include <vector>

#include "option_table.h"
#include "tool_frame.h"

namespace {

// Values no option and no default produce, so that every write shows.
ToolOptions Sentinel() {
    ToolOptions o;
    o.providerType = 0xDEAD0001;
    o.containerName = "sentinel-name";
    o.machineKeySet = 0xDEAD0002;
    o.keyFilePath = "sentinel-path";
    o.exportable = 0xDEAD0003;
    o.keyLength = -77;
    o.publicExponent = 0xDEAD0004;
    o.blobType = 0xDEAD0005;
    return o;
}

struct Scan {
    std::vector<std::string> args;
    std::vector<char*> argv;
    ToolOptions options = Sentinel();
    bool result = false;

    Scan(ToolProgram program, std::vector<std::string> arguments) : args(std::move(arguments)) {
        args.insert(args.begin(), "Program");
        for (auto& a : args) argv.push_back(a.data());
        argv.push_back(nullptr);
        result = ParseArgs(program, static_cast<int>(args.size()), argv.data(), &options);
    }
};

const ToolProgram kAllPrograms[] = {TOOL_VANDREL, TOOL_TESSARO, TOOL_MORBECK, TOOL_FALDREN,
                                    TOOL_OMBRIX,  TOOL_QUORVIN, TOOL_ZETRASK};

std::vector<std::string> TableTexts(ToolProgram program) {
    size_t count = 0;
    const OptionEntry* table = ProgramOptionTable(program, &count);
    std::vector<std::string> texts;
    for (size_t i = 0; i < count; ++i) texts.push_back(table[i].text);
    return texts;
}

TEST(Defaults, AreTheDocumentedOnes) {
    ToolOptions o = Sentinel();
    SetDefaultOptions(&o);
    EXPECT_EQ(o.providerType, 1u);
    EXPECT_EQ(o.containerName, nullptr);
    EXPECT_EQ(o.machineKeySet, 0u);
    EXPECT_EQ(o.keyFilePath, nullptr);
    EXPECT_EQ(o.exportable, 0u);
    EXPECT_EQ(o.keyLength, 2048);
    EXPECT_EQ(o.publicExponent, 65537u);
    EXPECT_EQ(o.blobType, 6u);
}

TEST(OptionTables, ListEachProgramsOptionsInTestOrder) {
    using V = std::vector<std::string>;
    EXPECT_EQ(TableTexts(TOOL_VANDREL), (V{"/?", "/P:", "/N:", "/M"}));
    EXPECT_EQ(TableTexts(TOOL_MORBECK), (V{"/?", "/P:", "/N:", "/E:", "/L:", "/F:", "/M", "/X"}));
    EXPECT_EQ(TableTexts(TOOL_TESSARO), (V{"/?", "/P:", "/N:", "/F:", "/L:", "/M", "/X"}));
    EXPECT_EQ(TableTexts(TOOL_OMBRIX), (V{"/?", "/P:", "/N:", "/F:", "/M", "/X"}));
    EXPECT_EQ(TableTexts(TOOL_FALDREN), (V{"/?", "/P:", "/N:", "/F:", "/K:", "/M"}));
    EXPECT_EQ(TableTexts(TOOL_QUORVIN), (V{"/?", "/P:", "/M"}));
    EXPECT_EQ(TableTexts(TOOL_ZETRASK), (V{"/?", "/N:", "/M"}));
}

TEST(OptionTables, PairEveryOptionWithItsKindAndField) {
    struct Expect {
        const char* text;
        OptionKind kind;
        OptionField field;
    };
    const Expect expected[] = {
        {"/?", OPTION_USAGE, FIELD_NONE},
        {"/P:", OPTION_UNSIGNED, FIELD_PROVIDER_TYPE},
        {"/N:", OPTION_TEXT, FIELD_CONTAINER_NAME},
        {"/M", OPTION_FLAG, FIELD_MACHINE_KEYSET},
        {"/F:", OPTION_TEXT, FIELD_KEY_FILE_PATH},
        {"/X", OPTION_FLAG, FIELD_EXPORTABLE},
        {"/L:", OPTION_SIGNED, FIELD_KEY_LENGTH},
        {"/E:", OPTION_UNSIGNED, FIELD_PUBLIC_EXPONENT},
        {"/K:", OPTION_UNSIGNED, FIELD_BLOB_TYPE},
    };
    for (ToolProgram program : kAllPrograms) {
        size_t count = 0;
        const OptionEntry* table = ProgramOptionTable(program, &count);
        for (size_t i = 0; i < count; ++i) {
            bool found = false;
            for (const Expect& e : expected) {
                if (std::string(e.text) != table[i].text) continue;
                found = true;
                EXPECT_EQ(table[i].kind, e.kind) << "program " << program << " " << e.text;
                EXPECT_EQ(table[i].field, e.field) << "program " << program << " " << e.text;
            }
            EXPECT_TRUE(found) << table[i].text;
        }
    }
}

// Which fields one argument of each option changes, per program: only the
// program's own options may write anything.
TEST(Scan, WritesOnlyTheProgramsOwnFields) {
    for (ToolProgram program : kAllPrograms) {
        const std::vector<std::string> own = TableTexts(program);
        auto has = [&](const char* text) {
            for (const auto& t : own)
                if (t == text) return true;
            return false;
        };
        const Scan s(program, {"/P:7", "/N:name", "/M", "/F:file", "/X", "/L:1024", "/E:3", "/K:7"});
        const ToolOptions sentinel = Sentinel();
        SCOPED_TRACE(testing::Message() << "program " << program);
        EXPECT_TRUE(s.result);
        EXPECT_EQ(s.options.providerType, has("/P:") ? 7u : sentinel.providerType);
        EXPECT_STREQ(s.options.containerName, has("/N:") ? "name" : sentinel.containerName);
        EXPECT_EQ(s.options.machineKeySet, has("/M") ? 1u : sentinel.machineKeySet);
        EXPECT_STREQ(s.options.keyFilePath, has("/F:") ? "file" : sentinel.keyFilePath);
        EXPECT_EQ(s.options.exportable, has("/X") ? 1u : sentinel.exportable);
        EXPECT_EQ(s.options.keyLength, has("/L:") ? 1024 : sentinel.keyLength);
        EXPECT_EQ(s.options.publicExponent, has("/E:") ? 3u : sentinel.publicExponent);
        EXPECT_EQ(s.options.blobType, has("/K:") ? 7u : sentinel.blobType);
    }
}

TEST(Scan, ProgramsWithoutAnOptionIgnoreIt) {
    EXPECT_EQ(Scan(TOOL_ZETRASK, {"/P:24"}).options.providerType, Sentinel().providerType);
    EXPECT_STREQ(Scan(TOOL_QUORVIN, {"/N:Some"}).options.containerName, Sentinel().containerName);
    for (ToolProgram p : kAllPrograms) {
        const Scan s(p, {"/K:7", "/E:3", "/L:512", "/X"});
        EXPECT_EQ(s.options.blobType == 7u, p == TOOL_FALDREN) << p;
        EXPECT_EQ(s.options.publicExponent == 3u, p == TOOL_MORBECK) << p;
        EXPECT_EQ(s.options.keyLength == 512, p == TOOL_TESSARO || p == TOOL_MORBECK) << p;
        EXPECT_EQ(s.options.exportable == 1u, p == TOOL_TESSARO || p == TOOL_MORBECK || p == TOOL_OMBRIX)
            << p;
    }
}

TEST(Scan, NoArgumentsSucceedsAndWritesNothing) {
    for (ToolProgram p : kAllPrograms) {
        const Scan s(p, {});
        EXPECT_TRUE(s.result);
        EXPECT_EQ(s.options.providerType, Sentinel().providerType);
        EXPECT_STREQ(s.options.containerName, Sentinel().containerName);
        EXPECT_EQ(s.options.machineKeySet, Sentinel().machineKeySet);
    }
}

TEST(Scan, UsageRequestStopsTheScanWhereverItStands) {
    for (ToolProgram p : kAllPrograms) {
        SCOPED_TRACE(testing::Message() << "program " << p);
        EXPECT_FALSE(Scan(p, {"/?"}).result);
        EXPECT_FALSE(Scan(p, {"/M", "/?"}).result);
        EXPECT_FALSE(Scan(p, {"/?trailing"}).result);
        // Nothing after /? is read.
        const Scan after(p, {"/?", "/M", "/N:late"});
        EXPECT_FALSE(after.result);
        EXPECT_EQ(after.options.machineKeySet, Sentinel().machineKeySet);
        EXPECT_STREQ(after.options.containerName, Sentinel().containerName);
    }
    // What stands before it was scanned already.
    const Scan before(TOOL_VANDREL, {"/P:12", "/?", "/P:24"});
    EXPECT_FALSE(before.result);
    EXPECT_EQ(before.options.providerType, 12u);
}

TEST(Scan, MatchesCaseSensitivePrefixesAtTheStartOnly) {
    const Scan lower(TOOL_TESSARO, {"/p:5", "/n:Test", "/m", "/x", "/f:file", "/l:512"});
    EXPECT_TRUE(lower.result);
    EXPECT_EQ(lower.options.providerType, Sentinel().providerType);
    EXPECT_STREQ(lower.options.containerName, Sentinel().containerName);
    EXPECT_EQ(lower.options.machineKeySet, Sentinel().machineKeySet);
    EXPECT_EQ(lower.options.exportable, Sentinel().exportable);
    EXPECT_STREQ(lower.options.keyFilePath, Sentinel().keyFilePath);
    EXPECT_EQ(lower.options.keyLength, Sentinel().keyLength);

    const Scan notAtStart(TOOL_TESSARO, {"x/P:5", " /M", "P:5", "/P5", "-M", "/Z"});
    EXPECT_TRUE(notAtStart.result);
    EXPECT_EQ(notAtStart.options.providerType, Sentinel().providerType);
    EXPECT_EQ(notAtStart.options.machineKeySet, Sentinel().machineKeySet);

    const Scan flags(TOOL_MORBECK, {"/Mxyz", "/Xanything"});
    EXPECT_EQ(flags.options.machineKeySet, 1u);
    EXPECT_EQ(flags.options.exportable, 1u);

    EXPECT_TRUE(Scan(TOOL_QUORVIN, {"/x?", "?/", "//?"}).result);
}

TEST(Scan, LaterOccurrencesOverwriteEarlierOnes) {
    const Scan s(TOOL_FALDREN, {"/P:1", "/N:First", "/K:6", "/P:24", "/N:Second", "/K:7"});
    EXPECT_EQ(s.options.providerType, 24u);
    EXPECT_STREQ(s.options.containerName, "Second");
    EXPECT_EQ(s.options.blobType, 7u);
}

TEST(Scan, TextOptionsPointIntoTheArgument) {
    Scan s(TOOL_OMBRIX, {"/N:", "/F:key file.bin"});
    ASSERT_NE(s.options.containerName, nullptr);
    EXPECT_EQ(s.options.containerName, s.argv[1] + 3);  // an empty name, not an absent one
    EXPECT_STREQ(s.options.containerName, "");
    EXPECT_EQ(s.options.keyFilePath, s.argv[2] + 3);
    EXPECT_STREQ(s.options.keyFilePath, "key file.bin");
}

DWORD ScannedProviderType(const char* argument) {
    return Scan(TOOL_QUORVIN, {argument}).options.providerType;
}

TEST(Scan, UnsignedValuesConvertAsStrtoul) {
    EXPECT_EQ(ScannedProviderType("/P:abc"), 0u);
    EXPECT_EQ(ScannedProviderType("/P:"), 0u);
    EXPECT_EQ(ScannedProviderType("/P:+"), 0u);
    EXPECT_EQ(ScannedProviderType("/P:- 5"), 0u);
    EXPECT_EQ(ScannedProviderType("/P:12xyz"), 12u);
    EXPECT_EQ(ScannedProviderType("/P: +7"), 7u);
    EXPECT_EQ(ScannedProviderType("/P:\t 24"), 24u);
    EXPECT_EQ(ScannedProviderType("/P:0012"), 12u);
    EXPECT_EQ(ScannedProviderType("/P:-1"), 4294967295u);
    EXPECT_EQ(ScannedProviderType("/P:-0"), 0u);
    EXPECT_EQ(ScannedProviderType("/P:4294967295"), 4294967295u);
    // 32-bit unsigned long: out of range saturates, a sign negates modulo 2^32.
    EXPECT_EQ(ScannedProviderType("/P:4294967296"), 4294967295u);
    EXPECT_EQ(ScannedProviderType("/P:99999999999999999999999"), 4294967295u);
    EXPECT_EQ(ScannedProviderType("/P:-4294967295"), 1u);
    EXPECT_EQ(ScannedProviderType("/P:-4294967296"), 4294967295u);
    // /E: and /K: convert the same way.
    EXPECT_EQ(Scan(TOOL_MORBECK, {"/E:-1"}).options.publicExponent, 4294967295u);
    EXPECT_EQ(Scan(TOOL_MORBECK, {"/E: 65537tail"}).options.publicExponent, 65537u);
    EXPECT_EQ(Scan(TOOL_FALDREN, {"/K:7x"}).options.blobType, 7u);
    EXPECT_EQ(Scan(TOOL_FALDREN, {"/K:x7"}).options.blobType, 0u);
}

TEST(Scan, KeyLengthConvertsAsAtoi) {
    auto length = [](const char* argument) { return Scan(TOOL_TESSARO, {argument}).options.keyLength; };
    EXPECT_EQ(length("/L:-5"), -5);
    EXPECT_EQ(length("/L:4096"), 4096);
    EXPECT_EQ(length("/L:  +1024bits"), 1024);
    EXPECT_EQ(length("/L:abc"), 0);
    EXPECT_EQ(length("/L:"), 0);
    EXPECT_EQ(length("/L:2147483647"), INT32_MAX);
    EXPECT_EQ(length("/L:-2147483648"), INT32_MIN);
    EXPECT_EQ(length("/L:2147483648"), INT32_MAX);
    EXPECT_EQ(length("/L:-99999999999999999999"), INT32_MIN);
    EXPECT_EQ(Scan(TOOL_MORBECK, {"/L:-5"}).options.keyLength, -5);
}

}  // namespace
