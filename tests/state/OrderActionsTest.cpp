// What the view asks of an order: start, pause, resume, launch.

#include <filesystem>

#include "state/StateFixture.h"

namespace quenlow::test {
namespace {

// Four files whose controllers stay idle: commands remain in their queues.
class OrderActionsTest : public StateFixture {
  protected:
    void SetUp() override {
        StateFixture::SetUp();
        order = makeOrder("1");
        order->loadOrder(R"(<Files>
            <File FileKey="1" FileName="a.bin"><FilePart FileID="A"/></File>
            <File FileKey="2" FileName="b.bin"><FilePart FileID="B"/></File>
            <File FileKey="3" FileName="c.bin"><FilePart FileID="C"/></File>
            <File FileKey="4" FileName="d.bin"><FilePart FileID="D"/></File></Files>)");
        ASSERT_EQ(order->fileCount, 4);
        view.clear();
    }

    // Every command queued for file i, in order.
    std::vector<intptr_t> commands(size_t i) {
        std::vector<intptr_t> out;
        while (auto m = order->files[i]->threadId()->tryTake()) {
            EXPECT_EQ(m->id, UM_FILE_COMMAND);
            EXPECT_EQ(m->wParam, UM_FILE_COMMAND);
            out.push_back(m->lParam);
        }
        return out;
    }

    std::unique_ptr<OrderState> order;
};

TEST_F(OrderActionsTest, CommandFollowsTheFileState) {
    struct Case {
        const char* indexText;
        int state;
        bool prelocated;
        size_t file;
        intptr_t command;
        int stateAfter;
    };
    const Case cases[] = {
        {"0", FileState_Initial, false, 0, FileState_Initial, FileState_Downloading},     // start
        {"1", FileState_Downloading, false, 1, FileState_Paused, FileState_Downloading},  // pause
        {"2", FileState_Paused, false, 2, FileState_Downloading, FileState_Paused},       // resume
        {"3", FileState_Partial, false, 3, FileState_Initial,
         FileState_Downloading},  // restart from saved
        {"3", FileState_Reconfigured, false, 3, FileState_Initial, FileState_Downloading},
        {"3", FileState_Error, false, 3, FileState_Initial, FileState_Downloading},
        {"1", FileState_Paused, true, 1, FileState_Downloading,
         FileState_Paused},  // prelocated: run
        {"abc", FileState_Initial, false, 0, FileState_Initial,
         FileState_Downloading},  // non-numeric acts on 0
        {" 2x", FileState_Initial, false, 2, FileState_Initial,
         FileState_Downloading},  // leading digits count
    };
    for (const Case& c : cases) {
        File& f = *order->files[c.file];
        f.state = c.state;
        f.prelocated = c.prelocated;
        order->requestFileAction(c.indexText);
        EXPECT_EQ(commands(c.file), std::vector<intptr_t>{c.command})
            << c.indexText << " state " << c.state;
        EXPECT_EQ(f.state.load(), c.stateAfter) << c.indexText;
        for (size_t other = 0; other < order->files.size(); ++other) {
            if (other != c.file) {
                EXPECT_TRUE(commands(other).empty()) << c.indexText;
            }
        }
        f.prelocated = false;
    }
    EXPECT_EQ(view.messages().size(), 0u);
}

TEST_F(OrderActionsTest, IndexOutsideTheTableIsReportedAndTouchesNothing) {
    struct Case {
        const char* indexText;
        uintptr_t wParam;
    };
    const Case cases[] = {
        {"-1", 0},
        {"4", 5},
        {"100", 101},
        {"-7", static_cast<uintptr_t>(static_cast<intptr_t>(-6))},
        {"99999999999999999999999", static_cast<uintptr_t>(static_cast<intptr_t>(INT64_MAX))},
    };
    for (const Case& c : cases) {
        view.clear();
        order->requestFileAction(c.indexText);
        auto msgs = view.messages();
        ASSERT_EQ(msgs.size(), 1u) << c.indexText;
        EXPECT_EQ(msgs[0].id, UM_FILE_ERROR);
        EXPECT_EQ(msgs[0].wParam, c.wParam) << c.indexText;
        ASSERT_TRUE(msgs[0].text.has_value());
        EXPECT_EQ(*msgs[0].text, "Invalid file information: File index out of range.");
        for (size_t i = 0; i < order->files.size(); ++i) {
            EXPECT_TRUE(commands(i).empty());
            EXPECT_EQ(order->files[i]->state.load(), FileState_Initial);
        }
    }
}

TEST_F(OrderActionsTest, StartFileChoosesTheDefaultFolderOnlyWhenNoneIsSet) {
    order->DefaultOutputFolder = "/dl";
    order->files[1]->outputFolder = "/chosen";
    order->files[1]->outputPath = "/chosen/";
    order->startFile(0);
    order->startFile(1);
    order->startFile(-1);  // out of range: ignored
    order->startFile(4);
    EXPECT_EQ(order->files[0]->outputFolder, "/dl");
    EXPECT_EQ(order->files[0]->outputPath, "/dl/");
    EXPECT_EQ(order->files[1]->outputFolder, "/chosen");
    EXPECT_EQ(order->files[1]->outputPath, "/chosen/");
    for (size_t i : {0u, 1u}) {
        EXPECT_EQ(order->files[i]->state.load(), FileState_Downloading);
        EXPECT_EQ(commands(i), std::vector<intptr_t>{FileState_Initial});
    }
}

TEST_F(OrderActionsTest, LaunchOpensTheInstallCommandWhereItIs) {
    const std::string out = root + "/out";
    writeFile(out + "/direct.sh", "x");
    writeFile(out + "/Pkg/inner.sh", "x");
    struct Case {
        const char* name;
        std::string outputFolder;
        const char* installCommand;
        const char* launchFolder;
        std::string target;
        std::string workingDir;
        const char* installAfter;
    };
    const Case cases[] = {
        {"beside the download", out, "direct.sh", "Pkg", out + "/direct.sh", out + "/",
         "direct.sh"},
        {"inside the launch folder", out + "/", "inner.sh", "Pkg", out + "/Pkg/inner.sh",
         out + "/Pkg", "inner.sh"},
        {"missing, no launch folder", out, "gone.sh", "", out + "/gone.sh", out + "/", "gone.sh"},
        {"no install command opens the folder", out, "", "Pkg", out + "/", out + "/", "/"},
    };
    for (size_t i = 0; i < std::size(cases); ++i) {
        const Case& c = cases[i];
        File& f = *order->files[0];
        f.outputFolder = c.outputFolder;
        f.installCommand = c.installCommand;
        f.launchFolder = c.launchFolder;
        shell.opened.clear();
        view.clear();
        order->launchFile(0);
        ASSERT_EQ(shell.opened.size(), 1u) << c.name;
        EXPECT_EQ(shell.opened[0].first, c.target) << c.name;
        EXPECT_EQ(shell.opened[0].second, c.workingDir) << c.name;
        EXPECT_EQ(f.installCommand, c.installAfter) << c.name;
        auto msgs = view.messages();
        ASSERT_EQ(msgs.size(), 1u) << c.name;
        EXPECT_EQ(msgs[0].id, UM_LAUNCH_COMPLETE);
        EXPECT_EQ(msgs[0].wParam, 0u);
        EXPECT_EQ(msgs[0].lParam, 0);
    }
}

TEST_F(OrderActionsTest, LaunchWithoutFolderOrValidIndexDoesNothing) {
    order->files[2]->outputFolder.clear();
    order->files[2]->installCommand = "x";
    for (int index : {2, -1, 4}) order->launchFile(index);
    EXPECT_TRUE(shell.opened.empty());
    EXPECT_TRUE(view.messages().empty());
    EXPECT_EQ(order->files[2]->installCommand, "x");

    // The launch notice names the file index.
    order->files[3]->outputFolder = root;
    order->files[3]->installCommand = "a";
    order->launchFile(3);
    EXPECT_EQ(view.count(UM_LAUNCH_COMPLETE, 3), 1u);
}

}  // namespace
}  // namespace quenlow::test
