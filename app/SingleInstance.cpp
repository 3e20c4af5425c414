#include "app/SingleInstance.h"

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstdlib>
#include <cstring>

namespace quenlow {

std::string SingleInstanceGuard::name() {
    std::string n = "Global\\{5C1E7B2A-3F4D-4E8A-9B61-0D2C7A4F1E93}";
    if (const char* id = std::getenv("QUENLOW_INSTANCE_ID"); id && *id) n += id;
    return n;
}

SingleInstanceGuard::SingleInstanceGuard() {
    socket_ = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (socket_ < 0) {
        creationError_ = static_cast<unsigned>(errno);
        return;
    }
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::string n = name();
    // Abstract namespace: a leading NUL byte, no file on disk.
    size_t len = std::min(n.size(), sizeof(addr.sun_path) - 1);
    std::memcpy(addr.sun_path + 1, n.data(), len);
    socklen_t addrLen = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + len);
    if (::bind(socket_, reinterpret_cast<sockaddr*>(&addr), addrLen) != 0) {
        creationError_ = errno == EADDRINUSE ? AlreadyExists : static_cast<unsigned>(errno);
        ::close(socket_);
        socket_ = -1;
    }
}

SingleInstanceGuard::~SingleInstanceGuard() {
    if (socket_ >= 0) ::close(socket_);
    socket_ = -1;
}

namespace {
// Static initialisation creates it; static destruction closes it last.
SingleInstanceGuard theGuard;
}  // namespace

const SingleInstanceGuard& singleInstanceGuard() { return theGuard; }

}  // namespace quenlow
