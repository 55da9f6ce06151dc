#include "httpserver/HTTPServer.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstring>
#include <future>
#include <mutex>
#include <thread>
#include <unordered_map>
#include <vector>

#include <fmt/format.h>
#include <asio/executor_work_guard.hpp>
#include <asio/io_context.hpp>
#include <asio/ip/tcp.hpp>
#include <asio/post.hpp>
#include <asio/steady_timer.hpp>
#include <asio/strand.hpp>

#include "httpserver/HTTPConnection.h"
#include "httpserver/HTTPConnectionQueue.h"
#include "httpserver/HTTPSocketOwner.h"
#include "logging/VTRLog.h"

namespace vtr {

namespace {

constexpr int kListenBacklog = 1024;
constexpr auto kDefaultHeaderTimeout = std::chrono::seconds(30);
// An accept that fails for lack of descriptors is retried after this pause, not in a busy loop.
constexpr auto kAcceptRetryPause = std::chrono::milliseconds(100);
// When port 0 is asked for and the IPv6 side cannot take the port the IPv4 side was given.
constexpr int kBindAttempts = 8;

VTRError socketError(const char* text, int code) {
    char buffer[256];
    // GNU strerror_r returns the text, which may or may not live in `buffer`.
    return VTRError::withDescription(NSPOSIXErrorDomain, code, text,
                                     strerror_r(code, buffer, sizeof buffer));
}

// A descriptor closed on every path unless handed over.
class ScopedDescriptor {
  public:
    explicit ScopedDescriptor(int fd) : fd_(fd) {}
    ~ScopedDescriptor() {
        if (fd_ >= 0) ::close(fd_);
    }
    ScopedDescriptor(const ScopedDescriptor&) = delete;
    ScopedDescriptor& operator=(const ScopedDescriptor&) = delete;
    int get() const { return fd_; }
    int release() { return std::exchange(fd_, -1); }

  private:
    int fd_;
};

struct ListenAddresses {
    std::optional<asio::ip::address_v4> v4;
    std::optional<asio::ip::address_v6> v6;
    // Loopback and "all interfaces" tolerate a machine without IPv6.
    bool v6Optional = false;
};

bool resolveInterface(const std::string& name, ListenAddresses* out, VTRError* error) {
    if (name.empty()) {
        *out = {asio::ip::address_v4::any(), asio::ip::address_v6::any(), true};
        return true;
    }
    if (name == "lo0" || name == "localhost" || name == "loopback") {
        *out = {asio::ip::address_v4::loopback(), asio::ip::address_v6::loopback(), true};
        return true;
    }
    std::error_code parseError;
    asio::ip::address literal = asio::ip::make_address(name, parseError);
    if (!parseError) {
        if (literal.is_v4())
            out->v4 = literal.to_v4();
        else
            out->v6 = literal.to_v6();
        return true;
    }
    ifaddrs* list = nullptr;
    if (getifaddrs(&list) == 0) {
        for (ifaddrs* entry = list; entry; entry = entry->ifa_next) {
            if (!entry->ifa_addr || name != entry->ifa_name) continue;
            if (entry->ifa_addr->sa_family == AF_INET && !out->v4) {
                const auto* in = reinterpret_cast<const sockaddr_in*>(entry->ifa_addr);
                out->v4 = asio::ip::address_v4(ntohl(in->sin_addr.s_addr));
            } else if (entry->ifa_addr->sa_family == AF_INET6 && !out->v6) {
                const auto* in6 = reinterpret_cast<const sockaddr_in6*>(entry->ifa_addr);
                asio::ip::address_v6::bytes_type bytes;
                std::memcpy(bytes.data(), in6->sin6_addr.s6_addr, bytes.size());
                out->v6 = asio::ip::address_v6(bytes, in6->sin6_scope_id);
            }
        }
        freeifaddrs(list);
    }
    if (out->v4 || out->v6) return true;
    setError(error,
             VTRError::withDescription(HTTPServerSocketErrorDomain, HTTPServerSocketBadParamError,
                                       "Unknown interface. Specify valid interface by name (e.g. "
                                       "\"en1\") or IP address."));
    return false;
}

// socket, non-blocking, address reuse, bind, listen; -1 with the failing step's error.
int openListeningSocket(const asio::ip::tcp::endpoint& endpoint, VTRError* error) {
    int family = endpoint.address().is_v4() ? AF_INET : AF_INET6;
    ScopedDescriptor fd(::socket(family, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (fd.get() < 0) {
        setError(error, socketError("Error in socket() function", errno));
        return -1;
    }
    int flags = ::fcntl(fd.get(), F_GETFL, 0);
    if (flags < 0 || ::fcntl(fd.get(), F_SETFL, flags | O_NONBLOCK) < 0) {
        setError(error, socketError("Error enabling non-blocking IO on socket (fcntl)", errno));
        return -1;
    }
    int on = 1;
    if (::setsockopt(fd.get(), SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) < 0 ||
        (family == AF_INET6 &&
         ::setsockopt(fd.get(), IPPROTO_IPV6, IPV6_V6ONLY, &on, sizeof on) < 0)) {
        setError(error, socketError("Error enabling address reuse (setsockopt)", errno));
        return -1;
    }
    if (::bind(fd.get(), endpoint.data(), static_cast<socklen_t>(endpoint.size())) < 0) {
        setError(error, socketError("Error in bind() function", errno));
        return -1;
    }
    if (::listen(fd.get(), kListenBacklog) < 0) {
        setError(error, socketError("Error in listen() function", errno));
        return -1;
    }
    return fd.release();
}

uint16_t boundPort(int fd) {
    sockaddr_storage address{};
    socklen_t length = sizeof address;
    if (::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) < 0) return 0;
    if (address.ss_family == AF_INET)
        return ntohs(reinterpret_cast<sockaddr_in*>(&address)->sin_port);
    return ntohs(reinterpret_cast<sockaddr_in6*>(&address)->sin6_port);
}

// Why a peer with `check` is refused, for the log.
std::string refusalReason(const HTTPPeerCheck& check, const HTTPServerLimits& limits) {
    const std::string& tables = limits.socketTableDirectory;
    switch (check.verdict) {
        case HTTPPeerVerdict::OtherUser:
            return fmt::format("it belongs to user {}, not {}", check.userID, *limits.peerUserID);
        case HTTPPeerVerdict::NoEntry:
            return fmt::format("no socket table in {} lists its peer", tables);
        case HTTPPeerVerdict::SeveralEntries:
            return fmt::format("several sockets in {} match its peer", tables);
        case HTTPPeerVerdict::NotConnected:
            return "its peer's socket is closing or closed";
        case HTTPPeerVerdict::NotHeld:
            return "no process holds its peer's socket any more";
        case HTTPPeerVerdict::Unreadable:
            return fmt::format("the socket tables in {} cannot be read", tables);
        case HTTPPeerVerdict::Admitted:
            break;
    }
    return {};
}

}  // namespace

struct HTTPServer::Impl {
    asio::io_context context;
    asio::executor_work_guard<asio::io_context::executor_type> work{context.get_executor()};
    asio::strand<asio::io_context::executor_type> serverQueue{asio::make_strand(context)};
    std::shared_ptr<HTTPConnectionQueue> connectionQueue =
        std::make_shared<HTTPConnectionQueue>(context);

    // Server queue only.
    std::string interfaceName;
    uint16_t port = 0;
    ConnectionFactory connectionFactory;
    std::chrono::milliseconds headerLineTimeout = kDefaultHeaderTimeout;
    std::chrono::milliseconds headerWriteTimeout = kDefaultHeaderTimeout;
    HTTPServerLimits limits;
    // Each said once: while the connection limit holds new ones off (again after it eased),
    // and the first refusal of a peer for each reason (indexed by HTTPPeerVerdict).
    bool reportedConnectionLimit = false;
    std::array<bool, static_cast<size_t>(HTTPPeerVerdict::Unreadable) + 1> reportedRefusals{};
    std::vector<std::unique_ptr<asio::ip::tcp::acceptor>> acceptors;
    bool running = false;
    uint16_t listeningPort = 0;

    mutable std::mutex connectionsLock;
    std::unordered_map<HTTPConnection*, std::shared_ptr<HTTPConnection>> connections;

    HTTPServer& server;
    std::thread thread;  // last: started once everything above exists

    explicit Impl(HTTPServer& owner) : server(owner), thread([this] { context.run(); }) {}

    void accept(asio::ip::tcp::acceptor& acceptor);
    void startConnection(asio::ip::tcp::socket socket);
    // False (and a log line) when `socket` is to be closed at once: the connection limit is
    // reached, or the peer is not shown to run under the allowed user or root.
    bool admits(const asio::ip::tcp::socket& socket);

    bool onNetworkThread() const { return std::this_thread::get_id() == thread.get_id(); }

    // Runs `work` on the server queue and waits for it. On the network thread itself (a hook
    // asking for the port) it runs at once: that thread is the only one running either queue.
    template <class Work>
    auto sync(Work work) -> decltype(work()) {
        if (onNetworkThread()) return work();
        std::packaged_task<decltype(work())()> task(std::move(work));
        auto result = task.get_future();
        asio::post(serverQueue, [&task] { task(); });
        return result.get();
    }

    template <class Work>
    void async(Work work) {
        asio::post(serverQueue, std::move(work));
    }
};

HTTPServer::HTTPServer() : impl_(std::make_unique<Impl>(*this)) {}

HTTPServer::~HTTPServer() {
    stop();
    impl_->work.reset();
    impl_->context.stop();
    impl_->thread.join();
}

void HTTPServer::setInterface(std::string interfaceName) {
    impl_->async([impl = impl_.get(), interfaceName = std::move(interfaceName)]() mutable {
        impl->interfaceName = std::move(interfaceName);
    });
}

void HTTPServer::setPort(uint16_t port) {
    impl_->async([impl = impl_.get(), port] { impl->port = port; });
}

void HTTPServer::setConnectionClass(ConnectionFactory factory) {
    impl_->async([impl = impl_.get(), factory = std::move(factory)]() mutable {
        impl->connectionFactory = std::move(factory);
    });
}

void HTTPServer::setHeaderLineTimeout(std::chrono::milliseconds timeout) {
    impl_->async([impl = impl_.get(), timeout] { impl->headerLineTimeout = timeout; });
}

void HTTPServer::setHeaderWriteTimeout(std::chrono::milliseconds timeout) {
    impl_->async([impl = impl_.get(), timeout] { impl->headerWriteTimeout = timeout; });
}

void HTTPServer::setLimits(HTTPServerLimits limits) {
    impl_->async([impl = impl_.get(), limits = std::move(limits)]() mutable {
        impl->limits = std::move(limits);
    });
}

std::string HTTPServer::interface() const {
    return impl_->sync([impl = impl_.get()] { return impl->interfaceName; });
}

uint16_t HTTPServer::port() const {
    return impl_->sync([impl = impl_.get()] { return impl->port; });
}

bool HTTPServer::isRunning() const {
    return impl_->sync([impl = impl_.get()] { return impl->running; });
}

uint16_t HTTPServer::listeningPort() const {
    return impl_->sync([impl = impl_.get()] { return impl->running ? impl->listeningPort : 0; });
}

size_t HTTPServer::numberOfHTTPConnections() const {
    std::lock_guard<std::mutex> lock(impl_->connectionsLock);
    return impl_->connections.size();
}

bool HTTPServer::start(VTRError* error) {
    VTRError failure;
    bool started = impl_->sync([this, &failure] {
        Impl& impl = *impl_;
        if (impl.running) {
            failure = VTRError::withDescription(NSPOSIXErrorDomain, EALREADY,
                                                "The server is already running.");
            return false;
        }
        ListenAddresses addresses;
        if (!resolveInterface(impl.interfaceName, &addresses, &failure)) return false;

        std::vector<std::pair<int, asio::ip::tcp>> descriptors;
        auto closeAll = [&descriptors] {
            for (auto& entry : descriptors) ::close(entry.first);
            descriptors.clear();
        };
        uint16_t port = impl.port;
        for (int attempt = 0; attempt < kBindAttempts; ++attempt) {
            port = impl.port;
            bool retry = false;
            if (addresses.v4) {
                int fd = openListeningSocket({*addresses.v4, port}, &failure);
                if (fd < 0) return false;
                descriptors.emplace_back(fd, asio::ip::tcp::v4());
                port = boundPort(fd);
            }
            if (addresses.v6) {
                VTRError v6Failure;
                int fd = openListeningSocket({*addresses.v6, port}, &v6Failure);
                if (fd >= 0) {
                    descriptors.emplace_back(fd, asio::ip::tcp::v6());
                    port = boundPort(fd);
                } else {
                    int64_t code = v6Failure.code();
                    bool unavailable = code == EAFNOSUPPORT || code == EADDRNOTAVAIL;
                    if (addresses.v4 && impl.port == 0 && code == EADDRINUSE) {
                        retry = true;
                    } else if (!(addresses.v4 && addresses.v6Optional && unavailable)) {
                        failure = v6Failure;
                        closeAll();
                        return false;
                    }
                }
            }
            if (!retry) break;
            closeAll();
        }
        if (descriptors.empty()) {
            failure = socketError("Error in bind() function", EADDRINUSE);
            return false;
        }

        for (auto& [fd, protocol] : descriptors) {
            auto acceptor = std::make_unique<asio::ip::tcp::acceptor>(impl.serverQueue);
            std::error_code assignError;
            acceptor->assign(protocol, fd, assignError);
            if (assignError) {
                ::close(fd);
                continue;
            }
            impl.acceptors.push_back(std::move(acceptor));
        }
        descriptors.clear();
        impl.listeningPort = port;
        impl.running = true;
        for (auto& acceptor : impl.acceptors) impl.accept(*acceptor);
        return true;
    });
    if (started) {
        VTR_HTTP_LOG_AT(VTRHTTPServerLogLevel, VTRLogFlagInfo,
                        "HTTPServer: Started HTTP server on port {}", listeningPort());
        return true;
    }
    VTR_HTTP_LOG_AT(VTRHTTPServerLogLevel, VTRLogFlagError,
                    "HTTPServer: Failed to start HTTP Server: {}", failure.description());
    setError(error, std::move(failure));
    return false;
}

void HTTPServer::Impl::accept(asio::ip::tcp::acceptor& acceptor) {
    acceptor.async_accept(
        connectionQueue->strand(),
        [this, &acceptor](const std::error_code& error, asio::ip::tcp::socket socket) {
            if (!running || error == asio::error::operation_aborted) return;
            if (error) {
                VTR_HTTP_LOG_AT(VTRHTTPServerLogLevel, VTRLogFlagWarning,
                                "HTTPServer: Failed to accept a connection: {}", error.message());
                auto pause = std::make_shared<asio::steady_timer>(serverQueue, kAcceptRetryPause);
                pause->async_wait([this, &acceptor, pause](const std::error_code& waitError) {
                    if (!waitError && running) accept(acceptor);
                });
                return;
            }
            startConnection(std::move(socket));
            accept(acceptor);
        });
}

bool HTTPServer::Impl::admits(const asio::ip::tcp::socket& socket) {
    if (limits.maximumConnections > 0) {
        size_t open = 0;
        {
            std::lock_guard<std::mutex> lock(connectionsLock);
            open = connections.size();
        }
        if (open >= limits.maximumConnections) {
            if (!reportedConnectionLimit) {
                reportedConnectionLimit = true;
                VTR_HTTP_LOG_AT(VTRHTTPServerLogLevel, VTRLogFlagWarning,
                                "HTTPServer: {} connections are open; closing new ones until "
                                "fewer are",
                                open);
            }
            return false;
        }
        reportedConnectionLimit = false;
    }
    if (!limits.peerUserID) return true;

    std::error_code ignored;
    asio::ip::tcp::endpoint peer = socket.remote_endpoint(ignored);
    asio::ip::tcp::endpoint local = socket.local_endpoint(ignored);
    HTTPPeerCheck check = HTTPCheckPeerUser(limits.socketTableDirectory, peer.data(), local.data(),
                                            *limits.peerUserID);
    if (check.verdict == HTTPPeerVerdict::Admitted) return true;
    // Each reason is logged once: another user can open connections as fast as it likes.
    auto kind = static_cast<size_t>(check.verdict);
    if (reportedRefusals[kind]) return false;
    reportedRefusals[kind] = true;
    VTR_HTTP_LOG_AT(VTRHTTPServerLogLevel, VTRLogFlagWarning,
                    "HTTPServer: Refused the connection from {} port {}: {}; further refusals "
                    "for this reason are not logged",
                    peer.address().to_string(), peer.port(), refusalReason(check, limits));
    return false;
}

void HTTPServer::Impl::startConnection(asio::ip::tcp::socket socket) {
    if (!admits(socket)) return;  // the socket closes with its destructor
    HTTPConfig config(&server, connectionQueue, headerLineTimeout, headerWriteTimeout, limits);
    std::shared_ptr<HTTPConnection> connection =
        connectionFactory ? connectionFactory(config) : std::make_shared<HTTPConnection>(config);
    if (!connection) return;  // the socket closes with its destructor
    std::error_code ignored;
    socket.set_option(asio::ip::tcp::no_delay(true), ignored);
    asio::ip::tcp::endpoint peer = socket.remote_endpoint(ignored);
    connection->remoteAddress_ = peer.address().to_string();
    connection->remotePort_ = peer.port();
    int family = peer.address().is_v6() ? AF_INET6 : AF_INET;
    int descriptor = socket.release(ignored);
    if (descriptor < 0) return;
    {
        std::lock_guard<std::mutex> lock(connectionsLock);
        connections.emplace(connection.get(), connection);
    }
    connection->startWithSocket(descriptor, family);
}

void HTTPServer::connectionDidDie(HTTPConnection* connection) {
    std::lock_guard<std::mutex> lock(impl_->connectionsLock);
    impl_->connections.erase(connection);
}

void HTTPServer::stop() {
    Impl& impl = *impl_;
    impl.sync([&impl] {
        impl.running = false;
        impl.listeningPort = 0;
        for (auto& acceptor : impl.acceptors) {
            std::error_code ignored;
            acceptor->close(ignored);
        }
        impl.acceptors.clear();
    });

    std::vector<std::shared_ptr<HTTPConnection>> live;
    {
        std::lock_guard<std::mutex> lock(impl.connectionsLock);
        for (auto& entry : impl.connections) live.push_back(entry.second);
    }
    auto endAll = [live] {
        for (const auto& connection : live) connection->dropConnection();
    };
    if (impl.onNetworkThread()) {
        endAll();
        return;
    }
    std::promise<void> ended;
    asio::post(impl.connectionQueue->strand(), [&ended, endAll] {
        endAll();
        ended.set_value();
    });
    ended.get_future().wait();
}

}  // namespace vtr
