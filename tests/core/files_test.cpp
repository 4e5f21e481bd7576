#include <windows.h>

#include <errno.h>
#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "file_bytes.h"
#include "run_program.h"

using keyhold_test::Exists;
using keyhold_test::ReadBytes;
using keyhold_test::TempDir;
using keyhold_test::WriteBytes;

namespace {

// The opens the key blob file operations make, and a plain writer.
HANDLE OpenForWrite(const std::string& path, DWORD disposition = CREATE_ALWAYS, HANDLE templ = nullptr) {
    return CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, nullptr, disposition,
                       FILE_ATTRIBUTE_NORMAL, templ);
}
HANDLE OpenForRead(const std::string& path) {
    return CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL,
                       nullptr);
}

// Fails the test unless the open failed with `code`; closes a handle that
// should not have been opened.
void ExpectOpenFails(HANDLE handle, DWORD code, const std::string& what) {
    EXPECT_EQ(handle, INVALID_HANDLE_VALUE) << what;
    if (handle != INVALID_HANDLE_VALUE) {
        CloseHandle(handle);
        return;
    }
    EXPECT_EQ(GetLastError(), code) << what;
}


mode_t ModeOf(const std::string& path) {
    struct stat st {};
    stat(path.c_str(), &st);
    return st.st_mode & 07777;
}

bool WriteAll(HANDLE file, const std::string& data) {
    DWORD written = 0;
    return WriteFile(file, data.data(), static_cast<DWORD>(data.size()), &written, nullptr) &&
           written == data.size();
}

class Files : public ::testing::Test {
protected:
    void SetUp() override { oldMask_ = umask(022); }
    void TearDown() override { umask(oldMask_); }
    TempDir dir_;
    mode_t oldMask_ = 0;
};

}  // namespace

TEST_F(Files, CreateAlwaysCreatesPrivateFileThenReplacesAndTruncates) {
    const std::string path = dir_ / "pair.key";
    HANDLE file = OpenForWrite(path);
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    EXPECT_NE(file, nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SUCCESS));  // it was not there
    EXPECT_TRUE(WriteAll(file, std::string(1000, 'a')));
    EXPECT_TRUE(CloseHandle(file));
    EXPECT_EQ(ModeOf(path), 0600u);

    file = OpenForWrite(path);
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ALREADY_EXISTS));
    EXPECT_EQ(GetFileSize(file, nullptr), 0u);  // replaced: the old length is gone at once
    EXPECT_TRUE(WriteAll(file, "short"));
    EXPECT_TRUE(CloseHandle(file));
    EXPECT_EQ(ReadBytes(path), "short");
}

TEST_F(Files, DispositionsForMissingAndExistingFiles) {
    const std::string missing = dir_ / "missing.key";
    ExpectOpenFails(OpenForRead(missing), ERROR_FILE_NOT_FOUND, "open missing");
    ExpectOpenFails(OpenForWrite(missing, TRUNCATE_EXISTING), ERROR_FILE_NOT_FOUND, "truncate missing");
    ExpectOpenFails(OpenForRead(dir_ / "nodir/x.key"), ERROR_PATH_NOT_FOUND, "missing directory");
    ExpectOpenFails(OpenForWrite(dir_ / "nodir/x.key"), ERROR_PATH_NOT_FOUND, "create in missing directory");
    ExpectOpenFails(OpenForWrite(""), ERROR_PATH_NOT_FOUND, "empty name");
    ExpectOpenFails(CreateFileA(nullptr, GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr), ERROR_PATH_NOT_FOUND,
                    "null name");
    EXPECT_FALSE(Exists(missing));

    const std::string existing = dir_ / "existing.key";
    WriteBytes(existing, "content");
    ExpectOpenFails(OpenForWrite(existing, CREATE_NEW), ERROR_FILE_EXISTS, "create new over existing");
    EXPECT_EQ(ReadBytes(existing), "content");

    HANDLE file = OpenForWrite(existing, OPEN_ALWAYS);
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ALREADY_EXISTS));
    EXPECT_EQ(GetFileSize(file, nullptr), 7u);  // kept
    CloseHandle(file);

    file = OpenForWrite(existing, TRUNCATE_EXISTING);
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetFileSize(file, nullptr), 0u);
    CloseHandle(file);

    file = OpenForWrite(dir_ / "new.key", CREATE_NEW);
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    CloseHandle(file);
    EXPECT_EQ(ModeOf(dir_ / "new.key"), 0600u);

    ExpectOpenFails(CreateFileA(existing.c_str(), GENERIC_READ, 0, nullptr, 9, 0, nullptr), ERROR_INVALID_PARAMETER,
                    "unknown disposition");
}

TEST_F(Files, WritersExcludeOthersAndReadersShare) {
    const std::string path = dir_ / "shared.key";
    WriteBytes(path, "blob");

    HANDLE writer = OpenForWrite(path, OPEN_EXISTING);
    ASSERT_NE(writer, INVALID_HANDLE_VALUE);
    ExpectOpenFails(OpenForWrite(path, OPEN_EXISTING), ERROR_SHARING_VIOLATION, "second writer");
    ExpectOpenFails(OpenForRead(path), ERROR_SHARING_VIOLATION, "reader while writing");
    EXPECT_TRUE(CloseHandle(writer));  // the lock goes with the handle

    HANDLE reader1 = OpenForRead(path);
    HANDLE reader2 = OpenForRead(path);
    ASSERT_NE(reader1, INVALID_HANDLE_VALUE);
    ASSERT_NE(reader2, INVALID_HANDLE_VALUE);
    ExpectOpenFails(OpenForWrite(path, OPEN_EXISTING), ERROR_SHARING_VIOLATION, "writer while reading");
    // A refused replacement leaves the file as it was: truncation waits for the lock.
    ExpectOpenFails(OpenForWrite(path, CREATE_ALWAYS), ERROR_SHARING_VIOLATION, "replace while reading");
    ExpectOpenFails(OpenForWrite(path, TRUNCATE_EXISTING), ERROR_SHARING_VIOLATION, "truncate while reading");
    EXPECT_EQ(ReadBytes(path), "blob");
    CloseHandle(reader1);
    CloseHandle(reader2);

    writer = OpenForWrite(path, CREATE_ALWAYS);
    EXPECT_NE(writer, INVALID_HANDLE_VALUE);
    CloseHandle(writer);
}

TEST_F(Files, WholeLengthMovesInOneRequest) {
    const std::string path = dir_ / "big.key";
    std::string data(5 * 1024 * 1024 + 7, '\0');
    for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<char>(i * 131 + (i >> 12));
    HANDLE file = OpenForWrite(path);
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    DWORD written = 0;
    ASSERT_TRUE(WriteFile(file, data.data(), static_cast<DWORD>(data.size()), &written, nullptr));
    EXPECT_EQ(written, data.size());
    EXPECT_TRUE(FlushFileBuffers(file));
    EXPECT_TRUE(CloseHandle(file));

    file = OpenForRead(path);
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    ASSERT_EQ(GetFileSize(file, nullptr), data.size());
    std::string back(data.size(), '\0');
    DWORD read = 0;
    ASSERT_TRUE(ReadFile(file, back.data(), static_cast<DWORD>(back.size()), &read, nullptr));
    EXPECT_EQ(read, data.size());
    EXPECT_TRUE(back == data);
    // Reading nothing at the end is no failure; reading something is.
    EXPECT_TRUE(ReadFile(file, back.data(), 0, &read, nullptr));
    EXPECT_EQ(read, 0u);
    CloseHandle(file);
}

TEST_F(Files, ShortReadAtEndOfFileFails) {
    const std::string path = dir_ / "short.key";
    WriteBytes(path, "0123456789");
    HANDLE file = OpenForRead(path);
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    char buffer[20] = {};
    DWORD read = 99;
    EXPECT_FALSE(ReadFile(file, buffer, sizeof buffer, &read, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_HANDLE_EOF));
    EXPECT_EQ(read, 10u);  // the count moved is still told
    EXPECT_EQ(std::string(buffer, 10), "0123456789");
    EXPECT_FALSE(ReadFile(file, buffer, 1, &read, nullptr));
    EXPECT_EQ(read, 0u);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_HANDLE_EOF));
    CloseHandle(file);
}

TEST_F(Files, AccessNotGrantedAndOverlappedAreRefused) {
    const std::string path = dir_ / "access.key";
    WriteBytes(path, "data");
    char buffer[4];
    DWORD count = 0;

    HANDLE reader = OpenForRead(path);
    ASSERT_NE(reader, INVALID_HANDLE_VALUE);
    EXPECT_FALSE(WriteFile(reader, "x", 1, &count, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    EXPECT_FALSE(FlushFileBuffers(reader));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    OVERLAPPED overlapped{};
    EXPECT_FALSE(ReadFile(reader, buffer, sizeof buffer, &count, &overlapped));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    CloseHandle(reader);
    EXPECT_EQ(ReadBytes(path), "data");

    HANDLE writer = CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(writer, INVALID_HANDLE_VALUE);
    EXPECT_FALSE(ReadFile(writer, buffer, sizeof buffer, &count, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    EXPECT_FALSE(WriteFile(writer, "x", 1, &count, &overlapped));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    CloseHandle(writer);

    ExpectOpenFails(CreateFileA(path.c_str(), 0, 0, nullptr, OPEN_EXISTING, 0, nullptr), ERROR_INVALID_PARAMETER,
                    "no access");
    ExpectOpenFails(CreateFileA(path.c_str(), GENERIC_READ, 0, nullptr, TRUNCATE_EXISTING, 0, nullptr),
                    ERROR_INVALID_PARAMETER, "truncate without write access");
}

TEST_F(Files, UnknownAndClosedHandlesAreRefused) {
    HANDLE file = OpenForWrite(dir_ / "closed.key");
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    ASSERT_TRUE(CloseHandle(file));
    int local = 0;
    for (HANDLE bad : {file, static_cast<HANDLE>(nullptr), INVALID_HANDLE_VALUE, static_cast<HANDLE>(&local),
                       reinterpret_cast<HANDLE>(static_cast<uintptr_t>(3) << 32)}) {
        char buffer[4];
        DWORD count = 0;
        EXPECT_FALSE(ReadFile(bad, buffer, sizeof buffer, &count, nullptr));
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
        EXPECT_FALSE(WriteFile(bad, "x", 1, &count, nullptr));
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
        EXPECT_EQ(GetFileSize(bad, nullptr), INVALID_FILE_SIZE);
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
        EXPECT_FALSE(FlushFileBuffers(bad));
        EXPECT_FALSE(CloseHandle(bad));
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    }
}

TEST_F(Files, SizeBeyondFourGibibytes) {
    const std::string path = dir_ / "sparse.key";
    HANDLE file = OpenForWrite(path);
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    CloseHandle(file);
    if (truncate(path.c_str(), 0x100000001LL) != 0) GTEST_SKIP() << "the file system refuses a 4 GiB sparse file";

    file = OpenForRead(path);
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetFileSize(file, nullptr), INVALID_FILE_SIZE);  // never the low half, 1
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_TOO_LARGE));
    DWORD high = 0;
    EXPECT_EQ(GetFileSize(file, &high), 1u);
    EXPECT_EQ(high, 1u);
    CloseHandle(file);

    // A low half of 0xFFFFFFFF is a size, told apart by a zero last error.
    ASSERT_EQ(truncate(path.c_str(), 0x1FFFFFFFFLL), 0);
    file = OpenForRead(path);
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    SetLastError(ERROR_GEN_FAILURE);
    EXPECT_EQ(GetFileSize(file, &high), 0xFFFFFFFFu);
    EXPECT_EQ(high, 1u);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(NO_ERROR));
    CloseHandle(file);
}

TEST_F(Files, OnlyRegularFilesOpenAndNothingHangs) {
    const std::string fifo = dir_ / "fifo";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    ExpectOpenFails(OpenForRead(fifo), ERROR_ACCESS_DENIED, "FIFO for reading");
    ExpectOpenFails(OpenForWrite(fifo, OPEN_EXISTING), ERROR_ACCESS_DENIED, "FIFO for writing");
    ExpectOpenFails(OpenForWrite(fifo, CREATE_ALWAYS), ERROR_ACCESS_DENIED, "FIFO replaced");

    ExpectOpenFails(OpenForRead(dir_.path()), ERROR_ACCESS_DENIED, "directory for reading");
    ExpectOpenFails(OpenForWrite(dir_.path(), CREATE_ALWAYS), ERROR_ACCESS_DENIED, "directory replaced");
    ExpectOpenFails(OpenForRead("/dev/null"), ERROR_ACCESS_DENIED, "device for reading");
    ExpectOpenFails(OpenForWrite("/dev/null", OPEN_EXISTING), ERROR_ACCESS_DENIED, "device for writing");

    const std::string socketPath = dir_ / "sock";
    const int sock = socket(AF_UNIX, SOCK_STREAM, 0);
    ASSERT_GE(sock, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    ASSERT_LT(socketPath.size(), sizeof address.sun_path);
    socketPath.copy(address.sun_path, socketPath.size());
    ASSERT_EQ(bind(sock, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    ExpectOpenFails(OpenForRead(socketPath), ERROR_ACCESS_DENIED, "socket");
    ExpectOpenFails(OpenForWrite(socketPath), ERROR_ACCESS_DENIED, "socket replaced");
    close(sock);
}

TEST_F(Files, SymbolicLinks) {
    const std::string target = dir_ / "target.key";
    const std::string link = dir_ / "link.key";
    WriteBytes(target, "through the link");
    ASSERT_EQ(symlink(target.c_str(), link.c_str()), 0);
    HANDLE file = OpenForRead(link);
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetFileSize(file, nullptr), 16u);
    CloseHandle(file);

    const std::string dangling = dir_ / "dangling.key";
    const std::string nowhere = dir_ / "nowhere.key";
    ASSERT_EQ(symlink(nowhere.c_str(), dangling.c_str()), 0);
    ExpectOpenFails(OpenForRead(dangling), ERROR_FILE_NOT_FOUND, "dangling link read");
    ExpectOpenFails(OpenForWrite(dangling, CREATE_ALWAYS), ERROR_FILE_NOT_FOUND, "dangling link replaced");
    ExpectOpenFails(OpenForWrite(dangling, OPEN_ALWAYS), ERROR_FILE_NOT_FOUND, "dangling link opened always");
    EXPECT_FALSE(Exists(nowhere));  // nothing was created behind the link

    const std::string loopA = dir_ / "a", loopB = dir_ / "b";
    ASSERT_EQ(symlink(loopB.c_str(), loopA.c_str()), 0);
    ASSERT_EQ(symlink(loopA.c_str(), loopB.c_str()), 0);
    ExpectOpenFails(OpenForRead(loopA), ERROR_CANT_RESOLVE_FILENAME, "link loop read");
    ExpectOpenFails(OpenForWrite(loopA, CREATE_ALWAYS), ERROR_CANT_RESOLVE_FILENAME, "link loop replaced");
}

TEST_F(Files, CreatedFileTakesTheTemplatesMode) {
    const std::string original = dir_ / "original.key";
    WriteBytes(original, "old");
    ASSERT_EQ(chmod(original.c_str(), 0640), 0);
    HANDLE templ = OpenForRead(original);
    ASSERT_NE(templ, INVALID_HANDLE_VALUE);

    HANDLE created = OpenForWrite(dir_ / "replacement.key", CREATE_NEW, templ);
    ASSERT_NE(created, INVALID_HANDLE_VALUE);
    CloseHandle(created);
    EXPECT_EQ(ModeOf(dir_ / "replacement.key"), 0640u);

    // An existing file keeps its own mode; a dead template means the default.
    const std::string existing = dir_ / "existing.key";
    WriteBytes(existing, "x");
    ASSERT_EQ(chmod(existing.c_str(), 0604), 0);
    created = OpenForWrite(existing, CREATE_ALWAYS, templ);
    ASSERT_NE(created, INVALID_HANDLE_VALUE);
    CloseHandle(created);
    EXPECT_EQ(ModeOf(existing), 0604u);
    CloseHandle(templ);

    created = OpenForWrite(dir_ / "plain.key", CREATE_ALWAYS, templ);
    ASSERT_NE(created, INVALID_HANDLE_VALUE);
    CloseHandle(created);
    EXPECT_EQ(ModeOf(dir_ / "plain.key"), 0600u);
}

TEST_F(Files, DeleteFile) {
    const std::string path = dir_ / "gone.key";
    WriteBytes(path, "x");
    EXPECT_TRUE(DeleteFileA(path.c_str()));
    EXPECT_FALSE(Exists(path));
    EXPECT_FALSE(DeleteFileA(path.c_str()));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
    EXPECT_FALSE(DeleteFileA((dir_ / "nodir/x").c_str()));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_PATH_NOT_FOUND));
    EXPECT_FALSE(DeleteFileA(dir_.path().c_str()));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    EXPECT_FALSE(DeleteFileA(""));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_PATH_NOT_FOUND));
}

TEST_F(Files, HandlesAreNotInheritedByChildPrograms) {
    auto childDescriptors = [] {
        const auto result = keyhold_test::RunProgram("/bin/ls", {"/proc/self/fd"});
        return result.out;
    };
    const std::string before = childDescriptors();
    HANDLE file = OpenForWrite(dir_ / "cloexec.key");
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    EXPECT_EQ(childDescriptors(), before);  // a started program sees no more descriptors than before
    CloseHandle(file);
}
