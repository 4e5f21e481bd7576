// Every program under every address-space limit from 5,000 to 24,000 KB, in
// steps of 100 KB: each run ends with status 0 or 1 and prints its normal
// output, or what it printed before the failure and one error line. Only the
// dynamic loader's own failure at the lowest limits (status 127, before the
// program starts) is let through.
#include "program_test_support.h"

namespace keyhold_test {
namespace {

const std::string kErrorLine = "(Error\\[[0-9a-f]{8}\\]=|RSA_generate_key: Error=)[^\n]*\n";

struct Subject {
    std::string program;
    std::vector<std::string> args;
    std::string normal;  // the whole output of a run with memory to spare
    std::string before;  // what may come before the error line
};

TEST(MemoryLimit, EveryProgramReportsRatherThanCrashes) {
#ifdef KEYHOLD_SANITIZED
    GTEST_SKIP() << "the sanitizers' own shadow memory does not fit under these limits";
#endif
    Store store;
    CreateContainer("v");
    HCRYPTPROV context = 0;
    ASSERT_TRUE(CryptAcquireContextA(&context, "v", nullptr, PROV_RSA_FULL, 0));
    HCRYPTKEY key = 0;
    ASSERT_TRUE(CryptGenKey(context, AT_KEYEXCHANGE, (512u << 16) | CRYPT_EXPORTABLE, &key));
    CryptDestroyKey(key);
    CryptReleaseContext(context, 0);
    const std::string keyFile = store.root() + "/../v.key";
    ASSERT_EQ(store.run("Faldren", {"/N:v", "/K:7", "/F:" + keyFile}).status, 0);

    const std::string listed = "Provider Name=[^\n]*\n(> Key Container Name List\n(  [0-9]+=[^\n]*\n)*)?";
    const std::vector<Subject> subjects = {
        {"Vandrel", {"/N:v"}, "Container Name=v\n(KP_[^\n]*\n(\t[^\n]*\n)*)+", "Container Name=v\n"},
        {"Tessaro", {"/N:t", "/L:512"}, kTimeLine, ""},
        {"Morbeck", {"/N:m", "/L:512"}, kTimeLine, kTimeLine},
        {"Faldren", {"/N:v", "/K:7", "/F:" + keyFile + ".out"}, "Export file\\[[^\n]*\\] succeeded.\n", ""},
        {"Ombrix", {"/N:o", "/F:" + keyFile}, "Import file\\[[^\n]*\\] succeeded.\n", ""},
        {"Quorvin", {}, listed, listed},
        {"Zetrask", {"/N:z"}, "[^\n]*\\[z\\][^\n]*\n", ""},
    };
    unsigned runs = 0, loaderFailures = 0, reported = 0;
    for (const Subject& s : subjects) {
        for (unsigned kb = 5000; kb <= 24000; kb += 100) {
            SCOPED_TRACE(s.program + " at " + std::to_string(kb) + " KB");
            if (s.program == "Zetrask" && !ContainerExists("z")) CreateContainer("z");
            std::vector<std::string> args = {"-c", "ulimit -v " + std::to_string(kb) + " && exec \"$0\" \"$@\"",
                                             ProgramPath(s.program)};
            args.insert(args.end(), s.args.begin(), s.args.end());
            const RunResult r = RunProgram("/bin/sh", args, store.options());
            ++runs;
            if (r.status == 127 && r.out.empty()) {
                ++loaderFailures;
                continue;
            }
            const bool normal = Matches(r.out, s.normal) && r.status == 0;
            const bool failed = Matches(r.out, "(" + s.before + ")?" + kErrorLine) && (r.status == 0 || r.status == 1);
            EXPECT_TRUE(normal || failed) << "status " << r.status << "\n" << r.out;
            reported += failed;
            if (HasFailure()) return;
        }
    }
    printf("[ figures  ] %u runs: %u refused by the loader, %u reported a failure, the rest ran normally\n", runs,
           loaderFailures, reported);
}

}  // namespace
}  // namespace keyhold_test
