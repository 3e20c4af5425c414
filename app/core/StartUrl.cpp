#include "app/core/StartUrl.h"

#include <fstream>

namespace quenlow {

std::string noContextUrl(const std::string& storeHost) {
    std::string host = storeHost;
    while (!host.empty() && host.back() == '/') host.pop_back();
    return host + NoContextPath;
}

std::string firstLineOf(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return {};
    std::string line;
    std::getline(in, line);
    if (!line.empty() && line.back() == '\r') line.pop_back();
    // A UTF-8 byte-order mark is not part of the URL.
    if (line.rfind("\xEF\xBB\xBF", 0) == 0) line.erase(0, 3);
    return line;
}

std::string withClientVersion(std::string url) {
    size_t at = url.find(ClientVersionKey);
    if (at != std::string::npos && at > 0) url.erase(at);
    if (url.find("VeskNoContext") == std::string::npos)
        url += std::string(ClientVersionKey) + ClientVersion;
    return url;
}

std::string chooseStartUrl(const std::optional<std::string>& argumentFile,
                           const std::function<std::string()>& savedUrl,
                           const std::string& storeHost) {
    std::string url;
    if (argumentFile) {
        url = firstLineOf(*argumentFile);
    } else {
        if (savedUrl) url = savedUrl();
        if (url.empty()) url = noContextUrl(storeHost);
    }
    return withClientVersion(std::move(url));
}

}  // namespace quenlow
