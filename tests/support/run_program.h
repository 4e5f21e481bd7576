// Running the built programs from tests: a throw-away key store root, and one
// run of a program with chosen arguments, environment and standard input,
// capturing its standard output, standard error and exit status.
#ifndef KEYHOLD_TESTS_RUN_PROGRAM_H
#define KEYHOLD_TESTS_RUN_PROGRAM_H

#include <fcntl.h>
#include <ftw.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <map>
#include <stdexcept>
#include <string>
#include <vector>

extern char** environ;

namespace keyhold_test {

// A temporary directory, removed with everything below it when this goes.
class TempDir {
public:
    TempDir() {
        const char* base = getenv("TMPDIR");
        std::string pattern = std::string(base && *base ? base : "/tmp") + "/keyhold-test-XXXXXX";
        if (mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
        path_ = pattern;
    }
    ~TempDir() {
        nftw(path_.c_str(), [](const char* p, const struct stat*, int, struct FTW*) { return remove(p); },
             16, FTW_DEPTH | FTW_PHYS);
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::string& path() const { return path_; }
    std::string operator/(const std::string& name) const { return path_ + "/" + name; }

private:
    std::string path_;
};

struct RunResult {
    int status = -1;  // exit status, or 128 + signal number
    std::string out;
    std::string err;
};

struct RunOptions {
    std::map<std::string, std::string> env;  // added to (or replacing in) the environment
    std::vector<std::string> unset;          // removed from the environment
    std::string input;                       // standard input, then end of input
    std::string cwd;                         // working directory, empty: unchanged
};

inline std::string ProgramPath(const std::string& name) { return std::string(KEYHOLD_BIN_DIR) + "/" + name; }

// Runs `program` (a name in the build's bin directory, or a path) with `args`.
inline RunResult RunProgram(const std::string& program, const std::vector<std::string>& args,
                            const RunOptions& options = {}) {
    const std::string path = program.find('/') == std::string::npos ? ProgramPath(program) : program;
    std::vector<std::string> argStore{path};
    argStore.insert(argStore.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (auto& a : argStore) argv.push_back(a.data());
    argv.push_back(nullptr);

    std::map<std::string, std::string> envMap;
    for (char** e = environ; *e; ++e) {
        std::string kv(*e);
        const auto eq = kv.find('=');
        if (eq != std::string::npos) envMap[kv.substr(0, eq)] = kv.substr(eq + 1);
    }
    for (const auto& name : options.unset) envMap.erase(name);
    for (const auto& [k, v] : options.env) envMap[k] = v;
    std::vector<std::string> envStore;
    for (const auto& [k, v] : envMap) envStore.push_back(k + "=" + v);
    std::vector<char*> envp;
    for (auto& e : envStore) envp.push_back(e.data());
    envp.push_back(nullptr);

    int inPipe[2], outPipe[2], errPipe[2];
    if (pipe2(inPipe, O_CLOEXEC) || pipe2(outPipe, O_CLOEXEC) || pipe2(errPipe, O_CLOEXEC))
        throw std::runtime_error("pipe failed");
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, inPipe[0], 0);
    posix_spawn_file_actions_adddup2(&actions, outPipe[1], 1);
    posix_spawn_file_actions_adddup2(&actions, errPipe[1], 2);
    if (!options.cwd.empty()) posix_spawn_file_actions_addchdir_np(&actions, options.cwd.c_str());
    pid_t pid = -1;
    const int rc = posix_spawn(&pid, path.c_str(), &actions, nullptr, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    close(inPipe[0]);
    close(outPipe[1]);
    close(errPipe[1]);
    if (rc != 0) {
        close(inPipe[1]);
        close(outPipe[0]);
        close(errPipe[0]);
        throw std::runtime_error("cannot start " + path);
    }

    // Feed the input and drain both outputs together so that neither side blocks.
    signal(SIGPIPE, SIG_IGN);
    RunResult result;
    size_t written = 0;
    int inFd = inPipe[1];
    if (options.input.empty()) {
        close(inFd);
        inFd = -1;
    }
    bool outOpen = true, errOpen = true;
    while (outOpen || errOpen || inFd >= 0) {
        pollfd fds[3];
        int n = 0;
        if (outOpen) fds[n++] = {outPipe[0], POLLIN, 0};
        if (errOpen) fds[n++] = {errPipe[0], POLLIN, 0};
        if (inFd >= 0) fds[n++] = {inFd, POLLOUT, 0};
        if (poll(fds, n, -1) < 0) continue;
        for (int i = 0; i < n; ++i) {
            if (!fds[i].revents) continue;
            if (fds[i].fd == inFd) {
                const ssize_t w = write(inFd, options.input.data() + written, options.input.size() - written);
                if (w > 0) written += static_cast<size_t>(w);
                if (w < 0 || written == options.input.size()) {
                    close(inFd);
                    inFd = -1;
                }
                continue;
            }
            char buf[65536];
            const ssize_t r = read(fds[i].fd, buf, sizeof buf);
            const bool isOut = fds[i].fd == outPipe[0];
            if (r > 0) {
                (isOut ? result.out : result.err).append(buf, static_cast<size_t>(r));
            } else {
                (isOut ? outOpen : errOpen) = false;
            }
        }
    }
    close(outPipe[0]);
    close(errPipe[0]);
    int wstatus = 0;
    while (waitpid(pid, &wstatus, 0) < 0) {
    }
    result.status = WIFEXITED(wstatus) ? WEXITSTATUS(wstatus) : 128 + WTERMSIG(wstatus);
    return result;
}

}  // namespace keyhold_test

#endif
