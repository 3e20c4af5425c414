// The view's logic against a fake page: page load, page fill, user actions and
// the worker-message handlers.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <sstream>

#include "app/core/ViewCore.h"
#include "platform/Messages.h"
#include "platform/UserFolders.h"
#include "support/RecordingShell.h"
#include "support/ScopedEnvironment.h"
#include "support/ScratchDir.h"

namespace quenlow {
namespace {

namespace fs = std::filesystem;
using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::Not;

struct Call {
    std::string fn;
    std::vector<std::string> args;
    bool operator==(const Call& o) const { return fn == o.fn && args == o.args; }
};
void PrintTo(const Call& c, std::ostream* os) {
    *os << c.fn << "(";
    for (size_t i = 0; i < c.args.size(); ++i) *os << (i ? ", " : "") << '"' << c.args[i] << '"';
    *os << ")";
}

// A page that answers reads at once, or, with answerReads off, only when the
// test says so (answerWaiting); script calls likewise with answerCalls.
class FakePage : public Page {
  public:
    bool document = true;
    bool answerReads = true;
    bool answerCalls = true;
    std::map<std::string, ElementValue> values;
    std::map<std::string, std::string> html;
    std::string label;
    std::vector<Call> calls;
    std::vector<std::string> reads;  // element names, in reading order
    std::vector<std::pair<std::vector<PageRead>, std::function<void(PageAnswer)>>> waiting;
    std::vector<std::function<void()>> batches;  // unanswered call batches

    void set(const std::string& name, const std::string& value) {
        values[name] = {ElementValue::Value, value};
    }

    bool hasDocument() override { return document; }
    void readElements(const std::vector<PageRead>& rs,
                      std::function<void(PageAnswer)> done) override {
        if (answerReads)
            done(answer(rs));
        else
            waiting.emplace_back(rs, std::move(done));
    }
    // Answers every waiting read with what the page holds now.
    void answerWaiting() {
        auto pending = std::move(waiting);
        waiting.clear();
        for (auto& [rs, done] : pending) done(answer(rs));
    }
    void callFunctions(const std::vector<ScriptCall>& batch, std::function<void()> done) override {
        for (const ScriptCall& c : batch) calls.push_back({scriptFunctionName(c.fn), c.args});
        if (answerCalls)
            done();
        else
            batches.push_back(std::move(done));
    }

  private:
    PageAnswer answer(const std::vector<PageRead>& rs) {
        std::vector<ElementValue> out;
        for (const PageRead& r : rs) {
            if (r.kind == PageRead::OrderLabel) {
                out.push_back({ElementValue::Value, label});
                continue;
            }
            std::string name = r.name;
            if (r.suffixFrom >= 0 &&
                out.at(static_cast<size_t>(r.suffixFrom)).kind == ElementValue::Value)
                name += out[static_cast<size_t>(r.suffixFrom)].text;
            reads.push_back(name);
            if (r.kind == PageRead::OuterHtml) {
                auto it = html.find(name);
                out.push_back(it == html.end() ? ElementValue{}
                                               : ElementValue{ElementValue::Value, it->second});
            } else {
                auto it = values.find(name);
                out.push_back(it == values.end() ? ElementValue{} : it->second);
            }
        }
        return out;
    }
};

class FakeHost : public ViewHost {
  public:
    std::vector<std::pair<std::string, std::string>> boxes;  // (text, caption)
    std::optional<std::string> folder;
    int browsed = 0;
    std::vector<Millis> quits;
    int zooms = 0;
    std::vector<std::pair<Millis, std::function<void()>>> timers;

    void showMessageBox(const std::string& text, const std::string& caption) override {
        boxes.emplace_back(text, caption);
    }
    void browseForFolder(std::function<void(std::optional<std::string>)> done) override {
        ++browsed;
        done(folder);
    }
    void quitAfter(Millis delay) override { quits.push_back(delay); }
    void setMiddleZoom() override { ++zooms; }
    void startTimer(Millis delay, std::function<void()> fire) override {
        timers.emplace_back(delay, std::move(fire));
    }
    // Lets every timer started so far run out.
    void fireTimers() {
        auto due = std::move(timers);
        timers.clear();
        for (auto& [delay, fire] : due) fire();
    }
};

std::string fileXml(int key, const std::string& name, const std::string& install = "") {
    std::ostringstream s;
    s << "<File FileTypeID=\"2\" FileKey=\"" << key << "\" FileName=\"" << name
      << "\" InstallCommand=\"" << install << "\"><FilePart FilePartKey=\"1\" FileID=\"F" << key
      << "\" FileURL=\"http://127.0.0.1:1/" << name << "\"/></File>";
    return s.str();
}

std::string filesXml(int count) {
    std::string s = "<Files>";
    for (int i = 1; i <= count; ++i) s += fileXml(i, "file" + std::to_string(i) + ".bin", "run.sh");
    return s + "</Files>";
}

const std::string kOrder = "ORDER0000001";
const std::string kUrl = "http://127.0.0.1:8321/Webstore/Order.aspx?order=ORDER0000001&wveskv=3160";
const std::string kRangeText = "Invalid file information: File index out of range.";

class ViewCoreTest : public ::testing::Test {
  protected:
    void SetUp() override {
        fs::create_directories(dir_ / "home");
        saveEnv("APPDATA", (dir_ / "appdata").string());
        saveEnv("HOME", (dir_ / "home").string());
        setDriveRoots(std::vector<std::string>{});
        log_ = std::make_unique<FileLogWriter>((dir_ / "Quenlow.log").string());
        core_ = std::make_unique<ViewCore>(page_, host_, *log_, &shell_, queue_);
        core_->prepareOrder = [](OrderState& o) { o.startControllers = false; };
    }
    void TearDown() override {
        core_.reset();
        setDriveRoots(std::nullopt);
    }
    void saveEnv(const std::string& name, const std::string& value) {
        environment_.set(name, value);
    }

    void pump() {
        queue_.drain([this](Message& m) { core_->handleMessage(m); });
    }
    // Loads a page with the order and file information; the page fill is not pumped yet.
    void loadPage(const std::string& orderNumber, const std::string& fileInfo,
                  const std::string& url = kUrl) {
        page_.set("hfOrderNumber", orderNumber);
        page_.set("hfFileInfo", fileInfo);
        core_->DocumentComplete(url);
    }
    void loadAndFill(int files) {
        loadPage(kOrder, filesXml(files));
        pump();
        page_.calls.clear();
    }
    void post(uint32_t id, uintptr_t w, intptr_t l) {
        queue_.post(queue_.currentGeneration(), Message(id, w, l));
    }
    File& file(int i) { return *core_->orderState()->files.at(static_cast<size_t>(i)); }
    // Next command the view posted to file i's controller, or 0.
    intptr_t nextCommand(int i) {
        auto m = file(i).threadId()->tryTake();
        return m ? m->lParam : 0;
    }
    std::string logText() {
        std::ifstream in(dir_ / "Quenlow.log", std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), {});
    }
    // The save-state file once the saves the view asked for are on disk (the
    // view's saves run on the writer's thread).
    std::string saveStatePath() {
        if (core_ && core_->orderState()) core_->orderState()->waitForSaves();
        return (dir_ / "appdata/Ostrel Inc/Quenlow/VeskSaveState.xml").string();
    }

    test::ScratchDir scratch_{"viewcore"};
    fs::path dir_ = scratch_.path();
    test::ScopedEnvironment environment_;
    FakePage page_;
    FakeHost host_;
    test::RecordingShell shell_;
    ViewQueue queue_;
    std::unique_ptr<FileLogWriter> log_;
    std::unique_ptr<ViewCore> core_;
};

Call C(std::string fn, std::vector<std::string> args = {}) {
    return Call{std::move(fn), std::move(args)};
}

// --- page load ---

TEST_F(ViewCoreTest, AcceptedPageBuildsTheOrderSavesAndFillsThePage) {
    core_->traceEnabled = false;
    loadPage(kOrder, "<ApplicationData DefaultOutputFolder=\"/srv/dl\"/>" + filesXml(2));
    OrderState* order = core_->orderState();
    ASSERT_NE(order, nullptr);
    EXPECT_EQ(order->orderId, kOrder);
    EXPECT_EQ(order->CurrentUrl, kUrl);
    EXPECT_TRUE(order->deleteOnCrcFailure);
    EXPECT_FALSE(order->traceEnabled);
    EXPECT_EQ(order->fileCount, 2);
    EXPECT_EQ(core_->fileInformation(), page_.values["hfFileInfo"].text);
    EXPECT_TRUE(fs::exists(saveStatePath()));
    EXPECT_EQ(host_.zooms, 1);
    EXPECT_TRUE(host_.boxes.empty());
    pump();
    EXPECT_THAT(page_.calls, ElementsAre(C("setHiddenProgressValue", {"1", "0", ""}),
                                         C("setHiddenProgressValue", {"2", "0", ""}),
                                         C("setFolderSelection", {"/srv/dl"})));
}

TEST_F(ViewCoreTest, UrlMarkersDecideCurrentUrlAndCrcDeletion) {
    struct Case {
        std::string url;
        std::string currentUrl;
        bool deleteOnCrcFailure;
    };
    const Case cases[] = {
        {"https://s/Order.aspx?order=1&rtarn=1", "https://s/Order.aspx?order=1&rtarn=1", false},
        {"https://s/VESKDownloadUpgrade.aspx?x=1", "", true},
        {"https://s/a", "https://s/a", true},  // 11 characters
        {"https://s/", "", true},              // 10 characters
    };
    core_->setTrustedOrigins(TrustedOrigins("", "https://s"));
    for (const auto& c : cases) {
        fs::remove(saveStatePath());  // no CurrentUrl remembered from the case before
        loadPage(kOrder, filesXml(1), c.url);
        ASSERT_NE(core_->orderState(), nullptr) << c.url;
        EXPECT_EQ(core_->orderState()->CurrentUrl, c.currentUrl) << c.url;
        EXPECT_EQ(core_->orderState()->deleteOnCrcFailure, c.deleteOnCrcFailure) << c.url;
    }
    // The marker at the first character is no URL at all: such a page is not
    // the store's, and nothing of it is taken.
    uint64_t generation = core_->generation();
    loadPage(kOrder, filesXml(1), "&rtarn=1&more=text");
    EXPECT_EQ(core_->generation(), generation);
}

TEST_F(ViewCoreTest, OrderNumberLengthDecidesWhetherThePageIsTaken) {
    struct Case {
        std::string number;
        bool accepted;
    };
    const Case cases[] = {{"", true},
                          {"ABCDEFGHIJK", false},
                          {"ABCDEFGHIJKL", true},
                          {"ABCDEFGHIJKLM", false},
                          {"ÄBCDEFGHIJKL", true}};  // twelve characters, thirteen bytes
    page_.label = "LABEL0000042";
    for (const auto& c : cases) {
        loadPage(kOrder, filesXml(1));  // a previous order that must survive a rejection
        OrderState* before = core_->orderState();
        uint64_t generation = core_->generation();
        host_.boxes.clear();
        loadPage(c.number, filesXml(2));
        if (c.accepted) {
            EXPECT_TRUE(host_.boxes.empty()) << c.number;
            EXPECT_EQ(core_->generation(), generation + 1) << c.number;
            EXPECT_EQ(core_->orderState()->orderId, c.number.empty() ? page_.label : c.number);
            EXPECT_EQ(core_->orderState()->fileCount, 2);
        } else {
            EXPECT_THAT(host_.boxes, ElementsAre(std::make_pair(
                                         std::string("Invalid Order Number found, nothing to do"),
                                         std::string("VESK DocumentComplete"))))
                << c.number;
            EXPECT_EQ(core_->orderState(), before) << c.number;
            EXPECT_EQ(core_->generation(), generation) << c.number;
            EXPECT_EQ(core_->orderState()->fileCount, 1);
        }
    }
}

TEST_F(ViewCoreTest, AnElementWithoutValueStopsThePageLoad) {
    page_.set("hfOrderNumber", kOrder);
    page_.values["hfFileInfo"] = {ElementValue::NoValue, ""};
    core_->DocumentComplete(kUrl);
    pump();
    EXPECT_EQ(core_->orderState(), nullptr);
    EXPECT_TRUE(page_.calls.empty());
    EXPECT_EQ(host_.zooms, 0);
}

TEST_F(ViewCoreTest, ClickControlNamesAreReadOnceWhenTheFirstDocumentExists) {
    page_.document = false;
    core_->HookClickEvents();
    EXPECT_FALSE(core_->clickEventsHooked());
    page_.document = true;
    page_.set("hfDownloadActionButtonName", "btnGet");
    loadPage(kOrder, filesXml(1));
    EXPECT_TRUE(core_->clickEventsHooked());
    EXPECT_EQ(core_->eventHandler().actionButtonPrefix, "btnGet");
    EXPECT_EQ(core_->eventHandler().folderSelectionName, "BrowserFolderSelection");
    page_.set("hfDownloadActionButtonName", "other");
    loadPage(kOrder, filesXml(1));
    EXPECT_EQ(core_->eventHandler().actionButtonPrefix, "btnGet");
}

TEST_F(ViewCoreTest, PageFillShowsCompletePartialNewAndReconfiguredFiles) {
    loadPage(kOrder, filesXml(4));
    file(0).state = FileState_Complete;
    file(0).outputFolder = "/out/a";
    file(1).fileSize = 1000;
    file(1).downloadedBytes = 505;
    file(1).state = FileState_Partial;
    file(3).state = FileState_Reconfigured;
    pump();
    const std::string folder = (dir_ / "home/Downloads").string();
    EXPECT_THAT(
        page_.calls,
        ElementsAre(
            C("setHiddenProgressValue", {"1", "100", "/out/a"}),
            C("setCompleteDownloadState", {"1"}), C("setHiddenProgressValue", {"2", "50", ""}),
            C("setButtonAction", {"2", "Download.Resume"}),
            C("setStatus", {"2", "Download.Paused"}), C("setHiddenProgressValue", {"3", "0", ""}),
            C("setHiddenProgressValue", {"4", "0", ""}),
            C("setErrorUsingTextItemKey", {"4", "Download.FileReconfigurationMessage", "", ""}),
            C("setStatus", {"4", "Download.Start"}), C("setFolderSelection", {folder})));
}

TEST_F(ViewCoreTest, MessagesOfAReplacedOrderAreDropped) {
    loadAndFill(2);
    uint64_t oldGeneration = core_->generation();
    loadPage(kOrder, filesXml(1));
    // Posted by the first order's workers before they were stopped.
    queue_.post(oldGeneration, Message(UM_FILE_PROGRESS, 2, 40));
    queue_.post(oldGeneration, Message(UM_FILE_STATUS, Status_Complete, 1));
    pump();
    for (const Call& c : page_.calls) {
        EXPECT_NE(c.fn, "setProgress");
        EXPECT_NE(c.fn, "completeDownload");
    }
    EXPECT_EQ(page_.calls.back(), C("setFolderSelection", {(dir_ / "home/Downloads").string()}));
}

// --- user actions ---

TEST_F(ViewCoreTest, ThreeClicksStartPauseAndResume) {
    loadAndFill(1);
    page_.set("productIdx1", "7");
    page_.html["dlSelect7"] = "<select id=\"dlSelect7\"></select>";
    page_.set("fileUrl1", "http://127.0.0.1:1/mirror");
    page_.set("edv1", "1234^^key");
    page_.set("oiopua1", "yes");
    auto click = [&] {
        core_->pageEventTarget().postViewMessage(Message(UM_PAGE_EVENT, Event_ActionButton, 0));
        pump();
    };
    click();
    EXPECT_EQ(nextCommand(0), FileState_Initial);
    EXPECT_EQ(file(0).state.load(), FileState_Downloading);
    EXPECT_EQ(file(0).outputFolder, (dir_ / "home/Downloads").string());
    EXPECT_EQ(file(0).pageFileUrl, "http://127.0.0.1:1/mirror");
    EXPECT_EQ(file(0).unpackParameter, "1234^^key");
    click();
    EXPECT_EQ(nextCommand(0), FileState_Paused);
    file(0).state = FileState_Paused;  // the controller reports the pause
    click();
    EXPECT_EQ(nextCommand(0), FileState_Downloading);
    EXPECT_EQ(nextCommand(0), 0);

    std::string log = logText();
    size_t lines = 0;
    for (size_t at = 0;
         (at = log.find("[Download] [Trace] OnEventMessage FileKey 0 ", at)) != std::string::npos;
         ++at)
        ++lines;
    EXPECT_EQ(lines, 3u);
    EXPECT_THAT(log, HasSubstr(" Event_ActionButton\r\n"));
}

TEST_F(ViewCoreTest, ClickWithoutGoAheadFieldOnlyUpdatesTheFileFields) {
    loadAndFill(1);
    page_.set("productIdx1", "7");  // no dlSelect7: the page URL is not taken
    page_.set("fileUrl1", "http://127.0.0.1:1/mirror");
    page_.set("edv1", "crc^^key");
    core_->pageEventTarget().postViewMessage(Message(UM_PAGE_EVENT, Event_ActionButton, 0));
    pump();
    EXPECT_EQ(nextCommand(0), 0);
    EXPECT_EQ(file(0).state.load(), FileState_Initial);
    EXPECT_EQ(file(0).pageFileUrl, "");
    EXPECT_EQ(file(0).unpackParameter, "crc^^key");
    EXPECT_EQ(logText(), "");
}

TEST_F(ViewCoreTest, ClickOnUnpackingFileIsIgnoredAndOnCompleteFileLaunches) {
    loadAndFill(2);
    page_.set("oiopua1", "yes");
    page_.set("oiopua2", "yes");
    file(0).state = FileState_Unpacking;
    file(1).state = FileState_Complete;
    file(1).outputFolder = (dir_ / "out").string();
    page_.reads.clear();
    core_->pageEventTarget().postViewMessage(Message(UM_PAGE_EVENT, Event_ActionButton, 0));
    core_->pageEventTarget().postViewMessage(Message(UM_PAGE_EVENT, Event_ActionButton, 1));
    pump();
    EXPECT_TRUE(page_.reads.empty());
    EXPECT_EQ(nextCommand(0), 0);
    EXPECT_EQ(nextCommand(1), 0);
    ASSERT_EQ(shell_.opened.size(), 1u);
    EXPECT_EQ(shell_.opened[0].first, (dir_ / "out/run.sh").string());
    EXPECT_THAT(page_.calls, ElementsAre(C("fileLaunchComplete", {"2"})));
}

TEST_F(ViewCoreTest, ClickOutsideTheOrderShowsTheRangeErrorAndTouchesNoRecord) {
    loadAndFill(1);
    page_.set("oiopua0", "yes");
    page_.set("oiopua2", "yes");
    for (intptr_t index : {intptr_t(-1), intptr_t(1)})
        core_->pageEventTarget().postViewMessage(Message(UM_PAGE_EVENT, Event_ActionButton, index));
    pump();
    EXPECT_EQ(nextCommand(0), 0);
    EXPECT_EQ(file(0).state.load(), FileState_Initial);
    EXPECT_THAT(page_.calls,
                ElementsAre(C("setErrorUsingTextItemKey", {"0", "Download.Error", kRangeText, ""}),
                            C("hideWaitWidget"),
                            C("setErrorUsingTextItemKey", {"2", "Download.Error", kRangeText, ""}),
                            C("hideWaitWidget")));
}

TEST_F(ViewCoreTest, FolderSelectionChangesTheDefaultFolderOnlyWhenItDiffers) {
    loadAndFill(1);
    auto clickFolder = [&](std::optional<std::string> answer) {
        host_.folder = std::move(answer);
        core_->pageEventTarget().postViewMessage(
            textMessage(UM_PAGE_EVENT, Event_FolderButton, "<a>"));
        pump();
    };
    clickFolder("/data/dl");
    clickFolder("/data/dl");
    clickFolder(std::nullopt);
    EXPECT_EQ(host_.browsed, 3);
    EXPECT_EQ(core_->orderState()->DefaultOutputFolder, "/data/dl");
    EXPECT_EQ(file(0).outputFolder, "");
    EXPECT_THAT(page_.calls, ElementsAre(C("setFolderSelection", {"/data/dl"})));
}

TEST_F(ViewCoreTest, UpgradeLinkQuitsAfterTheUpgradeDelayEvenWithoutAnOrder) {
    core_->pageEventTarget().postViewMessage(Message(UM_PAGE_EVENT, Event_UpgradeLink, 0));
    pump();
    loadAndFill(1);
    // A page load between the click and its handling does not lose it.
    core_->pageEventTarget().postViewMessage(Message(UM_PAGE_EVENT, Event_UpgradeLink, 0));
    loadPage(kOrder, filesXml(1));
    pump();
    EXPECT_THAT(host_.quits, ElementsAre(pacing().upgradeQuitDelay, pacing().upgradeQuitDelay));
}

// --- worker notifications ---

TEST_F(ViewCoreTest, StatusCodes) {
    struct Case {
        int code;
        std::vector<Call> calls;
        bool saves;
    };
    const Case cases[] = {
        {Status_Paused, {C("setStatus", {"2", "Download.Paused"})}, false},
        {Status_Resumed, {C("setStatus", {"2", "Download.Downloading"})}, false},
        {Status_CrcChecking, {C("setStatus", {"2", "Download.CRCChecking"})}, false},
        {Status_Unpacking,
         {C("setProgress", {"2", "0"}), C("setStatus", {"2", "FinishedCRCChecking"})},
         false},
        {Status_Complete, {C("completeDownload", {"2"})}, true},
        {Status_Unpacked, {C("completeDownload", {"2"})}, true},
        {205, {}, false},
    };
    loadAndFill(2);
    for (const auto& c : cases) {
        page_.calls.clear();
        fs::remove(saveStatePath());
        post(UM_FILE_STATUS, static_cast<uintptr_t>(c.code), 2);
        post(UM_FILE_STATUS, static_cast<uintptr_t>(c.code), 3);  // names no file
        pump();
        EXPECT_EQ(page_.calls, c.calls) << c.code;
        EXPECT_EQ(fs::exists(saveStatePath()), c.saves) << c.code;
    }
}

TEST_F(ViewCoreTest, ProgressShowsStatusOnlyWhileDownloadingOrUnpacking) {
    struct Case {
        int state;
        const char* status;  // nullptr: no status call
    };
    const Case cases[] = {{FileState_Downloading, "Download.Downloading"},
                          {FileState_Unpacking, "Download.Unpacking"},
                          {FileState_Paused, nullptr}};
    loadAndFill(1);
    file(0).outputFolder = "/out";
    for (const auto& c : cases) {
        page_.calls.clear();
        file(0).state = c.state;
        post(UM_FILE_PROGRESS, 1, 37);
        post(UM_FILE_PROGRESS, 0, 37);  // names no file
        pump();
        std::vector<Call> expected = {C("setProgress", {"1", "37"})};
        if (c.status) expected.push_back(C("setStatus", {"1", c.status}));
        expected.push_back(C("setFileOutputFolderText", {"1", "/out"}));
        EXPECT_EQ(page_.calls, expected) << c.state;
    }
}

TEST_F(ViewCoreTest, ErrorCodesShowTheirKeysAndLogPartFailures) {
    struct Case {
        int code;
        std::string errorUrl;
        const char* key;
        bool logged;
    };
    const Case cases[] = {
        {Error_CreateFile, "http://u/a", "Download.UnableToCreateFile", false},
        {Error_DiskSpace, "http://u/a", "Download.InsufficientDiskSpace", false},
        {Error_DiskWrite, "http://u/a", "Download.DiskError", false},
        {Error_Download, "http://u/a", "Download.Error", true},
        {Error_Download, "", "Download.Error", false},
        {9, "http://u/a", "Download.Error", true},
    };
    loadAndFill(1);
    for (const auto& c : cases) {
        page_.calls.clear();
        fs::resize_file(dir_ / "Quenlow.log", 0);  // the writer appends
        file(0).parts.at(0)->errorUrl = c.errorUrl;
        file(0).parts.at(0)->errorText = "HTTP 404";
        post(UM_FILE_ERROR, 1, c.code);
        pump();
        std::string message = c.key == std::string("Download.Error") ? c.errorUrl : "";
        std::string detail = c.key == std::string("Download.Error") ? "HTTP 404" : "";
        EXPECT_THAT(page_.calls,
                    ElementsAre(C("setErrorUsingTextItemKey", {"1", c.key, message, detail}),
                                C("hideWaitWidget")))
            << c.code;
        std::string expectedLog =
            c.logged ? "[Download] [Error] OnErrorMessage FileKey 1 " + c.errorUrl +
                           "\r\n[Download] [Error] OnErrorMessage FileKey 1 HTTP 404\r\n"
                     : "";
        EXPECT_EQ(logText(), expectedLog) << c.code;
    }
}

TEST_F(ViewCoreTest, UnpackErrorResetsCountersAndDeletesOnlyThePackageInItsFolder) {
    fs::create_directories(dir_ / "out");
    loadPage(kOrder,
             "<Files>" + fileXml(1, "pkg.tarn") + fileXml(2, "../victim.tarn") + "</Files>");
    pump();
    std::ofstream(dir_ / "out/pkg.tarn") << "package";
    std::ofstream(dir_ / "victim.tarn") << "not ours";
    for (int i : {0, 1}) {
        file(i).outputFolder = (dir_ / "out").string();
        file(i).fileSize = 100;
        file(i).downloadedBytes = 100;
        post(UM_FILE_ERROR, static_cast<uintptr_t>(i + 1), Error_Unpack);
    }
    page_.calls.clear();
    pump();
    EXPECT_FALSE(fs::exists(dir_ / "out/pkg.tarn"));
    EXPECT_TRUE(fs::exists(dir_ / "victim.tarn"));
    for (int i : {0, 1}) {
        EXPECT_EQ(file(i).fileSize.load(), 0);
        EXPECT_EQ(file(i).downloadedBytes.load(), 0);
    }
    EXPECT_THAT(page_.calls,
                ElementsAre(C("setErrorUsingTextItemKey", {"1", "Download.UnpackingError", "", ""}),
                            C("hideWaitWidget"),
                            C("setErrorUsingTextItemKey", {"2", "Download.UnpackingError", "", ""}),
                            C("hideWaitWidget")));
}

TEST_F(ViewCoreTest, WaitWidgetCompleteStateAndLaunchComplete) {
    loadAndFill(1);
    post(UM_WAIT_WIDGET, WaitWidget_Show, 0);
    post(UM_WAIT_WIDGET, WaitWidget_Hide, 0);
    post(UM_WAIT_WIDGET, 7, 0);
    post(UM_ALREADY_COMPLETE, 0, 1);
    post(UM_LAUNCH_COMPLETE, 0, 0);
    post(UM_UNPACK_PERCENT, 0, 50);  // not the view's
    pump();
    EXPECT_THAT(page_.calls,
                ElementsAre(C("showWaitWidget"), C("hideWaitWidget"), C("hideWaitWidget"),
                            C("setCompleteDownloadState", {"1"}), C("fileLaunchComplete", {"1"})));
}

TEST_F(ViewCoreTest, DebugTextsAreLoggedWithTheFileKey) {
    loadAndFill(1);
    queue_.post(core_->generation(), textMessage(UM_DEBUG_TEXT, 1, ""));
    queue_.post(core_->generation(), textMessage(UM_DEBUG_TEXT, 1, "HttpOpenRequest GET /a"));
    queue_.post(core_->generation(), textMessage(UM_DEBUG_TEXT, 9, "stray"));
    pump();
    std::string log = logText();
    EXPECT_THAT(log, ::testing::MatchesRegex(
                         "\\[Download\\] \\[Trace\\] OnDebugMessage FileKey 1 "
                         "[0-9]+/[0-9]+/[0-9]+ [0-9]+:[0-9]+:[0-9]+:[0-9]+ "
                         "HttpOpenRequest GET /a\r\n"
                         "\\[Download\\] \\[Trace\\] OnDebugMessage FileKey 9 .* stray\r\n"));
    EXPECT_TRUE(page_.calls.empty());
}

TEST_F(ViewCoreTest, WithoutAnOrderNothingIsShownOrRead) {
    page_.set("oiopua1", "yes");
    core_->bridge().ResolveScriptFunctions();
    queue_.post(0, Message(UM_FILE_STATUS, Status_RecordsReady, 0));
    queue_.post(0, Message(UM_FILE_STATUS, Status_Complete, 1));
    queue_.post(0, Message(UM_FILE_PROGRESS, 1, 10));
    queue_.post(0, Message(UM_FILE_ERROR, 1, Error_Download));
    queue_.post(0, textMessage(UM_FILE_ERROR, 1, kRangeText));
    queue_.post(0, Message(UM_WAIT_WIDGET, WaitWidget_Show, 0));
    queue_.post(0, Message(UM_SAVE_STATE, 0, 0));
    queue_.post(0, textMessage(UM_DEBUG_TEXT, 1, "trace"));
    queue_.post(0, Message(UM_PAGE_EVENT, Event_ActionButton, 0));
    queue_.post(0, textMessage(UM_PAGE_EVENT, Event_FolderButton, "<a>"));
    pump();
    EXPECT_TRUE(page_.calls.empty());
    EXPECT_TRUE(page_.reads.empty());
    EXPECT_EQ(host_.browsed, 0);
    EXPECT_EQ(logText(), "");
    EXPECT_FALSE(fs::exists(saveStatePath()));
}

// --- steps that wait for the page ---

// A page whose file 1 can be started (every per-file field present).
void fillFileFields(FakePage& page) {
    page.set("productIdx1", "7");
    page.html["dlSelect7"] = "<select id=\"dlSelect7\"></select>";
    page.set("fileUrl1", "http://127.0.0.1:1/mirror");
    page.set("edv1", "1234^^key");
    page.set("oiopua1", "yes");
}

TEST_F(ViewCoreTest, AClickReadsAllItsFieldsInOneReadInThePagesOrder) {
    loadAndFill(1);
    fillFileFields(page_);
    page_.answerReads = false;
    page_.reads.clear();
    core_->pageEventTarget().postViewMessage(Message(UM_PAGE_EVENT, Event_ActionButton, 0));
    pump();
    ASSERT_EQ(page_.waiting.size(), 1u);
    page_.answerWaiting();
    EXPECT_THAT(page_.reads,
                ElementsAre("productIdx1", "dlSelect7", "fileUrl1", "edv1", "oiopua1"));
    EXPECT_EQ(nextCommand(0), FileState_Initial);
    EXPECT_FALSE(queue_.held());
}

TEST_F(ViewCoreTest, AReadThatNeverAnswersFailsItsStepAndFreesTheQueue) {
    loadAndFill(1);
    host_.timers.clear();  // the page load's, answered long ago
    fillFileFields(page_);
    page_.answerReads = false;
    core_->pageEventTarget().postViewMessage(Message(UM_PAGE_EVENT, Event_ActionButton, 0));
    post(UM_FILE_PROGRESS, 1, 5);  // a worker message behind the click
    pump();
    EXPECT_TRUE(core_->stepWaiting());
    EXPECT_TRUE(queue_.held());
    EXPECT_TRUE(page_.calls.empty());  // the message waits for the step
    ASSERT_EQ(host_.timers.size(), 1u);
    EXPECT_EQ(host_.timers[0].first, core_->pageReadTimeout);

    host_.fireTimers();
    EXPECT_FALSE(core_->stepWaiting());
    EXPECT_THAT(logText(), HasSubstr("OnEventMessage page read failed: no answer from the page"));
    pump();
    EXPECT_THAT(page_.calls,
                ElementsAre(C("setProgress", {"1", "5"}), C("setFileOutputFolderText", {"1", ""})));
    // The answer that comes after all is not taken for the failed step.
    page_.answerWaiting();
    pump();
    EXPECT_EQ(nextCommand(0), 0);
    EXPECT_EQ(file(0).state.load(), FileState_Initial);
    EXPECT_EQ(file(0).pageFileUrl, "");
    EXPECT_EQ(file(0).unpackParameter, "");
    EXPECT_EQ(file(0).outputFolder, "");
    EXPECT_THAT(logText(), Not(HasSubstr("Event_ActionButton")));
}

TEST_F(ViewCoreTest, AReadAnsweredAfterANavigationFailsItsStep) {
    page_.answerReads = false;
    page_.set("hfOrderNumber", kOrder);
    page_.set("hfFileInfo", filesXml(1));
    core_->pageLoaded(kUrl);
    pump();
    ASSERT_TRUE(core_->stepWaiting());
    core_->PageNavigating();  // the user followed a link meanwhile
    page_.answerWaiting();
    pump();
    EXPECT_EQ(core_->orderState(), nullptr);
    EXPECT_FALSE(core_->clickEventsHooked());  // the next page load tries again
    EXPECT_FALSE(fs::exists(saveStatePath()));
    EXPECT_EQ(host_.zooms, 0);
    EXPECT_TRUE(page_.calls.empty());
    EXPECT_THAT(logText(), HasSubstr("DocumentComplete page read failed: the page navigated away"));
    EXPECT_FALSE(queue_.held());

    // A page load whose navigation was followed by another is not read at all.
    page_.answerReads = true;
    page_.reads.clear();
    core_->pageLoaded(kUrl);
    core_->PageNavigating();
    pump();
    EXPECT_TRUE(page_.reads.empty());
}

TEST_F(ViewCoreTest, TwoClicksQueuedBehindAPageLoadRunInOrderAfterIt) {
    fillFileFields(page_);
    page_.answerReads = false;
    page_.set("hfOrderNumber", kOrder);
    page_.set("hfFileInfo", filesXml(1));
    core_->pageLoaded(kUrl);
    for (int i = 0; i < 2; ++i)
        core_->pageEventTarget().postViewMessage(Message(UM_PAGE_EVENT, Event_ActionButton, 0));
    pump();
    // One step at a time: the clicks wait until the page load has ended.
    ASSERT_EQ(page_.waiting.size(), 1u);
    EXPECT_EQ(page_.waiting[0].first.back().kind, PageRead::OrderLabel);
    page_.answerWaiting();
    ASSERT_NE(core_->orderState(), nullptr);
    pump();
    ASSERT_EQ(page_.waiting.size(), 1u);
    EXPECT_EQ(page_.waiting[0].first[0].name, "productIdx1");
    page_.answerWaiting();
    EXPECT_EQ(nextCommand(0), FileState_Initial);
    pump();
    ASSERT_EQ(page_.waiting.size(), 1u);
    page_.answerWaiting();
    EXPECT_EQ(nextCommand(0), FileState_Paused);  // the second click pauses what the first started
    pump();
    EXPECT_TRUE(page_.waiting.empty());
    EXPECT_EQ(nextCommand(0), 0);
}

TEST_F(ViewCoreTest, AFileThatChangesWhileTheClickIsReadIsNeverStartedAgain) {
    struct Case {
        const char* name;
        int stateMeanwhile;
        std::vector<Call> calls;
    };
    const Case cases[] = {
        {"completed", FileState_Complete, {C("setCompleteDownloadState", {"1"})}},
        {"unpacking", FileState_Unpacking, {}},
    };
    for (const Case& c : cases) {
        loadAndFill(1);
        fillFileFields(page_);
        file(0).state = FileState_Partial;
        page_.answerReads = false;
        core_->pageEventTarget().postViewMessage(Message(UM_PAGE_EVENT, Event_ActionButton, 0));
        pump();
        file(0).state = c.stateMeanwhile;  // the controller moved on
        page_.answerWaiting();
        pump();
        EXPECT_EQ(nextCommand(0), 0) << c.name;
        EXPECT_EQ(file(0).state.load(), c.stateMeanwhile) << c.name;
        EXPECT_EQ(page_.calls, c.calls) << c.name;
        page_.answerReads = true;
    }
}

TEST_F(ViewCoreTest, UntrustedPagesGetNothingOfTheContract) {
    core_->setTrustedOrigins(TrustedOrigins("", "https://store.example"));
    struct Case {
        std::string url;
        bool trusted;
        std::string shown;  // the origin the log names
    };
    const Case cases[] = {
        {"http://other.test:8321/Webstore/Order.aspx?order=1", false, "http://other.test:8321"},
        {"http://store.example/Webstore/Order.aspx?order=1", false,
         "http://store.example"},  // not https
        {"https://store.example.evil.test/Order.aspx", false, "https://store.example.evil.test"},
        {"https://127.0.0.1@other.test/Order.aspx", false, "https://other.test"},
        {"file:///tmp/Order.html", false, "file:///tmp/Order.html"},
        {"https://store.example/Webstore/Order.aspx?order=1", true, ""},
        {"http://localhost:9/Order.aspx", true, ""},
        {"http://[::1]:9/Order.aspx", true, ""},
    };
    loadAndFill(1);  // the order of an earlier, trusted page
    page_.set("hfOrderNumber", kOrder);
    page_.set("hfFileInfo", filesXml(1));
    fillFileFields(page_);
    for (const Case& c : cases) {
        fs::remove(saveStatePath());
        fs::resize_file(dir_ / "Quenlow.log", 0);
        page_.reads.clear();
        page_.calls.clear();
        uint64_t generation = core_->generation();
        core_->PageNavigating();
        core_->pageLoaded(c.url);
        pump();
        // The page clicks its own button by script.
        core_->pageClicked(c.url, {{"downloadAction1", "<button>"}});
        pump();
        if (c.trusted) {
            EXPECT_EQ(core_->generation(), generation + 1) << c.url;
            EXPECT_EQ(core_->orderState()->CurrentUrl, c.url);
            EXPECT_TRUE(fs::exists(saveStatePath())) << c.url;
            EXPECT_EQ(nextCommand(0), FileState_Initial) << c.url;
            continue;
        }
        EXPECT_EQ(core_->generation(), generation) << c.url;
        EXPECT_TRUE(page_.reads.empty()) << c.url;
        EXPECT_TRUE(page_.calls.empty()) << c.url;
        EXPECT_FALSE(fs::exists(saveStatePath())) << c.url;
        EXPECT_EQ(nextCommand(0), 0) << c.url;
        EXPECT_THAT(logText(), HasSubstr("DocumentComplete page not trusted: " + c.shown + ";"));
        EXPECT_THAT(logText(), HasSubstr("OnClick page not trusted: " + c.shown + ";"));
        // Workers of the order of an earlier page never reach this one.
        post(UM_FILE_PROGRESS, 1, 50);
        pump();
        EXPECT_TRUE(page_.calls.empty()) << c.url;
    }
}

TEST_F(ViewCoreTest, InstallCommandsLeavingTheOutputFolderAreNotLaunched) {
    struct Case {
        const char* installCommand;
        bool launched;
    };
    const Case cases[] = {
        {"setup.sh", true},
        {"sub/../setup.sh", true},
        {"../outside/evil.sh", false},
        {"../../../../../../../tmp/evil.sh", false},
        {"link/evil.sh", false},      // a folder link that leaves the output folder
        {"evil-link.sh", false},      // a file link that leaves it
        {"dangling-link.sh", false},  // a link to nowhere: where it would lead is unknown
    };
    fs::create_directories(dir_ / "out/sub");
    fs::create_directories(dir_ / "outside");
    std::ofstream(dir_ / "out/setup.sh") << "#!/bin/sh\n";
    std::ofstream(dir_ / "outside/evil.sh") << "#!/bin/sh\n";
    fs::create_directory_symlink(dir_ / "outside", dir_ / "out/link");
    fs::create_symlink(dir_ / "outside/evil.sh", dir_ / "out/evil-link.sh");
    fs::create_symlink(dir_ / "nowhere/evil.sh", dir_ / "out/dangling-link.sh");
    loadAndFill(1);
    for (const Case& c : cases) {
        shell_.opened.clear();
        page_.calls.clear();
        fs::resize_file(dir_ / "Quenlow.log", 0);
        file(0).state = FileState_Complete;
        file(0).outputFolder = (dir_ / "out").string();
        file(0).installCommand = c.installCommand;
        core_->pageEventTarget().postViewMessage(Message(UM_PAGE_EVENT, Event_ActionButton, 0));
        pump();
        EXPECT_EQ(shell_.opened.size(), c.launched ? 1u : 0u) << c.installCommand;
        EXPECT_EQ(logText().find("launch refused") != std::string::npos, !c.launched)
            << c.installCommand;
        // The page re-enables its button either way.
        EXPECT_THAT(page_.calls, ElementsAre(C("fileLaunchComplete", {"1"}))) << c.installCommand;
    }
}

TEST(PageBridge, CallsForAFileMergeWhileThePageIsBehind) {
    FakePage page;
    page.answerCalls = false;
    PageBridge bridge(page);
    bridge.ResolveScriptFunctions();
    bridge.setProgress(1, 10);  // sent at once
    bridge.setProgress(1, 20);
    bridge.setStatus(1, "Download.Downloading");
    bridge.setProgress(1, 30);
    bridge.setStatus(1, "Download.Downloading");  // nothing new
    bridge.setProgress(2, 5);
    bridge.setFileOutputFolderText(1, "/a");
    bridge.setFileOutputFolderText(1, "/b");
    bridge.completeDownload(1);  // not merged, and nothing older moves past it
    bridge.setProgress(1, 100);
    bridge.setStatus(1, "Download.CRCChecking");
    bridge.setStatus(1, "FinishedCRCChecking");  // every status change reaches the page
    bridge.setStatus(1, "FinishedCRCChecking");
    bridge.setProgress(1, 0);  // percents never go back behind a later one
    EXPECT_THAT(page.calls, ElementsAre(C("setProgress", {"1", "10"})));
    EXPECT_EQ(bridge.pendingCalls(), 8u);
    ASSERT_EQ(page.batches.size(), 1u);
    auto first = std::move(page.batches[0]);
    page.batches.clear();
    first();  // the page has run the first batch: the rest goes as one
    EXPECT_THAT(
        page.calls,
        ElementsAre(C("setProgress", {"1", "10"}), C("setProgress", {"1", "30"}),
                    C("setStatus", {"1", "Download.Downloading"}), C("setProgress", {"2", "5"}),
                    C("setFileOutputFolderText", {"1", "/b"}), C("completeDownload", {"1"}),
                    C("setProgress", {"1", "0"}), C("setStatus", {"1", "Download.CRCChecking"}),
                    C("setStatus", {"1", "FinishedCRCChecking"})));
    EXPECT_EQ(bridge.pendingCalls(), 0u);

    // A page that goes away takes its unsent calls with it; nothing is called
    // until the next page resolves its functions.
    bridge.setProgress(1, 1);
    bridge.pageGone();
    bridge.setProgress(1, 2);
    page.batches[0]();  // an answer from the page that went is ignored
    EXPECT_EQ(page.calls.size(), 9u);
    EXPECT_EQ(bridge.pendingCalls(), 0u);
}

// --- bridge rules and the file percent ---

TEST(PageBridge, ReadsAndCallsFollowThePageContract) {
    FakePage page;
    PageBridge bridge(page);
    page.set("present", "v");
    page.values["novalue"] = {ElementValue::NoValue, ""};
    std::vector<PageRead> reads = {
        {PageRead::Value, "present"}, {PageRead::Value, "missing"}, {PageRead::Value, "novalue"}};
    PageAnswer answer;
    page.readElements(reads, [&](PageAnswer a) { answer = std::move(a); });
    ASSERT_TRUE(answer);
    PageValues values(reads, *answer);
    EXPECT_EQ(values.value(0), "v");
    EXPECT_EQ(values.value(1), "");
    EXPECT_THROW(values.value(2), PageReadError);

    page.document = false;
    bridge.ResolveScriptFunctions();
    bridge.setStatus(1, "Download.Start");
    EXPECT_TRUE(page.calls.empty());  // no script object yet
    page.document = true;
    bridge.ResolveScriptFunctions();
    bridge.setErrorUsingTextItemKey(10, "k", "m", "d");
    bridge.setHiddenProgressValue(3, 100, "/f");
    EXPECT_THAT(page.calls, ElementsAre(C("setErrorUsingTextItemKey", {"10", "k", "m", "d"}),
                                        C("setHiddenProgressValue", {"3", "100", "/f"})));
}

TEST(FilePercent, FollowsStateAndCounts) {
    struct Case {
        bool prelocated;
        int state;
        int64_t size, downloaded;
        int percent;
    };
    const Case cases[] = {
        {true, FileState_Downloading, 0, 0, 100},
        {false, FileState_Complete, 10, 1, 100},
        {false, FileState_Initial, 0, 5, 0},
        {false, FileState_Partial, 3, 1, 33},
        {false, FileState_Partial, 1000, 999, 99},
        {false, FileState_Partial, 10, 25, 100},
        {false, FileState_Partial, 1LL << 40, (1LL << 40) - 1, 99},
    };
    for (const auto& c : cases) {
        File f;
        f.prelocated = c.prelocated;
        f.state = c.state;
        f.fileSize = c.size;
        f.downloadedBytes = c.downloaded;
        EXPECT_EQ(filePercent(f), c.percent) << c.size << " " << c.downloaded;
    }
}

}  // namespace
}  // namespace quenlow
