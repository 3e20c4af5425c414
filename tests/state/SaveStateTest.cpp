// Writing and re-reading the per-user save-state file.

#include <fcntl.h>
#include <sys/file.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <filesystem>
#include <functional>
#include <map>
#include <pugixml.hpp>
#include <thread>

#include "state/StateFixture.h"
#include "support/FaultyFileSystem.h"

namespace quenlow::test {
namespace {

using SaveStateTest = StateFixture;

const char* kOrder = R"(<Files>
  <File FileTypeID="2" FileKey="1" FileName="Setup.bin" InstallCommand="Setup.bin">
    <FilePart FilePartKey="1" FileID="A1" FileURL="http://h/a1"/>
    <FilePart FilePartKey="2" FileID="A2" FileURL="http://h/a2?x=1&amp;y=2"/>
  </File>
</Files>)";

TEST_F(SaveStateTest, FirstRunCreatesFolderAndWritesExactLayout) {
    ASSERT_FALSE(std::filesystem::exists(appData));
    auto order = makeOrder("4711");
    order->CurrentUrl = "http://store/order?id=4711&wveskv=3160";
    order->loadOrder(kOrder);
    EXPECT_EQ(order->saveStatePath, savePath());
    ASSERT_TRUE(order->saveState());

    const std::string expected =
        "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\r\n"
        "<ApplicationData CurrentUrl=\"http://store/order?id=4711&amp;wveskv=3160\" "
        "DefaultOutputFolder=\"" +
        home +
        "/Downloads\"/>\r\n"
        "<Orders>\r\n"
        "\t<Order OrderID=\"4711\">\r\n"
        "\t\t<Files>\r\n"
        "\t\t\t<File FileKey=\"1\" FileName=\"Setup.bin\" FileSize=\"0\" FileState=\"Downloading\" "
        "InstallCommand=\"Setup.bin\" OutputFolder=\"\" TarnLaunchFolder=\"\">\r\n"
        "\t\t\t\t<FilePart FileID=\"A1\" FilePartKey=\"0\" FileURL=\"http://h/a1\" "
        "FileWritePosition=\"0\" "
        "URLReadPosition=\"0\"/>\r\n"
        "\t\t\t\t<FilePart FileID=\"A2\" FilePartKey=\"1\" FileURL=\"http://h/a2?x=1&amp;y=2\" "
        "FileWritePosition=\"0\" URLReadPosition=\"0\"/>\r\n"
        "\t\t\t</File>\r\n"
        "\t\t</Files>\r\n"
        "\t</Order>\r\n"
        "</Orders>\r\n";
    EXPECT_EQ(readFile(savePath()), expected);
    EXPECT_FALSE(std::filesystem::exists(savePath() + ".tmp"));
}

// Escapes a value for an attribute of a hand-made file-information text.
std::string escaped(const std::string& value) {
    std::string out;
    for (char c : value) {
        if (c == '&')
            out += "&amp;";
        else if (c == '"')
            out += "&quot;";
        else if (c == '<')
            out += "&lt;";
        else if (c == '>')
            out += "&gt;";
        else if (c == '\n')
            out += "&#10;";
        else if (c == '\t')
            out += "&#9;";
        else
            out += c;
    }
    return out;
}

TEST_F(SaveStateTest, ProgressAndAwkwardTextsRoundTrip) {
    const std::string odd =
        "\xC3\x9Cn\xC3\xAF \"quoted\" 'single' & <angle> \t tab\nnewline \xE6\x97\xA5";
    const std::string out = root + "/out/" + odd;
    const std::string info = "<Files><File FileTypeID=\"2\" FileKey=\"" + escaped(odd) +
                             "\" FileName=\"" + escaped(odd) +
                             ".bin\"><FilePart FilePartKey=\"1\" FileID=\"A1\"/>"
                             "<FilePart FilePartKey=\"2\" FileID=\"" +
                             escaped(odd) + "\"/></File></Files>";
    {
        auto order = makeOrder(odd);
        order->CurrentUrl = "http://s/?q=" + odd;
        order->loadOrder(info);
        ASSERT_EQ(order->files.size(), 1u);
        File& f = *order->files[0];
        EXPECT_EQ(f.fileName, odd + ".bin");
        f.outputFolder = out;
        f.launchFolder = odd;
        f.fileSize = 9000000000LL;
        f.parts[0]->readPosition = 4500000000LL;
        f.parts[1]->readPosition = 12;
        f.parts[1]->writePosition = 4500000000LL;
        ASSERT_TRUE(order->saveState());
    }
    writeFile(out + "/" + odd + ".bin", "x");  // the download is still there

    auto order = makeOrder(odd);
    order->loadOrder(info);
    EXPECT_EQ(order->CurrentUrl, "http://s/?q=" + odd);
    ASSERT_EQ(order->files.size(), 1u);
    const File& f = *order->files[0];
    EXPECT_EQ(f.outputFolder, out);
    EXPECT_EQ(f.launchFolder, odd);
    EXPECT_EQ(f.fileSize.load(), 9000000000LL);
    EXPECT_EQ(f.state.load(), FileState_Partial);
    EXPECT_EQ(f.parts[0]->readPosition.load(), 4500000000LL);
    EXPECT_EQ(f.parts[0]->writePosition.load(), 0);
    EXPECT_EQ(f.parts[1]->readPosition.load(), 12);
    EXPECT_EQ(f.parts[1]->writePosition.load(), 4500000000LL);
    EXPECT_EQ(f.downloadedBytes.load(), 4500000012LL);
}

TEST_F(SaveStateTest, OtherOrdersAreCopiedWithListedAttributesOnly) {
    writeFile(
        savePath(),
        "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
        "<ApplicationData CurrentUrl=\"http://saved\" DefaultOutputFolder=\"\" Extra=\"1\"/>\n"
        "<Orders>\n"
        " <Order OrderID=\"100\" Note=\"dropped\"><Files>"
        "  <File FileKey=\"9\" FileName=\"old.bin\" Colour=\"red\"><Junk/>"
        "   <FilePart FileID=\"Z\" FilePartKey=\"0\" URLReadPosition=\"77\" Speed=\"fast\"/></File>"
        " </Files><Other/></Order>\n"
        " <Order OrderID=\"200\"><Files><File FileKey=\"1\" FileName=\"stale\"/></Files></Order>\n"
        " <Order OrderID=\"300\"><Files/></Order>\n"
        " <Order OrderID=\"200\"><Files/></Order>\n"
        "</Orders>\n");
    auto order = makeOrder("200");
    order->loadOrder(kOrder);
    EXPECT_EQ(order->CurrentUrl, "http://saved");
    EXPECT_EQ(order->DefaultOutputFolder,
              home + "/Downloads");  // an empty saved default is not taken
    order->files[0]->parts[0]->readPosition = 55;
    ASSERT_TRUE(order->saveState());

    pugi::xml_document doc;
    ASSERT_TRUE(doc.load_file(savePath().c_str()));
    auto orders = doc.select_nodes("/Orders/Order");
    ASSERT_EQ(orders.size(), 4u);
    const char* ids[] = {"100", "200", "300", "200"};
    for (size_t i = 0; i < 4; ++i)
        EXPECT_STREQ(orders[i].node().attribute("OrderID").value(), ids[i]);

    // The foreign order: only the listed attributes, missing ones written empty, nothing else.
    pugi::xml_node copied = orders[0].node();
    EXPECT_FALSE(copied.attribute("Note"));
    EXPECT_FALSE(copied.child("Other"));
    pugi::xml_node file = copied.child("Files").child("File");
    std::vector<std::string> names;
    for (auto a : file.attributes()) names.push_back(a.name());
    EXPECT_EQ(names,
              (std::vector<std::string>{"FileKey", "FileName", "FileSize", "FileState",
                                        "InstallCommand", "OutputFolder", "TarnLaunchFolder"}));
    EXPECT_STREQ(file.attribute("FileName").value(), "old.bin");
    EXPECT_STREQ(file.attribute("FileSize").value(), "");
    EXPECT_FALSE(file.child("Junk"));
    pugi::xml_node savedPart = file.child("FilePart");
    names.clear();
    for (auto a : savedPart.attributes()) names.push_back(a.name());
    EXPECT_EQ(names, (std::vector<std::string>{"FileID", "FilePartKey", "FileURL",
                                               "FileWritePosition", "URLReadPosition"}));
    EXPECT_STREQ(savedPart.attribute("URLReadPosition").value(), "77");

    // Both occurrences of the current order are rewritten from memory, in place.
    for (size_t i : {1u, 3u}) {
        pugi::xml_node current = orders[i].node().child("Files").child("File");
        EXPECT_STREQ(current.attribute("FileName").value(), "Setup.bin");
        EXPECT_STREQ(current.child("FilePart").attribute("URLReadPosition").value(), "55");
    }
    EXPECT_STREQ(doc.child("ApplicationData").attribute("CurrentUrl").value(), "http://saved");
    EXPECT_FALSE(doc.child("ApplicationData").attribute("Extra"));
}

TEST_F(SaveStateTest, NewOrderIsAppendedAfterSavedOnes) {
    writeFile(savePath(),
              "<ApplicationData DefaultOutputFolder=\"/saved/dl\"/>"
              "<Orders><Order OrderID=\"1\"/><Order OrderID=\"2\"/></Orders>");
    auto order = makeOrder("3");
    order->CurrentUrl = "http://mine";
    order->loadOrder("<Files/>");
    EXPECT_EQ(order->DefaultOutputFolder, "/saved/dl");
    EXPECT_EQ(order->CurrentUrl, "http://mine");  // a member already set is kept
    ASSERT_TRUE(order->saveState());
    pugi::xml_document doc;
    ASSERT_TRUE(doc.load_file(savePath().c_str()));
    auto orders = doc.select_nodes("/Orders/Order");
    ASSERT_EQ(orders.size(), 3u);
    EXPECT_STREQ(orders[2].node().attribute("OrderID").value(), "3");
    EXPECT_STREQ(doc.child("ApplicationData").attribute("DefaultOutputFolder").value(),
                 "/saved/dl");
}

// Bytes XML cannot carry (broken UTF-8, control characters) must not stop saving.
TEST_F(SaveStateTest, TextXmlCannotCarryIsReplacedNotFatal) {
    writeFile(
        savePath(),
        "<Orders><Order OrderID=\"9\"><Files><File FileKey=\"1\" FileName=\"bad\xFF\xC3.bin\"/>"
        "</Files></Order></Orders>");
    auto order = makeOrder("1");
    order->loadOrder(kOrder);
    order->files[0]->outputFolder =
        std::string("/d\x01ir/\xE2\x82\xAC \xC2\x85 \xED\xA0\x80 \xC0\xAF");
    ASSERT_TRUE(order->saveState());
    pugi::xml_document doc;
    ASSERT_TRUE(doc.load_file(savePath().c_str()));
    EXPECT_STREQ(doc.select_node("/Orders/Order[@OrderID='9']/Files/File")
                     .node()
                     .attribute("FileName")
                     .value(),
                 "bad\xEF\xBF\xBD\xEF\xBF\xBD.bin");
    // Valid characters (the euro sign, U+0085) survive; a control, a surrogate and an overlong form
    // do not.
    EXPECT_STREQ(doc.select_node("/Orders/Order[@OrderID='1']/Files/File")
                     .node()
                     .attribute("OutputFolder")
                     .value(),
                 "/d\xEF\xBF\xBDir/\xE2\x82\xAC \xC2\x85 \xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD "
                 "\xEF\xBF\xBD\xEF\xBF\xBD");
}

TEST_F(SaveStateTest, FileStateCompleteRules) {
    struct Case {
        const char* name;
        bool prelocated;
        int state;
        std::vector<int> partStates;
        bool complete;
    };
    const Case cases[] = {
        {"downloading", false, FileState_Downloading, {PartState_Completed, PartState_Go}, false},
        {"all parts done, unpacking",
         false,
         FileState_Unpacking,
         {PartState_Completed, PartState_Completed},
         true},
        {"complete", false, FileState_Complete, {PartState_Start}, true},
        {"prelocated", true, FileState_Downloading, {PartState_Start}, true},
        {"no parts", false, FileState_Initial, {}, false},  // nothing downloaded
        {"error", false, FileState_Error, {PartState_Error, PartState_Completed}, false},
    };
    for (const Case& c : cases) {
        File f;
        f.prelocated = c.prelocated;
        f.state = c.state;
        for (int s : c.partStates) {
            f.parts.push_back(std::make_unique<FilePart>());
            f.parts.back()->state = s;
        }
        EXPECT_EQ(countsAsComplete(f), c.complete) << c.name;
    }
}

TEST_F(SaveStateTest, DamagedFileFallsBackToFreshStartAndIsKeptAside) {
    const std::string out = root + "/out";
    writeFile(out + "/Setup.bin", "x");
    const std::string whole =
        "<ApplicationData CurrentUrl=\"http://old\"/><Orders><Order OrderID=\"1\"><Files>"
        "<File FileKey=\"1\" FileState=\"Downloading\" OutputFolder=\"" +
        out +
        "\"><FilePart FileID=\"A1\" FilePartKey=\"0\" URLReadPosition=\"9\"/></File>"
        "</Files></Order></Orders>";
    for (const std::string& damaged :
         {whole.substr(0, whole.size() - 20), std::string("\x01\x02garbage"),
          std::string("<Orders><Order OrderID=\"1\">")}) {
        writeFile(savePath(), damaged);
        std::filesystem::remove(savePath() + ".unreadable");
        auto order = makeOrder("1");
        order->loadOrder(kOrder);
        EXPECT_EQ(order->CurrentUrl, "");
        ASSERT_EQ(order->files.size(), 1u);
        EXPECT_EQ(order->files[0]->state.load(), FileState_Initial);
        EXPECT_EQ(order->files[0]->parts[0]->readPosition.load(), 0);
        EXPECT_TRUE(order->files[0]->outputFolder.empty());
        ASSERT_TRUE(order->saveState());
        EXPECT_EQ(readFile(savePath() + ".unreadable"), damaged);
        pugi::xml_document doc;
        EXPECT_TRUE(doc.load_file(savePath().c_str()));
        // Later saves of the same order replace only the new file.
        ASSERT_TRUE(order->saveState());
        EXPECT_EQ(readFile(savePath() + ".unreadable"), damaged);
    }
}

// Leftover temporary files beside the save-state file.
std::vector<std::string> temporaryFilesBeside(const std::string& path) {
    std::vector<std::string> out;
    const auto folder = std::filesystem::path(path).parent_path();
    const std::string prefix = std::filesystem::path(path).filename().string() + ".tmp";
    std::error_code ec;
    for (const auto& entry : std::filesystem::directory_iterator(folder, ec))
        if (entry.path().filename().string().rfind(prefix, 0) == 0)
            out.push_back(entry.path().string());
    return out;
}

// The calls a save makes, in order, on a file system that works.
class JournalingFileSystem : public FaultyFileSystem {
  public:
    std::vector<std::string> journal;
    int open(const std::string& path, int flags, mode_t mode = 0644) override {
        int fd = FaultyFileSystem::open(path, flags, mode);
        if (flags & (O_WRONLY | O_RDWR)) {
            journal.push_back("open " + path + ((flags & O_EXCL) ? " exclusive" : ""));
            if (fd >= 0) names_[fd] = path;
        }
        return fd;
    }
    int fdatasync(int fd) override {
        journal.push_back("flush " + names_[fd]);
        return FaultyFileSystem::fdatasync(fd);
    }
    int rename(const std::string& from, const std::string& to) override {
        journal.push_back("rename " + from + " -> " + to);
        return FaultyFileSystem::rename(from, to);
    }
    int syncFolder(const std::string& path) override {
        journal.push_back("flush folder " + path);
        return FaultyFileSystem::syncFolder(path);
    }
    int mkdir(const std::string& path) override {
        journal.push_back("mkdir " + path);
        return FaultyFileSystem::mkdir(path);
    }

  private:
    std::map<int, std::string> names_;
};

TEST_F(SaveStateTest, SaveWritesAFreshTemporaryFileFlushesItRenamesItAndFlushesTheFolder) {
    auto order = makeOrder("1");
    order->loadOrder(kOrder);
    JournalingFileSystem journaling;
    setFileSystem(&journaling);
    ASSERT_TRUE(order->saveState());
    ASSERT_TRUE(order->saveState());
    setFileSystem(nullptr);

    const std::string folder = appData + "/Ostrel Inc/Quenlow";
    // The folders the first save made, each flushed in its parent.
    const std::vector<std::string> makeFolders = {
        "mkdir " + appData,        "mkdir " + appData + "/Ostrel Inc",
        "mkdir " + folder,         "flush folder " + appData + "/Ostrel Inc",
        "flush folder " + appData, "flush folder " + root};
    ASSERT_GE(journaling.journal.size(), makeFolders.size() + 8);
    EXPECT_EQ(std::vector<std::string>(journaling.journal.begin(),
                                       journaling.journal.begin() + makeFolders.size()),
              makeFolders);

    std::vector<std::string> saves(journaling.journal.begin() + makeFolders.size(),
                                   journaling.journal.end());
    std::vector<std::string> temporaries;
    for (size_t i = 0; i + 3 < saves.size(); ++i) {
        if (saves[i].rfind("open " + savePath() + ".tmp", 0) != 0) continue;
        const std::string temp =
            saves[i].substr(5, saves[i].size() - 5 - std::string(" exclusive").size());
        EXPECT_EQ(saves[i], "open " + temp + " exclusive");  // never an existing file
        EXPECT_EQ(saves[i + 1], "flush " + temp);
        EXPECT_EQ(saves[i + 2], "rename " + temp + " -> " + savePath());
        EXPECT_EQ(saves[i + 3], "flush folder " + folder);
        temporaries.push_back(temp);
    }
    ASSERT_EQ(temporaries.size(), 2u) << ::testing::PrintToString(saves);
    EXPECT_NE(temporaries[0], temporaries[1]);  // one name per write
    EXPECT_TRUE(temporaryFilesBeside(savePath()).empty());
}

// Two orders loaded from the same file before either saved (the application
// and quenlow-fetch): each save keeps what the other wrote.
TEST_F(SaveStateTest, SavesOfTwoLoadedOrdersKeepEachOther) {
    auto first = makeOrder("A");
    auto second = makeOrder("B");
    first->loadOrder(kOrder);
    second->loadOrder(kOrder);
    first->files[0]->parts[0]->readPosition = 11;
    second->files[0]->parts[0]->readPosition = 22;
    ASSERT_TRUE(first->saveState());
    ASSERT_TRUE(second->saveState());
    ASSERT_TRUE(first->saveState());

    pugi::xml_document doc;
    ASSERT_TRUE(doc.load_file(savePath().c_str()));
    auto orders = doc.select_nodes("/Orders/Order");
    ASSERT_EQ(orders.size(), 2u);
    EXPECT_STREQ(orders[0].node().attribute("OrderID").value(), "A");
    EXPECT_STREQ(orders[1].node().attribute("OrderID").value(), "B");
    EXPECT_STREQ(doc.select_node("//Order[@OrderID='A']//FilePart[@FilePartKey='0']")
                     .node()
                     .attribute("URLReadPosition")
                     .value(),
                 "11");
    EXPECT_STREQ(doc.select_node("//Order[@OrderID='B']//FilePart[@FilePartKey='0']")
                     .node()
                     .attribute("URLReadPosition")
                     .value(),
                 "22");
}

// Two processes saving one file at the same moment, many times over: every
// save reads, merges and replaces under the lock, so neither order is lost
// and the file is always whole.
TEST_F(SaveStateTest, TwoProcessesSavingOneFileKeepBothOrders) {
    constexpr int kSaves = 60;
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        auto order = makeOrder("child");
        order->loadOrder(kOrder);
        int failed = 0;
        for (int i = 0; i < kSaves; ++i) {
            order->files[0]->parts[0]->readPosition = i;
            if (!order->saveState()) ++failed;
        }
        order.reset();
        _exit(failed == 0 ? 0 : 1);
    }
    auto order = makeOrder("parent");
    order->loadOrder(kOrder);
    int failed = 0;
    for (int i = 0; i < kSaves; ++i) {
        order->files[0]->parts[0]->readPosition = i;
        if (!order->saveState()) ++failed;
        pugi::xml_document doc;
        EXPECT_TRUE(doc.load_file(savePath().c_str())) << "save " << i;
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "a save in the child failed";
    EXPECT_EQ(failed, 0);

    pugi::xml_document doc;
    ASSERT_TRUE(doc.load_file(savePath().c_str()));
    EXPECT_TRUE(doc.select_node("/Orders/Order[@OrderID='child']"));
    EXPECT_TRUE(doc.select_node("/Orders/Order[@OrderID='parent']"));
    EXPECT_STREQ(doc.select_node("//Order[@OrderID='child']//FilePart[@FilePartKey='0']")
                     .node()
                     .attribute("URLReadPosition")
                     .value(),
                 std::to_string(kSaves - 1).c_str());
    EXPECT_TRUE(temporaryFilesBeside(savePath()).empty());
}

TEST_F(SaveStateTest, FailedWriteKeepsThePreviousFile) {
    auto order = makeOrder("1");
    order->loadOrder(kOrder);
    ASSERT_TRUE(order->saveState());
    const std::string before = readFile(savePath());
    order->files[0]->parts[0]->readPosition = 1234;

    struct Case {
        const char* name;
        void (*arm)(FaultyFileSystem&);
    };
    const Case cases[] = {
        {"disk full",
         [](FaultyFileSystem& fs) {
             fs.writeFault = {ENOSPC, 0};
         }},
        {"flush fails",
         [](FaultyFileSystem& fs) {
             fs.syncFault = {EIO, 0};
         }},
        {"cannot create",
         [](FaultyFileSystem& fs) {
             fs.openFault = {EACCES, 0};
         }},
        {"rename fails",
         [](FaultyFileSystem& fs) {
             fs.renameFault = {EIO, 0};
         }},
    };
    for (const Case& c : cases) {
        FaultyFileSystem faulty;
        c.arm(faulty);
        setFileSystem(&faulty);
        EXPECT_FALSE(order->saveState()) << c.name;
        setFileSystem(nullptr);
        EXPECT_EQ(readFile(savePath()), before) << c.name;
        EXPECT_FALSE(std::filesystem::exists(savePath() + ".tmp")) << c.name;
        EXPECT_TRUE(temporaryFilesBeside(savePath()).empty()) << c.name;
    }
    ASSERT_TRUE(order->saveState());
    EXPECT_NE(readFile(savePath()).find("URLReadPosition=\"1234\""), std::string::npos);
}

// Another process's hold on the save-state lock: a flock through a
// descriptor of its own, which a save's flock conflicts with even in this
// process.
class HeldSaveStateLock {
  public:
    explicit HeldSaveStateLock(const std::string& statePath)
        : fd_(::open((statePath + ".lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644)) {}
    ~HeldSaveStateLock() { release(); }
    bool take() { return fd_ >= 0 && ::flock(fd_, LOCK_EX | LOCK_NB) == 0; }
    void release() {
        if (fd_ >= 0) ::close(fd_);
        fd_ = -1;
    }

  private:
    int fd_;
};

std::vector<std::string> debugTexts(const RecordingView& view) {
    std::vector<std::string> out;
    for (const auto& m : view.messages())
        if (m.id == UM_DEBUG_TEXT) out.push_back(m.text.value_or(""));
    return out;
}

// A lock another process never lets go of costs one save, not a window that
// stands still: the save gives up after the bound, says why, keeps the file,
// and the next save after the holder goes writes.
TEST_F(SaveStateTest, ASaveGivesUpOnALockHeldElsewhereAndTheNextOneWrites) {
    pacing().saveLockWait = Millis(20);
    struct Case {
        const char* name;
        // Saves; the result when the caller learns it.
        std::function<std::optional<bool>(OrderState&)> save;
    };
    const Case cases[] = {
        {"on the caller's thread", [](OrderState& o) { return std::optional(o.saveState()); }},
        {"on the writer's thread",
         [](OrderState& o) {
             o.requestSave();
             o.waitForSaves();
             return std::optional<bool>();
         }},
    };
    auto order = makeOrder("1");
    order->loadOrder(kOrder);
    int64_t position = 1000;
    for (const Case& c : cases) {
        ASSERT_TRUE(order->saveState()) << c.name;
        const std::string before = readFile(savePath());
        order->files[0]->parts[0]->readPosition = ++position;
        view.clear();

        HeldSaveStateLock other(savePath());
        ASSERT_TRUE(other.take()) << c.name;
        EXPECT_NE(c.save(*order), std::optional(true)) << c.name;
        EXPECT_EQ(readFile(savePath()), before) << c.name;
        EXPECT_TRUE(temporaryFilesBeside(savePath()).empty()) << c.name;
        std::vector<std::string> logged = debugTexts(view);
        ASSERT_EQ(logged.size(), 1u) << c.name;
        EXPECT_NE(logged[0].find("not saved"), std::string::npos) << logged[0];
        EXPECT_NE(logged[0].find("VeskSaveState.xml.lock"), std::string::npos) << logged[0];
        EXPECT_NE(logged[0].find("another process"), std::string::npos) << logged[0];

        other.release();
        EXPECT_NE(c.save(*order), std::optional(false)) << c.name;
        EXPECT_NE(readFile(savePath()).find("URLReadPosition=\"" + std::to_string(position) + "\""),
                  std::string::npos)
            << c.name;
        EXPECT_EQ(debugTexts(view).size(), 1u) << c.name;  // nothing more to say
    }
}

TEST_F(SaveStateTest, NoDataFolderMeansNothingIsReadOrWritten) {
    unsetenv("APPDATA");
    unsetenv("XDG_DATA_HOME");
    unsetenv("HOME");
    EXPECT_EQ(saveStateFilePath(), "");
    auto order = makeOrder("1");
    order->loadOrder(kOrder);
    EXPECT_EQ(order->files.size(), 1u);
    EXPECT_FALSE(order->saveState());
}

// Positions are read as consistent pairs while the controller keeps moving them.
TEST_F(SaveStateTest, SavedPositionPairsAreConsistentWhileDownloading) {
    auto order = makeOrder("1");
    order->loadOrder(kOrder);
    File& f = *order->files[0];
    FilePart& p = *f.parts[0];
    std::atomic<bool> stop{false};
    std::thread controller([&] {
        for (int64_t i = 1; !stop.load(); ++i) {
            Poco::FastMutex::ScopedLock lock(f.countersLock);
            p.readPosition = i;
            p.writePosition = i * 2;  // the pair always satisfies write == 2 * read
        }
    });
    for (int round = 0; round < 50; ++round) {
        std::string text = order->saveStateText();
        pugi::xml_document doc;
        ASSERT_TRUE(doc.load_string(text.c_str()));
        pugi::xml_node part = doc.select_node("/Orders/Order/Files/File/FilePart").node();
        long long read = part.attribute("URLReadPosition").as_llong();
        long long write = part.attribute("FileWritePosition").as_llong();
        EXPECT_EQ(write, 2 * read);
    }
    stop = true;
    controller.join();
}

}  // namespace
}  // namespace quenlow::test
