#include "kel36-host/web/web_server.h"

#include <httplib.h>
#include <netdb.h>
#include <signal.h>
#include <sys/socket.h>

#include <cerrno>
#include <chrono>
#include <cstring>

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

// A browser keeps a few connections open; each holds a worker while it waits
// for its next request, at most kKeepAliveSeconds. Every wait on a client is
// bounded, so a slow or silent client costs one worker for seconds, and
// stopping the server takes at most that long.
constexpr std::size_t kWorkers = 8;
static_assert(kWebServerDescriptors == 1 + kWorkers, "the run's descriptor budget counts these");
constexpr time_t kKeepAliveSeconds = 1;
constexpr time_t kReadTimeoutSeconds = 1;
constexpr time_t kWriteTimeoutSeconds = 2;
constexpr std::size_t kMaxBodyBytes = 1024;  // nothing here takes a body

const char* statusText(int status)
{
    switch (status) {
        case 400:
            return "Bad Request";
        case 404:
            return "Not Found";
        case 405:
            return "Method Not Allowed";
        case 413:
            return "Payload Too Large";
        case 414:
            return "URI Too Long";
        case 431:
            return "Request Header Fields Too Large";
        case 500:
            return "Internal Server Error";
        default:
            return "Error";
    }
}

void plain(httplib::Response& res, int status, const std::string& detail)
{
    res.status = status;
    std::string body = std::to_string(status) + " " + statusText(status);
    if (!detail.empty())
        body += ": " + detail;
    res.set_content(body + "\n", "text/plain; charset=utf-8");
}

void resource(httplib::Response& res, const unsigned char* data, std::size_t size, const char* type)
{
    res.set_content(reinterpret_cast<const char*>(data), size, type);
}

// A name that does not resolve is said so here; httplib alone would only
// say that binding failed.
void checkResolves(const HttpAddress& address)
{
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_PASSIVE;
    addrinfo* found = nullptr;
    const int status = ::getaddrinfo(address.host.c_str(), nullptr, &hints, &found);
    if (status != 0)
        throw ToolError("--http: cannot listen on " + address.text() + ": " +
                        ::gai_strerror(status));
    ::freeaddrinfo(found);
}

// The server's threads leave SIGINT and SIGTERM to the polling thread, which
// stops the run, and take SIGPIPE as an error return of a write to a client
// that went away rather than as the end of the process.
void keepSignalsFromThisThread()
{
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGTERM);
    sigaddset(&set, SIGPIPE);
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
}

}  // namespace

WebServer::WebServer(const HttpAddress& address, const LiveState& state)
    : address_(address), state_(state)
{
    checkResolves(address_);
    {
        // httplib's server sets SIGPIPE to be ignored for the whole process;
        // the tool keeps its own handling of a closed standard output.
        struct sigaction previous {};
        sigaction(SIGPIPE, nullptr, &previous);
        server_ = std::make_unique<httplib::Server>();
        sigaction(SIGPIPE, &previous, nullptr);
    }
    server_->new_task_queue = [] { return new httplib::ThreadPool(kWorkers); };
    // SO_REUSEADDR alone: the library's default also sets SO_REUSEPORT, which
    // would let a second kel36-host share a port in use instead of failing.
    server_->set_socket_options([](socket_t sock) {
        int yes = 1;
        ::setsockopt(sock, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
    });
    server_->set_keep_alive_timeout(kKeepAliveSeconds);
    server_->set_keep_alive_max_count(100);
    server_->set_read_timeout(kReadTimeoutSeconds);
    server_->set_write_timeout(kWriteTimeoutSeconds);
    server_->set_payload_max_length(kMaxBodyBytes);
    route();

    errno = 0;
    if (address_.port == 0)
        port_ = server_->bind_to_any_port(address_.host);
    else
        port_ = server_->bind_to_port(address_.host, address_.port) ? address_.port : -1;
    if (port_ < 0)
        throw ToolError("--http: cannot listen on " + address_.text() + ": " +
                        (errno != 0 ? std::strerror(errno) : "the address cannot be bound"));

    thread_ = std::thread([this] {
        keepSignalsFromThisThread();  // inherited by the workers it starts
        server_->listen_after_bind();
        listen_returned_ = true;
    });
}

WebServer::~WebServer()
{
    // stop() has no effect before the server runs: wait until it does (or
    // until it gave up), then stop it once.
    while (!listen_returned_ && !server_->is_running())
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    if (!listen_returned_)
        server_->stop();
    thread_.join();
}

void WebServer::route()
{
    httplib::Server& s = *server_;
    s.set_default_headers({{"X-Content-Type-Options", "nosniff"},
                           {"Cache-Control", "no-store"},
                           {"Referrer-Policy", "no-referrer"}});

    // Read-only: only GET and HEAD reach the routes.
    s.set_pre_routing_handler([](const httplib::Request& req, httplib::Response& res) {
        if (req.method == "GET" || req.method == "HEAD")
            return httplib::Server::HandlerResponse::Unhandled;
        plain(res, 405, "this server is read-only (GET, HEAD)");
        res.set_header("Allow", "GET, HEAD");
        res.set_header("Connection", "close");
        return httplib::Server::HandlerResponse::Handled;
    });
    s.set_error_handler([](const httplib::Request&, httplib::Response& res) {
        if (res.body.empty())
            plain(res, res.status, "");
    });
    s.set_exception_handler([](const httplib::Request&, httplib::Response& res,
                               std::exception_ptr) { plain(res, 500, ""); });

    s.Get("/", [](const httplib::Request&, httplib::Response& res) {
        resource(res, web_resources::dashboard_html, web_resources::dashboard_html_size,
                 "text/html; charset=utf-8");
        res.set_header("Content-Security-Policy",
                       "default-src 'self'; img-src 'self' data:; frame-ancestors 'none'");
    });
    s.Get("/dashboard.css", [](const httplib::Request&, httplib::Response& res) {
        resource(res, web_resources::dashboard_css, web_resources::dashboard_css_size,
                 "text/css; charset=utf-8");
    });
    s.Get("/dashboard.js", [](const httplib::Request&, httplib::Response& res) {
        resource(res, web_resources::dashboard_js, web_resources::dashboard_js_size,
                 "text/javascript; charset=utf-8");
    });
    s.Get("/api/devices", [this](const httplib::Request& req, httplib::Response& res) {
        std::optional<int64_t> trend_after;
        if (req.has_param("trend_since")) {
            const std::string since = req.get_param_value("trend_since");
            if (since.empty() || since.size() > 15 ||
                since.find_first_not_of("0123456789") != std::string::npos) {
                plain(res, 400, "trend_since: expected unix milliseconds");
                return;
            }
            trend_after = std::stoll(since);
        }
        res.set_content(devicesJson(state_, trend_after), "application/json; charset=utf-8");
    });
    s.Get("/metrics", [this](const httplib::Request&, httplib::Response& res) {
        res.set_content(metricsText(state_), kMetricsContentType);
    });
}

}  // namespace keltool
