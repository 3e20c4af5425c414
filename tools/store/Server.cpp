#include "tools/store/Server.h"

#include <Poco/Exception.h>
#include <Poco/JSON/Array.h>
#include <Poco/JSON/Object.h>
#include <Poco/JSON/Parser.h>
#include <Poco/Net/HTMLForm.h>
#include <Poco/Net/HTTPRequestHandler.h>
#include <Poco/Net/HTTPServerRequest.h>
#include <Poco/Net/HTTPServerResponse.h>
#include <Poco/StringTokenizer.h>
#include <Poco/URI.h>

#include <algorithm>
#include <chrono>
#include <istream>
#include <optional>
#include <ostream>

#include "tools/store/Pages.h"

namespace quenlow::store {

namespace {

using Poco::Net::HTTPRequest;
using Poco::Net::HTTPResponse;
using Poco::Net::HTTPServerRequest;
using Poco::Net::HTTPServerResponse;

constexpr size_t kMaxControlBody = 1u << 20;
constexpr size_t kMaxOrderBody = 96u << 20;
constexpr size_t kChunk = 64 * 1024;

std::string jsonString(const std::string& s) {
    std::string out = "\"";
    for (unsigned char c : s) {
        switch (c) {
            case '"':
                out += "\\\"";
                break;
            case '\\':
                out += "\\\\";
                break;
            case '\n':
                out += "\\n";
                break;
            case '\r':
                out += "\\r";
                break;
            case '\t':
                out += "\\t";
                break;
            default:
                if (c < 0x20) {
                    char buf[8];
                    std::snprintf(buf, sizeof buf, "\\u%04x", c);
                    out += buf;
                } else {
                    out += static_cast<char>(c);
                }
        }
    }
    return out + "\"";
}

void sendText(HTTPServerResponse& resp, HTTPResponse::HTTPStatus status,
              const std::string& contentType, const std::string& body) {
    resp.setStatusAndReason(status);
    resp.setContentType(contentType);
    resp.set("Cache-Control", "no-store");
    resp.setContentLength64(static_cast<Poco::UInt64>(body.size()));
    resp.sendBuffer(body.data(), body.size());
}

void sendJson(HTTPServerResponse& resp, const std::string& body,
              HTTPResponse::HTTPStatus status = HTTPResponse::HTTP_OK) {
    sendText(resp, status, "application/json", body);
}

void sendError(HTTPServerResponse& resp, HTTPResponse::HTTPStatus status,
               const std::string& message) {
    sendJson(resp, "{\"error\":" + jsonString(message) + "}", status);
}

void sendHtml(HTTPServerResponse& resp, const std::string& html,
              HTTPResponse::HTTPStatus status = HTTPResponse::HTTP_OK) {
    sendText(resp, status, "text/html; charset=utf-8", html);
}

// Reads a request body of at most limit bytes; nullopt when it is larger.
std::optional<std::string> readBody(HTTPServerRequest& req, size_t limit) {
    if (req.hasContentLength() && req.getContentLength64() > static_cast<Poco::Int64>(limit))
        return std::nullopt;
    std::string body;
    char buf[8192];
    std::istream& in = req.stream();
    while (in) {
        in.read(buf, sizeof buf);
        body.append(buf, static_cast<size_t>(in.gcount()));
        if (body.size() > limit) return std::nullopt;
    }
    return body;
}

std::string queryValue(const Poco::URI& uri, const std::string& key) {
    for (const auto& [k, v] : uri.getQueryParameters()) {
        if (k == key) return v;
    }
    return {};
}

// A single byte range of a part of total bytes. Syntax the store does not
// serve (several ranges, other units) is ignored, as HTTP allows: the whole
// part is sent.
struct RangeRequest {
    bool present = false;
    bool satisfiable = true;
    uint64_t first = 0;
    uint64_t last = 0;
};

bool parseNumber(const std::string& s, uint64_t& out) {
    if (s.empty() || s.size() > 19 ||
        !std::all_of(s.begin(), s.end(), [](char c) { return c >= '0' && c <= '9'; })) {
        return false;
    }
    out = std::stoull(s);
    return true;
}

RangeRequest parseRange(const std::string& header, uint64_t total) {
    RangeRequest r;
    std::string h = header;
    h.erase(std::remove_if(h.begin(), h.end(), [](char c) { return c == ' ' || c == '\t'; }),
            h.end());
    if (h.rfind("bytes=", 0) != 0 || h.find(',') != std::string::npos) return r;
    std::string spec = h.substr(6);
    size_t dash = spec.find('-');
    if (dash == std::string::npos) return r;
    std::string a = spec.substr(0, dash);
    std::string b = spec.substr(dash + 1);
    uint64_t first = 0;
    uint64_t last = 0;
    if (a.empty()) {  // suffix: the last b bytes
        if (!parseNumber(b, last) || last == 0) return r;
        r.present = true;
        r.first = total > last ? total - last : 0;
        r.last = total == 0 ? 0 : total - 1;
        r.satisfiable = total > 0;
        return r;
    }
    if (!parseNumber(a, first)) return r;
    if (!b.empty() && (!parseNumber(b, last) || last < first)) return r;
    r.present = true;
    if (first >= total) {
        r.satisfiable = false;
        return r;
    }
    r.first = first;
    r.last = b.empty() ? total - 1 : std::min(last, total - 1);
    return r;
}

class Handler : public Poco::Net::HTTPRequestHandler {
  public:
    explicit Handler(Store& store) : store_(store) {}

    void handleRequest(HTTPServerRequest& req, HTTPServerResponse& resp) override {
        try {
            route(req, resp);
        } catch (const std::exception& e) {
            // A client that went away mid-transfer is normal (the
            // application probes a part and closes); nothing to answer then.
            if (!resp.sent()) sendError(resp, HTTPResponse::HTTP_INTERNAL_SERVER_ERROR, e.what());
        }
    }

  private:
    void route(HTTPServerRequest& req, HTTPServerResponse& resp) {
        Poco::URI uri(req.getURI());
        const std::string path = uri.getPath();
        const std::string& method = req.getMethod();
        bool get = method == HTTPRequest::HTTP_GET || method == HTTPRequest::HTTP_HEAD;
        bool post = method == HTTPRequest::HTTP_POST;

        if (path.rfind("/files/", 0) == 0 || path.rfind("/mirror/", 0) == 0) {
            if (!get) return sendError(resp, HTTPResponse::HTTP_METHOD_NOT_ALLOWED, "GET only");
            return serveFile(req, resp, uri);
        }
        if (path.rfind("/control/", 0) == 0) return control(req, resp, uri, path, get, post);
        if (!get) return sendError(resp, HTTPResponse::HTTP_METHOD_NOT_ALLOWED, "GET only");
        if (path == "/" || path == "/Webstore" || path == "/Webstore/") {
            resp.redirect("/Webstore/Account/VeskNoContext.aspx", HTTPResponse::HTTP_FOUND);
            return;
        }
        if (path == "/Webstore/Account/VeskNoContext.aspx") {
            return sendHtml(resp, renderNoContextPage(store_.nextPageId(), store_.orders()));
        }
        if (path == "/Webstore/Order.aspx") {
            std::string id = queryValue(uri, "order");
            auto order = store_.findOrder(id);
            if (!order) {
                return sendHtml(
                    resp, renderNotFoundPage("There is no order \"" + id + "\" on this store."),
                    HTTPResponse::HTTP_NOT_FOUND);
            }
            return sendHtml(resp, renderOrderPage(store_.nextPageId(), *order, store_.baseUrl()));
        }
        if (path == "/Webstore/Account/VESKDownloadUpgrade.aspx")
            return sendHtml(resp, renderUpgradePage());
        sendHtml(resp, renderNotFoundPage("This page does not exist."),
                 HTTPResponse::HTTP_NOT_FOUND);
    }

    void control(HTTPServerRequest& req, HTTPServerResponse& resp, const Poco::URI& uri,
                 const std::string& path, bool get, bool post) {
        if (path == "/control/order" && post) return defineOrder(req, resp);
        if (path == "/control/order" && get) return describeOrder(resp, queryValue(uri, "order"));
        if (path == "/control/calls" && get) return listCalls(resp, queryValue(uri, "fn"));
        if (path == "/control/calls" && post) return recordCall(req, resp);
        if (path == "/control/calls/reset" && post) {
            store_.resetCalls();
            return sendJson(resp, "{\"ok\":true}");
        }
        if (path == "/control/click" && post) {
            std::string id = queryValue(uri, "id");
            if (id.empty())
                return sendError(resp, HTTPResponse::HTTP_BAD_REQUEST, "id is required");
            store_.queueClick(id);
            return sendJson(resp, "{\"ok\":true}");
        }
        if (path == "/control/pending-clicks" && get) {
            std::string body = "[";
            for (const auto& id : store_.takeClicks())
                body += (body.size() > 1 ? "," : "") + jsonString(id);
            return sendJson(resp, body + "]");
        }
        if (path == "/control/clicks-taken" && get) {
            std::string ms;
            for (int64_t at : store_.clicksTaken())
                ms += (ms.empty() ? "" : ",") + std::to_string(at);
            return sendJson(resp, "{\"ms\":[" + ms + "]}");
        }
        if (path == "/control/requests" && get) {
            std::string body = "[";
            for (const auto& r : store_.requests()) {
                body += (body.size() > 1 ? "," : "");
                body += "{\"path\":" + jsonString(r.path) + ",\"range\":" + jsonString(r.range) +
                        ",\"status\":" + std::to_string(r.status) +
                        ",\"ms\":" + std::to_string(r.receivedMs) + "}";
            }
            return sendJson(resp, body + "]");
        }
        if (path == "/control/requests/reset" && post) {
            store_.resetRequests();
            return sendJson(resp, "{\"ok\":true}");
        }
        if (path == "/control/file" && get)
            return expectedFile(resp, queryValue(uri, "order"), queryValue(uri, "fileKey"));
        sendError(resp, HTTPResponse::HTTP_NOT_FOUND,
                  "no such control endpoint: " + req.getMethod() + " " + path);
    }

    void defineOrder(HTTPServerRequest& req, HTTPServerResponse& resp) {
        auto body = readBody(req, kMaxOrderBody);
        if (!body)
            return sendError(resp, HTTPResponse::HTTP_REQUEST_ENTITY_TOO_LARGE, "order too large");
        try {
            auto order = store_.defineOrder(parseOrderSpec(*body));
            const std::string& id = order->spec.orderId;
            sendJson(resp, "{\"orderId\":" + jsonString(id) + ",\"url\":" +
                               jsonString(store_.baseUrl() + "/Webstore/Order.aspx?order=" + id) +
                               ",\"files\":" + std::to_string(order->files.size()) + "}");
        } catch (const OrderError& e) {
            sendError(resp, HTTPResponse::HTTP_BAD_REQUEST, e.what());
        }
    }

    void describeOrder(HTTPServerResponse& resp, const std::string& orderId) {
        auto order = store_.findOrder(orderId);
        if (!order) return sendError(resp, HTTPResponse::HTTP_NOT_FOUND, "no such order");
        std::string body = "{\"orderId\":" + jsonString(orderId) + ",\"url\":" +
                           jsonString(store_.baseUrl() + "/Webstore/Order.aspx?order=" + orderId) +
                           ",\"files\":[";
        for (size_t i = 0; i < order->files.size(); ++i) {
            const ServedFile& f = order->files[i];
            body += (i ? "," : "");
            body += "{\"fileKey\":" + jsonString(f.spec.fileKey) +
                    ",\"fileName\":" + jsonString(f.spec.fileName) +
                    ",\"size\":" + std::to_string(f.size) +
                    ",\"parts\":" + std::to_string(f.parts.size()) +
                    ",\"package\":" + (f.packageBytes ? "true" : "false") +
                    ",\"unpackParameter\":" + jsonString(f.unpackParameter) + "}";
        }
        sendJson(resp, body + "]}");
    }

    void listCalls(HTTPServerResponse& resp, const std::string& fn) {
        std::string body = "[";
        for (const auto& c : store_.calls()) {
            if (!fn.empty() && c.fn != fn) continue;
            body += (body.size() > 1 ? "," : "");
            body += "{\"page\":" + std::to_string(c.page) + ",\"seq\":" + std::to_string(c.seq) +
                    ",\"fn\":" + jsonString(c.fn) + ",\"args\":[";
            for (size_t i = 0; i < c.args.size(); ++i)
                body += (i ? "," : "") + jsonString(c.args[i]);
            body += "],\"ms\":" + std::to_string(c.receivedMs) + "}";
        }
        sendJson(resp, body + "]");
    }

    void recordCall(HTTPServerRequest& req, HTTPServerResponse& resp) {
        auto body = readBody(req, kMaxControlBody);
        if (!body)
            return sendError(resp, HTTPResponse::HTTP_REQUEST_ENTITY_TOO_LARGE, "call too large");
        ScriptCall call;
        try {
            Poco::JSON::Parser parser;
            Poco::Dynamic::Var root = parser.parse(*body);
            if (root.type() != typeid(Poco::JSON::Object::Ptr))
                throw Poco::DataFormatException("not an object");
            auto o = root.extract<Poco::JSON::Object::Ptr>();
            call.page = o->has("page") ? o->getValue<Poco::Int64>("page") : 0;
            call.seq = o->getValue<Poco::Int64>("seq");
            call.fn = o->getValue<std::string>("fn");
            if (auto args = o->getArray("args")) {
                for (size_t i = 0; i < args->size(); ++i)
                    call.args.push_back(args->get(static_cast<unsigned>(i)).toString());
            }
        } catch (const Poco::Exception& e) {
            return sendError(resp, HTTPResponse::HTTP_BAD_REQUEST,
                             "bad call record: " + e.displayText());
        }
        if (call.fn.empty())
            return sendError(resp, HTTPResponse::HTTP_BAD_REQUEST, "fn is required");
        store_.recordCall(std::move(call));
        sendJson(resp, "{\"ok\":true}");
    }

    const ServedFile* findFile(const Order& order, const std::string& fileKey) {
        for (const auto& f : order.files) {
            if (f.spec.fileKey == fileKey) return &f;
        }
        return nullptr;
    }

    void expectedFile(HTTPServerResponse& resp, const std::string& orderId,
                      const std::string& fileKey) {
        auto order = store_.findOrder(orderId);
        const ServedFile* f = order ? findFile(*order, fileKey) : nullptr;
        if (!f) return sendError(resp, HTTPResponse::HTTP_NOT_FOUND, "no such order or file");
        sendBytes(resp, *f, 0, f->size, 0);
    }

    // /files/ORDER/KEY/K-NAME (or /mirror/...): part K of file KEY.
    void serveFile(HTTPServerRequest& req, HTTPServerResponse& resp, const Poco::URI& uri) {
        FileRequest record{uri.getPathEtc(), req.get("Range", ""), 0};
        std::vector<std::string> segs;
        uri.getPathSegments(segs);
        const ServedFile* file = nullptr;
        const ServedPart* part = nullptr;
        std::shared_ptr<const Order> order;
        if (segs.size() == 4) {
            order = store_.findOrder(segs[1]);
            file = order ? findFile(*order, segs[2]) : nullptr;
            size_t dash = segs[3].find('-');
            if (file && dash != std::string::npos &&
                segs[3].substr(dash + 1) == file->spec.fileName) {
                uint64_t k = 0;
                if (parseNumber(segs[3].substr(0, dash), k) && k >= 1 && k <= file->parts.size()) {
                    part = &file->parts[k - 1];
                }
            }
        }
        if (!part) {
            record.status = 404;
            store_.recordRequest(record);
            return sendError(resp, HTTPResponse::HTTP_NOT_FOUND, "no such file");
        }
        if (file->spec.failStatus != 0) {
            record.status = file->spec.failStatus;
            store_.recordRequest(record);
            return sendText(resp, static_cast<HTTPResponse::HTTPStatus>(file->spec.failStatus),
                            "text/plain", "failing on purpose\n");
        }
        RangeRequest range = parseRange(record.range, part->length);
        if (range.present && !range.satisfiable) {
            record.status = 416;
            store_.recordRequest(record);
            resp.set("Content-Range", "bytes */" + std::to_string(part->length));
            return sendText(resp, HTTPResponse::HTTP_REQUESTED_RANGE_NOT_SATISFIABLE, "text/plain",
                            "");
        }
        uint64_t first = range.present ? range.first : 0;
        uint64_t count = range.present ? range.last - range.first + 1 : part->length;
        record.status = range.present ? 206 : 200;
        store_.recordRequest(record);
        if (range.present) {
            resp.setStatusAndReason(HTTPResponse::HTTP_PARTIAL_CONTENT);
            resp.set("Content-Range", "bytes " + std::to_string(range.first) + "-" +
                                          std::to_string(range.last) + "/" +
                                          std::to_string(part->length));
        }
        if (req.getMethod() == HTTPRequest::HTTP_HEAD) {
            resp.set("Accept-Ranges", "bytes");
            resp.setContentType("application/octet-stream");
            resp.setContentLength64(static_cast<Poco::UInt64>(count));
            resp.send();
            return;
        }
        sendBytes(resp, *file, part->offset + first, count, file->spec.throttleBytesPerSec);
    }

    void sendBytes(HTTPServerResponse& resp, const ServedFile& file, uint64_t offset,
                   uint64_t count, uint64_t rate) {
        resp.set("Accept-Ranges", "bytes");
        resp.setContentType("application/octet-stream");
        resp.setContentLength64(static_cast<Poco::UInt64>(count));
        std::ostream& out = resp.send();
        std::string buf(kChunk, '\0');
        auto start = std::chrono::steady_clock::now();
        uint64_t sent = 0;
        while (sent < count && out && !store_.stopping()) {
            size_t n = static_cast<size_t>(std::min<uint64_t>(kChunk, count - sent));
            file.read(offset + sent, buf.data(), n);
            out.write(buf.data(), static_cast<std::streamsize>(n));
            sent += n;
            if (rate > 0) {
                auto due = start + std::chrono::microseconds(sent * 1000000 / rate);
                auto now = std::chrono::steady_clock::now();
                if (due > now &&
                    !store_.pause(
                        std::chrono::duration_cast<std::chrono::microseconds>(due - now))) {
                    break;
                }
            }
        }
        out.flush();
    }

    Store& store_;
};

}  // namespace

Poco::Net::HTTPRequestHandler* RequestHandlerFactory::createRequestHandler(
    const Poco::Net::HTTPServerRequest&) {
    return new Handler(store_);
}

}  // namespace quenlow::store
