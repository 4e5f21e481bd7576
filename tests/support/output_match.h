// Helpers the end-to-end tests share: directory listings and matching a
// program's output against expected lines.
#ifndef KEYHOLD_TESTS_OUTPUT_MATCH_H
#define KEYHOLD_TESTS_OUTPUT_MATCH_H

#include <dirent.h>
#include <regex.h>
#include <stdint.h>
#include <stdio.h>

#include <set>
#include <string>

namespace keyhold_test {

// Names in a directory, without "." and "..".
inline std::set<std::string> Entries(const std::string& dir) {
    std::set<std::string> names;
    DIR* d = opendir(dir.c_str());
    if (d == nullptr) return names;
    while (dirent* e = readdir(d)) {
        const std::string name = e->d_name;
        if (name != "." && name != "..") names.insert(name);
    }
    closedir(d);
    return names;
}

// The error line for a code, with whatever one-line text the system gives it.
inline std::string ErrorLinePattern(uint32_t code) {
    char head[32];
    snprintf(head, sizeof head, "Error\\[%08x\\]=", code);
    return std::string(head) + "[^\n]+\n";
}

inline const std::string kAnyErrorLine = "Error\\[[0-9a-f]{8}\\]=[^\n]+\n";
inline const std::string kTimeLine = "Generate Time=[0-9]+\n";

// Whether the whole text matches the extended regular expression; a line
// break in a pattern is a line break, also inside brackets.
inline bool Matches(const std::string& text, const std::string& pattern) {
    regex_t re;
    if (regcomp(&re, ("^(" + pattern + ")$").c_str(), REG_EXTENDED | REG_NOSUB) != 0) return false;
    const bool matched = regexec(&re, text.c_str(), 0, nullptr, 0) == 0;
    regfree(&re);
    return matched && text.find('\0') == std::string::npos;
}

}  // namespace keyhold_test

#endif
