#include "standins/origin_server.hpp"

#include <array>
#include <charconv>
#include <optional>

#include <boost/asio/ip/address_v4.hpp>
#include <boost/asio/write.hpp>
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/http/read.hpp>
#include <boost/beast/http/string_body.hpp>

namespace standin {

namespace {

namespace asio = boost::asio;
namespace http = boost::beast::http;
using tcp = asio::ip::tcp;

// Larger bodies are refused rather than buffered.
constexpr std::size_t body_limit = 256u << 20;

std::string head(const std::string& status, const std::vector<std::string>& fields)
{
    std::string text = "HTTP/1.1 " + status + "\r\n";
    for (const std::string& field : fields)
        text += field + "\r\n";
    return text + "\r\n";
}

std::string with_length(const std::string& status, std::string body, bool keep_alive,
                        std::vector<std::string> fields = {})
{
    fields.push_back("Content-Length: " + std::to_string(body.size()));
    if (!keep_alive)
        fields.push_back("Connection: close");
    return head(status, fields) + body;
}

// "/<label>/<size>/<framing>" taken apart; nothing when the target is not
// of that form.
std::optional<std::pair<std::size_t, framing_t>> page_of(std::string_view target)
{
    const std::size_t last = target.rfind('/');
    if (last == std::string_view::npos || last == 0)
        return std::nullopt;
    const std::size_t middle = target.rfind('/', last - 1);
    if (middle == std::string_view::npos || middle == 0)
        return std::nullopt;
    const std::string_view size_text = target.substr(middle + 1, last - middle - 1);
    std::size_t size = 0;
    const auto [end, error] = std::from_chars(size_text.data(), size_text.data() + size_text.size(), size);
    if (error != std::errc() || end != size_text.data() + size_text.size() || size > body_limit)
        return std::nullopt;
    const std::string_view name = target.substr(last + 1);
    for (framing_t framing : {framing_t::length, framing_t::chunked, framing_t::close})
        if (name == framing_name(framing))
            return std::make_pair(size, framing);
    return std::nullopt;
}

} // namespace

// One client connection: reads a request, writes its answer, and reads the
// next while the connection is kept alive. The pending operation keeps the
// session alive; when the server's loop goes, so does the session.
class origin_server_t::session_t : public std::enable_shared_from_this<session_t> {
public:
    session_t(origin_server_t& owner, tcp::socket socket) : owner_(owner), socket_(std::move(socket)) {}

    void read_request()
    {
        parser_.emplace();
        parser_->body_limit(body_limit);
        http::async_read(socket_, buffer_, *parser_,
                         [self = shared_from_this()](const boost::system::error_code& ec, std::size_t) {
                             if (!ec)
                                 self->answer();
                         });
    }

private:
    void answer()
    {
        const http::request<http::string_body>& request = parser_->get();
        origin_request_t record;
        record.method = std::string(request.method_string());
        record.target = std::string(request.target());
        for (const auto& field : request)
            record.fields.emplace_back(std::string(field.name_string()), std::string(field.value()));
        record.body_size = request.body().size();
        record.body_sha256 = sha256_hex(request.body());
        record.chunked = parser_->chunked();
        owner_.record(record);

        bool keep_alive = parser_->keep_alive();
        if (request.method() == http::verb::post) {
            const std::string length = std::to_string(record.body_size);
            out_ = with_length("200 OK", length + " " + record.body_sha256 + "\n", keep_alive,
                               {"Content-Type: text/plain", "X-Received-Length: " + length,
                                "X-Received-Sha256: " + record.body_sha256});
        } else if (const auto page = request.method() == http::verb::get ? page_of(record.target) : std::nullopt) {
            const auto [size, framing] = *page;
            const std::string type = "Content-Type: application/octet-stream";
            switch (framing) {
            case framing_t::length:
                out_ = with_length("200 OK", payload(size), keep_alive, {type});
                break;
            case framing_t::chunked: {
                std::vector<std::string> fields{type, "Transfer-Encoding: chunked"};
                if (!keep_alive)
                    fields.push_back("Connection: close");
                out_ = head("200 OK", fields) + chunked(payload(size));
                break;
            }
            case framing_t::close:
                out_ = head("200 OK", {type, "Connection: close"}) + payload(size);
                keep_alive = false;
                break;
            }
        } else {
            out_ = with_length("404 Not Found", "not found\n", keep_alive, {"Content-Type: text/plain"});
        }
        asio::async_write(socket_, asio::buffer(out_),
                          [self = shared_from_this(), keep_alive](const boost::system::error_code& ec, std::size_t) {
                              if (ec)
                                  return;
                              if (keep_alive) {
                                  self->read_request();
                              } else {
                                  boost::system::error_code ignored;
                                  self->socket_.shutdown(tcp::socket::shutdown_send, ignored);
                                  self->drain();
                              }
                          });
    }

    // After the last answer, reads until the peer closes, so that the
    // closing does not reset a connection the peer still reads from.
    void drain()
    {
        socket_.async_read_some(asio::buffer(drain_chunk_),
                                [self = shared_from_this()](const boost::system::error_code& ec, std::size_t) {
                                    if (!ec)
                                        self->drain();
                                });
    }

    origin_server_t& owner_;
    tcp::socket socket_;
    boost::beast::flat_buffer buffer_;
    std::optional<http::request_parser<http::string_body>> parser_;
    std::string out_;
    std::array<char, 4096> drain_chunk_;
};

origin_server_t::origin_server_t()
    : work_(io_.get_executor()),
      acceptor_(io_, tcp::endpoint(asio::ip::address_v4::loopback(), 0)),
      port_(acceptor_.local_endpoint().port())
{
    accept();
    thread_ = std::thread([this] { io_.run(); });
}

origin_server_t::~origin_server_t()
{
    work_.reset();
    io_.stop();
    thread_.join();
}

std::string origin_server_t::page_url(std::size_t size, framing_t framing, const std::string& label) const
{
    return "http://127.0.0.1:" + std::to_string(port_) + "/" + label + "/" + std::to_string(size) + "/" +
           framing_name(framing);
}

std::string origin_server_t::upload_url(const std::string& label) const
{
    return "http://127.0.0.1:" + std::to_string(port_) + "/" + label;
}

std::vector<origin_request_t> origin_server_t::requests() const
{
    std::lock_guard lock(mutex_);
    return requests_;
}

void origin_server_t::accept()
{
    acceptor_.async_accept([this](const boost::system::error_code& ec, tcp::socket socket) {
        if (ec == asio::error::operation_aborted)
            return;
        if (!ec)
            std::make_shared<session_t>(*this, std::move(socket))->read_request();
        accept();
    });
}

void origin_server_t::record(origin_request_t request)
{
    std::lock_guard lock(mutex_);
    requests_.push_back(std::move(request));
}

} // namespace standin
