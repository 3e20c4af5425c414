#include "platform/Text.h"

#include <algorithm>
#include <climits>

namespace quenlow {

namespace {

bool isBlank(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f' || c == '\v';
}

size_t skipBlanks(std::string_view text) {
    size_t i = 0;
    while (i < text.size() && isBlank(text[i])) ++i;
    return i;
}

// The leading digits from i on, saturating at limit.
uint64_t digitsValue(std::string_view text, size_t i, uint64_t limit) {
    uint64_t value = 0;
    for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
        const unsigned digit = static_cast<unsigned>(text[i] - '0');
        if (value > (limit - digit) / 10) return limit;
        value = value * 10 + digit;
    }
    return value;
}

}  // namespace

int64_t parseInt64(std::string_view text) {
    size_t i = skipBlanks(text);
    bool negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
    const auto value = static_cast<int64_t>(digitsValue(text, i, INT64_MAX));
    if (negative) return value == INT64_MAX ? INT64_MIN : -value;
    return value;
}

int parseInt(std::string_view text) {
    return static_cast<int>(std::clamp<int64_t>(parseInt64(text), INT_MIN, INT_MAX));
}

uint64_t parseUnsigned(std::string_view text) {
    return digitsValue(text, skipBlanks(text), UINT64_MAX);
}

size_t utf8SequenceAt(std::string_view text, size_t at, uint32_t& codePoint) {
    const auto lead = static_cast<unsigned char>(text[at]);
    const size_t length = lead < 0x80             ? 1
                          : (lead & 0xE0) == 0xC0 ? 2
                          : (lead & 0xF0) == 0xE0 ? 3
                          : (lead & 0xF8) == 0xF0 ? 4
                                                  : 0;
    if (length == 0 || length > text.size() - at) return 0;
    uint32_t c = length == 1   ? lead
                 : length == 2 ? (lead & 0x1F)
                 : length == 3 ? (lead & 0x0F)
                               : (lead & 0x07);
    for (size_t k = 1; k < length; ++k) {
        const auto next = static_cast<unsigned char>(text[at + k]);
        if ((next & 0xC0) != 0x80) return 0;
        c = (c << 6) | (next & 0x3F);
    }
    static const uint32_t minimum[] = {0, 0, 0x80, 0x800, 0x10000};
    if (c < minimum[length] || c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) return 0;
    codePoint = c;
    return length;
}

bool isValidUtf8(std::string_view text) {
    uint32_t c = 0;
    for (size_t i = 0; i < text.size();) {
        const size_t length = utf8SequenceAt(text, i, c);
        if (length == 0) return false;
        i += length;
    }
    return true;
}

std::string lowerAscii(std::string text) {
    for (char& c : text)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    return text;
}

std::string trimmed(std::string_view text) {
    const size_t begin = text.find_first_not_of(" \t\r\n");
    if (begin == text.npos) return {};
    const size_t end = text.find_last_not_of(" \t\r\n");
    return std::string(text.substr(begin, end - begin + 1));
}

bool isPlainFileName(std::string_view name) {
    return !name.empty() && name != "." && name != ".." && name.find('/') == name.npos &&
           name.find('\0') == name.npos;
}

}  // namespace quenlow
