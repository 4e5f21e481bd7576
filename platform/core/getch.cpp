#include <conio.h>

#include <errno.h>
#include <signal.h>
#include <termios.h>
#include <unistd.h>

#include <cstdio>
#include <iterator>

#include "core/guard.h"

namespace {

constexpr int kWatchedSignals[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGTSTP};

// What a signal handler needs to put the terminal back (and, after a stop,
// into single-key mode again); written before the handlers are installed and
// read only by them.
struct termios g_savedTerminal;
struct termios g_singleKeyTerminal;
volatile sig_atomic_t g_terminalChanged = 0;

void RestoreAndReraise(int signo) {
    if (g_terminalChanged) tcsetattr(STDIN_FILENO, TCSANOW, &g_savedTerminal);
    g_terminalChanged = 0;
    struct sigaction dfl {};
    dfl.sa_handler = SIG_DFL;
    sigemptyset(&dfl.sa_mask);
    sigaction(signo, &dfl, nullptr);
    sigset_t unblock;
    sigemptyset(&unblock);
    sigaddset(&unblock, signo);
    sigprocmask(SIG_UNBLOCK, &unblock, nullptr);
    raise(signo);
}

// Ctrl-Z while waiting: the terminal is given back as it was before the
// process stops (the shell and whatever runs next need their modes), and is
// put into single-key mode again when the process continues.
void RestoreStopAndResume(int signo) {
    const int savedErrno = errno;
    const bool changed = g_terminalChanged != 0;
    if (changed) tcsetattr(STDIN_FILENO, TCSANOW, &g_savedTerminal);
    struct sigaction dfl {};
    struct sigaction ours {};
    dfl.sa_handler = SIG_DFL;
    sigemptyset(&dfl.sa_mask);
    sigaction(signo, &dfl, &ours);
    sigset_t unblock;
    sigemptyset(&unblock);
    sigaddset(&unblock, signo);
    sigprocmask(SIG_UNBLOCK, &unblock, nullptr);
    raise(signo);  // stops here, until SIGCONT
    sigprocmask(SIG_BLOCK, &unblock, nullptr);
    sigaction(signo, &ours, nullptr);
    if (changed) tcsetattr(STDIN_FILENO, TCSANOW, &g_singleKeyTerminal);
    errno = savedErrno;
}

// Puts the terminal into single-key mode and back, also when a signal ends
// or stops the process while it waits; a signal the process ignores stays
// ignored.
class SingleKeyMode {
public:
    SingleKeyMode() {
        if (tcgetattr(STDIN_FILENO, &g_savedTerminal) != 0) return;
        struct termios raw = g_savedTerminal;
        raw.c_lflag &= ~static_cast<tcflag_t>(ICANON | ECHO);
        raw.c_cc[VMIN] = 1;
        raw.c_cc[VTIME] = 0;
        g_singleKeyTerminal = raw;

        struct sigaction action {};
        sigemptyset(&action.sa_mask);
        for (const int signo : kWatchedSignals) sigaddset(&action.sa_mask, signo);
        for (size_t i = 0; i < std::size(kWatchedSignals); ++i) {
            installed_[i] = false;
            if (sigaction(kWatchedSignals[i], nullptr, &previous_[i]) != 0) continue;
            if (previous_[i].sa_handler == SIG_IGN) continue;
            action.sa_handler = kWatchedSignals[i] == SIGTSTP ? RestoreStopAndResume : RestoreAndReraise;
            installed_[i] = sigaction(kWatchedSignals[i], &action, nullptr) == 0;
        }
        g_terminalChanged = 1;
        if (tcsetattr(STDIN_FILENO, TCSANOW, &raw) != 0) g_terminalChanged = 0;
    }

    ~SingleKeyMode() {
        if (g_terminalChanged) tcsetattr(STDIN_FILENO, TCSANOW, &g_savedTerminal);
        g_terminalChanged = 0;
        for (size_t i = 0; i < std::size(kWatchedSignals); ++i) {
            if (installed_[i]) sigaction(kWatchedSignals[i], &previous_[i], nullptr);
        }
    }

    SingleKeyMode(const SingleKeyMode&) = delete;
    SingleKeyMode& operator=(const SingleKeyMode&) = delete;

private:
    struct sigaction previous_[std::size(kWatchedSignals)] {};
    bool installed_[std::size(kWatchedSignals)] {};
};

int ReadOneByte() {
    unsigned char byte = 0;
    for (;;) {
        const ssize_t n = read(STDIN_FILENO, &byte, 1);
        if (n == 1) return byte;
        if (n < 0 && errno == EINTR) continue;
        return EOF;
    }
}

}  // namespace

extern "C" int _getch(void) {
    return keyhold::GuardedCall<int>(-1, [&]() -> int {
        std::fflush(stdout);  // the prompt must be visible before we wait
        if (!isatty(STDIN_FILENO)) return ReadOneByte();
        SingleKeyMode mode;
        return ReadOneByte();
    });
}
