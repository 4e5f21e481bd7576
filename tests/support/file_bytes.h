// Whole files as byte strings, and whether a path names anything (a dangling
// link included), for tests that look at what the programs left on disk.
#ifndef KEYHOLD_TESTS_FILE_BYTES_H
#define KEYHOLD_TESTS_FILE_BYTES_H

#include <sys/stat.h>

#include <fstream>
#include <iterator>
#include <string>

namespace keyhold_test {

inline std::string ReadBytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

inline void WriteBytes(const std::string& path, const std::string& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

inline bool Exists(const std::string& path) {
    struct stat st {};
    return lstat(path.c_str(), &st) == 0;
}

}  // namespace keyhold_test

#endif
