#include "HttpServer.h"

#include "AccessControl.h"
#include "ApiJson.h"
#include "ContentEncoding.h"
#include "EventQueue.h"
#include "PageAssets.h"
#include "RequestGuard.h"
#include "TlsContext.h"

#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/write.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <boost/beast/ssl.hpp>
#include <boost/beast/websocket.hpp>
#include <boost/beast/websocket/ssl.hpp>

#include <atomic>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <type_traits>
#include <unordered_map>

namespace Vornctl::Serve {
namespace {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
namespace websocket = beast::websocket;
using tcp = asio::ip::tcp;
using PlainStream = beast::tcp_stream;
using TlsStream = beast::ssl_stream<beast::tcp_stream>;
template <class Stream> constexpr bool isTls = std::is_same_v<Stream, TlsStream>;

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
    // The person's access ended: closed at once, telling why where it can.
    virtual void revoke() { close(); }
};

} // namespace

class HttpServer::Impl {
public:
    explicit Impl(ServerConfig settings);
    ~Impl();

    void accept();
    // The connection table; on the server's thread only. A connection that
    // has shown the token is `proven`.
    void adopt(const std::shared_ptr<Link>& link, const asio::ip::address& address,
               const std::string* person);
    // The link showed `person`'s token.
    void prove(Link* link, const std::string& person);
    void release(Link* link);
    void closeAll();
    // Closes the links of `person`.
    void closeOf(const std::string& person);
    void log(const std::string& line) const {
        if (config.log)
            config.log(line);
    }

    std::shared_ptr<const TlsCredentials> credentials() const {
        std::lock_guard<std::mutex> lock(credentialsMutex_);
        return credentials_;
    }
    void setCredentials(TlsCredentials credentials) {
        auto shared = std::make_shared<const TlsCredentials>(std::move(credentials));
        std::lock_guard<std::mutex> lock(credentialsMutex_);
        credentials_ = std::move(shared);
    }

    asio::io_context io{1};
    tcp::acceptor acceptor{io};
    asio::steady_timer retry{io}; // the next accept after a failed one
    ServerConfig config;
    GuardConfig guard;
    std::shared_ptr<AccessControl> access;
    std::vector<std::string> origins;
    std::shared_ptr<Outbox> outbox = std::make_shared<Outbox>(io);
    RequestHandler* handler = nullptr; // set by run()
    std::atomic<std::size_t> open{0};
    std::atomic<bool> stopped{false};

private:
    struct Entry {
        std::shared_ptr<Link> link;
        asio::ip::address address;
        bool proven = false;
        std::string person;      // proven: whose token it showed last
        std::uint64_t order = 0; // of adoption
    };
    // Whether a new connection from `address` may be taken, making room for
    // it when the oldest connection without the token can go.
    bool admit(const asio::ip::address& address);
    void accepted(tcp::socket socket);

    // On the server's thread only.
    std::unordered_map<Link*, Entry> links_;
    std::size_t unproven_ = 0;
    std::uint64_t adopted_ = 0;

    mutable std::mutex credentialsMutex_;
    std::shared_ptr<const TlsCredentials> credentials_; // guarded by credentialsMutex_
};

namespace {

using Server = HttpServer::Impl;

// One live-push client: the device events as WebSocket text messages, each
// holding one or more JSON objects separated by line feeds.
template <class Stream>
class EventStream : public Link, public std::enable_shared_from_this<EventStream<Stream>> {
public:
    EventStream(Server& server, Stream stream, bool all)
        : server_(server), socket_(std::move(stream)), all_(all) {}

    void start(http::request<http::string_body> request) {
        beast::get_lowest_layer(socket_).expires_never();
        socket_.set_option(websocket::stream_base::timeout::suggested(beast::role_type::server));
        socket_.read_message_max(4096);
        socket_.auto_fragment(false); // one frame per batch of events
        socket_.async_accept(request, [self = this->shared_from_this()](beast::error_code error) {
            self->accepted(error);
        });
    }

    void close() override {
        beast::error_code ignored;
        beast::get_lowest_layer(socket_).socket().close(ignored);
    }

    // Policy violation (1008), "access ended", on which the page says so and
    // does not come back; the socket closes after the close handshake or its
    // time-out, and no event is sent meanwhile. With a write under way (a close
    // frame may not overtake it) the socket closes at once.
    void revoke() override {
        queue_.reset();
        if (writing_ || finished_)
            return close();
        writing_ = true;
        beast::get_lowest_layer(socket_).expires_after(std::chrono::seconds(2));
        socket_.async_close(
            websocket::close_reason(websocket::close_code::policy_error, "access ended"),
            [self = this->shared_from_this()](beast::error_code) { self->finish(); });
    }

private:
    void accepted(beast::error_code error) {
        if (error)
            return finish();
        std::weak_ptr<EventStream> weak = this->weak_from_this();
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
                           [self = this->shared_from_this()](beast::error_code error, std::size_t) {
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
        socket_.async_write(asio::buffer(outgoing_), [self = this->shared_from_this()](
                                                         beast::error_code error, std::size_t) {
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
            [self = this->shared_from_this()](beast::error_code) { self->finish(); });
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
    websocket::stream<Stream> socket_;
    const bool all_;
    std::shared_ptr<EventQueue> queue_;
    beast::flat_buffer incoming_;
    std::string outgoing_;
    bool writing_ = false;
    bool finished_ = false;
};

// One HTTP connection: requests one after the other (keep-alive). Over TLS
// the handshake comes first, within the handshake deadline.
template <class Stream>
class HttpConnection : public Link, public std::enable_shared_from_this<HttpConnection<Stream>> {
public:
    // `keep` holds what the stream needs for its life (the TLS context).
    HttpConnection(Server& server, Stream stream, asio::ip::address address,
                   std::shared_ptr<const void> keep)
        : server_(server), stream_(std::move(stream)), address_(std::move(address)),
          keep_(std::move(keep)) {}

    void start() {
        if constexpr (isTls<Stream>) {
            beast::get_lowest_layer(stream_).expires_after(server_.config.handshakeTimeout);
            stream_.async_handshake(asio::ssl::stream_base::server,
                                    [self = this->shared_from_this()](beast::error_code error) {
                                        if (error)
                                            return self->finish(); // a plain request, say
                                        self->readHead();
                                    });
        } else {
            readHead();
        }
    }

    void close() override {
        beast::error_code ignored;
        beast::get_lowest_layer(stream_).socket().close(ignored);
    }

private:
    void readHead() {
        headOnly_ = false;
        parser_.emplace();
        parser_->header_limit(static_cast<std::uint32_t>(server_.config.headerLimit));
        parser_->body_limit(server_.config.bodyLimit);
        // A few seconds until the token has been shown: a stranger cannot hold
        // a connection for long by sending nothing.
        if (proven_)
            beast::get_lowest_layer(stream_).expires_after(server_.config.requestTimeout);
        else
            beast::get_lowest_layer(stream_).expires_after(server_.config.headTimeout);
        http::async_read_header(
            stream_, buffer_, *parser_,
            [self = this->shared_from_this()](beast::error_code error, std::size_t) {
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
        lastRequest_ = !request.keep_alive(); // "Connection: close", or HTTP/1.0 without keep-alive
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
            return refused(verdict);
        if (verdict.kind == GuardVerdict::Kind::Public) {
            if (server_.config.authorityPem.empty())
                return respond(404, "this server has no certificate authority of its own", true);
            return send(200, "application/x-x509-ca-cert", server_.config.authorityPem,
                        bodyPending);
        }
        const Identity& who = *verdict.who;
        proven_ = true;
        server_.prove(this, who.name);
        server_.access->used(who, address_.to_string(), std::chrono::system_clock::now());
        if (verdict.kind == GuardVerdict::Kind::TokenAccepted)
            return respond(
                303, "", bodyPending,
                {{http::field::location, "/"},
                 {http::field::set_cookie,
                  tokenCookie(server_.guard.cookie, verdict.token, server_.guard.secure)}});

        route_ = routeRequest(head.method, head.target, &isPageAsset);
        route_.client = address_.to_string();
        route_.person = who.name;
        route_.role = who.role;
        if (route_.kind == Route::Kind::Error)
            return respond(route_.status, route_.message, true,
                           route_.allow.empty() ? Headers{}
                                                : Headers{{http::field::allow, route_.allow}});
        if (const auto refusal = roleRefusal(route_, who))
            return respond(403, *refusal, true);
        if (route_.kind == Route::Kind::Page || route_.kind == Route::Kind::Asset) {
            const PageAsset* asset = findPageAsset(route_.asset);
            Headers headers{{http::field::vary, "Accept-Encoding"}};
            const bool gzip = acceptsGzip(header(request, http::field::accept_encoding));
            if (gzip)
                headers.emplace_back(http::field::content_encoding, "gzip");
            return send(200, std::string(asset->contentType),
                        std::string(gzip ? asset->gzipBody : asset->body), bodyPending,
                        std::move(headers));
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
                [self = this->shared_from_this(), interim](beast::error_code error, std::size_t) {
                    if (error)
                        return self->finish();
                    self->readBody();
                });
        }
        readBody();
    }

    // A refused request. A token nobody holds is logged and, after a few from
    // this address, answered late (later each time): a guesser is slowed down,
    // the other addresses are not.
    void refused(const GuardVerdict& verdict) {
        if (!verdict.wrongToken) {
            if (verdict.linkEnded)
                server_.log("Notice: refused " + address_.to_string() + ": " + verdict.message);
            return respond(verdict.status, verdict.message, true);
        }
        const auto delay = server_.access->wrongToken(address_.to_string());
        server_.log("Notice: a token nobody holds, from " + address_.to_string() +
                    (delay.count() > 0 ? "; answered after " + std::to_string(delay.count()) + " ms"
                                       : std::string()));
        if (delay.count() == 0)
            return respond(verdict.status, verdict.message, true);
        beast::get_lowest_layer(stream_).expires_never();
        auto hold = std::make_shared<asio::steady_timer>(stream_.get_executor(), delay);
        hold->async_wait([self = this->shared_from_this(), hold, status = verdict.status,
                          message = verdict.message](beast::error_code) {
            self->respond(status, message, true);
        });
    }

    void readBody() {
        http::async_read(stream_, buffer_, *parser_,
                         [self = this->shared_from_this()](beast::error_code error, std::size_t) {
                             if (error)
                                 return self->readFailed(error);
                             self->dispatch();
                         });
    }

    void upgrade() {
        if (!websocket::is_upgrade(parser_->get()))
            return respond(400, "GET /api/events expects a WebSocket upgrade", true);
        auto stream =
            std::make_shared<EventStream<Stream>>(server_, std::move(stream_), route_.all);
        server_.adopt(stream, address_, &route_.person);
        stream->start(parser_->release());
        finished_ = true; // the socket went to the stream
        server_.release(this);
    }

    // The handler answers later, from any thread: the answer travels back to
    // this connection through the server's outbox.
    void dispatch() {
        beast::get_lowest_layer(stream_).expires_never();
        auto request = parser_->release();
        const std::string contentType(view(request[http::field::content_type]));
        std::weak_ptr<HttpConnection> weak = this->weak_from_this();
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
        close = close || lastRequest_;
        response->keep_alive(!close);
        response->prepare_payload();
        if (headOnly_)
            response->body().clear(); // Content-Length stays that of the body a GET gets
        beast::get_lowest_layer(stream_).expires_after(server_.config.requestTimeout);
        http::async_write(stream_, *response,
                          [self = this->shared_from_this(), response,
                           close](beast::error_code error, std::size_t) {
                              if (error || close)
                                  return self->finish();
                              self->readHead();
                          });
    }

    void finish() {
        if (finished_)
            return;
        finished_ = true;
        auto& socket = beast::get_lowest_layer(stream_).socket();
        if (socket.is_open()) {
            beast::error_code ignored;
            socket.shutdown(tcp::socket::shutdown_send, ignored);
            close();
        }
        server_.release(this);
    }

    Server& server_;
    Stream stream_;
    const asio::ip::address address_; // of the other end
    const std::shared_ptr<const void> keep_;
    beast::flat_buffer buffer_;
    std::optional<http::request_parser<http::string_body>> parser_;
    Route route_;
    bool api_ = false;
    bool proven_ = false;      // a request of this connection has shown the token
    bool headOnly_ = false;    // the request is a HEAD: the answer's head alone
    bool lastRequest_ = false; // the client asked to close after this answer
    bool finished_ = false;
};

// Refuses a connection beyond the limits at once and closes it: with a 503
// in plain HTTP; a TLS client is not worth a handshake and gets the close alone.
void refuseBusy(tcp::socket socket, bool tls) {
    if (tls) {
        beast::error_code ignored;
        socket.shutdown(tcp::socket::shutdown_both, ignored);
        socket.close(ignored);
        return;
    }
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
    if (config.linkHosts.empty())
        config.linkHosts.push_back(config.host);
    std::vector<std::string> hosts;
    for (const std::string& name : config.linkHosts) {
        const auto linked = asio::ip::make_address(name, error);
        hosts.push_back(!error && linked.is_v6() ? "[" + name + "]" : name);
    }
    guard.hosts = allowedHosts(hosts, config.port, config.allowHosts);
    guard.token = config.token;
    access = config.access ? config.access : std::make_shared<AccessControl>(config.token);
    if (config.access)
        access->setOwnerToken(config.token);
    guard.identify = [access = access.get()](std::string_view token) {
        return access->identify(token, std::chrono::system_clock::now());
    };
    guard.cookie = tokenCookieName(config.port);
    guard.secure = config.tls.has_value();
    for (const std::string& host : hosts)
        origins.push_back((guard.secure ? "https://" : "http://") + host + ":" +
                          std::to_string(config.port));
    if (config.tls)
        setCredentials(loadTlsCredentials(config.tls->certificate, config.tls->key));
    if (config.reservedForToken >= config.maxConnections)
        throw std::runtime_error("the connections kept for the token leave none for a new one");
}

void HttpServer::Impl::adopt(const std::shared_ptr<Link>& link, const asio::ip::address& address,
                             const std::string* person) {
    links_[link.get()] =
        Entry{link, address, person != nullptr, person ? *person : std::string(), ++adopted_};
    if (!person)
        ++unproven_;
    open = links_.size();
}

void HttpServer::Impl::prove(Link* link, const std::string& person) {
    const auto found = links_.find(link);
    if (found == links_.end())
        return;
    found->second.person = person;
    if (found->second.proven)
        return;
    found->second.proven = true;
    --unproven_;
}

void HttpServer::Impl::closeOf(const std::string& person) {
    std::vector<std::shared_ptr<Link>> ending;
    for (const auto& [raw, entry] : links_)
        if (entry.proven && entry.person == person)
            ending.push_back(entry.link);
    for (const auto& link : ending) {
        release(link.get());
        link->revoke();
    }
}

void HttpServer::Impl::release(Link* link) {
    const auto found = links_.find(link);
    if (found == links_.end())
        return; // made way earlier
    if (!found->second.proven)
        --unproven_;
    links_.erase(found);
    open = links_.size();
}

bool HttpServer::Impl::admit(const asio::ip::address& address) {
    std::size_t fromAddress = 0;
    Link* oldest = nullptr;
    std::uint64_t oldestOrder = 0;
    for (const auto& [raw, entry] : links_) {
        if (entry.proven)
            continue;
        if (entry.address == address)
            ++fromAddress;
        if (!oldest || entry.order < oldestOrder) {
            oldest = raw;
            oldestOrder = entry.order;
        }
    }
    if (fromAddress >= config.perAddressLimit)
        return false;
    const bool roomForNew = unproven_ < config.maxConnections - config.reservedForToken &&
                            links_.size() < config.maxConnections;
    if (roomForNew)
        return true;
    if (!oldest)
        return false; // all of them have shown the token
    // The oldest connection without the token makes way: a stranger who
    // holds connections from many addresses still cannot keep a new one out.
    const std::shared_ptr<Link> link = links_[oldest].link;
    release(oldest);
    link->close();
    return true;
}

void HttpServer::Impl::accepted(tcp::socket socket) {
    beast::error_code error;
    const tcp::endpoint peer = socket.remote_endpoint(error);
    if (error)
        return; // gone already
    // An answer's last segment leaves at once instead of waiting for the
    // client's (delayed) acknowledgement of the one before: over TLS every
    // answer larger than a record is written in several pieces, and each such
    // answer took 40 ms more than over plain HTTP.
    socket.set_option(tcp::no_delay(true), error);
    const auto tls = credentials();
    if (!admit(peer.address()))
        return refuseBusy(std::move(socket), tls != nullptr);
    if (tls) {
        auto connection = std::make_shared<HttpConnection<TlsStream>>(
            *this, TlsStream(std::move(socket), *tls->context), peer.address(), tls);
        adopt(connection, peer.address(), nullptr);
        connection->start();
    } else {
        auto connection = std::make_shared<HttpConnection<PlainStream>>(
            *this, PlainStream(std::move(socket)), peer.address(), nullptr);
        adopt(connection, peer.address(), nullptr);
        connection->start();
    }
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
        if (!error)
            accepted(std::move(socket));
        accept();
    });
}

void HttpServer::Impl::closeAll() {
    auto links = std::move(links_);
    links_.clear();
    for (auto& [raw, entry] : links)
        entry.link->close();
    unproven_ = 0;
    open = 0;
}

HttpServer::HttpServer(ServerConfig config) : impl_(std::make_unique<Impl>(std::move(config))) {}

HttpServer::~HttpServer() = default;

unsigned short HttpServer::port() const {
    return impl_->config.port;
}

std::string HttpServer::origin() const {
    return impl_->origins.front();
}

std::vector<std::string> HttpServer::origins() const {
    return impl_->origins;
}

bool HttpServer::secure() const {
    return impl_->guard.secure;
}

std::string HttpServer::certificateFingerprint() const {
    const auto credentials = impl_->credentials();
    return credentials ? credentials->fingerprint : std::string();
}

void HttpServer::reloadCertificate() {
    if (!impl_->config.tls)
        throw std::runtime_error("this server has no certificate to reload");
    impl_->setCredentials(
        loadTlsCredentials(impl_->config.tls->certificate, impl_->config.tls->key));
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

void HttpServer::setToken(std::string token) {
    impl_->access->setOwnerToken(token);
    asio::post(impl_->io, [this, token = std::move(token)] {
        impl_->guard.token = token;
        impl_->closeOf(std::string(ownerName));
    });
}

void HttpServer::endAccess(std::string name) {
    asio::post(impl_->io, [this, name = std::move(name)] { impl_->closeOf(name); });
}

std::size_t HttpServer::connections() const {
    return impl_->open;
}

} // namespace Vornctl::Serve
