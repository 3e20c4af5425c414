#include <cstdio>
#include <cstring>
#include <optional>
#include <string>

#include "app/CQuenlowApp.h"
#include "app/core/StartUrl.h"
#include "state/Log.h"
#include "state/OrderState.h"

namespace {

void printHelp() {
    const std::string saveState = quenlow::saveStateFilePath();
    const std::string log = quenlow::diagnosticLogPath();
    std::printf(
        "Usage: quenlow [START_FILE]\n"
        "       quenlow --help | --version\n"
        "\n"
        "Downloads, checks and unpacks the software of an order from the store,\n"
        "shown in the store's own page.\n"
        "\n"
        "Without START_FILE, Quenlow opens the store page it showed last, or the\n"
        "store's start page. START_FILE is a text file whose first line is the\n"
        "order page's URL (the *.quenlow file a store hands out); use\n"
        "'quenlow -- FILE' for a file whose name starts with '--'. Only one\n"
        "Quenlow runs at a time: a second start ends at once.\n"
        "\n"
        "Files of this user:\n"
        "  saved state     %s\n"
        "  diagnostic log  %s\n"
        "\n"
        "Environment:\n"
        "  QUENLOW_LOG=FILE   write the diagnostic log to FILE instead\n"
        "  QUENLOW_TRACE=0    leave network traces out of the log\n",
        saveState.empty() ? "(none: set HOME)" : saveState.c_str(),
        log.empty() ? "(none: set HOME)" : log.c_str());
}

void printVersion() {
    std::printf("quenlow %s (store client version %s)\n", QUENLOW_VERSION, quenlow::ClientVersion);
}

// --help and --version are answered before Qt starts, so they work without
// a display and never open a window. Anything else is left to the
// application: a start file, as always.
std::optional<int> answerInformationRequest(int argc, char** argv) {
    if (argc < 2) return std::nullopt;
    if (std::strcmp(argv[1], "--help") == 0) {
        printHelp();
        return 0;
    }
    if (std::strcmp(argv[1], "--version") == 0) {
        printVersion();
        return 0;
    }
    return std::nullopt;
}

}  // namespace

int main(int argc, char** argv) {
    if (std::optional<int> done = answerInformationRequest(argc, argv)) return *done;
    CQuenlowApp app(argc, argv);
    if (!app.InitInstance()) return 0;
    return app.exec();
}
