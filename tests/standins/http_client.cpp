#include "standins/http_client.hpp"

#include <stdexcept>

#include <boost/algorithm/string/predicate.hpp>
#include <boost/asio/connect.hpp>
#include <boost/asio/ip/address_v4.hpp>
#include <boost/asio/write.hpp>
#include <boost/beast/http/read.hpp>
#include <boost/beast/http/string_body.hpp>

namespace standin {

namespace {

namespace asio = boost::asio;
namespace http = boost::beast::http;
using tcp = asio::ip::tcp;
using steady_clock_t = std::chrono::steady_clock;

constexpr std::size_t body_limit = 256u << 20;

// "host:port" of an absolute URL.
std::string authority(const std::string& url)
{
    const std::size_t scheme_end = url.find("://");
    if (scheme_end == std::string::npos)
        throw std::invalid_argument("not an absolute URL: " + url);
    const std::size_t start = scheme_end + 3;
    return url.substr(start, url.find('/', start) - start);
}

std::string wire_request(const http_request_t& request)
{
    std::string wire = request.method + " " + request.url + " HTTP/1.1\r\nHost: " + authority(request.url) + "\r\n";
    for (const auto& [name, value] : request.fields)
        wire += name + ": " + value + "\r\n";
    if (request.body.empty() && request.method != "POST")
        return wire + "\r\n";
    switch (request.framing) {
    case framing_t::length:
        return wire + "Content-Length: " + std::to_string(request.body.size()) + "\r\n\r\n" + request.body;
    case framing_t::chunked:
        return wire + "Transfer-Encoding: chunked\r\n\r\n" + chunked(request.body);
    case framing_t::close:
        break;
    }
    throw std::invalid_argument("a request body cannot be delimited by the end of the connection");
}

http_reply_t reply_of(http::response<http::string_body> message)
{
    http_reply_t reply;
    reply.status = message.result_int();
    reply.reason = std::string(message.reason());
    for (const auto& field : message)
        reply.fields.emplace_back(std::string(field.name_string()), std::string(field.value()));
    reply.body = std::move(message.body());
    return reply;
}

} // namespace

std::optional<std::string> http_reply_t::field(const std::string& name) const
{
    for (const auto& [n, v] : fields)
        if (boost::algorithm::iequals(n, name))
            return v;
    return std::nullopt;
}

std::string http_reply_t::head_text() const
{
    std::string text = std::to_string(status) + " " + reason + "\n";
    for (const auto& [n, v] : fields)
        text += n + ": " + v + "\n";
    return text;
}

http_client_t::http_client_t(unsigned proxy_port) : port_(proxy_port), socket_(io_) {}

http_client_t::~http_client_t()
{
    close();
}

bool http_client_t::connected() const
{
    return socket_.is_open();
}

template <class Done>
bool http_client_t::run_until(steady_clock_t::time_point deadline, Done&& done)
{
    io_.restart();
    while (!done()) {
        const auto now = steady_clock_t::now();
        if (now >= deadline)
            return false;
        if (io_.run_one_for(deadline - now) == 0 && io_.stopped())
            return done();
    }
    return true;
}

void http_client_t::close()
{
    boost::system::error_code ignored;
    socket_.close(ignored);
    buffer_.consume(buffer_.size());
    // The handlers of cancelled operations refer to the caller's frame:
    // they run here, before it goes.
    io_.restart();
    io_.run();
}

void http_client_t::connect(steady_clock_t::time_point deadline, const std::string& what)
{
    bool done = false;
    boost::system::error_code result;
    socket_.async_connect(tcp::endpoint(asio::ip::address_v4::loopback(), static_cast<unsigned short>(port_)),
                          [&](const boost::system::error_code& ec) {
                              done = true;
                              result = ec;
                          });
    const bool in_time = run_until(deadline, [&] { return done; });
    if (in_time && !result)
        return;
    close();
    throw std::runtime_error(what + ": cannot connect to the proxy on 127.0.0.1:" + std::to_string(port_) + ": " +
                             (in_time ? result.message() : std::string("no connection in time")));
}

http_reply_t http_client_t::exchange(const http_request_t& request, std::chrono::milliseconds limit)
{
    const auto deadline = steady_clock_t::now() + limit;
    // A proxy may close a kept-alive connection just as the next request
    // goes out on it. A browser then sends the request once more on a new
    // connection, and so does this client, but only when the connection was
    // a kept one and not a byte of an answer came back on it.
    if (socket_.is_open()) {
        if (auto reply = send_and_read(request, deadline, limit, true))
            return std::move(*reply);
    }
    return std::move(*send_and_read(request, deadline, limit, false));
}

std::optional<http_reply_t> http_client_t::send_and_read(const http_request_t& request,
                                                         steady_clock_t::time_point deadline,
                                                         std::chrono::milliseconds limit, bool kept)
{
    std::string what = request.method + " " + request.url;
    const std::string wire = wire_request(request);
    if (!socket_.is_open())
        connect(deadline, what);
    // The client's port names the connection in the proxy's logs.
    boost::system::error_code unnamed;
    const auto local = socket_.local_endpoint(unnamed);
    if (!unnamed)
        what += " from port " + std::to_string(local.port());

    http::response_parser<http::string_body> parser;
    parser.body_limit(body_limit);
    bool written = false;
    bool read = false;
    boost::system::error_code write_error;
    boost::system::error_code read_error;
    // Reading starts with writing: a proxy may answer (a refusal, say)
    // before it has taken the whole body.
    asio::async_write(socket_, asio::buffer(wire), [&](const boost::system::error_code& ec, std::size_t) {
        written = true;
        write_error = ec;
    });
    http::async_read(socket_, buffer_, parser, [&](const boost::system::error_code& ec, std::size_t) {
        read = true;
        read_error = ec;
    });
    const bool in_time = run_until(deadline, [&] { return read; });
    if (kept && in_time && read_error && !parser.got_some() && buffer_.size() == 0) {
        close();
        return std::nullopt;
    }
    if (!in_time || read_error) {
        const std::string got = parser.is_header_done()
                                    ? "after the head and " + std::to_string(parser.get().body().size()) +
                                          " bytes of body:\n" + std::to_string(parser.get().result_int()) + " " +
                                          std::string(parser.get().reason())
                                    : "before a complete head";
        const std::string text = what +
                                 (in_time ? ": the answer broke off (" + read_error.message() + ") "
                                          : ": no complete answer within " + std::to_string(limit.count()) + " ms, ") +
                                 got;
        if (!in_time || !parser.is_header_done()) {
            close();
            throw std::runtime_error(text);
        }
        http_reply_t partial = reply_of(parser.release());
        close();
        throw answer_broke_off_t(text, std::move(partial), read_error);
    }

    const bool keep_alive = parser.keep_alive();
    http_reply_t reply = reply_of(parser.release());
    if (!written || write_error || !keep_alive)
        close();
    return reply;
}

http_reply_t http_client_t::get(const std::string& url, std::chrono::milliseconds limit)
{
    http_request_t request;
    request.url = url;
    return exchange(request, limit);
}

http_reply_t http_client_t::post(const std::string& url, std::string body, framing_t framing,
                                 std::chrono::milliseconds limit)
{
    http_request_t request;
    request.method = "POST";
    request.url = url;
    request.body = std::move(body);
    request.framing = framing;
    return exchange(request, limit);
}

} // namespace standin
