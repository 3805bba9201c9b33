#include "soak/icap_tap.hpp"

#include <array>
#include <deque>

#include <boost/asio/connect.hpp>
#include <boost/asio/ip/address_v4.hpp>
#include <boost/asio/write.hpp>

#include "soak/icap_stream.hpp"

namespace soak {

namespace {

namespace asio = boost::asio;
using tcp = asio::ip::tcp;

// The HTTP URL of an encapsulated request line "GET <url> HTTP/1.1".
std::string url_of(const std::string& request_line)
{
    const std::size_t first = request_line.find(' ');
    if (first == std::string::npos)
        return {};
    const std::size_t second = request_line.find(' ', first + 1);
    return request_line.substr(first + 1, second == std::string::npos ? std::string::npos : second - first - 1);
}

} // namespace

// One connection from Squid and its twin to the daemon. The pending
// operations keep it alive; when the tap's loop goes, so does the relay.
class icap_tap_t::relay_t : public std::enable_shared_from_this<relay_t> {
public:
    relay_t(icap_tap_t& owner, tcp::socket squid)
        : owner_(owner),
          squid_(std::move(squid)),
          daemon_(squid_.get_executor()),
          queries_([this](const icap_message_t& query) { query_begun(query); }, [](const icap_message_t&) {}),
          answers_([this](const icap_message_t& answer) { answer_begun(answer); },
                   [this](const icap_message_t& answer) { answer_ended(answer); })
    {
    }

    void start(unsigned daemon_port)
    {
        daemon_.async_connect(tcp::endpoint(asio::ip::address_v4::loopback(), static_cast<unsigned short>(daemon_port)),
                              [self = shared_from_this()](const boost::system::error_code& ec) {
                                  if (ec) {
                                      self->close();
                                      return;
                                  }
                                  self->pump(query_direction);
                                  self->pump(answer_direction);
                              });
    }

private:
    static constexpr std::size_t query_direction = 0;
    static constexpr std::size_t answer_direction = 1;

    struct direction_t {
        std::array<char, 65536> buffer;
        bool ended = false;
    };

    tcp::socket& from(std::size_t d) { return d == query_direction ? squid_ : daemon_; }
    tcp::socket& to(std::size_t d) { return d == query_direction ? daemon_ : squid_; }
    icap_stream_t& stream(std::size_t d) { return d == query_direction ? queries_ : answers_; }

    void pump(std::size_t d)
    {
        from(d).async_read_some(asio::buffer(directions_[d].buffer),
                                [self = shared_from_this(), d](const boost::system::error_code& ec, std::size_t n) {
                                    if (n > 0) {
                                        self->stream(d).feed(std::string_view(self->directions_[d].buffer.data(), n));
                                        self->note_broken();
                                    }
                                    if (ec) {
                                        self->source_ended(d, ec);
                                        return;
                                    }
                                    asio::async_write(self->to(d), asio::buffer(self->directions_[d].buffer.data(), n),
                                                      [self, d](const boost::system::error_code& error, std::size_t) {
                                                          if (error)
                                                              self->close();
                                                          else
                                                              self->pump(d);
                                                      });
                                });
    }

    void source_ended(std::size_t d, const boost::system::error_code& ec)
    {
        if (d == answer_direction && !answers_.between_messages())
            trouble("the connection ended (" + ec.message() + ") in the middle of the answer, " +
                    (directions_[query_direction].ended ? "after Squid's side had ended"
                                                        : "while Squid's side was still open"));
        directions_[d].ended = true;
        if (ec != asio::error::eof || directions_[1 - d].ended) {
            close();
            return;
        }
        boost::system::error_code ignored;
        to(d).shutdown(tcp::socket::shutdown_send, ignored);
    }

    void query_begun(const icap_message_t& query)
    {
        // Answers come in the order of the queries; only RESPMOD answers
        // are recorded.
        pending_.push_back(query.start_line.starts_with("RESPMOD") ? url_of(query.http_start_line) : std::string());
    }

    void answer_begun(const icap_message_t& answer)
    {
        if (!pending_.empty())
            current_.start_line = answer.start_line;
    }

    void answer_ended(const icap_message_t& answer)
    {
        if (answer.start_line.starts_with("ICAP/1.0 100"))
            return;
        if (pending_.empty()) {
            owner_.record_broken("an answer without a query: " + answer.start_line);
            return;
        }
        current_.ended = true;
        current_.body_size = answer.body_size;
        if (!pending_.front().empty())
            owner_.record(pending_.front(), current_);
        pending_.pop_front();
        current_ = tapped_answer_t{};
    }

    void trouble(const std::string& why)
    {
        if (pending_.empty())
            return;
        current_.trouble = why;
        current_.body_size = answers_.current().body_size;
        if (!pending_.front().empty())
            owner_.record(pending_.front(), current_);
    }

    void note_broken()
    {
        if (!queries_.broken().empty() && !reported_queries_) {
            reported_queries_ = true;
            owner_.record_broken("Squid's side: " + queries_.broken());
        }
        if (!answers_.broken().empty() && !reported_answers_) {
            reported_answers_ = true;
            owner_.record_broken("the daemon's side: " + answers_.broken());
            trouble("the daemon's answer is not ICAP framing: " + answers_.broken());
        }
    }

    void close()
    {
        note_broken();
        boost::system::error_code ignored;
        squid_.close(ignored);
        daemon_.close(ignored);
    }

    icap_tap_t& owner_;
    tcp::socket squid_;
    tcp::socket daemon_;
    icap_stream_t queries_;
    icap_stream_t answers_;
    std::array<direction_t, 2> directions_;
    // The URLs of the queries not answered yet, oldest first; empty for
    // queries other than RESPMOD.
    std::deque<std::string> pending_;
    tapped_answer_t current_;
    bool reported_queries_ = false;
    bool reported_answers_ = false;
};

icap_tap_t::icap_tap_t(unsigned daemon_port)
    : daemon_port_(daemon_port),
      work_(io_.get_executor()),
      acceptor_(io_, tcp::endpoint(asio::ip::address_v4::loopback(), 0)),
      port_(acceptor_.local_endpoint().port())
{
    accept();
    thread_ = std::thread([this] { io_.run(); });
}

icap_tap_t::~icap_tap_t()
{
    work_.reset();
    io_.stop();
    thread_.join();
}

std::map<std::string, tapped_answer_t> icap_tap_t::answers() const
{
    std::lock_guard lock(mutex_);
    return answers_;
}

std::vector<std::string> icap_tap_t::broken() const
{
    std::lock_guard lock(mutex_);
    return broken_;
}

void icap_tap_t::accept()
{
    acceptor_.async_accept([this](const boost::system::error_code& ec, tcp::socket socket) {
        if (ec == asio::error::operation_aborted)
            return;
        if (!ec)
            std::make_shared<relay_t>(*this, std::move(socket))->start(daemon_port_);
        accept();
    });
}

void icap_tap_t::record(const std::string& url, const tapped_answer_t& answer)
{
    std::lock_guard lock(mutex_);
    answers_[url] = answer;
}

void icap_tap_t::record_broken(const std::string& why)
{
    std::lock_guard lock(mutex_);
    broken_.push_back(why);
}

} // namespace soak
