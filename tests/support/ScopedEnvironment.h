#pragma once
// Environment variables a test changes, restored (set or unset, as they were)
// when the test ends.

#include <cstdlib>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace quenlow::test {

class ScopedEnvironment {
  public:
    ScopedEnvironment() = default;
    ~ScopedEnvironment() {
        for (auto it = saved_.rbegin(); it != saved_.rend(); ++it) apply(it->first, it->second);
    }
    ScopedEnvironment(const ScopedEnvironment&) = delete;
    ScopedEnvironment& operator=(const ScopedEnvironment&) = delete;

    // Sets name to value (nullopt unsets it), remembering the first value seen.
    void set(const std::string& name, std::optional<std::string> value) {
        remember(name);
        apply(name, value);
    }
    // Remembers name's value so whatever the test does to it is undone.
    void remember(const std::string& name) {
        for (const auto& entry : saved_)
            if (entry.first == name) return;
        const char* old = std::getenv(name.c_str());
        saved_.emplace_back(name, old ? std::optional<std::string>(old) : std::nullopt);
    }

  private:
    static void apply(const std::string& name, const std::optional<std::string>& value) {
        if (value)
            ::setenv(name.c_str(), value->c_str(), 1);
        else
            ::unsetenv(name.c_str());
    }

    std::vector<std::pair<std::string, std::optional<std::string>>> saved_;
};

}  // namespace quenlow::test
