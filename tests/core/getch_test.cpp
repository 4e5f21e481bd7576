#include <conio.h>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <fstream>
#include <string>

#include <gtest/gtest.h>

#include "run_program.h"

using keyhold_test::RunOptions;
using keyhold_test::RunProgram;

TEST(Getch, ReadsBytesFromNonTerminalInput) {
    RunOptions options;
    options.input = std::string("a\n\xff", 3);
    const auto result = RunProgram("core_getch_probe", {"5"}, options);
    EXPECT_EQ(result.status, 0);
    // 0xFF comes back as 255, not as -1: only the end of input is -1.
    EXPECT_EQ(result.out, "Press a key: [97][10][255][-1]\n");
}

TEST(Getch, EndOfInputIsEof) {
    const auto result = RunProgram("core_getch_probe", {"1"});
    EXPECT_EQ(result.out, "Press a key: [-1]\n");
}

namespace {

// A probe on a pseudo-terminal. The test keeps the terminal's slave side open
// too, so it can watch the terminal modes the probe sets.
class TerminalProbe {
public:
    // As a job (`asJob`), the probe runs in a process group of its own below
    // a session leader that waits for it, as under a shell: only such a group
    // is stopped by SIGTSTP (the kernel drops it for an orphaned one).
    explicit TerminalProbe(bool asJob = false) {
        master_ = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
        if (master_ < 0 || grantpt(master_) != 0 || unlockpt(master_) != 0) return;
        const char* name = ptsname(master_);
        if (name == nullptr) return;
        slave_ = open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
        if (slave_ < 0) return;
        termios modes {};
        tcgetattr(slave_, &modes);
        modes.c_lflag |= ICANON | ECHO | ISIG;
        tcsetattr(slave_, TCSANOW, &modes);
        const std::string probe = keyhold_test::ProgramPath("core_getch_probe");
        int pidPipe[2] = {-1, -1};
        if (asJob && pipe(pidPipe) != 0) return;
        pid_ = fork();
        if (pid_ == 0) {
            setsid();
            // The probe must start with the default actions, whatever we inherited.
            sigset_t none;
            sigemptyset(&none);
            sigprocmask(SIG_SETMASK, &none, nullptr);
            for (const int signo : {SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGTSTP}) signal(signo, SIG_DFL);
            if (asJob) {
                const pid_t job = fork();
                if (job == 0) {
                    setpgid(0, 0);
                } else {
                    if (job < 0 || write(pidPipe[1], &job, sizeof job) != sizeof job) _exit(126);
                    int status = 0;
                    while (waitpid(job, &status, 0) < 0) {
                    }
                    _exit(WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status));
                }
            }
            dup2(slave_, 0);
            dup2(slave_, 1);
            execl(probe.c_str(), probe.c_str(), "1", static_cast<char*>(nullptr));
            _exit(127);
        }
        probePid_ = pid_;
        if (asJob) {
            close(pidPipe[1]);
            if (read(pidPipe[0], &probePid_, sizeof probePid_) != sizeof probePid_) probePid_ = -1;
            close(pidPipe[0]);
        }
    }
    ~TerminalProbe() {
        if (pid_ > 0 && !reaped_) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
        if (slave_ >= 0) close(slave_);
        if (master_ >= 0) close(master_);
    }

    bool started() const { return pid_ > 0 && probePid_ > 0; }

    // The probe's state letter in /proc ('T' when stopped), or 0.
    char State() const {
        std::ifstream stat("/proc/" + std::to_string(probePid_) + "/stat");
        std::string line;
        std::getline(stat, line);
        const auto close = line.rfind(')');
        return close != std::string::npos && close + 2 < line.size() ? line[close + 2] : 0;
    }
    bool WaitForState(char state) const {
        for (int i = 0; i < 30000; ++i) {
            if (State() == state) return true;
            usleep(1000);
        }
        return false;
    }

    // Reads the terminal's output until it ends with `tail`; false when nothing
    // more comes for a long while (the probe is stuck).
    bool ReadUntil(const std::string& tail) {
        while (output_.size() < tail.size() || output_.compare(output_.size() - tail.size(), tail.size(), tail) != 0) {
            pollfd pfd{master_, POLLIN, 0};
            if (poll(&pfd, 1, 30000) <= 0) return false;
            char buf[256];
            const ssize_t n = read(master_, buf, sizeof buf);
            if (n <= 0) return false;
            output_.append(buf, static_cast<size_t>(n));
        }
        return true;
    }

    // Waits until the probe has switched the terminal to single-key mode.
    bool WaitForSingleKeyMode() {
        for (int i = 0; i < 30000; ++i) {
            if (!Canonical()) return true;
            usleep(1000);
        }
        return false;
    }

    bool Canonical() const {
        termios modes {};
        tcgetattr(slave_, &modes);
        return (modes.c_lflag & ICANON) != 0;
    }
    bool Echoing() const {
        termios modes {};
        tcgetattr(slave_, &modes);
        return (modes.c_lflag & ECHO) != 0;
    }

    void Type(const std::string& keys) { ASSERT_EQ(write(master_, keys.data(), keys.size()), (ssize_t)keys.size()); }
    void Signal(int signo) { kill(probePid_, signo); }

    int Wait() {
        int status = 0;
        waitpid(pid_, &status, 0);
        reaped_ = true;
        return status;
    }

    const std::string& output() const { return output_; }

private:
    int master_ = -1;
    int slave_ = -1;
    pid_t pid_ = -1;
    pid_t probePid_ = -1;
    bool reaped_ = false;
    std::string output_;
};

}  // namespace

TEST(Getch, TerminalKeyWithoutEnterOrEchoThenModesRestored) {
    TerminalProbe probe;
    if (!probe.started()) GTEST_SKIP() << "no pseudo-terminal available";
    // The prompt has no line break: it shows only because _getch flushed it.
    ASSERT_TRUE(probe.ReadUntil("Press a key: ")) << probe.output();
    ASSERT_TRUE(probe.WaitForSingleKeyMode());
    EXPECT_FALSE(probe.Echoing());
    probe.Type("y");  // no Enter
    ASSERT_TRUE(probe.ReadUntil("]\r\n")) << probe.output();
    EXPECT_EQ(probe.output(), "Press a key: [121]\r\n");  // and no echoed "y"
    const int status = probe.Wait();
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    EXPECT_TRUE(probe.Canonical());
    EXPECT_TRUE(probe.Echoing());
}

TEST(Getch, SignalWhileWaitingRestoresTerminalAndKillsAsDefault) {
    for (const int signo : {SIGINT, SIGTERM, SIGHUP, SIGQUIT}) {
        SCOPED_TRACE(signo);
        TerminalProbe probe;
        if (!probe.started()) GTEST_SKIP() << "no pseudo-terminal available";
        ASSERT_TRUE(probe.ReadUntil("Press a key: "));
        ASSERT_TRUE(probe.WaitForSingleKeyMode());
        probe.Signal(signo);
        const int status = probe.Wait();
        EXPECT_TRUE(WIFSIGNALED(status));
        if (WIFSIGNALED(status)) {
            EXPECT_EQ(WTERMSIG(status), signo);
        }
        EXPECT_TRUE(probe.Canonical());
        EXPECT_TRUE(probe.Echoing());
    }
}

TEST(Getch, StopWhileWaitingGivesTheTerminalBackAndContinuingTakesItAgain) {
    TerminalProbe probe(true);
    if (!probe.started()) GTEST_SKIP() << "no pseudo-terminal available";
    ASSERT_TRUE(probe.ReadUntil("Press a key: "));
    ASSERT_TRUE(probe.WaitForSingleKeyMode());
    probe.Signal(SIGTSTP);
    ASSERT_TRUE(probe.WaitForState('T'));
    // Stopped: the shell gets its terminal as it was.
    EXPECT_TRUE(probe.Canonical());
    EXPECT_TRUE(probe.Echoing());
    probe.Signal(SIGCONT);
    ASSERT_TRUE(probe.WaitForSingleKeyMode());
    EXPECT_FALSE(probe.Echoing());
    probe.Type("n");
    ASSERT_TRUE(probe.ReadUntil("]\r\n")) << probe.output();
    EXPECT_EQ(probe.output(), "Press a key: [110]\r\n");
    const int status = probe.Wait();
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    EXPECT_TRUE(probe.Canonical());
}
