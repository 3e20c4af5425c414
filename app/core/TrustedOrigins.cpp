#include "app/core/TrustedOrigins.h"

#include <algorithm>
#include <cctype>

#include "platform/Text.h"

namespace quenlow {

namespace {

int defaultPort(const std::string& scheme) { return scheme == "https" ? 443 : 80; }

// A port of 1 to 65535 digits only; -1 otherwise.
int parsePort(const std::string& text) {
    if (text.empty() || text.size() > 5) return -1;
    int port = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return -1;
        port = port * 10 + (c - '0');
    }
    return port >= 1 && port <= 65535 ? port : -1;
}

}  // namespace

std::string Origin::text() const {
    std::string t = scheme + "://" + host;
    if (port != defaultPort(scheme)) t += ":" + std::to_string(port);
    return t;
}

std::optional<Origin> originOf(const std::string& url) {
    size_t sep = url.find("://");
    if (sep == std::string::npos) return std::nullopt;
    Origin o;
    o.scheme = lowerAscii(url.substr(0, sep));
    if (o.scheme != "http" && o.scheme != "https") return std::nullopt;
    // The browser reads a backslash like a slash in these URLs.
    size_t end = url.find_first_of("/?#\\", sep + 3);
    std::string authority = url.substr(sep + 3, end == std::string::npos ? end : end - sep - 3);
    // User information is not part of the host ("http://127.0.0.1@other.test/").
    if (size_t at = authority.rfind('@'); at != std::string::npos) authority.erase(0, at + 1);
    std::string portText;
    if (!authority.empty() && authority.front() == '[') {
        size_t close = authority.find(']');
        if (close == std::string::npos) return std::nullopt;
        o.host = lowerAscii(authority.substr(0, close + 1));
        std::string rest = authority.substr(close + 1);
        if (!rest.empty()) {
            if (rest.front() != ':') return std::nullopt;
            portText = rest.substr(1);
        }
    } else {
        size_t colon = authority.find(':');
        o.host = lowerAscii(authority.substr(0, colon));
        if (colon != std::string::npos) portText = authority.substr(colon + 1);
    }
    if (o.host.empty()) return std::nullopt;
    // A trailing dot names the same host; the comparison must not be fooled by it.
    if (o.host.back() == '.') o.host.pop_back();
    if (o.host.empty()) return std::nullopt;
    if (portText.empty()) {
        o.port = defaultPort(o.scheme);
    } else {
        o.port = parsePort(portText);
        if (o.port < 0) return std::nullopt;
    }
    return o;
}

bool isLoopbackHost(const std::string& host) {
    return host == "127.0.0.1" || host == "localhost" || host == "[::1]";
}

TrustedOrigins::TrustedOrigins(const std::string& storeHost, const std::string& listed) {
    if (!trimmed(storeHost).empty()) add(trimmed(storeHost));
    size_t start = 0;
    while (start <= listed.size()) {
        size_t comma = listed.find(',', start);
        std::string entry =
            trimmed(listed.substr(start, comma == std::string::npos ? comma : comma - start));
        if (!entry.empty()) add(entry);
        if (comma == std::string::npos) break;
        start = comma + 1;
    }
}

void TrustedOrigins::add(const std::string& entry) {
    std::optional<Origin> o = originOf(entry);
    if (!o) {
        refused_.push_back(entry + ": not an http or https origin");
        return;
    }
    if (!isLoopbackHost(o->host) && o->scheme != "https") {
        refused_.push_back(entry + ": a store origin other than loopback must be https");
        return;
    }
    origins_.push_back(*o);
}

bool TrustedOrigins::trusts(const std::string& url) const {
    std::optional<Origin> o = originOf(url);
    if (!o) return false;
    if (isLoopbackHost(o->host)) return true;
    return std::find(origins_.begin(), origins_.end(), *o) != origins_.end();
}

}  // namespace quenlow
