#include "kel36-host/web/web_server.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <microhttpd.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <optional>
#include <strings.h>
#include <thread>

#include "kel36-host/tool_error.h"
#include "kel36-host/web/devices_json.h"
#include "kel36-host/web/live_state.h"
#include "kel36-host/web/metrics_text.h"

namespace keltool {

namespace web_resources {
extern const unsigned char dashboard_html[];
extern const std::size_t dashboard_html_size;
extern const unsigned char dashboard_css[];
extern const std::size_t dashboard_css_size;
extern const unsigned char dashboard_js[];
extern const std::size_t dashboard_js_size;
}  // namespace web_resources

namespace {

using Clock = std::chrono::steady_clock;

// The memory one connection may take for its request head, the parsed
// headers and the head of its answer: room for a head at the bound with its
// headers, so that our own 431 answers it; beyond that the library answers
// 431 itself. 64 connections take at most 2 MiB.
constexpr std::size_t kConnectionMemory = 32 * 1024;
// The path and query alone; a longer one is 414.
constexpr std::size_t kMaxTargetBytes = 8 * 1024;
// Connections the kernel holds before they are accepted (no descriptors).
constexpr int kListenBacklog = 64;
// The longest the loop sleeps without looking at deadlines and the stop
// request (both also wake it earlier).
constexpr int kMaxWaitMs = 250;
// Connections accepted (served, or closed at once beyond the bound): at most
// this many a second on average, in bursts of up to kAdmissionBurst; the
// others wait in the kernel's queue, where a flood costs the process
// nothing. This bounds what the server does for clients whatever they send
// (each connection reads at most its head), so polling keeps its rate.
constexpr double kAdmissionsPerSecond = 50;
constexpr double kAdmissionBurst = 128;
// How much nicer than polling the server's thread is.
constexpr int kServerNiceness = 5;

const char* statusText(unsigned status)
{
    switch (status) {
        case 400:
            return "Bad Request";
        case 404:
            return "Not Found";
        case 405:
            return "Method Not Allowed";
        case 414:
            return "URI Too Long";
        case 421:
            return "Misdirected Request";
        case 431:
            return "Request Header Fields Too Large";
        case 500:
            return "Internal Server Error";
        default:
            return "Error";
    }
}

bool loopbackAddress(const sockaddr_storage& address)
{
    if (address.ss_family == AF_INET) {
        const auto& v4 = reinterpret_cast<const sockaddr_in&>(address);
        return (ntohl(v4.sin_addr.s_addr) >> 24) == 127;
    }
    if (address.ss_family == AF_INET6) {
        const in6_addr& a = reinterpret_cast<const sockaddr_in6&>(address).sin6_addr;
        if (IN6_IS_ADDR_LOOPBACK(&a))
            return true;
        return IN6_IS_ADDR_V4MAPPED(&a) && a.s6_addr[12] == 127;
    }
    return false;
}

bool wildcardAddress(const sockaddr_storage& address)
{
    if (address.ss_family == AF_INET)
        return reinterpret_cast<const sockaddr_in&>(address).sin_addr.s_addr == htonl(INADDR_ANY);
    if (address.ss_family == AF_INET6) {
        const in6_addr& a = reinterpret_cast<const sockaddr_in6&>(address).sin6_addr;
        return IN6_IS_ADDR_UNSPECIFIED(&a);
    }
    return false;
}

bool digitsOnly(const std::string& text)
{
    return text.find_first_not_of("0123456789") == std::string::npos;
}

// Whether a Host header names this machine's loopback: "localhost",
// 127.x.y.z or [::1], with or without a port. A page of another site that
// a name of its own resolves to 127.0.0.1 (DNS rebinding) sends its own
// name, and is refused.
bool hostNamesLoopback(const char* host)
{
    if (host == nullptr)
        return false;
    const std::string text(host);
    std::string name;
    std::string port;
    if (!text.empty() && text.front() == '[') {
        const auto close = text.find(']');
        if (close == std::string::npos)
            return false;
        name = text.substr(1, close - 1);
        const std::string rest = text.substr(close + 1);
        if (!rest.empty() && rest.front() != ':')
            return false;
        port = rest.empty() ? "" : rest.substr(1);
        in6_addr a{};
        if (!digitsOnly(port) || ::inet_pton(AF_INET6, name.c_str(), &a) != 1)
            return false;
        return IN6_IS_ADDR_LOOPBACK(&a) != 0;
    }
    const auto colon = text.find(':');
    name = text.substr(0, colon);
    port = colon == std::string::npos ? "" : text.substr(colon + 1);
    if (!digitsOnly(port))
        return false;
    if (::strcasecmp(name.c_str(), "localhost") == 0)
        return true;
    in_addr a{};
    return ::inet_pton(AF_INET, name.c_str(), &a) == 1 && (ntohl(a.s_addr) >> 24) == 127;
}

}  // namespace

struct WebServer::Impl {
    // One open connection and the time its request must be done by.
    struct Client {
        bool used = false;
        bool cut = false;
        int fd = -1;
        Clock::time_point deadline;
    };

    explicit Impl(const LiveState& s) : state(s) {}

    const LiveState& state;
    bool loopback = false;
    int listen_fd = -1;
    int wake_fd = -1;
    std::size_t descriptor_limit = 0;
    MHD_Daemon* daemon = nullptr;
    std::array<Client, kMaxWebConnections> clients{};
    std::size_t open = 0;
    // New connections the server may still take now (a token bucket).
    double admissions = kAdmissionBurst;
    Clock::time_point refilled = Clock::now();
    std::atomic<bool> stopping{false};
    std::thread thread;

    void run();
    void refill();
    void acceptAll();
    Clock::time_point cutLateClients();

    // Queues the answer to a request beyond a bound, for another host or
    // with a method not served; nothing for a request to serve.
    std::optional<MHD_Result> refuse(MHD_Connection* c, const char* url, const char* method);
    MHD_Result answer(MHD_Connection* c, const char* url, const char* method);
};

namespace {

// A bodyless or small answer in text, the status line's words repeated.
MHD_Result plain(MHD_Connection* c, unsigned status, const std::string& detail, bool close,
                 const char* allow = nullptr)
{
    std::string body = std::to_string(status) + " " + statusText(status);
    if (!detail.empty())
        body += ": " + detail;
    body += "\n";
    MHD_Response* r =
        MHD_create_response_from_buffer(body.size(), body.data(), MHD_RESPMEM_MUST_COPY);
    if (r == nullptr)
        return MHD_NO;
    MHD_add_response_header(r, "Content-Type", "text/plain; charset=utf-8");
    MHD_add_response_header(r, "X-Content-Type-Options", "nosniff");
    MHD_add_response_header(r, "Cache-Control", "no-store");
    MHD_add_response_header(r, "Referrer-Policy", "no-referrer");
    if (allow != nullptr)
        MHD_add_response_header(r, "Allow", allow);
    if (close)
        MHD_add_response_header(r, "Connection", "close");
    const MHD_Result queued = MHD_queue_response(c, status, r);
    MHD_destroy_response(r);
    return queued;
}

MHD_Result content(MHD_Connection* c, const void* data, std::size_t size, const char* type,
                   MHD_ResponseMemoryMode mode, const char* policy = nullptr)
{
    MHD_Response* r = MHD_create_response_from_buffer(size, const_cast<void*>(data), mode);
    if (r == nullptr)
        return MHD_NO;
    MHD_add_response_header(r, "Content-Type", type);
    MHD_add_response_header(r, "X-Content-Type-Options", "nosniff");
    MHD_add_response_header(r, "Cache-Control", "no-store");
    MHD_add_response_header(r, "Referrer-Policy", "no-referrer");
    if (policy != nullptr)
        MHD_add_response_header(r, "Content-Security-Policy", policy);
    const MHD_Result queued = MHD_queue_response(c, MHD_HTTP_OK, r);
    MHD_destroy_response(r);
    return queued;
}

MHD_Result resource(MHD_Connection* c, const unsigned char* data, std::size_t size,
                    const char* type, const char* policy = nullptr)
{
    return content(c, data, size, type, MHD_RESPMEM_PERSISTENT, policy);
}

MHD_Result text(MHD_Connection* c, const std::string& body, const char* type)
{
    return content(c, body.data(), body.size(), type, MHD_RESPMEM_MUST_COPY);
}

struct HeadSize {
    std::size_t headers = 0;
    std::size_t target = 0;  // the query's part of the request target
};

MHD_Result countHeader(void* cls, MHD_ValueKind, const char*, const char*)
{
    ++static_cast<HeadSize*>(cls)->headers;
    return MHD_YES;
}

MHD_Result countArgument(void* cls, MHD_ValueKind, const char* key, const char* value)
{
    static_cast<HeadSize*>(cls)->target +=
        2 + std::strlen(key) + (value != nullptr ? std::strlen(value) : 0);
    return MHD_YES;
}

struct Parameter {
    const char* name;
    bool found = false;
    std::string value;
};

MHD_Result findArgument(void* cls, MHD_ValueKind, const char* key, const char* value)
{
    auto* p = static_cast<Parameter*>(cls);
    if (std::strcmp(key, p->name) != 0)
        return MHD_YES;
    p->found = true;
    p->value = value != nullptr ? value : "";
    return MHD_NO;
}

bool knownMethod(const char* method)
{
    for (const char* m : {"POST", "PUT", "DELETE", "PATCH", "OPTIONS", "TRACE", "CONNECT"})
        if (std::strcmp(method, m) == 0)
            return true;
    return false;
}

WebServer::Impl::Client* clientOf(MHD_Connection* c)
{
    const MHD_ConnectionInfo* info = MHD_get_connection_info(c, MHD_CONNECTION_INFO_SOCKET_CONTEXT);
    return info != nullptr ? static_cast<WebServer::Impl::Client*>(info->socket_context) : nullptr;
}

void noticeConnection(void* cls, MHD_Connection* c, void** socket_context,
                      MHD_ConnectionNotificationCode code)
{
    auto* impl = static_cast<WebServer::Impl*>(cls);
    if (code == MHD_CONNECTION_NOTIFY_STARTED) {
        const MHD_ConnectionInfo* info =
            MHD_get_connection_info(c, MHD_CONNECTION_INFO_CONNECTION_FD);
        for (WebServer::Impl::Client& client : impl->clients) {
            if (client.used)
                continue;
            client = {};
            client.used = true;
            client.fd = info != nullptr ? info->connect_fd : -1;
            client.deadline = Clock::now() + kRequestDeadline;
            *socket_context = &client;
            ++impl->open;
            return;
        }
        // Accepting stops at the bound, so this cannot happen; were it to,
        // the connection would still not go unbounded.
        if (info != nullptr)
            ::shutdown(info->connect_fd, SHUT_RDWR);
        *socket_context = nullptr;
        return;
    }
    auto* client = static_cast<WebServer::Impl::Client*>(*socket_context);
    if (client != nullptr) {
        client->used = false;
        --impl->open;
    }
}

// An answered request gives its connection a fresh deadline for the next.
void requestDone(void*, MHD_Connection* c, void**, MHD_RequestTerminationCode code)
{
    WebServer::Impl::Client* client = clientOf(c);
    if (client != nullptr && code == MHD_REQUEST_TERMINATED_COMPLETED_OK && !client->cut)
        client->deadline = Clock::now() + kRequestDeadline;
}

MHD_Result answerRequest(void* cls, MHD_Connection* c, const char* url, const char* method,
                         const char*, const char*, std::size_t* upload_size, void** request)
{
    auto* impl = static_cast<WebServer::Impl*>(cls);
    if (*request == nullptr) {
        *request = c;
        // A refusal, or an answer to a request with a body (nothing here
        // takes one), goes out at once and the library closes the
        // connection after it without reading the body. Otherwise the answer
        // waits for the next call, so the connection stays open for the next
        // request (a pipelined one included).
        if (const std::optional<MHD_Result> refused = impl->refuse(c, url, method))
            return *refused;
        const char* length = MHD_lookup_connection_value(c, MHD_HEADER_KIND, "Content-Length");
        const bool body =
            (length != nullptr && std::strcmp(length, "0") != 0) ||
            MHD_lookup_connection_value(c, MHD_HEADER_KIND, "Transfer-Encoding") != nullptr;
        return body ? impl->answer(c, url, method) : MHD_YES;
    }
    *upload_size = 0;
    return impl->answer(c, url, method);
}

// The server's thread leaves SIGINT, SIGTERM and SIGHUP to the polling
// thread, which stops the run, and takes no SIGPIPE from a client that went
// away.
void keepSignalsFromThisThread()
{
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGTERM);
    sigaddset(&set, SIGHUP);
    sigaddset(&set, SIGPIPE);
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
}

}  // namespace

std::optional<MHD_Result> WebServer::Impl::refuse(MHD_Connection* c, const char* url,
                                                  const char* method)
{
    HeadSize head;
    MHD_get_connection_values(c, MHD_HEADER_KIND, countHeader, &head);
    MHD_get_connection_values(c, MHD_GET_ARGUMENT_KIND, countArgument, &head);
    const MHD_ConnectionInfo* size =
        MHD_get_connection_info(c, MHD_CONNECTION_INFO_REQUEST_HEADER_SIZE);
    if (std::strlen(url) + head.target > kMaxTargetBytes)
        return plain(c, MHD_HTTP_URI_TOO_LONG, "", true);
    if (head.headers > kMaxRequestHeaders)
        return plain(c, MHD_HTTP_REQUEST_HEADER_FIELDS_TOO_LARGE,
                     "more than " + std::to_string(kMaxRequestHeaders) + " header lines", true);
    if (size == nullptr || size->header_size > kMaxRequestHeadBytes)
        return plain(c, MHD_HTTP_REQUEST_HEADER_FIELDS_TOO_LARGE,
                     "request head over " + std::to_string(kMaxRequestHeadBytes / 1024) + " KiB",
                     true);
    if (loopback &&
        !hostNamesLoopback(MHD_lookup_connection_value(c, MHD_HEADER_KIND, MHD_HTTP_HEADER_HOST)))
        return plain(c, MHD_HTTP_MISDIRECTED_REQUEST,
                     "this server answers only to localhost, 127.0.0.1 or [::1]", true);

    const bool get = std::strcmp(method, "GET") == 0 || std::strcmp(method, "HEAD") == 0;
    if (!get) {
        if (knownMethod(method))
            return plain(c, MHD_HTTP_METHOD_NOT_ALLOWED, "this server is read-only (GET, HEAD)",
                         true, "GET, HEAD");
        return plain(c, MHD_HTTP_BAD_REQUEST, "unknown method", true);
    }
    return std::nullopt;
}

MHD_Result WebServer::Impl::answer(MHD_Connection* c, const char* url, const char* method)
{
    if (const std::optional<MHD_Result> refused = refuse(c, url, method))
        return *refused;
    // Range is ignored: every answer is whole (200), never parts of it.
    const std::string path(url);
    if (path == "/")
        return resource(c, web_resources::dashboard_html, web_resources::dashboard_html_size,
                        "text/html; charset=utf-8",
                        "default-src 'self'; img-src 'self' data:; frame-ancestors 'none'");
    if (path == "/dashboard.css")
        return resource(c, web_resources::dashboard_css, web_resources::dashboard_css_size,
                        "text/css; charset=utf-8");
    if (path == "/dashboard.js")
        return resource(c, web_resources::dashboard_js, web_resources::dashboard_js_size,
                        "text/javascript; charset=utf-8");
    if (path == "/api/devices") {
        Parameter since{"trend_since", false, {}};
        MHD_get_connection_values(c, MHD_GET_ARGUMENT_KIND, findArgument, &since);
        std::optional<int64_t> trend_after;
        if (since.found) {
            if (since.value.empty() || since.value.size() > 15 || !digitsOnly(since.value))
                return plain(c, MHD_HTTP_BAD_REQUEST, "trend_since: expected unix milliseconds",
                             false);
            trend_after = std::stoll(since.value);
        }
        return text(c, devicesJson(state, trend_after), "application/json; charset=utf-8");
    }
    if (path == "/metrics")
        return text(c, metricsText(state), kMetricsContentType);
    return plain(c, MHD_HTTP_NOT_FOUND, "", false);
}

void WebServer::Impl::refill()
{
    const Clock::time_point now = Clock::now();
    admissions = std::min(
        kAdmissionBurst,
        admissions + std::chrono::duration<double>(now - refilled).count() * kAdmissionsPerSecond);
    refilled = now;
}

void WebServer::Impl::acceptAll()
{
    refill();
    while (admissions >= 1) {
        sockaddr_storage peer{};
        socklen_t length = sizeof peer;
        const int fd = ::accept4(listen_fd, reinterpret_cast<sockaddr*>(&peer), &length,
                                 SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd < 0) {
            if (errno == EINTR || errno == ECONNABORTED)
                continue;
            if (errno == EMFILE || errno == ENFILE) {
                // The queue keeps its connection; look again a little later
                // rather than spin on it.
                std::this_thread::sleep_for(std::chrono::milliseconds(50));
            }
            return;
        }
        admissions -= 1;
        // Beyond the bound or inside the reserve: closed at once.
        if (open >= kMaxWebConnections ||
            static_cast<std::size_t>(fd) + kWebDescriptorReserve >= descriptor_limit) {
            ::close(fd);
            continue;
        }
        MHD_add_connection(daemon, fd, reinterpret_cast<sockaddr*>(&peer), length);
    }
}

// Cuts every connection past its deadline (shutting the socket down makes
// the library see the end and close it, on this same thread, so no
// descriptor is touched after it is closed); the next deadline.
Clock::time_point WebServer::Impl::cutLateClients()
{
    const Clock::time_point now = Clock::now();
    Clock::time_point next = Clock::time_point::max();
    for (Client& client : clients) {
        if (!client.used || client.cut)
            continue;
        if (client.deadline <= now) {
            client.cut = true;
            ::shutdown(client.fd, SHUT_RDWR);
        } else {
            next = std::min(next, client.deadline);
        }
    }
    return next;
}

void WebServer::Impl::run()
{
    keepSignalsFromThisThread();
    // Clients get the processor only when polling does not want it: under
    // any load the rounds go first.
    if (::setpriority(PRIO_PROCESS, static_cast<id_t>(::syscall(SYS_gettid)), kServerNiceness) !=
        0) {
        // Not fatal: the server runs at the polling thread's priority.
    }
    const MHD_DaemonInfo* info = MHD_get_daemon_info(daemon, MHD_DAEMON_INFO_EPOLL_FD);
    const int epoll_fd = info != nullptr ? info->epoll_fd : -1;
    while (!stopping.load()) {
        const Clock::time_point next = cutLateClients();
        int wait_ms = kMaxWaitMs;
        MHD_UNSIGNED_LONG_LONG library_ms = 0;
        if (MHD_get_timeout(daemon, &library_ms) == MHD_YES)
            wait_ms = static_cast<int>(std::min<MHD_UNSIGNED_LONG_LONG>(library_ms, wait_ms));
        if (next != Clock::time_point::max()) {
            const auto until =
                std::chrono::duration_cast<std::chrono::milliseconds>(next - Clock::now()).count() +
                1;
            wait_ms = static_cast<int>(std::clamp<long long>(until, 0, wait_ms));
        }
        refill();
        const bool admitting = admissions >= 1;
        if (!admitting) {
            const auto until_token =
                static_cast<int>((1 - admissions) * 1000 / kAdmissionsPerSecond) + 1;
            wait_ms = std::min(wait_ms, until_token);
        }
        pollfd fds[3] = {
            {admitting ? listen_fd : -1, POLLIN, 0}, {epoll_fd, POLLIN, 0}, {wake_fd, POLLIN, 0}};
        if (::poll(fds, 3, wait_ms) < 0 && errno != EINTR)
            break;
        if (fds[2].revents != 0)
            break;
        if (fds[0].revents != 0)
            acceptAll();
        MHD_run(daemon);
    }
}

WebServer::WebServer(const HttpAddress& address, const LiveState& state)
    : address_(address), impl_(std::make_unique<Impl>(state))
{
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_PASSIVE;
    addrinfo* found = nullptr;
    const std::string service = std::to_string(address_.port);
    const int status = ::getaddrinfo(address_.host.c_str(), service.c_str(), &hints, &found);
    if (status != 0)
        throw ToolError("--http: cannot listen on " + address_.text() + ": " +
                        ::gai_strerror(status));
    int error = 0;
    for (const addrinfo* a = found; a != nullptr && impl_->listen_fd < 0; a = a->ai_next) {
        const int fd =
            ::socket(a->ai_family, a->ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC, a->ai_protocol);
        if (fd < 0) {
            error = errno;
            continue;
        }
        // SO_REUSEADDR alone: SO_REUSEPORT would let a second kel36-host
        // share a port in use instead of failing.
        int yes = 1;
        ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
        if (::bind(fd, a->ai_addr, a->ai_addrlen) != 0 || ::listen(fd, kListenBacklog) != 0) {
            error = errno;
            ::close(fd);
            continue;
        }
        impl_->listen_fd = fd;
    }
    ::freeaddrinfo(found);
    if (impl_->listen_fd < 0)
        throw ToolError("--http: cannot listen on " + address_.text() + ": " +
                        (error != 0 ? std::strerror(error) : "the address cannot be bound"));

    sockaddr_storage bound{};
    socklen_t length = sizeof bound;
    ::getsockname(impl_->listen_fd, reinterpret_cast<sockaddr*>(&bound), &length);
    port_ =
        ntohs(bound.ss_family == AF_INET6 ? reinterpret_cast<const sockaddr_in6&>(bound).sin6_port
                                          : reinterpret_cast<const sockaddr_in&>(bound).sin_port);
    impl_->loopback = loopbackAddress(bound);
    all_interfaces_ = wildcardAddress(bound);

    rlimit limit{};
    ::getrlimit(RLIMIT_NOFILE, &limit);
    impl_->descriptor_limit = limit.rlim_cur == RLIM_INFINITY
                                  ? static_cast<std::size_t>(-1) / 2
                                  : static_cast<std::size_t>(limit.rlim_cur);

    impl_->wake_fd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    impl_->daemon = MHD_start_daemon(
        MHD_USE_EPOLL | MHD_USE_NO_LISTEN_SOCKET, 0, nullptr, nullptr, &answerRequest, impl_.get(),
        MHD_OPTION_CONNECTION_MEMORY_LIMIT, kConnectionMemory, MHD_OPTION_CONNECTION_LIMIT,
        static_cast<unsigned>(kMaxWebConnections), MHD_OPTION_CONNECTION_TIMEOUT,
        static_cast<unsigned>(
            std::chrono::duration_cast<std::chrono::seconds>(kRequestDeadline).count()),
        MHD_OPTION_NOTIFY_CONNECTION, &noticeConnection, impl_.get(), MHD_OPTION_NOTIFY_COMPLETED,
        &requestDone, impl_.get(), MHD_OPTION_END);
    if (impl_->daemon == nullptr || impl_->wake_fd < 0) {
        const int why = errno;
        if (impl_->daemon != nullptr)
            MHD_stop_daemon(impl_->daemon);
        if (impl_->wake_fd >= 0)
            ::close(impl_->wake_fd);
        ::close(impl_->listen_fd);
        throw ToolError("--http: cannot start the web server: " + std::string(std::strerror(why)));
    }
    impl_->thread = std::thread([impl = impl_.get()] { impl->run(); });
}

WebServer::~WebServer()
{
    const uint64_t one = 1;
    impl_->stopping = true;
    if (::write(impl_->wake_fd, &one, sizeof one) < 0) {
        // The flag alone stops the loop at its next wake-up.
    }
    impl_->thread.join();
    // Closes every connection at once: nothing waits on a client.
    MHD_stop_daemon(impl_->daemon);
    ::close(impl_->wake_fd);
    ::close(impl_->listen_fd);
}

std::string WebServer::announcement() const
{
    const std::string also = " (also /api/devices, /metrics)";
    if (all_interfaces_)
        return "dashboard listening on all interfaces, port " + std::to_string(port_) + also;
    return "dashboard on " + url() + also;
}

}  // namespace keltool
