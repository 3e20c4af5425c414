#pragma once
// A file's whole contents, for tests that check what was written.

#include <fstream>
#include <iterator>
#include <string>

namespace quenlow::test {

// The bytes of the file at path; empty when it cannot be read.
inline std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

}  // namespace quenlow::test
