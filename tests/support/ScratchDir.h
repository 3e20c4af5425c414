#pragma once
// A fresh folder below the system temp folder for one test, removed with
// everything in it when the test ends (read-only entries made writable first,
// so a test that drops write permissions still cleans up).

#include <filesystem>
#include <string>

namespace quenlow::test {

class ScratchDir {
  public:
    // prefix names the folder ("quenlow-<prefix>-XXXXXX") so leftovers tell whose they are.
    explicit ScratchDir(const std::string& prefix = "test");
    ~ScratchDir();
    ScratchDir(const ScratchDir&) = delete;
    ScratchDir& operator=(const ScratchDir&) = delete;

    const std::string& path() const { return path_; }
    std::string operator/(const std::string& name) const { return path_ + "/" + name; }

  private:
    std::string path_;
};

}  // namespace quenlow::test
