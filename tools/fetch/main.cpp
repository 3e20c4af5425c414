// quenlow-fetch: downloads every file of an order without a window.
//
//   quenlow-fetch <file-info.xml> <order-id> <save-state.xml> [output-folder]
//
// The file-information text is read from the first file. The order is loaded
// against the save-state file as the application would load it (so a run that
// was interrupted, even killed, resumes from the saved positions), every file
// that is not complete is started, and the state is saved whenever the engine
// asks and when a file completes. Progress goes to stdout, failures to stderr.
// QUENLOW_TRACE=1 prints the network traces as well. Paths are taken relative
// to the current folder. A save that fails is reported on stderr.
//
// Exit status: 0 when every file is complete, 1 when a file failed or the
// state could not be saved, 2 for bad arguments or an unreadable
// file-information file.

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <set>
#include <sstream>
#include <string>

#include "platform/MessageQueue.h"
#include "platform/Messages.h"
#include "platform/ViewTarget.h"
#include "state/OrderState.h"

using namespace quenlow;

namespace {

// Window messages land in a queue drained by main(), like the view's thread.
class QueueView : public ViewTarget {
  public:
    void postViewMessage(Message msg) override { queue.post(std::move(msg)); }
    MessageQueue queue;
};

// Saves the order's state; the first failure is reported, and the last
// save decides whether the run counts as saved.
class StateSaver {
  public:
    explicit StateSaver(OrderState& order) : order_(order) {}
    void save() {
        saved_ = order_.saveState();
        if (!saved_ && !reported_) {
            std::cerr << "cannot save the state to " << order_.saveStatePath << "\n";
            reported_ = true;
        }
    }
    bool lastSaveWorked() const { return saved_; }

  private:
    OrderState& order_;
    bool saved_ = true;
    bool reported_ = false;
};

std::string absolute(const char* path) {
    std::error_code ec;
    std::filesystem::path p = std::filesystem::absolute(path, ec);
    return ec ? std::string(path) : p.string();
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 4 || argc > 5) {
        std::cerr
            << "usage: quenlow-fetch <file-info.xml> <order-id> <save-state.xml> [output-folder]\n";
        return 2;
    }
    std::ifstream in(argv[1], std::ios::binary);
    if (!in) {
        std::cerr << "cannot read " << argv[1] << "\n";
        return 2;
    }
    std::stringstream text;
    text << in.rdbuf();
    const char* traceEnv = std::getenv("QUENLOW_TRACE");
    const bool trace = traceEnv && std::string(traceEnv) == "1";

    QueueView view;
    int exitCode = 0;
    {
        OrderState order(&view);
        order.orderId = argv[2];
        order.saveStatePath = absolute(argv[3]);
        order.traceEnabled = trace;
        order.loadOrder(text.str());
        if (argc == 5) order.DefaultOutputFolder = absolute(argv[4]);
        StateSaver saver(order);

        std::set<int> complete;  // file numbers
        auto allComplete = [&] { return static_cast<int>(complete.size()) >= order.fileCount; };
        bool done = false;
        while (!done) {
            auto msg = view.queue.take();
            if (!msg) break;
            const int number = static_cast<int>(msg->wParam);
            switch (msg->id) {
                case UM_FILE_STATUS:
                    if (msg->wParam == Status_RecordsReady) {
                        saver.save();
                        if (order.fileCount == 0) {
                            std::cerr << "the file information lists no files\n";
                            exitCode = 1;
                            done = true;
                            break;
                        }
                        for (int i = 0; i < order.fileCount; ++i) {
                            File& f = *order.files[static_cast<size_t>(i)];
                            if (f.state.load() == FileState_Complete)
                                complete.insert(f.fileNumber());
                            else
                                order.requestFileAction(std::to_string(i));
                        }
                        std::cout << "order " << order.orderId << ": " << order.fileCount
                                  << " file(s)" << std::endl;
                    } else if (msg->wParam == Status_Complete || msg->wParam == Status_Unpacked) {
                        saver.save();
                        complete.insert(static_cast<int>(msg->lParam));
                        std::cout << "file " << msg->lParam << ": complete" << std::endl;
                    } else {
                        std::cout << "file " << msg->lParam << ": status " << msg->wParam
                                  << std::endl;
                    }
                    if (order.fileCount > 0 && allComplete()) done = true;
                    break;
                case UM_SAVE_STATE:
                    saver.save();
                    break;
                case UM_FILE_PROGRESS:
                    std::cout << "file " << number << ": " << msg->lParam << "%" << std::endl;
                    break;
                case UM_ALREADY_COMPLETE:
                    complete.insert(static_cast<int>(msg->lParam));
                    if (allComplete()) done = true;
                    break;
                case UM_FILE_ERROR:
                    if (const std::string* t = msg->text()) {
                        std::cerr << *t << "\n";
                    } else {
                        std::cerr << "file " << number << ": "
                                  << errorTextKey(static_cast<int>(msg->lParam));
                        for (auto& f : order.files)
                            if (f->fileNumber() == number && !f->parts.empty())
                                std::cerr << " (" << f->parts[0]->errorUrl << " "
                                          << f->parts[0]->errorText << ")";
                        std::cerr << "\n";
                    }
                    exitCode = 1;
                    done = true;
                    break;
                case UM_DEBUG_TEXT:
                    if (trace || number == 0)  // 0: about the whole order
                        if (const std::string* t = msg->text())
                            std::cerr << "[" << number << "] " << *t << "\n";
                    break;
                default:
                    break;
            }
        }
        order.shutdown();
        if (exitCode == 0 && !saver.lastSaveWorked()) exitCode = 1;
    }
    return exitCode;
}
