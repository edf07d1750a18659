#include "HttpServer.h"

#include "ApiJson.h"
#include "EventQueue.h"
#include "PageAssets.h"
#include "RequestGuard.h"

#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/write.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <boost/beast/websocket.hpp>

#include <atomic>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <unordered_map>

namespace Vornctl::Serve {
namespace {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
namespace websocket = beast::websocket;
using tcp = asio::ip::tcp;

constexpr std::string_view contentSecurityPolicy =
    "default-src 'none'; script-src 'self'; style-src 'self'; img-src 'self'; "
    "connect-src 'self'; base-uri 'none'; form-action 'self'; frame-ancestors 'none'";

constexpr std::string_view busyResponse =
    "HTTP/1.1 503 Service Unavailable\r\nContent-Type: application/json\r\n"
    "X-Content-Type-Options: nosniff\r\nConnection: close\r\nContent-Length: 44\r\n\r\n"
    "{\"error\":\"too many connections; try again\"}\n";

std::string_view view(beast::string_view text) {
    return {text.data(), text.size()};
}

std::optional<std::string_view> header(const http::request<http::string_body>& request,
                                       http::field field) {
    const auto found = request.find(field);
    if (found == request.end())
        return std::nullopt;
    return view(found->value());
}

// Posts completions from other threads (the engine's) to the server's thread,
// for as long as the server exists; afterwards they are dropped. The posted
// work holds weak references only, so dropping it frees nothing of the server.
class Outbox {
public:
    explicit Outbox(asio::io_context& io) : io_(&io) {}
    template <class Work> void post(Work work) {
        std::lock_guard<std::mutex> lock(mutex_);
        if (io_)
            asio::post(*io_, std::move(work));
    }
    void close() {
        std::lock_guard<std::mutex> lock(mutex_);
        io_ = nullptr;
    }

private:
    std::mutex mutex_;
    asio::io_context* io_; // guarded by mutex_
};

// A connection the server owns until it ends.
class Link {
public:
    virtual ~Link() = default;
    virtual void close() = 0;
};

} // namespace

class HttpServer::Impl {
public:
    explicit Impl(ServerConfig settings);
    ~Impl();

    void accept();
    void adopt(const std::shared_ptr<Link>& link) {
        links_.emplace(link.get(), link);
        open = links_.size();
    }
    void release(Link* link) {
        links_.erase(link);
        open = links_.size();
    }
    void closeAll();

    asio::io_context io{1};
    tcp::acceptor acceptor{io};
    asio::steady_timer retry{io}; // the next accept after a failed one
    ServerConfig config;
    GuardConfig guard;
    std::shared_ptr<Outbox> outbox = std::make_shared<Outbox>(io);
    RequestHandler* handler = nullptr; // set by run()
    std::atomic<std::size_t> open{0};
    std::atomic<bool> stopped{false};

private:
    // On the server's thread only.
    std::unordered_map<Link*, std::shared_ptr<Link>> links_;
};

namespace {

using Server = HttpServer::Impl;

// One live-push client: the device events as WebSocket text messages, each
// holding one or more JSON objects separated by line feeds.
class EventStream : public Link, public std::enable_shared_from_this<EventStream> {
public:
    EventStream(Server& server, beast::tcp_stream stream, bool all)
        : server_(server), socket_(std::move(stream)), all_(all) {}

    void start(http::request<http::string_body> request) {
        beast::get_lowest_layer(socket_).expires_never();
        socket_.set_option(websocket::stream_base::timeout::suggested(beast::role_type::server));
        socket_.read_message_max(4096);
        socket_.auto_fragment(false); // one frame per batch of events
        socket_.async_accept(request, [self = shared_from_this()](beast::error_code error) {
            self->accepted(error);
        });
    }

    void close() override {
        beast::error_code ignored;
        beast::get_lowest_layer(socket_).socket().close(ignored);
    }

private:
    void accepted(beast::error_code error) {
        if (error)
            return finish();
        std::weak_ptr<EventStream> weak = weak_from_this();
        queue_ = server_.handler->subscribe(all_, [outbox = server_.outbox, weak] {
            outbox->post([weak] {
                if (const auto self = weak.lock())
                    self->flush();
            });
        });
        read();
    }

    // What the client sends is read and ignored; it tells when the client goes.
    void read() {
        socket_.async_read(incoming_,
                           [self = shared_from_this()](beast::error_code error, std::size_t) {
                               if (error)
                                   return self->finish();
                               self->incoming_.clear();
                               self->read();
                           });
    }

    void flush() {
        if (writing_ || finished_ || !queue_)
            return;
        if (queue_->overflowed())
            return overflowed();
        outgoing_ = queue_->take();
        if (outgoing_.empty())
            return;
        outgoing_.pop_back(); // the last line feed
        writing_ = true;
        socket_.text(true);
        socket_.async_write(asio::buffer(outgoing_),
                            [self = shared_from_this()](beast::error_code error, std::size_t) {
                                self->writing_ = false;
                                // An idle client holds no batch.
                                std::string().swap(self->outgoing_);
                                if (error)
                                    return self->finish();
                                self->flush();
                            });
    }

    // Too slow for the events (a flood of them, say): dropped, the others go
    // on. Told "try again later" (1013), on which the page waits longer and
    // longer before it asks for everything again.
    void overflowed() {
        queue_.reset();  // its backlog is gone already; nothing more is queued
        writing_ = true; // the close handshake has the stream's own time-out
        socket_.async_close(
            websocket::close_reason(websocket::close_code::try_again_later, "too many events"),
            [self = shared_from_this()](beast::error_code) { self->finish(); });
    }

    void finish() {
        if (finished_)
            return;
        finished_ = true;
        close();
        queue_.reset();
        server_.release(this);
    }

    Server& server_;
    websocket::stream<beast::tcp_stream> socket_;
    const bool all_;
    std::shared_ptr<EventQueue> queue_;
    beast::flat_buffer incoming_;
    std::string outgoing_;
    bool writing_ = false;
    bool finished_ = false;
};

// One HTTP connection: requests one after the other (keep-alive).
class HttpConnection : public Link, public std::enable_shared_from_this<HttpConnection> {
public:
    HttpConnection(Server& server, tcp::socket socket)
        : server_(server), stream_(std::move(socket)) {}

    void start() { readHead(); }

    void close() override {
        beast::error_code ignored;
        stream_.socket().close(ignored);
    }

private:
    void readHead() {
        headOnly_ = false;
        parser_.emplace();
        parser_->header_limit(static_cast<std::uint32_t>(server_.config.headerLimit));
        parser_->body_limit(server_.config.bodyLimit);
        stream_.expires_after(server_.config.requestTimeout);
        http::async_read_header(stream_, buffer_, *parser_,
                                [self = shared_from_this()](beast::error_code error, std::size_t) {
                                    if (error)
                                        return self->readFailed(error);
                                    self->headRead();
                                });
    }

    void readFailed(beast::error_code error) {
        if (error == http::error::header_limit || error == http::error::buffer_overflow)
            return respond(431, "the request head is larger than 8 KiB", true);
        if (error == http::error::body_limit)
            return respond(413, "the request body is larger than 1 MiB", true);
        if (error.category() == http::make_error_code(http::error::bad_method).category() &&
            error != http::error::end_of_stream && error != http::error::partial_message)
            return respond(400, "malformed request: " + error.message(), true);
        finish(); // closed, timed out or reset
    }

    void headRead() {
        const auto& request = parser_->get();
        api_ = view(request.target()).rfind("/api/", 0) == 0;
        headOnly_ = request.method() == http::verb::head;
        RequestHead head;
        head.method = view(request.method_string());
        head.target = view(request.target());
        head.host = header(request, http::field::host);
        head.origin = header(request, http::field::origin);
        head.authorization = header(request, http::field::authorization);
        head.cookie = header(request, http::field::cookie);
        head.upgrade = websocket::is_upgrade(request);
        const bool bodyPending = !parser_->is_done();
        if (request.count(http::field::host) > 1)
            return respond(400, "more than one Host header", true);
        const GuardVerdict verdict = checkRequest(server_.guard, head);
        if (verdict.kind == GuardVerdict::Kind::Refuse)
            return respond(verdict.status, verdict.message, true);
        if (verdict.kind == GuardVerdict::Kind::TokenAccepted)
            return respond(303, "", bodyPending,
                           {{http::field::location, "/"},
                            {http::field::set_cookie,
                             tokenCookie(server_.guard.cookie, server_.guard.token)}});

        route_ = routeRequest(head.method, head.target, &isPageAsset);
        if (route_.kind == Route::Kind::Error)
            return respond(route_.status, route_.message, true,
                           route_.allow.empty() ? Headers{}
                                                : Headers{{http::field::allow, route_.allow}});
        if (route_.kind == Route::Kind::Page || route_.kind == Route::Kind::Asset) {
            const PageAsset* asset = findPageAsset(route_.asset);
            return send(200, std::string(asset->contentType), std::string(asset->body),
                        bodyPending);
        }
        if (route_.kind == Route::Kind::Events)
            return upgrade();
        if (!bodyPending)
            return dispatch();
        if (beast::iequals(request[http::field::expect], "100-continue")) {
            auto interim = std::make_shared<http::response<http::empty_body>>(
                http::status::continue_, request.version());
            return http::async_write(
                stream_, *interim,
                [self = shared_from_this(), interim](beast::error_code error, std::size_t) {
                    if (error)
                        return self->finish();
                    self->readBody();
                });
        }
        readBody();
    }

    void readBody() {
        http::async_read(stream_, buffer_, *parser_,
                         [self = shared_from_this()](beast::error_code error, std::size_t) {
                             if (error)
                                 return self->readFailed(error);
                             self->dispatch();
                         });
    }

    void upgrade() {
        if (!websocket::is_upgrade(parser_->get()))
            return respond(400, "GET /api/events expects a WebSocket upgrade", true);
        auto stream = std::make_shared<EventStream>(server_, std::move(stream_), route_.all);
        server_.adopt(stream);
        stream->start(parser_->release());
        finished_ = true; // the socket went to the stream
        server_.release(this);
    }

    // The handler answers later, from any thread: the answer travels back to
    // this connection through the server's outbox.
    void dispatch() {
        stream_.expires_never();
        auto request = parser_->release();
        const std::string contentType(view(request[http::field::content_type]));
        std::weak_ptr<HttpConnection> weak = weak_from_this();
        Reply reply = [outbox = server_.outbox, weak](ApiResponse response) {
            outbox->post([weak, response = std::move(response)]() mutable {
                if (const auto self = weak.lock())
                    self->send(response.status, std::move(response.contentType),
                               std::move(response.body), false);
            });
        };
        try {
            server_.handler->handle(route_, contentType, std::move(request.body()), reply);
        } catch (const std::exception& failure) {
            send(500, "application/json", errorJson(failure.what()), true);
        }
    }

    using Headers = std::vector<std::pair<http::field, std::string>>;

    // An error or a redirect: JSON for the API, text for the page.
    void respond(int status, const std::string& message, bool close, Headers extra = {}) {
        if (message.empty())
            return send(status, "text/plain; charset=utf-8", "", close, std::move(extra));
        if (api_)
            return send(status, "application/json", errorJson(message), close, std::move(extra));
        send(status, "text/plain; charset=utf-8", message + "\n", close, std::move(extra));
    }

    void send(int status, std::string contentType, std::string body, bool close,
              Headers extra = {}) {
        auto response = std::make_shared<http::response<http::string_body>>();
        response->result(static_cast<unsigned>(status));
        response->version(11);
        if (!body.empty() || status != 204)
            response->set(http::field::content_type, contentType);
        response->set("X-Content-Type-Options", "nosniff");
        response->set("Content-Security-Policy", beast::string_view(contentSecurityPolicy.data(),
                                                                    contentSecurityPolicy.size()));
        response->set(http::field::cache_control, "no-store");
        response->set("Referrer-Policy", "no-referrer");
        response->set("X-Frame-Options", "DENY");
        for (auto& [field, value] : extra)
            response->set(field, value);
        response->body() = std::move(body);
        response->keep_alive(!close);
        response->prepare_payload();
        if (headOnly_)
            response->body().clear(); // Content-Length stays that of the body a GET gets
        stream_.expires_after(server_.config.requestTimeout);
        http::async_write(
            stream_, *response,
            [self = shared_from_this(), response, close](beast::error_code error, std::size_t) {
                if (error || close)
                    return self->finish();
                self->readHead();
            });
    }

    void finish() {
        if (finished_)
            return;
        finished_ = true;
        if (stream_.socket().is_open()) {
            beast::error_code ignored;
            stream_.socket().shutdown(tcp::socket::shutdown_send, ignored);
            close();
        }
        server_.release(this);
    }

    Server& server_;
    beast::tcp_stream stream_;
    beast::flat_buffer buffer_;
    std::optional<http::request_parser<http::string_body>> parser_;
    Route route_;
    bool api_ = false;
    bool headOnly_ = false; // the request is a HEAD: the answer's head alone
    bool finished_ = false;
};

// Refuses a connection beyond the limit at once and closes it.
void refuseBusy(tcp::socket socket) {
    auto held = std::make_shared<tcp::socket>(std::move(socket));
    asio::async_write(*held, asio::buffer(busyResponse.data(), busyResponse.size()),
                      [held](beast::error_code, std::size_t) {
                          beast::error_code ignored;
                          held->shutdown(tcp::socket::shutdown_both, ignored);
                          held->close(ignored);
                      });
}

} // namespace

HttpServer::Impl::Impl(ServerConfig settings) : config(std::move(settings)) {
    beast::error_code error;
    const auto address = asio::ip::make_address(config.host, error);
    if (error)
        throw std::runtime_error("cannot listen on \"" + config.host +
                                 "\": not an IPv4 or IPv6 address");
    const tcp::endpoint endpoint(address, config.port);
    const std::string where = config.host + ":" + std::to_string(config.port);
    acceptor.open(endpoint.protocol(), error);
    if (!error)
        acceptor.set_option(asio::socket_base::reuse_address(true), error);
    if (!error)
        acceptor.bind(endpoint, error);
    if (!error)
        acceptor.listen(asio::socket_base::max_listen_connections, error);
    if (error)
        throw std::runtime_error("cannot listen on " + where + ": " + error.message());
    config.port = acceptor.local_endpoint().port();
    const std::string host = address.is_v6() ? "[" + config.host + "]" : config.host;
    guard.hosts = allowedHosts(host, config.port, config.allowHosts);
    guard.token = config.token;
    guard.cookie = tokenCookieName(config.port);
}

HttpServer::Impl::~Impl() {
    outbox->close();
    links_.clear();
}

void HttpServer::Impl::accept() {
    acceptor.async_accept([this](beast::error_code error, tcp::socket socket) {
        if (stopped)
            return;
        if (error && error != asio::error::connection_aborted) {
            // Out of descriptors, say: try again a little later rather than at once.
            retry.expires_after(std::chrono::milliseconds(100));
            retry.async_wait([this](beast::error_code waited) {
                if (!waited && !stopped)
                    accept();
            });
            return;
        }
        if (!error) {
            if (links_.size() >= config.maxConnections) {
                refuseBusy(std::move(socket));
            } else {
                auto connection = std::make_shared<HttpConnection>(*this, std::move(socket));
                adopt(connection);
                connection->start();
            }
        }
        accept();
    });
}

void HttpServer::Impl::closeAll() {
    auto links = std::move(links_);
    links_.clear();
    for (auto& [raw, link] : links)
        link->close();
    open = 0;
}

HttpServer::HttpServer(ServerConfig config) : impl_(std::make_unique<Impl>(std::move(config))) {}

HttpServer::~HttpServer() = default;

unsigned short HttpServer::port() const {
    return impl_->config.port;
}

std::string HttpServer::origin() const {
    return "http://" + impl_->guard.hosts.front();
}

void HttpServer::run(RequestHandler& handler) {
    impl_->handler = &handler;
    asio::post(impl_->io, [this] {
        if (!impl_->stopped)
            impl_->accept();
    });
    impl_->io.run();
}

void HttpServer::stop() {
    asio::post(impl_->io, [this] {
        impl_->stopped = true;
        beast::error_code ignored;
        impl_->acceptor.close(ignored);
        impl_->retry.cancel();
        impl_->closeAll();
        impl_->io.stop();
    });
}

std::size_t HttpServer::connections() const {
    return impl_->open;
}

} // namespace Vornctl::Serve
