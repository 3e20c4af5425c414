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

class FakePage : public Page {
  public:
    bool document = true;
    std::map<std::string, ElementValue> values;
    std::map<std::string, std::string> html;
    std::string label;
    std::vector<Call> calls;
    std::vector<std::string> reads;

    void set(const std::string& name, const std::string& value) {
        values[name] = {ElementValue::Value, value};
    }

    bool hasDocument() override { return document; }
    ElementValue elementValue(const std::string& name) override {
        reads.push_back(name);
        auto it = values.find(name);
        return it == values.end() ? ElementValue{} : it->second;
    }
    std::string elementOuterHtml(const std::string& name) override {
        reads.push_back(name);
        auto it = html.find(name);
        return it == html.end() ? std::string() : it->second;
    }
    std::string orderNumberLabel() override { return label; }
    std::vector<bool> definedFunctions(const std::vector<std::string>& names) override {
        return std::vector<bool>(names.size(), true);
    }
    void callFunction(const std::string& name, const std::vector<std::string>& args) override {
        calls.push_back({name, args});
    }
};

class FakeHost : public ViewHost {
  public:
    std::vector<std::pair<std::string, std::string>> boxes;  // (text, caption)
    std::optional<std::string> folder;
    int browsed = 0;
    std::vector<Millis> quits;
    int zooms = 0;

    void showMessageBox(const std::string& text, const std::string& caption) override {
        boxes.emplace_back(text, caption);
    }
    std::optional<std::string> browseForFolder() override {
        ++browsed;
        return folder;
    }
    void quitAfter(Millis delay) override { quits.push_back(delay); }
    void setMiddleZoom() override { ++zooms; }
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
    std::string saveStatePath() {
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
        {"http://s/Order.aspx?order=1&rtarn=1", "http://s/Order.aspx?order=1&rtarn=1", false},
        {"&rtarn=1&more=text", "&rtarn=1&more=text", true},  // marker at the first character
        {"http://s/VESKDownloadUpgrade.aspx?x=1", "", true},
        {"http://s/ab", "http://s/ab", true},  // 11 characters
        {"http://s/a", "", true},              // 10 characters
    };
    for (const auto& c : cases) {
        fs::remove(saveStatePath());  // no CurrentUrl remembered from the case before
        loadPage(kOrder, filesXml(1), c.url);
        ASSERT_NE(core_->orderState(), nullptr) << c.url;
        EXPECT_EQ(core_->orderState()->CurrentUrl, c.currentUrl) << c.url;
        EXPECT_EQ(core_->orderState()->deleteOnCrcFailure, c.deleteOnCrcFailure) << c.url;
    }
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

// --- bridge rules and the file percent ---

TEST(PageBridge, ReadsAndCallsFollowThePageContract) {
    FakePage page;
    PageBridge bridge(page);
    page.set("present", "v");
    page.values["novalue"] = {ElementValue::NoValue, ""};
    EXPECT_EQ(bridge.ReadElementValue("present"), "v");
    EXPECT_EQ(bridge.ReadElementValue("missing"), "");
    EXPECT_THROW(bridge.ReadElementValue("novalue"), PageReadError);

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
