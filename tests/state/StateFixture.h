#pragma once
// A temporary home for state tests: APPDATA and HOME point into a fresh
// folder, no drive roots are searched, waits a test shrinks are restored, and
// everything is undone afterwards.

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "platform/FileSystem.h"
#include "platform/Pacing.h"
#include "platform/UserFolders.h"
#include "state/OrderState.h"
#include "support/Files.h"
#include "support/RecordingShell.h"
#include "support/RecordingView.h"
#include "support/ScopedEnvironment.h"
#include "support/ScratchDir.h"

namespace quenlow::test {

class StateFixture : public ::testing::Test {
  protected:
    void SetUp() override {
        root = scratch.path();
        appData = root + "/appdata";
        home = root + "/home";
        environment.remember("XDG_DATA_HOME");  // tests may change it too
        environment.set("APPDATA", appData);
        environment.set("HOME", home);
        setDriveRoots(std::vector<std::string>{});
        savedPacing = pacing();
    }

    void TearDown() override {
        setDriveRoots(std::nullopt);
        setFileSystem(nullptr);
        pacing() = savedPacing;
    }

    std::string savePath() const { return appData + "/Ostrel Inc/Quenlow/VeskSaveState.xml"; }

    // An OrderState whose controllers stay idle, so commands can be read from the queues.
    std::unique_ptr<OrderState> makeOrder(const std::string& id, bool startControllers = false) {
        auto order = std::make_unique<OrderState>(&view, &shell);
        order->orderId = id;
        order->startControllers = startControllers;
        return order;
    }

    Pacing savedPacing;
    ScratchDir scratch{"state"};
    ScopedEnvironment environment;
    std::string root, appData, home;
    RecordingView view;
    RecordingShell shell;
};

}  // namespace quenlow::test
