#pragma once
// The trace texts of the part download task, word for word as the diagnostic
// log has always shown them (they name the original platform's calls, which
// support staff search for).

#include <cstdint>
#include <string>
#include <vector>

namespace quenlow::taskTrace {

// The connection limits and session opening that every attempt reports.
std::vector<std::string> sessionOpening();
std::string proxySessionOpening();
std::string connect(const std::string& host, unsigned port);
// The probe names the protocol version; the data request leaves it to the default.
std::string openRequest(const std::string& objectName, unsigned flags, bool probe);
std::string sendRequest(const std::string& rangeText);
std::string statusCode(long status);
std::string contentLength(uint64_t length);
std::string completedBySize(const std::string& url, uint64_t length);
std::string closeProbe();
std::string streamStart();
std::string receiveTimeout(long long millis);
std::string firstRead();
std::string readLoopCompleted();
std::string streamException(const std::string& displayText);

}  // namespace quenlow::taskTrace
