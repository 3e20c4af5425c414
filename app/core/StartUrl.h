#pragma once
// Choosing the first store page URL at start-up.

#include <functional>
#include <optional>
#include <string>

namespace quenlow {

inline constexpr const char* NoContextPath = "/Webstore/Account/VeskNoContext.aspx";
inline constexpr const char* ClientVersionKey = "&wveskv=";
inline constexpr const char* ClientVersion = "3160";

// The no-context page of the store at host (e.g. "http://127.0.0.1:8321").
std::string noContextUrl(const std::string& storeHost);

// First line of a text file, without its line end; empty when it cannot be read.
std::string firstLineOf(const std::string& path);

// Drops an old client-version value and appends ours, except on the
// no-context page.
std::string withClientVersion(std::string url);

// The URL to open: from the command-line file when there is one, else the
// saved CurrentUrl (savedUrl is asked only then), else the no-context page.
std::string chooseStartUrl(const std::optional<std::string>& argumentFile,
                           const std::function<std::string()>& savedUrl,
                           const std::string& storeHost);

}  // namespace quenlow
