// Which page addresses get the page contract.

#include <gtest/gtest.h>

#include "app/core/TrustedOrigins.h"

namespace quenlow {
namespace {

struct OriginCase {
    const char* name;
    const char* url;
    bool trusted;
};

void PrintTo(const OriginCase& c, std::ostream* os) { *os << c.name; }

class TrustedPages : public ::testing::TestWithParam<OriginCase> {};

// The built-in store on its own https host, plus two listed origins (one of
// them plain http, which is refused).
TEST_P(TrustedPages, FollowTheStoreLoopbackAndListedOrigins) {
    TrustedOrigins origins("https://shop.example",
                           " https://mirror.example:8443 ,http://plain.example,,bogus");
    EXPECT_EQ(origins.trusts(GetParam().url), GetParam().trusted) << GetParam().url;
}

INSTANTIATE_TEST_SUITE_P(
    Urls, TrustedPages,
    ::testing::Values(
        OriginCase{"StoreHost", "https://shop.example/Webstore/Order.aspx?order=1", true},
        OriginCase{"StoreHostUpperCase", "HTTPS://SHOP.Example/x", true},
        OriginCase{"StoreHostDefaultPortWritten", "https://shop.example:443/x", true},
        OriginCase{"StoreHostTrailingDot", "https://shop.example./x", true},
        OriginCase{"StoreHostOverHttp", "http://shop.example/x", false},
        OriginCase{"StoreHostOtherPort", "https://shop.example:444/x", false},
        OriginCase{"SubdomainOfStore", "https://evil.shop.example/x", false},
        OriginCase{"StoreAsSuffix", "https://shop.example.evil.test/x", false},
        OriginCase{"StoreInUserInfo", "https://shop.example@evil.test/x", false},
        OriginCase{"StoreInPath", "https://evil.test/https://shop.example/", false},
        OriginCase{"BackslashEndsTheHost", "https://evil.test\\@shop.example/x", false},
        OriginCase{"ListedWithPort", "https://mirror.example:8443/x", true},
        OriginCase{"ListedWithoutItsPort", "https://mirror.example/x", false},
        OriginCase{"ListedButPlainHttp", "http://plain.example/x", false},
        OriginCase{"LoopbackV4AnyPort", "http://127.0.0.1:8321/x", true},
        OriginCase{"LoopbackName", "http://localhost/x", true},
        OriginCase{"LoopbackV6", "http://[::1]:9000/x", true},
        OriginCase{"LoopbackHttps", "https://127.0.0.1:8443/", true},
        OriginCase{"OtherLoopbackAddress", "http://127.0.0.2/x", false},
        OriginCase{"LoopbackInUserInfo", "http://127.0.0.1@other.test/x", false},
        OriginCase{"OtherHost", "http://other.test:8321/Webstore/Order.aspx", false},
        OriginCase{"FileUrl", "file:///home/u/order.html", false},
        OriginCase{"DataUrl", "data:text/html,<p>x</p>", false},
        OriginCase{"AboutBlank", "about:blank", false}, OriginCase{"NoUrl", "", false},
        OriginCase{"BadPort", "http://127.0.0.1:99999/", false}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(TrustedOrigins, RefusedEntriesAreReportedWithTheirReason) {
    TrustedOrigins origins("http://127.0.0.1:8321",
                           "http://plain.example, ftp://x, https://ok.example");
    ASSERT_EQ(origins.refused().size(), 2u);
    EXPECT_EQ(origins.refused()[0],
              "http://plain.example: a store origin other than loopback must be https");
    EXPECT_EQ(origins.refused()[1], "ftp://x: not an http or https origin");
    EXPECT_TRUE(origins.trusts("https://ok.example/"));
}

TEST(TrustedOrigins, WithoutSettingsOnlyLoopbackIsTrusted) {
    TrustedOrigins origins;
    EXPECT_TRUE(origins.trusts("http://localhost:1/"));
    EXPECT_FALSE(origins.trusts("https://shop.example/"));
}

TEST(Origin, TextShowsThePortOnlyWhenItIsNotTheDefault) {
    EXPECT_EQ(originOf("HTTP://Other.Test:8321/x?y")->text(), "http://other.test:8321");
    EXPECT_EQ(originOf("https://a.example:443/")->text(), "https://a.example");
    EXPECT_EQ(originOf("http://[::1]/")->text(), "http://[::1]");
    EXPECT_FALSE(originOf("http:///nohost"));
}

}  // namespace
}  // namespace quenlow
