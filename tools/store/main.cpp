// quenlow-store: the demo store. Serves the store pages the application shows,
// the files of each order in parts with byte ranges, and a control API that
// defines orders, records the page's script calls and queues clicks.

#include <Poco/Exception.h>
#include <Poco/Net/HTTPServer.h>
#include <Poco/Net/HTTPServerParams.h>
#include <Poco/Net/ServerSocket.h>
#include <Poco/Net/SocketAddress.h>
#include <Poco/ThreadPool.h>
#include <pthread.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <sstream>
#include <string>
#include <vector>

#include "tools/store/Server.h"
#include "tools/store/Store.h"

namespace {

void usage(std::ostream& out) {
    out << "usage: quenlow-store [--port N] [--data-dir DIR] [--order FILE.json ...]\n"
           "  --port N        port on 127.0.0.1 (default 8321; 0 picks a free one)\n"
           "  --data-dir DIR  where generated packages are written (default: a temporary folder "
           "removed at exit)\n"
           "  --order FILE    define an order from a JSON file (repeatable)\n"
           "  --demo-throttle BYTES  per-connection rate of the demo order's plain file\n"
           "                  (default 3 MiB/s, slow enough to watch; 0 = unthrottled)\n";
}

bool parsePort(const std::string& text, unsigned short& port) {
    if (text.empty() || text.size() > 5 ||
        text.find_first_not_of("0123456789") != std::string::npos)
        return false;
    unsigned long v = std::stoul(text);
    if (v > 65535) return false;
    port = static_cast<unsigned short>(v);
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    using namespace quenlow::store;
    unsigned short port = 8321;
    std::string dataDir;
    std::vector<std::string> orderFiles;
    uint64_t demoThrottle = kDemoThrottle;
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        auto value = [&](std::string& out) {
            if (i + 1 >= argc) return false;
            out = argv[++i];
            return true;
        };
        std::string v;
        if (arg == "--port" && value(v) && parsePort(v, port)) continue;
        if (arg == "--data-dir" && value(v) && !v.empty()) {
            dataDir = v;
            continue;
        }
        if (arg == "--order" && value(v)) {
            orderFiles.push_back(v);
            continue;
        }
        if (arg == "--demo-throttle" && value(v) && !v.empty() && v.size() < 16 &&
            v.find_first_not_of("0123456789") == std::string::npos) {
            demoThrottle = std::stoull(v);
            continue;
        }
        if (arg == "--help" || arg == "-h") {
            usage(std::cout);
            return 0;
        }
        std::cerr << "quenlow-store: bad argument \"" << arg << "\"\n";
        usage(std::cerr);
        return 2;
    }

    bool ownDataDir = dataDir.empty();
    if (ownDataDir) {
        std::string tmpl =
            (std::filesystem::temp_directory_path() / "quenlow-store-XXXXXX").string();
        std::vector<char> buf(tmpl.begin(), tmpl.end());
        buf.push_back('\0');
        if (!mkdtemp(buf.data())) {
            std::cerr << "quenlow-store: cannot create a temporary folder: " << std::strerror(errno)
                      << "\n";
            return 1;
        }
        dataDir = buf.data();
    } else {
        std::error_code ec;
        std::filesystem::create_directories(dataDir, ec);
        if (ec) {
            std::cerr << "quenlow-store: cannot create " << dataDir << ": " << ec.message() << "\n";
            return 1;
        }
    }
    auto cleanup = [&] {
        if (ownDataDir) {
            std::error_code ec;
            std::filesystem::remove_all(dataDir, ec);
        }
    };

    // Signals are taken by sigwait below; every thread inherits the mask. A
    // shell starts background jobs with SIGINT ignored, and an ignored signal
    // never reaches sigwait, so both get a handler first.
    struct sigaction wake {};
    wake.sa_handler = [](int) {};
    sigemptyset(&wake.sa_mask);
    sigaction(SIGINT, &wake, nullptr);
    sigaction(SIGTERM, &wake, nullptr);
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
    std::signal(SIGPIPE, SIG_IGN);

    int rc = 0;
    try {
        Poco::Net::ServerSocket socket;
        socket.bind(Poco::Net::SocketAddress("127.0.0.1", port), true);
        socket.listen(64);
        port = socket.address().port();
        Store store("http://127.0.0.1:" + std::to_string(port), dataDir);

        store.defineOrder(demoOrderSpec(demoThrottle));
        for (const auto& file : orderFiles) {
            std::ifstream in(file, std::ios::binary);
            if (!in) throw OrderError("cannot read " + file);
            std::stringstream text;
            text << in.rdbuf();
            try {
                store.defineOrder(parseOrderSpec(text.str()));
            } catch (const OrderError& e) {
                throw OrderError(file + ": " + e.what());
            }
        }

        auto* params = new Poco::Net::HTTPServerParams;
        params->setMaxThreads(160);
        params->setMaxQueued(256);
        params->setKeepAlive(true);
        params->setTimeout(Poco::Timespan(60, 0));
        // Each part download keeps a connection open, paused ones included.
        Poco::ThreadPool pool(4, 160);
        Poco::Net::HTTPServer server(new RequestHandlerFactory(store), pool, socket, params);
        server.start();
        std::cout << "quenlow-store listening on http://127.0.0.1:" << port << std::endl;

        int sig = 0;
        sigwait(&stopSignals, &sig);
        store.stop();
        server.stopAll(true);
        pool.joinAll();
    } catch (const OrderError& e) {
        std::cerr << "quenlow-store: " << e.what() << "\n";
        rc = 1;
    } catch (const Poco::Exception& e) {
        std::cerr << "quenlow-store: " << e.displayText() << "\n";
        rc = 1;
    } catch (const std::exception& e) {
        std::cerr << "quenlow-store: " << e.what() << "\n";
        rc = 1;
    }
    cleanup();
    return rc;
}
