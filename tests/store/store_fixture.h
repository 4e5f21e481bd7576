// A throw-away KEYHOLD_ROOT per test, and running a piece of a test in a child
// process, optionally as another user, with its result sent back through a pipe.
#ifndef KEYHOLD_TESTS_STORE_FIXTURE_H
#define KEYHOLD_TESTS_STORE_FIXTURE_H

#include <dirent.h>
#include <fcntl.h>
#include <grp.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <functional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "file_bytes.h"
#include "run_program.h"

namespace keyhold_test {

constexpr uid_t kNobody = 65534;
constexpr uid_t kNoSuchUser = 54321;  // no password database entry

class StoreTest : public ::testing::Test {
protected:
    void SetUp() override {
        // Other users' children must be able to reach the root below the temp dir.
        chmod(temp_.path().c_str(), 0755);
        root_ = temp_ / "root";
        setenv("KEYHOLD_ROOT", root_.c_str(), 1);
        oldMask_ = umask(022);
    }
    void TearDown() override {
        umask(oldMask_);
        unsetenv("KEYHOLD_ROOT");
    }

    std::string UserArea() const { return root_ + "/users/" + std::to_string(geteuid()); }
    std::string MachineArea() const { return root_ + "/machine"; }

    TempDir temp_;
    std::string root_;
    mode_t oldMask_ = 0;
};

inline bool IsRoot() { return geteuid() == 0; }

// Runs `body` in a forked child (as `uid` when not -1) and returns the text it
// produced; a child that dies yields "<died>".
inline std::string InChild(std::function<std::string()> body, uid_t uid = static_cast<uid_t>(-1)) {
    int fds[2];
    if (pipe(fds) != 0) return "<pipe>";
    const pid_t pid = fork();
    if (pid == 0) {
        close(fds[0]);
        if (uid != static_cast<uid_t>(-1)) {
            if (setgroups(0, nullptr) != 0 || setgid(uid) != 0 || setuid(uid) != 0) _exit(3);
        }
        const std::string out = body();
        if (write(fds[1], out.data(), out.size()) != static_cast<ssize_t>(out.size())) _exit(4);
        _exit(0);
    }
    close(fds[1]);
    std::string out;
    char buf[4096];
    ssize_t n;
    while ((n = read(fds[0], buf, sizeof buf)) > 0) out.append(buf, static_cast<size_t>(n));
    close(fds[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) return "<died>";
    return out;
}

inline std::string Code(unsigned long code) { return std::to_string(code); }

// The names in a directory, without . and ..
inline std::vector<std::string> DirEntries(const std::string& dir) {
    std::vector<std::string> names;
    if (DIR* d = opendir(dir.c_str())) {
        while (const dirent* e = readdir(d)) {
            const std::string name = e->d_name;
            if (name != "." && name != "..") names.push_back(name);
        }
        closedir(d);
    }
    return names;
}

inline mode_t ModeOf(const std::string& path) {
    struct stat st {};
    if (lstat(path.c_str(), &st) != 0) return 0;
    return st.st_mode & 07777;
}


inline std::string ReadWhole(const std::string& path) {
    std::string out;
    const int fd = open(path.c_str(), O_RDONLY);
    if (fd < 0) return out;
    char buf[4096];
    ssize_t n;
    while ((n = read(fd, buf, sizeof buf)) > 0) out.append(buf, static_cast<size_t>(n));
    close(fd);
    return out;
}

inline void WriteWhole(const std::string& path, const std::string& data, mode_t mode = 0600) {
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, mode);
    ASSERT_GE(fd, 0) << path;
    ASSERT_EQ(write(fd, data.data(), data.size()), static_cast<ssize_t>(data.size()));
    close(fd);
}

}  // namespace keyhold_test

#endif
