#pragma once
// Small text helpers shared by every layer: decimal numbers from servers,
// pages and files, UTF-8 checks, and the plain-file-name rule.

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace quenlow {

// Decimal value of the leading digits after optional blanks and a sign; 0 when
// there are none. Saturates instead of overflowing on absurd values.
int64_t parseInt64(std::string_view text);
// parseInt64 clamped to the range of int.
int parseInt(std::string_view text);
// Decimal value of the leading digits after optional blanks (no sign); 0 when
// there are none; saturates at UINT64_MAX.
uint64_t parseUnsigned(std::string_view text);

// The length of the well-formed UTF-8 sequence at text[at] (1 to 4) and its
// code point; 0 for a stray, overlong, surrogate or truncated sequence.
size_t utf8SequenceAt(std::string_view text, size_t at, uint32_t& codePoint);
bool isValidUtf8(std::string_view text);

// ASCII letters in lower case (host names, schemes, header names); other bytes kept.
std::string lowerAscii(std::string text);
// text without the blanks (space, tab, CR, LF) around it.
std::string trimmed(std::string_view text);

// A name the page or a package gives for a file directly inside a folder: not
// empty, not "." or "..", no "/" and no NUL.
bool isPlainFileName(std::string_view name);

}  // namespace quenlow
