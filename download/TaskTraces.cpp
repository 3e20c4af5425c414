#include "download/TaskTraces.h"

namespace quenlow::taskTrace {

std::vector<std::string> sessionOpening() {
    // Our transfers open one connection each; there is no per-server limit to
    // raise, so the option calls always report success.
    return {
        "Download Start Phase - InternetSetOption(NULL, INTERNET_OPTION_MAX_CONNS_PER_1_0_SERVER, "
        "100, sizeof(dwMaxCount)) retCode = 1",
        "InternetSetOption(NULL, INTERNET_OPTION_MAX_CONNS_PER_SERVER, 100, "
        "sizeof(dwMaxCount))retCode = 1",
        "InternetOpen(AfxGetAppName(), INTERNET_OPEN_TYPE_PRECONFIG, NULL, NULL, "
        "INTERNET_FLAG_DONT_CACHE | INTERNET_FLAG_RELOAD)retCode = 1",
        "InternetSetOption(hInternetSession, INTERNET_OPTION_MAX_CONNS_PER_1_0_SERVER, 100, "
        "sizeof(dwMaxCount));retCode = 1"};
}

std::string proxySessionOpening() {
    return "InternetOpen(AfxGetAppName(), INTERNET_OPEN_TYPE_PROXY, NULL, *, "
           "INTERNET_FLAG_DONT_CACHE | INTERNET_FLAG_RELOAD);";
}

std::string connect(const std::string& host, unsigned port) {
    return "InternetConnect(hInternetSession, '" + host + "', " + std::to_string(port) +
           ", NULL, NULL, INTERNET_SERVICE_HTTP, 0, (DWORD) this);";
}

std::string openRequest(const std::string& objectName, unsigned flags, bool probe) {
    return "HttpOpenRequest(hHttpConnection, NULL, " + objectName +
           (probe ? ", 'HTTP/1.1', NULL, NULL, " : ", NULL, NULL, NULL, ") + std::to_string(flags) +
           ", 0)";
}

std::string sendRequest(const std::string& rangeText) {
    return "HttpSendRequest(hHttpFile, '" + rangeText + "', " + std::to_string(rangeText.size()) +
           ", NULL, 0)";
}

std::string statusCode(long status) {
    return "HttpQueryInfo(hHttpFile, HTTP_QUERY_STATUS_CODE, szStatusCode, &dwInfoSize, NULL) "
           "return statusCode " +
           std::to_string(status);
}

std::string contentLength(uint64_t length) {
    // The original kept only the low 32 bits in this text.
    return "HttpQueryInfo(hHttpFile, HTTP_QUERY_CONTENT_LENGTH, szContentLength, &dwInfoSize, "
           "NULL) return m_ulContentLength " +
           std::to_string(static_cast<uint32_t>(length));
}

std::string completedBySize(const std::string& url, uint64_t length) {
    return "Download of " + url + " is completed.  Size: " + std::to_string(length);
}

std::string closeProbe() { return "InternetCloseHandle( hHttpFile )"; }

std::string streamStart() { return "processDownloadStream"; }

std::string receiveTimeout(long long millis) {
    return "InternetSetOption(hHttpFile, INTERNET_OPTION_CONTROL_RECEIVE_TIMEOUT," +
           std::to_string(millis) + ", sizeof(dwTimeout))retCode = 1";
}

std::string firstRead() { return "First InternetReadFile call"; }

std::string readLoopCompleted() { return "InternetReadFile loop completed"; }

std::string streamException(const std::string& displayText) {
    return "DownloadTask::processDownloadStream Exception =  " + displayText;
}

}  // namespace quenlow::taskTrace
