// The shared number, UTF-8 and file-name helpers.

#include <gtest/gtest.h>

#include <climits>
#include <cstdint>
#include <string>
#include <vector>

#include "platform/Text.h"

namespace quenlow {
namespace {

struct NumberCase {
    const char* name;
    std::string text;
    int64_t signedValue;
    uint64_t unsignedValue;
};

void PrintTo(const NumberCase& c, std::ostream* os) { *os << c.name; }

class Numbers : public ::testing::TestWithParam<NumberCase> {};

TEST_P(Numbers, ParseLeadingDigitsAndSaturate) {
    const NumberCase& c = GetParam();
    EXPECT_EQ(parseInt64(c.text), c.signedValue);
    EXPECT_EQ(parseUnsigned(c.text), c.unsignedValue);
}

INSTANTIATE_TEST_SUITE_P(
    Text, Numbers,
    ::testing::Values(
        NumberCase{"Plain", "1234", 1234, 1234}, NumberCase{"Empty", "", 0, 0},
        NumberCase{"BlanksThenDigits", " \t\r\n42", 42, 42},
        NumberCase{"TrailingText", "17 bytes", 17, 17}, NumberCase{"Negative", "-5", -5, 0},
        NumberCase{"Plus", "+7", 7, 0}, NumberCase{"NoDigits", "abc", 0, 0},
        NumberCase{"Int64Max", "9223372036854775807", INT64_MAX, 9223372036854775807ull},
        NumberCase{"AboveInt64", "9223372036854775808", INT64_MAX, 9223372036854775808ull},
        NumberCase{"Uint64Max", "18446744073709551615", INT64_MAX, UINT64_MAX},
        NumberCase{"TwentyThreeDigits", "12345678901234567890123", INT64_MAX, UINT64_MAX},
        NumberCase{"HugeNegative", "-99999999999999999999", INT64_MIN, 0}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(Text, ParseIntClampsToInt) {
    EXPECT_EQ(parseInt("2147483648"), INT_MAX);
    EXPECT_EQ(parseInt("-2147483649"), INT_MIN);
    EXPECT_EQ(parseInt("-12"), -12);
}

struct Utf8Case {
    const char* name;
    std::string text;
    bool valid;
};

void PrintTo(const Utf8Case& c, std::ostream* os) { *os << c.name; }

class Utf8 : public ::testing::TestWithParam<Utf8Case> {};

TEST_P(Utf8, ValidatesWholeSequences) { EXPECT_EQ(isValidUtf8(GetParam().text), GetParam().valid); }

INSTANTIATE_TEST_SUITE_P(Text, Utf8,
                         ::testing::Values(Utf8Case{"Ascii", "setup.exe", true},
                                           Utf8Case{"Empty", "", true},
                                           Utf8Case{"TwoByte", "caf\xC3\xA9", true},
                                           Utf8Case{"ThreeByte", "\xE2\x82\xAC", true},
                                           Utf8Case{"FourByte", "\xF0\x9F\x98\x80", true},
                                           Utf8Case{"Latin1Byte", "caf\xE9", false},
                                           Utf8Case{"Overlong", "\xC0\xAF", false},
                                           Utf8Case{"Surrogate", "\xED\xA0\x80", false},
                                           Utf8Case{"AboveUnicode", "\xF4\x90\x80\x80", false},
                                           Utf8Case{"Truncated", "\xE2\x82", false},
                                           Utf8Case{"StrayContinuation", "\x80", false}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(Text, SequenceAtGivesLengthAndCodePoint) {
    uint32_t c = 0;
    EXPECT_EQ(utf8SequenceAt("a\xE2\x82\xAC", 1, c), 3u);
    EXPECT_EQ(c, 0x20ACu);
    EXPECT_EQ(utf8SequenceAt("\xC3", 0, c), 0u);
}

TEST(Text, PlainFileNames) {
    EXPECT_TRUE(isPlainFileName("setup.exe"));
    EXPECT_TRUE(isPlainFileName("..hidden"));
    for (const std::string& bad :
         std::vector<std::string>{"", ".", "..", "a/b", "/abs", std::string("a\0b", 3)})
        EXPECT_FALSE(isPlainFileName(bad)) << bad;
}

TEST(Text, LowerAsciiAndTrimmed) {
    EXPECT_EQ(lowerAscii("Content-Length HTTPS \xC3\x89"), "content-length https \xC3\x89");
    EXPECT_EQ(trimmed(" \t value with inner blanks\r\n"), "value with inner blanks");
    EXPECT_EQ(trimmed(" \t\r\n"), "");
}

}  // namespace
}  // namespace quenlow
