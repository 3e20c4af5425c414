#pragma once
// A shell that records what it was asked to open instead of opening it.

#include <string>
#include <utility>
#include <vector>

#include "state/OrderState.h"

namespace quenlow::test {

struct RecordingShell : Shell {
    // (target, working folder) of every open, in call order.
    std::vector<std::pair<std::string, std::string>> opened;
    void open(const std::string& target, const std::string& workingDir) override {
        opened.emplace_back(target, workingDir);
    }
};

}  // namespace quenlow::test
