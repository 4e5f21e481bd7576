// keyhold_run_timer: times whole program runs, several commands side by side.
//
//   keyhold_run_timer RUNS WARMUP LABEL -- [VAR=VALUE...] CMD ARGS... [::: LABEL -- ...]...
//
// The commands run in turn (A B C A B C ...), so that a change in the
// machine's load during the measurement falls on all of them alike. Standard
// input is /dev/null and standard output is discarded; a run that does not
// exit with status 0 is reported and fails the measurement. VAR=VALUE words
// before the command are set in its environment only. Prints one line per
// command: label, runs, median and 90th percentile of the wall time, and the
// median CPU time (user + system, so above the wall time when a run used more
// than one core), all in microseconds. When KEYHOLD_TIMER_RAW names a file,
// every measured run's wall time is also written there, a line "LABEL MICROS"
// each, in the order of the runs. The word KEYHOLD_TIMER_REMOVE=PATH[:PATH...]
// among a command's VAR=VALUE words removes those files before each of its
// runs, outside the timed span (for a peer that refuses to overwrite its output).
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "stats.h"

namespace {

struct Command {
    std::string label;
    std::vector<char*> argv;
    std::vector<double> micros;
    std::vector<double> cpuMicros;
};

double Micros(const timeval& tv) { return static_cast<double>(tv.tv_sec) * 1e6 + static_cast<double>(tv.tv_usec); }

constexpr char kRemove[] = "KEYHOLD_TIMER_REMOVE=";

void RemoveOutputs(const Command& command) {
    for (char* const* word = command.argv.data(); *word != nullptr && std::strchr(*word, '=') != nullptr; ++word) {
        if (std::strncmp(*word, kRemove, sizeof kRemove - 1) != 0) continue;
        std::string paths(*word + sizeof kRemove - 1);
        for (std::size_t from = 0; from <= paths.size();) {
            const std::size_t colon = std::min(paths.find(':', from), paths.size());
            unlink(paths.substr(from, colon - from).c_str());
            from = colon + 1;
        }
    }
}

bool RunOnce(Command& command, bool record) {
    RemoveOutputs(command);
    const auto start = std::chrono::steady_clock::now();
    const pid_t pid = fork();
    if (pid < 0) return false;
    if (pid == 0) {
        const int null = open("/dev/null", O_RDWR);
        dup2(null, 0);
        dup2(null, 1);
        char** argv = command.argv.data();
        while (*argv != nullptr && std::strchr(*argv, '=') != nullptr) putenv(*argv++);
        if (*argv != nullptr) execvp(argv[0], argv);
        _exit(127);
    }
    int status = 0;
    struct rusage usage {};
    while (wait4(pid, &status, 0, &usage) < 0) {
    }
    const auto end = std::chrono::steady_clock::now();
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        std::fprintf(stderr, "run_timer: %s ended with status %d\n", command.label.c_str(),
                     WIFEXITED(status) ? WEXITSTATUS(status) : -1);
        return false;
    }
    if (record) {
        command.micros.push_back(std::chrono::duration<double, std::micro>(end - start).count());
        command.cpuMicros.push_back(Micros(usage.ru_utime) + Micros(usage.ru_stime));
    }
    return true;
}

}  // namespace

int main(int argc, char* argv[]) {
    if (argc < 6) {
        std::fprintf(stderr, "usage: %s RUNS WARMUP LABEL -- CMD ARGS... [::: LABEL -- CMD ARGS...]...\n",
                     argv[0]);
        return 2;
    }
    const int runs = std::atoi(argv[1]);
    const int warmup = std::atoi(argv[2]);
    std::vector<Command> commands;
    for (int i = 3; i < argc;) {
        Command command;
        command.label = argv[i++];
        if (i >= argc || std::strcmp(argv[i], "--") != 0) {
            std::fprintf(stderr, "run_timer: expected -- after %s\n", command.label.c_str());
            return 2;
        }
        ++i;
        while (i < argc && std::strcmp(argv[i], ":::") != 0) command.argv.push_back(argv[i++]);
        if (i < argc) ++i;
        if (command.argv.empty()) return 2;
        command.argv.push_back(nullptr);
        commands.push_back(std::move(command));
    }
    if (runs < 1 || commands.empty()) return 2;
    for (int round = 0; round < warmup + runs; ++round)
        for (Command& command : commands)
            if (!RunOnce(command, round >= warmup)) return 1;
    if (const char* raw = std::getenv("KEYHOLD_TIMER_RAW")) {
        FILE* out = std::fopen(raw, "w");
        if (out == nullptr) return 1;
        for (const Command& command : commands)
            for (const double micros : command.micros) std::fprintf(out, "%s %.1f\n", command.label.c_str(), micros);
        if (std::fclose(out) != 0) return 1;
    }
    for (Command& command : commands) {
        std::sort(command.micros.begin(), command.micros.end());
        std::sort(command.cpuMicros.begin(), command.cpuMicros.end());
        std::printf("%s %d %.1f %.1f %.1f\n", command.label.c_str(), runs, keyhold_bench::Median(command.micros),
                    keyhold_bench::Percentile(command.micros, 0.9), keyhold_bench::Median(command.cpuMicros));
    }
    return 0;
}
