#pragma once
// A file's whole contents, for tests that check what was written or set up
// what is read.

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

namespace quenlow::test {

// The bytes of the file at path; empty when it cannot be read.
inline std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

// Writes content as the whole file at path, creating its folders.
inline void writeFile(const std::string& path, const std::string& content) {
    std::filesystem::create_directories(std::filesystem::path(path).parent_path());
    std::ofstream(path, std::ios::binary | std::ios::trunc) << content;
}

}  // namespace quenlow::test
