// quenlow-pack: builds packages from folder trees and unpacks them exactly as
// the download manager's unpack task does, printing its reports.

#include <sys/stat.h>

#include <cstdio>
#include <cstring>
#include <iostream>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include "package/PackageWriter.h"
#include "package/UnpackTask.h"
#include "platform/Messages.h"
#include "platform/Pacing.h"

using namespace quenlow;

namespace {

const char* kUsage =
    "usage:\n"
    "  quenlow-pack unpack PACKAGE OUTPUT_FOLDER [--param 'CRC^^KEY'] [--delete-on-crc-failure]\n"
    "      Checks and extracts PACKAGE into OUTPUT_FOLDER as the download manager does,\n"
    "      printing every log line and percent; prints launch-folder=<folder> on success.\n"
    "      Exit status 0 on success, 1 on failure, 2 for bad arguments.\n"
    "  quenlow-pack pack SOURCE_FOLDER PACKAGE [--layout versioned|sealed|legacy]\n"
    "      [--version V] [--key KEY] [--zlib-wrapped] [--store-last]\n"
    "      Builds PACKAGE from the folder tree (names, folders, times, read-only\n"
    "      attribute) and prints the unpack parameter (CRC^^KEY). Defaults: versioned\n"
    "      version 180 with an empty key; sealed version 209 with a random key.\n";

struct UsageError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

bool isDirectory(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

int unpackCommand(const std::vector<std::string>& args) {
    std::vector<std::string> operands;
    std::string parameter;
    bool deleteOnCrcFailure = false;
    for (size_t i = 0; i < args.size(); ++i) {
        if (args[i] == "--param") {
            if (++i >= args.size()) throw UsageError("--param needs a value");
            parameter = args[i];
        } else if (args[i] == "--delete-on-crc-failure") {
            deleteOnCrcFailure = true;
        } else if (args[i].rfind("--", 0) == 0) {
            throw UsageError("unknown option " + args[i]);
        } else {
            operands.push_back(args[i]);
        }
    }
    if (operands.size() != 2) throw UsageError("unpack needs PACKAGE and OUTPUT_FOLDER");
    const std::string& package = operands[0];
    struct stat st {};
    if (::stat(package.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) {
        // The task would create a missing package empty; a command line should not.
        std::cerr << "Unable to open File: " << package << "\n";
        return 1;
    }
    pacing().unpackedReportDelay = Millis(0);  // nobody to let run here

    QueueRef controller = std::make_shared<MessageQueue>();
    UnpackTask task(package, operands[1], parameter, deleteOnCrcFailure, controller);
    task.startTask();
    task.post(Message(UM_TASK_COMMAND, UM_TASK_COMMAND, TaskCommand_Unpack));
    std::string lastLog;
    for (;;) {
        auto msg = controller->take();
        if (!msg) return 1;
        switch (msg->wParam) {
            case DownloadTaskState_Log:
                lastLog = msg->text() ? *msg->text() : std::string();
                std::cout << lastLog << std::endl;
                break;
            case DownloadTaskState_Progress:
                std::cout << "percent=" << msg->lParam << std::endl;
                break;
            case DownloadTaskState_CrcStarted:
                std::cout << "crc-started" << std::endl;
                break;
            case DownloadTaskState_CrcFinished:
                std::cout << "crc-finished" << std::endl;
                break;
            case DownloadTaskState_Unpacked:
                std::cout << "launch-folder=" << (msg->text() ? *msg->text() : std::string())
                          << std::endl;
                task.post(Message(WM_QUIT, 0, 0));
                return 0;
            case DownloadTaskState_UnpackFailed:
                std::cerr << (lastLog.empty() ? std::string("Unpacking failed") : lastLog) << "\n";
                task.post(Message(WM_QUIT, 0, 0));
                return 1;
            default:
                break;
        }
    }
}

std::string randomSealedKey() {
    static const char kAlphabet[] =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
    std::random_device rd;
    std::string key;
    for (int i = 0; i < 64; ++i) key += kAlphabet[rd() % (sizeof kAlphabet - 1)];
    return key + std::to_string(rd() % 256);
}

int packCommand(const std::vector<std::string>& args) {
    std::vector<std::string> operands;
    PackageOptions options;
    bool versionGiven = false, keyGiven = false;
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i];
        auto value = [&]() -> const std::string& {
            if (++i >= args.size()) throw UsageError(a + " needs a value");
            return args[i];
        };
        if (a == "--layout") {
            const std::string& v = value();
            if (v == "versioned")
                options.layout = PackageLayout::Versioned;
            else if (v == "sealed")
                options.layout = PackageLayout::Sealed;
            else if (v == "legacy")
                options.layout = PackageLayout::Legacy;
            else
                throw UsageError("unknown layout " + v + " (versioned, sealed or legacy)");
        } else if (a == "--version") {
            const std::string& v = value();
            if (v.empty() || v.size() > 9 || v.find_first_not_of("0123456789") != std::string::npos)
                throw UsageError("--version needs a decimal number");
            options.version = static_cast<uint32_t>(std::stoul(v));
            versionGiven = true;
        } else if (a == "--key") {
            options.key = value();
            keyGiven = true;
        } else if (a == "--zlib-wrapped") {
            options.zlibWrapped = true;
        } else if (a == "--store-last") {
            options.storeLast = true;
        } else if (a.rfind("--", 0) == 0) {
            throw UsageError("unknown option " + a);
        } else {
            operands.push_back(a);
        }
    }
    if (operands.size() != 2) throw UsageError("pack needs SOURCE_FOLDER and PACKAGE");
    if (!isDirectory(operands[0])) throw UsageError("not a folder: " + operands[0]);
    if (options.layout == PackageLayout::Sealed) {
        if (!versionGiven) options.version = 209;
        if (!keyGiven) options.key = randomSealedKey();
    }
    if (options.layout == PackageLayout::Versioned && options.version == 169)
        throw UsageError("version 169 packages carry no entries");
    std::vector<PackageEntry> entries;
    try {
        entries = EntriesFromFolder(operands[0]);
        std::cout << WritePackage(operands[1], entries, options) << std::endl;
    } catch (const std::invalid_argument& e) {
        throw UsageError(e.what());
    }
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    std::vector<std::string> args(argv + 1, argv + argc);
    for (const auto& a : args)
        if (a == "--help" || a == "-h") {
            std::cout << kUsage;
            return 0;
        }
    try {
        if (args.empty()) throw UsageError("no command given");
        const std::string command = args[0];
        args.erase(args.begin());
        if (command == "unpack") return unpackCommand(args);
        if (command == "pack") return packCommand(args);
        throw UsageError("unknown command " + command);
    } catch (const UsageError& e) {
        std::cerr << "quenlow-pack: " << e.what() << "\n" << kUsage;
        return 2;
    } catch (const std::exception& e) {
        std::cerr << "quenlow-pack: " << e.what() << "\n";
        return 1;
    }
}
