#pragma once
// A file controller wired to a recording view and a local HTTP server, with
// every wait shrunk. Tests build the File and its parts directly.

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "download/DownloadTask.h"
#include "download/File.h"
#include "platform/FileSystem.h"
#include "platform/Pacing.h"
#include "support/FaultyFileSystem.h"
#include "support/Files.h"
#include "support/RecordingView.h"
#include "support/TestHttpServer.h"
#include "support/WaitUntil.h"

namespace quenlow::test {

using namespace std::chrono_literals;

class DownloadFixture : public ::testing::Test {
  protected:
    void SetUp() override {
        savedPacing = pacing();
        Pacing& p = pacing();
        p.attemptDelay = 1ms;
        p.waitFilePoll = 2ms;
        p.reconnectDelay = 5ms;
        p.abortSettle = 5ms;
        p.unpackedSettle = 0ms;
        p.receiveTimeout = 5000ms;
        char tmpl[] = "/tmp/quenlow-dl-XXXXXX";
        root = mkdtemp(tmpl);
        outDir = root + "/out/sub";
    }

    void TearDown() override {
        file.reset();  // joins every thread before the fault injector goes
        setFileSystem(nullptr);
        pacing() = savedPacing;
        std::filesystem::remove_all(root);
    }

    // A file of parts fetched from the given server paths (not started).
    File& makeFile(const std::string& name, const std::vector<std::string>& paths,
                   bool trace = false) {
        file = std::make_unique<File>();
        file->fileKey = "3";
        file->fileName = name;
        file->outputFolder = outDir;
        file->outputPath = outDir + "/";
        file->viewWindow = &view;
        file->traceEnabled = trace;
        file->isPackage = name.size() > 5 && name.substr(name.size() - 5) == ".tarn";
        for (size_t i = 0; i < paths.size(); ++i) {
            auto part = std::make_unique<FilePart>();
            part->index = static_cast<int>(i);
            part->url = server.url(paths[i]);
            part->fileId = "P" + std::to_string(i);
            part->file = file.get();
            file->parts.push_back(std::move(part));
        }
        file->partCount = static_cast<int>(paths.size());
        return *file;
    }

    void start() {
        file->startController();
        command(FileState_Initial);
    }
    void command(int c) { file->post(Message(UM_FILE_COMMAND, UM_FILE_COMMAND, c)); }
    void taskMessage(int code, intptr_t lParam = 0) {
        file->post(Message(UM_TASK_MESSAGE, code, lParam));
    }

    std::string outputPath() const { return outDir + "/" + file->fileName; }
    static std::string readAll(const std::string& path) { return readFile(path); }
    static void writeAll(const std::string& path, const std::string& content) {
        writeFile(path, content);
    }

    // Polls a condition that no view message announces (generous time-out).
    static bool waitUntil(const std::function<bool()>& pred,
                          std::chrono::milliseconds timeout = 30s) {
        return test::waitUntil(pred, timeout);
    }

    bool waitStatus(int status) { return view.waitFor(UM_FILE_STATUS, status).has_value(); }
    bool waitError(int code) {
        return view
            .waitFor([&](const Recorded& r) { return r.id == UM_FILE_ERROR && r.lParam == code; })
            .has_value();
    }
    std::vector<std::string> debugTexts() const {
        std::vector<std::string> out;
        for (const auto& m : view.messages())
            if (m.id == UM_DEBUG_TEXT && m.text) out.push_back(*m.text);
        return out;
    }

    Pacing savedPacing;
    std::string root, outDir;
    TestHttpServer server;
    RecordingView view;
    std::unique_ptr<File> file;
};

}  // namespace quenlow::test
