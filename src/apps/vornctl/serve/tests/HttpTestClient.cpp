#include "HttpTestClient.h"

#include <boost/asio/connect.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/write.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <boost/beast/websocket.hpp>

#include <deque>

namespace ServeTest {
namespace {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
namespace websocket = beast::websocket;
using tcp = asio::ip::tcp;

tcp::endpoint server(unsigned short port) {
    return {asio::ip::make_address("127.0.0.1"), port};
}

// Runs the io_context until `done` or the deadline; at the deadline `cancel`
// ends the operation and its handler runs.
template <class Cancel>
bool runUntil(asio::io_context& io, const bool& done, std::chrono::milliseconds timeout,
              Cancel cancel) {
    io.restart();
    io.run_for(timeout);
    if (done)
        return true;
    cancel();
    io.restart();
    io.run();
    return false;
}

std::string lowercase(std::string text) {
    for (char& c : text)
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c - 'A' + 'a');
    return text;
}

} // namespace

class Connection::Impl {
public:
    asio::io_context io;
    tcp::socket socket{io};
    beast::flat_buffer buffer;
};

Connection::Connection(unsigned short port) : impl_(std::make_unique<Impl>()) {
    impl_->socket.connect(server(port));
}

Connection::Connection(unsigned short port, const std::string& from)
    : impl_(std::make_unique<Impl>()) {
    impl_->socket.open(tcp::v4());
    impl_->socket.bind({asio::ip::make_address(from), 0});
    impl_->socket.connect(server(port));
}

Connection::~Connection() = default;

bool Connection::send(const std::string& bytes) {
    beast::error_code error;
    asio::write(impl_->socket, asio::buffer(bytes), error);
    return !error;
}

std::optional<Response> Connection::read(std::chrono::milliseconds timeout, bool toHead) {
    http::response_parser<http::string_body> parser;
    parser.body_limit(64 << 20);
    parser.skip(toHead);
    bool done = false;
    beast::error_code failure;
    http::async_read(impl_->socket, impl_->buffer, parser,
                     [&](beast::error_code error, std::size_t) {
                         failure = error;
                         done = true;
                     });
    if (!runUntil(impl_->io, done, timeout, [&] { impl_->socket.cancel(); }) || failure)
        return std::nullopt;
    Response response;
    const auto& message = parser.get();
    response.status = static_cast<int>(message.result_int());
    for (const auto& field : message)
        response.headers[lowercase(std::string(field.name_string()))] = std::string(field.value());
    response.body = message.body();
    return response;
}

bool Connection::closedWithin(std::chrono::milliseconds timeout) {
    bool done = false;
    bool closed = false;
    std::function<void()> readMore;
    std::array<char, 4096> scratch{};
    readMore = [&] {
        impl_->socket.async_read_some(asio::buffer(scratch),
                                      [&](beast::error_code error, std::size_t) {
                                          if (error) {
                                              closed = error != asio::error::operation_aborted;
                                              done = true;
                                              return;
                                          }
                                          readMore();
                                      });
    };
    readMore();
    runUntil(impl_->io, done, timeout, [&] { impl_->socket.cancel(); });
    return closed;
}

std::string requestText(unsigned short port, const std::string& method, const std::string& target,
                        const std::vector<std::string>& headers, const std::string& body) {
    std::string text =
        method + " " + target + " HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(port) + "\r\n";
    for (const auto& line : headers)
        text += line + "\r\n";
    if (!body.empty() || method == "PUT" || method == "POST")
        text += "Content-Length: " + std::to_string(body.size()) + "\r\n";
    return text + "\r\n" + body;
}

std::optional<Response> exchange(unsigned short port, const std::string& method,
                                 const std::string& target, const std::vector<std::string>& headers,
                                 const std::string& body) {
    Connection connection(port);
    if (!connection.send(requestText(port, method, target, headers, body)))
        return std::nullopt;
    return connection.read(20s);
}

class EventClient::Impl {
public:
    asio::io_context io;
    websocket::stream<tcp::socket> socket{io};
    beast::flat_buffer buffer;
    std::deque<std::string> lines;
};

EventClient::EventClient() : impl_(std::make_unique<Impl>()) {}

EventClient::~EventClient() = default;

int EventClient::connect(unsigned short port, const std::string& target,
                         const std::vector<std::string>& headers) {
    impl_->socket.next_layer().connect(server(port));
    impl_->socket.set_option(
        websocket::stream_base::decorator([headers](websocket::request_type& request) {
            for (const auto& line : headers) {
                const auto colon = line.find(':');
                request.set(line.substr(0, colon), line.substr(colon + 2));
            }
        }));
    websocket::response_type response;
    beast::error_code error;
    impl_->socket.handshake(response, "127.0.0.1:" + std::to_string(port), target, error);
    return static_cast<int>(response.result_int());
}

std::optional<std::string> EventClient::next(std::chrono::milliseconds timeout) {
    if (impl_->lines.empty()) {
        bool done = false;
        beast::error_code failure;
        impl_->buffer.clear();
        impl_->socket.async_read(impl_->buffer, [&](beast::error_code error, std::size_t) {
            failure = error;
            done = true;
        });
        if (!runUntil(impl_->io, done, timeout,
                      [&] { beast::get_lowest_layer(impl_->socket).cancel(); }) ||
            failure)
            return std::nullopt;
        const std::string text = beast::buffers_to_string(impl_->buffer.data());
        std::size_t start = 0;
        while (start <= text.size()) {
            const auto end = text.find('\n', start);
            impl_->lines.push_back(text.substr(start, end - start));
            if (end == std::string::npos)
                break;
            start = end + 1;
        }
    }
    std::string line = std::move(impl_->lines.front());
    impl_->lines.pop_front();
    return line;
}

} // namespace ServeTest
