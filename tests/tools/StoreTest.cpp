// The demo store, driven over HTTP as the application and the demo script use
// it: the pages carry the whole page contract, the file-information text
// names part URLs that serve the right bytes with byte ranges, and the
// control API defines orders, records script calls and queues clicks.

#include <Poco/Net/HTTPClientSession.h>
#include <Poco/Net/HTTPRequest.h>
#include <Poco/Net/HTTPResponse.h>
#include <Poco/StreamCopier.h>
#include <Poco/URI.h>
#include <gtest/gtest.h>
#include <signal.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <optional>
#include <pugixml.hpp>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "package/PackageCatalogue.h"
#include "package/PackageExtraction.h"
#include "package/UnpackTask.h"
#include "platform/MessageQueue.h"
#include "platform/Messages.h"
#include "support/ChildProcess.h"
#include "support/Files.h"
#include "support/ScratchDir.h"

namespace {

namespace fs = std::filesystem;
using Poco::Net::HTTPRequest;
using quenlow::test::readFile;

struct Reply {
    int status = 0;
    std::string body;
    std::string contentRange;
};

// One store process for the whole suite (starting it builds the demo order).
class StoreProcess {
  public:
    StoreProcess() {
        // One order comes from a file given on the command line.
        std::ofstream(fs::path(dataDir_) / "extra.json")
            << R"({"orderId":"ORD-from-file","files":[{"fileName":"f.bin","size":5}]})";
        std::vector<std::string> args = {
            "--port",          "0", "--data-dir", dataDir_,
            "--demo-throttle", "0", "--order",    (fs::path(dataDir_) / "extra.json").string()};
        args.insert(args.begin(), quenlow::test::builtProgram("quenlow-store"));
        process_ = std::make_unique<quenlow::test::ChildProcess>(args);
        std::string line;
        process_->readLine(line);
        std::smatch m;
        static const std::regex ready(R"(^quenlow-store listening on http://127\.0\.0\.1:(\d+)$)");
        if (std::regex_match(line, m, ready)) port_ = static_cast<unsigned short>(std::stoi(m[1]));
        readyLine_ = line;
    }
    // Stops the store as the demo does (SIGINT); its exit code.
    int stop() {
        if (!process_) return -1;
        process_->signal(SIGINT);
        int rc = process_->wait();
        process_.reset();
        return rc;
    }
    unsigned short port() const { return port_; }
    const std::string& readyLine() const { return readyLine_; }
    const std::string& dataDir() const { return dataDir_; }

  private:
    quenlow::test::ScratchDir scratch_{"storetest"};
    std::string dataDir_ = scratch_.path();
    std::unique_ptr<quenlow::test::ChildProcess> process_;
    unsigned short port_ = 0;
    std::string readyLine_;
};

class StoreTest : public ::testing::Test {
  protected:
    static void SetUpTestSuite() { store_ = new StoreProcess; }
    static void TearDownTestSuite() {
        // A clean stop (no sanitizer report, no hang) exits with 0.
        EXPECT_EQ(store_->stop(), 0) << "the store did not stop cleanly";
        delete store_;
        store_ = nullptr;
    }
    void SetUp() override {
        ASSERT_NE(store_->port(), 0) << "store did not start: " << store_->readyLine();
    }

    std::string base() const { return "http://127.0.0.1:" + std::to_string(store_->port()); }

    Reply http(const std::string& method, const std::string& target, const std::string& body = "",
               const std::string& range = "") {
        Poco::Net::HTTPClientSession session("127.0.0.1", store_->port());
        session.setTimeout(Poco::Timespan(30, 0));
        HTTPRequest req(method, target, HTTPRequest::HTTP_1_1);
        if (!range.empty()) req.set("Range", range);
        if (method == HTTPRequest::HTTP_POST) {
            req.setContentType("application/json");
            req.setContentLength(static_cast<std::streamsize>(body.size()));
        }
        std::ostream& os = session.sendRequest(req);
        os << body;
        Poco::Net::HTTPResponse resp;
        std::istream& is = session.receiveResponse(resp);
        Reply r;
        r.status = resp.getStatus();
        r.contentRange = resp.get("Content-Range", "");
        Poco::StreamCopier::copyToString(is, r.body);
        return r;
    }
    Reply get(const std::string& target, const std::string& range = "") {
        return http(HTTPRequest::HTTP_GET, target, "", range);
    }
    Reply post(const std::string& target, const std::string& body = "") {
        return http(HTTPRequest::HTTP_POST, target, body);
    }

    // A URL of this store, as a request target.
    std::string targetOf(const std::string& url) {
        EXPECT_EQ(url.rfind(base(), 0), 0u) << url;
        return url.substr(base().size());
    }

    std::string expectedBytes(const std::string& order, const std::string& fileKey) {
        Reply r = get("/control/file?order=" + order + "&fileKey=" + fileKey);
        EXPECT_EQ(r.status, 200);
        return r.body;
    }

    static StoreProcess* store_;
};
StoreProcess* StoreTest::store_ = nullptr;

std::string unescapeHtml(const std::string& s) {
    static const std::vector<std::pair<std::string, std::string>> entities = {
        {"&lt;", "<"},  {"&gt;", ">"},   {"&quot;", "\""}, {"&#39;", "'"},
        {"&#9;", "\t"}, {"&#10;", "\n"}, {"&#13;", "\r"},  {"&amp;", "&"}};
    std::string out;
    for (size_t i = 0; i < s.size();) {
        bool matched = false;
        if (s[i] == '&') {
            for (const auto& [from, to] : entities) {
                if (s.compare(i, from.size(), from) == 0) {
                    out += to;
                    i += from.size();
                    matched = true;
                    break;
                }
            }
        }
        if (!matched) out += s[i++];
    }
    return out;
}

// What a browser would make of the page: element ids with their tag, value,
// href and inner text (flat: enough for the page's simple markup).
struct Element {
    std::string tag;
    std::string id;
    std::optional<std::string> value;
    std::string href;
    std::string text;
};

// Calls and requests also carry when the store received them; that varies.
std::string withoutTimes(const std::string& json) {
    return std::regex_replace(json, std::regex(R"(,"ms":\d+)"), "");
}

std::vector<Element> elements(const std::string& html) {
    std::vector<Element> out;
    static const std::regex tag(R"(<([a-zA-Z]+)((?:\s+[a-zA-Z-]+="[^"]*")*)\s*/?>)");
    static const std::regex attr(R"re(([a-zA-Z-]+)="([^"]*)")re");
    for (auto it = std::sregex_iterator(html.begin(), html.end(), tag);
         it != std::sregex_iterator(); ++it) {
        Element e;
        e.tag = (*it)[1];
        std::string attrs = (*it)[2];
        for (auto a = std::sregex_iterator(attrs.begin(), attrs.end(), attr);
             a != std::sregex_iterator(); ++a) {
            std::string name = (*a)[1];
            std::string value = unescapeHtml((*a)[2]);
            if (name == "id") e.id = value;
            if (name == "value") e.value = value;
            if (name == "href") e.href = value;
        }
        size_t end = static_cast<size_t>(it->position() + it->length());
        size_t close = html.find('<', end);
        e.text = unescapeHtml(html.substr(end, close - end));
        if (!e.id.empty()) out.push_back(e);
    }
    return out;
}

const Element* byId(const std::vector<Element>& all, const std::string& id) {
    for (const auto& e : all) {
        if (e.id == id) return &e;
    }
    return nullptr;
}

std::string valueOf(const std::vector<Element>& all, const std::string& id) {
    const Element* e = byId(all, id);
    EXPECT_NE(e, nullptr) << "no element " << id;
    EXPECT_TRUE(e && e->value) << "element " << id << " has no value";
    return e && e->value ? *e->value : "";
}

const char* const kScriptFunctions[] = {"setProgress",
                                        "setStatus",
                                        "setError",
                                        "setErrorUsingTextItemKey",
                                        "showWaitWidget",
                                        "hideWaitWidget",
                                        "setHiddenProgressValue",
                                        "completeDownload",
                                        "setCompleteDownloadState",
                                        "setInitialFileProperties",
                                        "setFolderSelection",
                                        "setFileOutputFolderText",
                                        "setButtonAction",
                                        "fileLaunchComplete"};

const char* const kTextKeys[] = {"Download.Start",
                                 "Download.Paused",
                                 "Download.Resume",
                                 "Download.Downloading",
                                 "Download.CRCChecking",
                                 "FinishedCRCChecking",
                                 "Download.Unpacking",
                                 "Download.FileReconfigurationMessage",
                                 "Download.Error",
                                 "Download.DiskError",
                                 "Download.UnpackingError",
                                 "Download.InsufficientDiskSpace",
                                 "Download.UnableToCreateFile"};

// Every element and function the application relies on, for an order page
// with fileCount files; returns the parsed elements for further checks.
std::vector<Element> expectPageContract(const std::string& html, size_t fileCount) {
    for (const char* fn : kScriptFunctions) {
        EXPECT_NE(html.find("\nfunction " + std::string(fn) + "("), std::string::npos)
            << fn << " is not a global function";
    }
    for (const char* key : kTextKeys) {
        EXPECT_NE(html.find("\"" + std::string(key) + "\": \""), std::string::npos)
            << "no wording for " << key;
    }
    auto all = elements(html);
    for (const char* id : {"hfOrderNumber", "hfFileInfo", "hfDownloadActionButtonName",
                           "hfFolderSelectionButtonName"}) {
        const Element* e = byId(all, id);
        EXPECT_TRUE(e && e->tag == "input" && e->value) << id;
    }
    std::string prefix = valueOf(all, "hfDownloadActionButtonName");
    std::string folderName = valueOf(all, "hfFolderSelectionButtonName");
    EXPECT_FALSE(prefix.empty());
    EXPECT_FALSE(folderName.empty());

    bool folderControl = false, upgrade = false, label = false;
    for (const auto& e : all) {
        size_t f = e.id.find(folderName);
        folderControl |= f != std::string::npos && f > 0;
        size_t u = e.id.find("hlVESKDownloadUpgrade");
        upgrade |= u != std::string::npos && u > 0 &&
                   e.href.find("VESKDownloadUpgrade") != std::string::npos;
        label |= e.tag == "span" && e.id.find("lblOrderNumber") != std::string::npos;
    }
    EXPECT_TRUE(folderControl) << "no folder selection control";
    EXPECT_TRUE(upgrade) << "no upgrade link";
    EXPECT_TRUE(label) << "no order number label";

    for (size_t n = 1; n <= fileCount; ++n) {
        std::string num = std::to_string(n);
        std::string product = valueOf(all, "productIdx" + num);
        EXPECT_NE(byId(all, "dlSelect" + product), nullptr) << "file " << n;
        EXPECT_FALSE(valueOf(all, "fileUrl" + num).empty()) << "file " << n;
        EXPECT_NE(byId(all, "edv" + num), nullptr) << "file " << n;
        EXPECT_FALSE(valueOf(all, "oiopua" + num).empty()) << "file " << n;
        EXPECT_NE(byId(all, prefix + num), nullptr) << "no action button for file " << n;
    }
    EXPECT_EQ(byId(all, prefix + std::to_string(fileCount + 1)), nullptr);
    return all;
}

struct InfoPart {
    int key;
    std::string id, url;
    long downloadKB;
};
struct InfoFile {
    std::string key, name, install;
    int typeId;
    std::vector<InfoPart> parts;
};
struct FileInfo {
    std::optional<std::string> defaultOutputFolder;
    std::vector<InfoFile> files;
};

FileInfo parseFileInfo(const std::string& xml) {
    pugi::xml_document doc;
    pugi::xml_parse_result ok = doc.load_string(xml.c_str());
    EXPECT_TRUE(ok) << ok.description() << "\n" << xml;
    FileInfo info;
    if (auto app = doc.select_node("/ApplicationData")) {
        info.defaultOutputFolder = app.node().attribute("DefaultOutputFolder").value();
    }
    for (auto f : doc.select_nodes("/Files/File")) {
        InfoFile file{f.node().attribute("FileKey").value(),
                      f.node().attribute("FileName").value(),
                      f.node().attribute("InstallCommand").value(),
                      f.node().attribute("FileTypeID").as_int(),
                      {}};
        for (auto p : f.node().select_nodes("FilePart")) {
            file.parts.push_back({p.node().attribute("FilePartKey").as_int(),
                                  p.node().attribute("FileID").value(),
                                  p.node().attribute("FileURL").value(),
                                  p.node().attribute("DownloadKBCount").as_int()});
        }
        info.files.push_back(file);
    }
    return info;
}

// The folder of url with "/", followed by the last segment of partUrl: how
// the application combines the page's "fileUrl" with a part URL.
std::string swapFolder(const std::string& pageUrl, const std::string& partUrl) {
    return pageUrl.substr(0, pageUrl.rfind('/')) + partUrl.substr(partUrl.rfind('/'));
}

TEST_F(StoreTest, ReadyLineNamesThePort) {
    EXPECT_EQ(store_->readyLine(), "quenlow-store listening on " + base());
}

TEST_F(StoreTest, NoContextPageHasTheContractButNoOrder) {
    Reply r = get("/Webstore/Account/VeskNoContext.aspx?x=1&wveskv=3160");
    ASSERT_EQ(r.status, 200);
    auto all = expectPageContract(r.body, 0);
    EXPECT_EQ(valueOf(all, "hfOrderNumber"), "");
    EXPECT_EQ(valueOf(all, "hfFileInfo"), "");
    for (const char* id : {"DEMO00004711", "ORD-from-file"}) {
        EXPECT_NE(r.body.find("href=\"/Webstore/Order.aspx?order=" + std::string(id) + "\""),
                  std::string::npos)
            << id;
    }
}

TEST_F(StoreTest, DemoOrderPartsServeTheFileBytes) {
    Reply page = get("/Webstore/Order.aspx?order=DEMO00004711&wveskv=3160");
    ASSERT_EQ(page.status, 200);
    FileInfo info = parseFileInfo(valueOf(elements(page.body), "hfFileInfo"));
    ASSERT_GE(info.files.size(), 1u);
    auto all = expectPageContract(page.body, info.files.size());
    EXPECT_EQ(valueOf(all, "hfOrderNumber"), "DEMO00004711");

    bool multiPart = false;
    std::set<std::string> fileIds;
    for (size_t i = 0; i < info.files.size(); ++i) {
        const InfoFile& f = info.files[i];
        SCOPED_TRACE(f.name);
        EXPECT_EQ(f.key, std::to_string(i + 1));
        std::string expected = expectedBytes("DEMO00004711", f.key);
        ASSERT_FALSE(expected.empty());
        std::string joined;
        for (size_t k = 0; k < f.parts.size(); ++k) {
            EXPECT_EQ(f.parts[k].key, static_cast<int>(k + 1));
            EXPECT_TRUE(fileIds.insert(f.parts[k].id).second)
                << "FileID repeated: " << f.parts[k].id;
            EXPECT_EQ(f.parts[k].downloadKB, static_cast<long>((expected.size() + 1023) / 1024));
            Reply part = get(targetOf(f.parts[k].url));
            ASSERT_EQ(part.status, 200);
            joined += part.body;
        }
        EXPECT_TRUE(joined == expected) << "parts do not add up to the file";
        multiPart |= f.parts.size() > 1;
    }
    EXPECT_TRUE(multiPart);
}

TEST_F(StoreTest, PartsHonourByteRanges) {
    Reply page = get("/Webstore/Order.aspx?order=DEMO00004711");
    FileInfo info = parseFileInfo(valueOf(elements(page.body), "hfFileInfo"));
    ASSERT_FALSE(info.files.empty());
    ASSERT_GE(info.files[0].parts.size(), 2u);
    std::string url = targetOf(info.files[0].parts[1].url);
    std::string whole = get(url).body;
    const size_t len = whole.size();
    ASSERT_GT(len, 100u);
    const std::string total = "/" + std::to_string(len);

    struct Case {
        std::string range;
        int status;
        size_t first, count;  // expected slice of the part
        std::string contentRange;
    };
    const std::vector<Case> cases = {
        {"", 200, 0, len, ""},
        {"bytes=0-", 206, 0, len, "bytes 0-" + std::to_string(len - 1) + total},
        {"bytes=" + std::to_string(len - 10) + "-", 206, len - 10, 10,
         "bytes " + std::to_string(len - 10) + "-" + std::to_string(len - 1) + total},
        {"bytes=2-5", 206, 2, 4, "bytes 2-5" + total},
        {"bytes=-3", 206, len - 3, 3,
         "bytes " + std::to_string(len - 3) + "-" + std::to_string(len - 1) + total},
        {"bytes=" + std::to_string(len) + "-", 416, 0, 0, "bytes */" + std::to_string(len)},
        {"bytes=" + std::to_string(len + 5) + "-", 416, 0, 0, "bytes */" + std::to_string(len)},
        {"items=1-", 200, 0, len, ""},       // unknown unit: ignored
        {"bytes=1-2,4-5", 200, 0, len, ""},  // several ranges are not served
    };
    for (const Case& c : cases) {
        SCOPED_TRACE("Range: " + c.range);
        Reply r = get(url, c.range);
        EXPECT_EQ(r.status, c.status);
        EXPECT_EQ(r.contentRange, c.contentRange);
        if (c.status != 416) {
            EXPECT_TRUE(r.body == whole.substr(c.first, c.count));
        }
    }
}

TEST_F(StoreTest, ScriptCallsAreListedInPageOrderAndReset) {
    ASSERT_EQ(post("/control/calls/reset").status, 200);
    // Calls of one page may arrive out of order; the list follows seq.
    ASSERT_EQ(post("/control/calls",
                   R"({"page":7,"seq":2,"fn":"setStatus","args":["1","Download.Paused"]})")
                  .status,
              200);
    ASSERT_EQ(
        post("/control/calls", R"({"page":8,"seq":1,"fn":"completeDownload","args":["2"]})").status,
        200);
    ASSERT_EQ(
        post("/control/calls", R"({"page":7,"seq":1,"fn":"setProgress","args":["1","37"]})").status,
        200);
    ASSERT_EQ(
        post("/control/calls", R"({"page":7,"seq":3,"fn":"hideWaitWidget","args":[]})").status,
        200);

    EXPECT_EQ(withoutTimes(get("/control/calls").body),
              R"([{"page":7,"seq":1,"fn":"setProgress","args":["1","37"]},)"
              R"({"page":7,"seq":2,"fn":"setStatus","args":["1","Download.Paused"]},)"
              R"({"page":7,"seq":3,"fn":"hideWaitWidget","args":[]},)"
              R"({"page":8,"seq":1,"fn":"completeDownload","args":["2"]}])");
    EXPECT_EQ(withoutTimes(get("/control/calls?fn=completeDownload").body),
              R"([{"page":8,"seq":1,"fn":"completeDownload","args":["2"]}])");

    for (const char* bad :
         {"", "[]", R"({"seq":1})", R"({"seq":"x","fn":"a"})", R"({"seq":1,"fn":""})"}) {
        EXPECT_EQ(post("/control/calls", bad).status, 400) << bad;
    }
    ASSERT_EQ(post("/control/calls/reset").status, 200);
    EXPECT_EQ(get("/control/calls").body, "[]");
}

TEST_F(StoreTest, ClicksAreHandedOutOnceInOrder) {
    get("/control/pending-clicks");  // drain
    ASSERT_EQ(post("/control/click?id=downloadAction2").status, 200);
    ASSERT_EQ(post("/control/click?id=ctl00_BrowserFolderSelection").status, 200);
    EXPECT_EQ(post("/control/click").status, 400);
    EXPECT_EQ(get("/control/pending-clicks").body,
              R"(["downloadAction2","ctl00_BrowserFolderSelection"])");
    EXPECT_EQ(get("/control/pending-clicks").body, "[]");
}

TEST_F(StoreTest, PostedOrderShowsUpWithEscapedFields) {
    const std::string name = R"(a&b "quoted" <i>'x'.bin)";
    const std::string folder = R"(/tmp/out "dir" & <more>)";
    std::string order =
        R"({"orderId":"ORD-escape-01","orderNumberLabel":true,"defaultOutputFolder":"/tmp/out \"dir\" & <more>",
        "files":[{"fileName":"a&b \"quoted\" <i>'x'.bin","parts":5,"size":100003,"productIdx":"77","mirror":true,
                  "installCommand":"run me.sh","edv":"12^^k"},
                 {"fileKey":"2","fileName":"gone.bin","size":10,"failStatus":503,"oiopua":"yes"}]})";
    Reply defined = post("/control/order", order);
    ASSERT_EQ(defined.status, 200) << defined.body;
    EXPECT_NE(defined.body.find(base() + "/Webstore/Order.aspx?order=ORD-escape-01"),
              std::string::npos);

    Reply page = get("/Webstore/Order.aspx?order=ORD-escape-01");
    ASSERT_EQ(page.status, 200);
    EXPECT_EQ(page.body.find("<i>"), std::string::npos) << "file name reached the markup unescaped";
    auto all = expectPageContract(page.body, 2);
    // Order number only in the label.
    EXPECT_EQ(valueOf(all, "hfOrderNumber"), "");
    bool label = false;
    for (const auto& e : all)
        label |= e.id.find("lblOrderNumber") != std::string::npos && e.text == "ORD-escape-01";
    EXPECT_TRUE(label);
    EXPECT_EQ(valueOf(all, "productIdx1"), "77");
    EXPECT_EQ(valueOf(all, "edv1"), "12^^k");
    EXPECT_EQ(valueOf(all, "oiopua2"), "yes");

    FileInfo info = parseFileInfo(valueOf(all, "hfFileInfo"));
    ASSERT_EQ(info.files.size(), 2u);
    EXPECT_EQ(info.defaultOutputFolder, folder);
    EXPECT_EQ(info.files[0].name, name);
    EXPECT_EQ(info.files[0].install, "run me.sh");
    EXPECT_EQ(info.files[0].typeId, 2);
    ASSERT_EQ(info.files[0].parts.size(), 5u);

    // The "fileUrl" folder serves the same parts (a mirror of the file).
    std::string pageUrl = valueOf(all, "fileUrl1");
    EXPECT_NE(pageUrl.find("/mirror/"), std::string::npos);
    std::string expected = expectedBytes("ORD-escape-01", "1");
    ASSERT_EQ(expected.size(), 100003u);
    std::string joined;
    for (const auto& p : info.files[0].parts) {
        Reply r = get(targetOf(swapFolder(pageUrl, p.url)));
        ASSERT_EQ(r.status, 200);
        joined += r.body;
    }
    EXPECT_TRUE(joined == expected);
    // The bytes depend on the order and file, not only on the size.
    EXPECT_NE(expected.substr(0, 10), expectedBytes("ORD-escape-01", "2"));

    Reply failing = get(targetOf(info.files[1].parts[0].url));
    EXPECT_EQ(failing.status, 503);
}

TEST_F(StoreTest, RedefinedOrderReplacesTheOldOne) {
    ASSERT_EQ(post("/control/order",
                   R"({"orderId":"ORD-replace-1","files":[{"fileName":"a.bin","size":50}]})")
                  .status,
              200);
    ASSERT_EQ(
        post("/control/order",
             R"({"orderId":"ORD-replace-1","files":[{"fileName":"b.bin","size":70,"parts":2}]})")
            .status,
        200);
    FileInfo info = parseFileInfo(
        valueOf(elements(get("/Webstore/Order.aspx?order=ORD-replace-1").body), "hfFileInfo"));
    ASSERT_EQ(info.files.size(), 1u);
    EXPECT_EQ(info.files[0].name, "b.bin");
    EXPECT_EQ(info.files[0].parts.size(), 2u);
    EXPECT_EQ(expectedBytes("ORD-replace-1", "1").size(), 70u);
    EXPECT_NE(get("/Webstore/Account/VeskNoContext.aspx").body.find("order=ORD-replace-1"),
              std::string::npos);
}

TEST_F(StoreTest, BadOrdersAreRejectedAndWriteNothing) {
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"not json", "{"},
        {"not an object", "[1]"},
        {"no id", R"({"files":[]})"},
        {"id leaves the data folder", R"({"orderId":"../x","files":[]})"},
        {"key leaves the data folder",
         R"({"orderId":"ok","files":[{"fileKey":"..","fileName":"a","size":1}]})"},
        {"name with a folder", R"({"orderId":"ok","files":[{"fileName":"../a","size":1}]})"},
        {"name with a control char",
         R"({"orderId":"ok","files":[{"fileName":"a\u0001b","size":1}]})"},
        {"plain file without size", R"({"orderId":"ok","files":[{"fileName":"a"}]})"},
        {"more parts than bytes",
         R"({"orderId":"ok","files":[{"fileName":"a","size":2,"parts":3}]})"},
        {"zero parts", R"({"orderId":"ok","files":[{"fileName":"a","size":2,"parts":0}]})"},
        {"size as text", R"({"orderId":"ok","files":[{"fileName":"a","size":"10"}]})"},
        {"bad status", R"({"orderId":"ok","files":[{"fileName":"a","size":1,"failStatus":42}]})"},
        {"repeated key",
         R"({"orderId":"ok","files":[{"fileName":"a","size":1},{"fileKey":"1","fileName":"b","size":1}]})"},
        {"unknown layout",
         R"({"orderId":"ok","files":[{"fileName":"a.tarn","package":{"layout":"zip","entries":[{"name":"x"}]}}]})"},
        {"package without entries",
         R"({"orderId":"ok","files":[{"fileName":"a.tarn","package":{"entries":[]}}]})"},
    };
    for (const auto& [what, body] : cases) {
        Reply r = post("/control/order", body);
        EXPECT_EQ(r.status, 400) << what;
        EXPECT_NE(r.body.find("\"error\""), std::string::npos) << what;
    }
    EXPECT_EQ(get("/Webstore/Order.aspx?order=ok").status, 404);
    EXPECT_FALSE(fs::exists(fs::path(store_->dataDir()) / "ok"));
}

TEST_F(StoreTest, FileRequestsAreLoggedWithTheirRange) {
    ASSERT_EQ(
        post("/control/order",
             R"({"orderId":"ORD-log-1","files":[{"fileName":"l.bin","size":1000,"parts":2}]})")
            .status,
        200);
    FileInfo info = parseFileInfo(
        valueOf(elements(get("/Webstore/Order.aspx?order=ORD-log-1").body), "hfFileInfo"));
    ASSERT_EQ(info.files.size(), 1u);
    ASSERT_EQ(post("/control/requests/reset").status, 200);
    std::string p1 = targetOf(info.files[0].parts[0].url);
    std::string p2 = targetOf(info.files[0].parts[1].url);
    get(p1);
    get(p2, "bytes=100-");
    get(p2, "bytes=900-");
    get("/files/ORD-log-1/1/3-l.bin");
    EXPECT_EQ(withoutTimes(get("/control/requests").body),
              "[{\"path\":\"" + p1 + "\",\"range\":\"\",\"status\":200}," + "{\"path\":\"" + p2 +
                  "\",\"range\":\"bytes=100-\",\"status\":206}," + "{\"path\":\"" + p2 +
                  "\",\"range\":\"bytes=900-\",\"status\":416}," +
                  "{\"path\":\"/files/ORD-log-1/1/3-l.bin\",\"range\":\"\",\"status\":404}]");
}

// Packages: the parts add up to a package that the application's extraction
// unpacks with the page's "edv" parameter, in every layout.
TEST_F(StoreTest, PackagesUnpackWithThePageParameter) {
    const std::string sealedKey = "S3aled-" + std::string(50, 'k');
    struct Case {
        std::string layout, key;
    };
    const std::vector<Case> cases = {{"versioned", "Key42"}, {"sealed", sealedKey}, {"legacy", ""}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.layout);
        std::string id = "ORD-pkg-" + c.layout;
        std::string order =
            R"({"orderId":")" + id +
            R"(","files":[{"fileName":"Tool.tarn","installCommand":"setup.sh",)"
            R"("parts":3,"package":{"layout":")" +
            c.layout + R"(","key":")" + c.key +
            R"(","entries":[)"
            R"({"name":"Tool","folder":true},{"name":"Tool/setup.sh","text":"#!/bin/sh\necho hi\n"},)"
            R"({"name":"Tool/docs/readme.txt","text":"Read me."}]}}]})";
        Reply defined = post("/control/order", order);
        ASSERT_EQ(defined.status, 200) << defined.body;
        auto all = elements(get("/Webstore/Order.aspx?order=" + id).body);
        FileInfo info = parseFileInfo(valueOf(all, "hfFileInfo"));
        ASSERT_EQ(info.files.size(), 1u);
        EXPECT_EQ(info.files[0].typeId, 1);
        EXPECT_EQ(info.files[0].parts.size(), 3u);
        std::string bytes;
        for (const auto& p : info.files[0].parts) bytes += get(targetOf(p.url)).body;
        ASSERT_TRUE(bytes == expectedBytes(id, "1"));

        std::string edv = valueOf(all, "edv1");
        EXPECT_TRUE(std::regex_match(edv, std::regex(R"(\d+\^\^)" + c.key))) << edv;
        fs::path work = fs::path(store_->dataDir()) / ("unpack-" + c.layout);
        fs::create_directories(work / "out");
        { std::ofstream(work / "Tool.tarn", std::ios::binary) << bytes; }

        quenlow::UnpackParameter p = quenlow::SplitUnpackParameter(edv);
        quenlow::PackageCatalogue catalogue;
        std::string launchFolder;
        if (c.layout == "legacy") {
            ASSERT_TRUE(quenlow::UnpackLegacy(catalogue, (work / "Tool.tarn").string(),
                                              (work / "out").string(), quenlow::UM_UNPACK_PERCENT,
                                              nullptr));
        } else {
            auto reports = std::make_shared<quenlow::MessageQueue>();
            catalogue.reportThread = reports;
            ASSERT_FALSE(p.skipCrc);
            ASSERT_EQ(
                quenlow::Unpack(catalogue, (work / "Tool.tarn").string(), (work / "out").string(),
                                launchFolder, quenlow::UM_PROCESS_STATUS(), nullptr, p.skipCrc,
                                p.expectedCrc, p.packageKey, false, reports),
                quenlow::Unpack_Done);
            EXPECT_EQ(launchFolder, "Tool");
        }
        EXPECT_EQ(readFile(work / "out/Tool/setup.sh"), "#!/bin/sh\necho hi\n");
        EXPECT_EQ(readFile(work / "out/Tool/docs/readme.txt"), "Read me.");
    }
}

TEST_F(StoreTest, DemoOrderHasAPackageWithItsInstallCommand) {
    auto all = elements(get("/Webstore/Order.aspx?order=DEMO00004711").body);
    FileInfo info = parseFileInfo(valueOf(all, "hfFileInfo"));
    bool found = false;
    for (size_t i = 0; i < info.files.size(); ++i) {
        const InfoFile& f = info.files[i];
        if (f.name.size() < 5 || f.name.substr(f.name.size() - 5) != ".tarn") continue;
        found = true;
        EXPECT_FALSE(f.install.empty());
        quenlow::UnpackParameter p =
            quenlow::SplitUnpackParameter(valueOf(all, "edv" + std::to_string(i + 1)));
        fs::path work = fs::path(store_->dataDir()) / "unpack-demo";
        fs::create_directories(work / "out");
        { std::ofstream(work / f.name, std::ios::binary) << expectedBytes("DEMO00004711", f.key); }
        auto reports = std::make_shared<quenlow::MessageQueue>();
        quenlow::PackageCatalogue catalogue;
        catalogue.reportThread = reports;
        std::string launchFolder;
        ASSERT_EQ(quenlow::Unpack(catalogue, (work / f.name).string(), (work / "out").string(),
                                  launchFolder, quenlow::UM_PROCESS_STATUS(), nullptr, p.skipCrc,
                                  p.expectedCrc, p.packageKey, false, reports),
                  quenlow::Unpack_Done);
        EXPECT_FALSE(launchFolder.empty());
        EXPECT_TRUE(fs::is_regular_file(work / "out" / launchFolder / f.install))
            << "install command not unpacked";
    }
    EXPECT_TRUE(found);
}

}  // namespace
