// Many sessions signing at once, and a child after fork.
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <thread>

#include "module_fixture.h"

namespace keyhold_test {
namespace {

#if defined(__SANITIZE_ADDRESS__)
#define KEYHOLD_TEST_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define KEYHOLD_TEST_ASAN 1
#endif
#endif
#ifdef KEYHOLD_TEST_ASAN
constexpr bool kForkSafeAllocator = false;
#else
constexpr bool kForkSafeAllocator = true;
#endif

class Concurrency : public ModuleTest {
public:
    static void SetUpTestSuite() {
        ModuleTest::SetUpTestSuite();
        ASSERT_TRUE(MakeStoreKey("shared-key", AT_KEYEXCHANGE, 1024, false, false, nullptr));
    }

protected:
    // Signs and verifies `rounds` times in a session of its own; the number of failures.
    int SignRounds(int rounds) {
        const CK_SESSION_HANDLE session = Open();
        const CK_OBJECT_HANDLE priv = FindKey(session, "shared-key", CKO_PRIVATE_KEY);
        const CK_OBJECT_HANDLE pub = FindKey(session, "shared-key", CKO_PUBLIC_KEY);
        int failures = 0;
        Bytes data(100, 0x5a), signature;
        for (int i = 0; i < rounds; ++i) {
            data[0] = static_cast<unsigned char>(i);
            CK_MECHANISM m{CKM_SHA256_RSA_PKCS, nullptr, 0};
            bool ok = Sign(session, m, priv, data, signature) == CKR_OK;
            ok = ok && p11_->C_VerifyInit(session, &m, pub) == CKR_OK &&
                 p11_->C_Verify(session, data.data(), data.size(), signature.data(), signature.size()) == CKR_OK;
            failures += ok ? 0 : 1;
        }
        p11_->C_CloseSession(session);
        return failures;
    }
};

TEST_F(Concurrency, TwoThreadsSignAtOnce) {
    CK_INFO info{};
    ASSERT_EQ(p11_->C_GetInfo(&info), CKR_OK);
    std::atomic<int> failures{0};
    std::thread other([&] { failures += SignRounds(100); });
    failures += SignRounds(100);
    other.join();
    EXPECT_EQ(failures.load(), 0);
}

TEST_F(Concurrency, ChildAfterForkInitialisesAgain) {
    const CK_SESSION_HANDLE parentSession = Open();
    ASSERT_NE(FindKey(parentSession, "shared-key", CKO_PRIVATE_KEY), 0u);
    // A thread busy in the module while the fork happens: the child must not
    // meet the locks it held. Not under AddressSanitizer, whose allocator
    // (clang 14) is itself not safe across a fork with another thread in it.
    std::atomic<bool> stop{!kForkSafeAllocator};
    std::thread busy([&] {
        while (!stop) SignRounds(1);
    });
    const pid_t child = fork();
    if (child == 0) {
        // Exit codes: each step that fails names itself.
        CK_SESSION_INFO info;
        if (p11_->C_GetSessionInfo(parentSession, &info) != CKR_CRYPTOKI_NOT_INITIALIZED) _exit(2);
        if (p11_->C_Initialize(nullptr) != CKR_OK) _exit(3);
        if (p11_->C_GetSessionInfo(parentSession, &info) != CKR_SESSION_HANDLE_INVALID) _exit(4);
        if (SignRounds(3) != 0) _exit(5);
        if (p11_->C_Finalize(nullptr) != CKR_OK) _exit(6);
        _exit(0);
    }
    ASSERT_GT(child, 0);
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    stop = true;
    busy.join();
    EXPECT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
    // The parent goes on as before.
    CK_SESSION_INFO info;
    EXPECT_EQ(p11_->C_GetSessionInfo(parentSession, &info), CKR_OK);
    EXPECT_EQ(SignRounds(1), 0);
    p11_->C_CloseSession(parentSession);
}

}  // namespace
}  // namespace keyhold_test
