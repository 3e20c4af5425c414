// The click sink's id matching and the choice of the first URL.

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>

#include "app/core/EventHandler.h"
#include "app/core/StartUrl.h"
#include "platform/Messages.h"
#include "support/RecordingView.h"
#include "support/ScratchDir.h"

namespace quenlow {
namespace {

using test::RecordingView;

struct Posted {
    uintptr_t wParam;
    intptr_t lParam;
    std::string text;  // outer HTML for the folder selection
};

struct ClickCase {
    const char* name;
    std::vector<ClickedElement> chain;  // innermost first
    std::vector<Posted> expected;
};

void PrintTo(const ClickCase& c, std::ostream* os) { *os << c.name; }

class ClickMatching : public ::testing::TestWithParam<ClickCase> {};

TEST_P(ClickMatching, PostsPageEvents) {
    RecordingView view;
    EventHandler handler(&view);
    handler.onClick(GetParam().chain);
    auto got = view.messages();
    const auto& expected = GetParam().expected;
    ASSERT_EQ(got.size(), expected.size());
    for (size_t i = 0; i < got.size(); ++i) {
        EXPECT_EQ(got[i].id, UM_PAGE_EVENT);
        EXPECT_EQ(got[i].wParam, expected[i].wParam) << i;
        EXPECT_EQ(got[i].lParam, expected[i].lParam) << i;
        EXPECT_EQ(got[i].text.value_or(""), expected[i].text) << i;
    }
}

INSTANTIATE_TEST_SUITE_P(
    Ids, ClickMatching,
    ::testing::Values(
        ClickCase{"ButtonItself", {{"downloadAction3", "<button>"}}, {{0, 2, ""}}},
        ClickCase{"TextInsideButton",
                  {{"", ""}, {"downloadAction1", "<button>"}, {"body", "<body>"}},
                  {{0, 0, ""}}},
        ClickCase{"TwoDigitNumber", {{"downloadAction10", ""}}, {{0, 9, ""}}},
        ClickCase{"NoDigitsGivesIndexMinusOne", {{"downloadActionX", ""}}, {{0, -1, ""}}},
        ClickCase{"TrailingTextAfterDigits", {{"downloadAction12abc", ""}}, {{0, 11, ""}}},
        ClickCase{"BlankAfterPrefixIsNoNumber", {{"downloadAction 3", ""}}, {{0, -1, ""}}},
        ClickCase{"SignAfterPrefixIsNoNumber", {{"downloadAction+3", ""}}, {{0, -1, ""}}},
        ClickCase{"PrefixNotAtStart", {{"xdownloadAction1", ""}}, {}},
        ClickCase{"FolderNameAtStartIsIgnored", {{"BrowserFolderSelection", "<a>"}}, {}},
        ClickCase{"FolderNameAfterText",
                  {{"ctl00_BrowserFolderSelection", "<a id=f>"}},
                  {{1, 0, "<a id=f>"}}},
        ClickCase{"FolderStopsTheWalk",
                  {{"xBrowserFolderSelection", "<a>"}, {"downloadAction2", ""}},
                  {{1, 0, "<a>"}}},
        ClickCase{"UpgradeLinkAtStartIsIgnored", {{"hlVESKDownloadUpgrade", ""}}, {}},
        ClickCase{"UpgradeGoesOnToParents",
                  {{"ctl_hlVESKDownloadUpgrade", ""}, {"downloadAction2", ""}},
                  {{2, 0, ""}, {0, 1, ""}}},
        ClickCase{"NothingMatches", {{"", ""}, {"main", "<div>"}}, {}},
        ClickCase{
            "HugeNumberSaturates", {{"downloadAction99999999999999", ""}}, {{0, 2147483646, ""}}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(ClickMatching, UsesThePagesControlNames) {
    RecordingView view;
    EventHandler handler(&view);
    handler.actionButtonPrefix = "btnGet";
    handler.folderSelectionName = "PickFolder";
    handler.onClick({{"downloadAction1", ""}});
    handler.onClick({{"btnGet4", ""}});
    handler.onClick({{"xBrowserFolderSelection", ""}});
    handler.onClick({{"xPickFolder", "<b>"}});
    auto got = view.messages();
    ASSERT_EQ(got.size(), 2u);
    EXPECT_EQ(got[0].wParam, 0u);
    EXPECT_EQ(got[0].lParam, 3);
    EXPECT_EQ(got[1].wParam, 1u);
    EXPECT_EQ(got[1].text.value_or(""), "<b>");
}

// --- first URL ---

class StartUrl : public ::testing::Test {
  protected:
    std::string writeFile(const std::string& content) {
        auto path = dir_ / "start.txt";
        std::ofstream(path, std::ios::binary) << content;
        return path.string();
    }
    test::ScratchDir scratch_{"starturl"};
    std::filesystem::path dir_ = scratch_.path();
    const std::string host = "http://127.0.0.1:8321";
};

TEST_F(StartUrl, WithoutArgument) {
    struct Case {
        std::string saved;
        std::string expected;
    };
    const Case cases[] = {
        {"", "http://127.0.0.1:8321/Webstore/Account/VeskNoContext.aspx"},
        {"http://store/Order.aspx?order=1", "http://store/Order.aspx?order=1&wveskv=3160"},
        {"http://store/Order.aspx?order=1&wveskv=3100&x=2",
         "http://store/Order.aspx?order=1&wveskv=3160"},
        {"http://store/Webstore/Account/VeskNoContext.aspx?a=1&wveskv=1",
         "http://store/Webstore/Account/VeskNoContext.aspx?a=1"},
    };
    for (const auto& c : cases) {
        int asked = 0;
        std::string url = chooseStartUrl(
            std::nullopt,
            [&] {
                ++asked;
                return c.saved;
            },
            host);
        EXPECT_EQ(url, c.expected) << c.saved;
        EXPECT_EQ(asked, 1);
    }
}

TEST_F(StartUrl, FromCommandLineFile) {
    bool asked = false;
    auto saved = [&] {
        asked = true;
        return std::string("http://saved/");
    };
    EXPECT_EQ(
        chooseStartUrl(writeFile("http://store/Order.aspx?order=7\r\nsecond line\n"), saved, host),
        "http://store/Order.aspx?order=7&wveskv=3160");
    EXPECT_EQ(chooseStartUrl(writeFile("\xEF\xBB\xBFhttp://store/p?a=1&wveskv=9"), saved, host),
              "http://store/p?a=1&wveskv=3160");
    EXPECT_FALSE(asked);
    // A file that cannot be read gives an empty URL, which only gets the version.
    EXPECT_EQ(chooseStartUrl((dir_ / "missing.txt").string(), saved, host), "&wveskv=3160");
}

TEST(ClientVersion, OnlyCutsAfterTheFirstCharacter) {
    EXPECT_EQ(withClientVersion("&wveskv=1"), "&wveskv=1&wveskv=3160");
    EXPECT_EQ(withClientVersion("http://h/VeskNoContext.aspx"), "http://h/VeskNoContext.aspx");
    EXPECT_EQ(noContextUrl("http://h:1/"), "http://h:1/Webstore/Account/VeskNoContext.aspx");
}

}  // namespace
}  // namespace quenlow
