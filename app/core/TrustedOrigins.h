#pragma once
// Which pages get the page contract. A page can start downloads into folders
// it names and launch programs, so its fields, clicks and URL count only on a
// trusted origin: the built-in store host, the loopback hosts (any port) and
// the origins listed by the user. A listed origin other than loopback must be
// https, so that nobody on the path can pose as the store.

#include <optional>
#include <string>
#include <vector>

namespace quenlow {

struct Origin {
    std::string scheme;  // lower case
    std::string host;    // lower case; an IPv6 address keeps its brackets
    int port = -1;       // the scheme's default port when the URL names none

    // "scheme://host[:port]", the port shown only when it is not the default.
    std::string text() const;
    bool operator==(const Origin&) const = default;
};

// The origin of an http or https URL; nullopt for anything else or a URL
// that cannot be read.
std::optional<Origin> originOf(const std::string& url);

bool isLoopbackHost(const std::string& host);

class TrustedOrigins {
  public:
    // Loopback only.
    TrustedOrigins() = default;
    // storeHost: the built-in store (a URL or an origin); listed: the
    // comma-separated origins of QUENLOW_STORE_ORIGINS.
    TrustedOrigins(const std::string& storeHost, const std::string& listed);

    bool trusts(const std::string& url) const;
    // Entries that were not taken, each with the reason (for the log).
    const std::vector<std::string>& refused() const { return refused_; }

  private:
    void add(const std::string& entry);

    std::vector<Origin> origins_;
    std::vector<std::string> refused_;
};

}  // namespace quenlow
