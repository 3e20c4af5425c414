// The HTTP layer against the local test server.

#include <Poco/Net/ServerSocket.h>
#include <Poco/Net/StreamSocket.h>
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <thread>

#include "download/DownloadTask.h"
#include "platform/Http.h"
#include "support/ScratchDir.h"
#include "support/TestHttpServer.h"

namespace quenlow::test {
namespace {

using namespace std::chrono_literals;

std::string readBody(HttpRequest& req, int64_t& last) {
    std::string body;
    std::vector<char> buf(131072);
    while ((last = req.read(buf.data(), buf.size(), 5000ms)) > 0)
        body.append(buf.data(), static_cast<size_t>(last));
    return body;
}

class Http : public ::testing::Test {
  protected:
    TestHttpServer server;
    HttpSession session;
};

TEST_F(Http, FollowsRedirectsAndReadsInFullBuffers) {
    std::string content = generatedContent(5, 300001);
    server.addFile("/real.bin", content);
    server.addFile("/moved.bin", "");
    server.setBehavior("/moved.bin", {.redirectTo = server.url("/real.bin")});
    HttpRequest req(session, server.url("/moved.bin"), {"Range: bytes=1-"});
    ASSERT_TRUE(req.send(5000ms)) << req.errorText();
    EXPECT_EQ(req.status(), 206);
    EXPECT_EQ(req.contentLength().value_or(0), 300000u);
    EXPECT_EQ(req.effectiveUrl(), server.url("/real.bin"));
    std::vector<char> buf(131072);
    EXPECT_EQ(req.read(buf.data(), buf.size(), 5000ms),
              131072);  // a full buffer, not a network-sized piece
    int64_t last = 0;
    std::string rest = readBody(req, last);
    EXPECT_EQ(last, 0);
    EXPECT_EQ(std::string(buf.data(), buf.size()) + rest, content.substr(1));
    auto reqs = server.requestsFor("/real.bin");
    ASSERT_EQ(reqs.size(), 1u);
    EXPECT_EQ(reqs[0].header("Range").value_or(""), "bytes=1-");  // kept across the redirect
}

TEST_F(Http, ShortBodyEndsCleanly) {
    server.addFile("/short", generatedContent(6, 500000));
    server.setBehavior("/short", {.shortBodyBytes = 200000});
    HttpRequest req(session, server.url("/short"), {});
    ASSERT_TRUE(req.send(5000ms));
    int64_t last = -2;
    EXPECT_EQ(readBody(req, last).size(), 200000u);
    EXPECT_EQ(last, 0);
}

// The first read returns what came before the stall after one time-out; the
// next read gives up at once instead of waiting a second full time-out,
// since the stall began at the last byte.
TEST_F(Http, StalledBodyIsGivenUpOneTimeOutAfterItsLastByte) {
    server.addFile("/stall", generatedContent(7, 500000));
    server.setBehavior("/stall", {.stallAfterBytes = 1000});
    HttpRequest req(session, server.url("/stall"), {});
    ASSERT_TRUE(req.send(5000ms));
    std::vector<char> buf(131072);
    const auto timeout = 1500ms;
    EXPECT_EQ(req.read(buf.data(), buf.size(), timeout), 1000);  // what came before the stall
    const auto before = std::chrono::steady_clock::now();
    EXPECT_EQ(req.read(buf.data(), buf.size(), timeout), -1);
    EXPECT_LT(std::chrono::steady_clock::now() - before, timeout / 2);
    EXPECT_EQ(req.errorText(), "Timeout was reached");
}

// A server that sends its response head one line at a time, each well within
// the time-out; the head ends after kLines lines (so a client that waits for
// it anyway gets an answer instead of hanging the test).
class TricklingHeadServer {
  public:
    explicit TricklingHeadServer(std::chrono::milliseconds gap)
        : socket_(Poco::Net::SocketAddress("127.0.0.1", 0)), thread_([this, gap] { serve(gap); }) {
        ::signal(SIGPIPE, SIG_IGN);  // a write after the client closed must fail, not end the test
    }
    ~TricklingHeadServer() {
        stop_ = true;
        thread_.join();
    }
    std::string url() const {
        return "http://127.0.0.1:" + std::to_string(socket_.address().port()) + "/slow";
    }
    int linesSent() const { return lines_; }

  private:
    void serve(std::chrono::milliseconds gap) {
        Poco::Net::StreamSocket client;
        while (!stop_) {
            if (socket_.poll(Poco::Timespan(0, 50000), Poco::Net::Socket::SELECT_READ)) {
                client = socket_.acceptConnection();
                break;
            }
        }
        if (stop_) return;
        try {
            client.sendBytes("HTTP/1.1 200 OK\r\n", 17);
            for (int i = 0; i < kLines && !stop_; ++i) {
                std::this_thread::sleep_for(gap);
                std::string line = "X-Line-" + std::to_string(++lines_) + ": slow\r\n";
                client.sendBytes(line.data(), static_cast<int>(line.size()));
            }
            client.sendBytes("Content-Length: 0\r\n\r\n", 21);
            while (!stop_) std::this_thread::sleep_for(gap);
        } catch (const Poco::Exception&) {
            // The client gave up and closed the connection.
        }
    }

    static constexpr int kLines = 100;
    Poco::Net::ServerSocket socket_;
    std::atomic<bool> stop_{false};
    std::atomic<int> lines_{0};
    std::thread thread_;
};

TEST(HttpHead, TrickledHeadMustBeCompleteWithinTheTimeOut) {
    TricklingHeadServer server(50ms);
    HttpSession session;
    HttpRequest req(session, server.url(), {});
    EXPECT_FALSE(req.send(600ms));
    EXPECT_EQ(req.errorText(), "Timeout was reached");
    EXPECT_GT(server.linesSent(), 0);  // the head was still arriving when it was given up
}

TEST_F(Http, CancellationEndsABlockedRead) {
    server.addFile("/stall", generatedContent(8, 500000));
    server.setBehavior("/stall", {.stallAfterBytes = 10});
    std::atomic<bool> cancel{false};
    HttpRequest req(session, server.url("/stall"), {}, [&] { return cancel.load(); });
    ASSERT_TRUE(req.send(5000ms));
    std::vector<char> buf(64);
    ASSERT_EQ(req.read(buf.data(), 10, 60000ms), 10);
    std::thread canceller([&] {
        std::this_thread::sleep_for(50ms);
        cancel = true;
    });
    EXPECT_EQ(req.read(buf.data(), buf.size(), 600000ms), -1);  // would block ten minutes otherwise
    canceller.join();
}

TEST_F(Http, OnlyHttpAndHttpsAreFetched) {
    for (const char* url : {"file:///etc/passwd", "ftp://127.0.0.1/x", "gopher://127.0.0.1/x"}) {
        HttpRequest req(session, url, {});
        EXPECT_FALSE(req.send(2000ms)) << url;
        EXPECT_FALSE(req.errorText().empty()) << url;
    }
}

TEST_F(Http, RefusedConnectionFailsWithCurlsText) {
    uint16_t port;
    {
        TestHttpServer gone;
        port = gone.port();
    }
    HttpRequest req(session, "http://127.0.0.1:" + std::to_string(port) + "/x", {});
    EXPECT_FALSE(req.send(2000ms));
    EXPECT_NE(req.errorText().find("onnect"), std::string::npos) << req.errorText();
}

struct UrlCase {
    const char* partUrl;
    const char* pageFileUrl;
    const char* effective;
};

TEST(EffectiveUrl, ThePagesFolderReplacesThePartsFolder) {
    const UrlCase cases[] = {
        {"http://b.example/a/b/setup.tarn", "", "http://b.example/a/b/setup.tarn"},
        {"http://b.example/a/b/setup.tarn", "http://a.example/x/pick.html",
         "http://a.example/x/setup.tarn"},
        {"http://b.example/a/setup.tarn", "nofolder", "nofolder/setup.tarn"},
        {"noslash", "http://a.example/x/pick.html", "http://a.example/x/pick.html"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(DownloadTask::effectiveUrl(c.partUrl, c.pageFileUrl), c.effective)
            << c.partUrl << " " << c.pageFileUrl;
}

// TLS certificates are verified: a server whose certificate no trusted
// authority signed (here a self-signed one for another host name) is refused.
// The server is the openssl command-line tool, run only on 127.0.0.1.
TEST(HttpTls, UntrustedCertificateIsRefused) {
    if (std::system("command -v openssl >/dev/null 2>&1") != 0)
        GTEST_SKIP() << "openssl tool not installed";
    ScratchDir scratch("tls");
    const std::string& dir = scratch.path();
    std::string cert = dir + "/cert.pem", key = dir + "/key.pem";
    std::string make =
        "openssl req -x509 -newkey rsa:2048 -nodes -days 1 -subj /CN=wrong.example -keyout " + key +
        " -out " + cert + " >/dev/null 2>&1";
    ASSERT_EQ(std::system(make.c_str()), 0);
    uint16_t port;
    {
        Poco::Net::ServerSocket probe(Poco::Net::SocketAddress("127.0.0.1", 0));
        port = probe.address().port();
    }
    std::string serve = "openssl s_server -quiet -www -accept 127.0.0.1:" + std::to_string(port) +
                        " -cert " + cert + " -key " + key + " >/dev/null 2>&1 & echo $! > " + dir +
                        "/pid";
    ASSERT_EQ(std::system(serve.c_str()), 0);
    // Wait until it listens.
    bool listening = false;
    for (int i = 0; i < 500 && !listening; ++i) {
        try {
            Poco::Net::StreamSocket s(Poco::Net::SocketAddress("127.0.0.1", port));
            listening = true;
        } catch (const Poco::Exception&) {
            std::this_thread::sleep_for(20ms);
        }
    }
    HttpSession session;
    HttpRequest req(session, "https://127.0.0.1:" + std::to_string(port) + "/", {});
    bool sent = listening && req.send(5000ms);
    std::system(("kill $(cat " + dir + "/pid) 2>/dev/null").c_str());
    ASSERT_TRUE(listening);
    EXPECT_FALSE(sent);
    EXPECT_NE(req.errorText().find("certificate"), std::string::npos) << req.errorText();
}

}  // namespace
}  // namespace quenlow::test
