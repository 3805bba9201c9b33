#pragma once

// A blocking HTTP/1.1 client that talks to a proxy on 127.0.0.1: requests
// carry absolute-form targets ("GET http://host:port/path HTTP/1.1"), the
// connection is kept alive between requests, and every exchange is bounded.

#include <chrono>
#include <cstddef>
#include <optional>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/system/error_code.hpp>

#include "standins/http_body.hpp"

namespace standin {

using namespace std::chrono_literals;

struct http_request_t {
    std::string method = "GET";
    // Absolute URL, e.g. "http://127.0.0.1:8080/page"; the Host field is
    // taken from it.
    std::string url;
    // Further fields, written after Host.
    std::vector<std::pair<std::string, std::string>> fields;
    // Sent when it is not empty or when the method is POST.
    std::string body;
    // Content-Length or chunked; close is not a request framing.
    framing_t framing = framing_t::length;
};

struct http_reply_t {
    unsigned status = 0;
    std::string reason;
    std::vector<std::pair<std::string, std::string>> fields;
    std::string body;

    // The first value of the field, names compared without regard to case.
    std::optional<std::string> field(const std::string& name) const;
    // The head as text, for failure messages.
    std::string head_text() const;
};

// Thrown by http_client_t::exchange when the answer's head arrived but the
// rest did not: the connection ended or failed in the middle of the body.
// It carries what arrived, for a caller that tells one way of breaking off
// from another.
class answer_broke_off_t : public std::runtime_error {
public:
    answer_broke_off_t(const std::string& what, http_reply_t partial, boost::system::error_code error)
        : std::runtime_error(what), partial_(std::move(partial)), error_(error)
    {
    }
    // The status, the fields and the body bytes that arrived.
    const http_reply_t& partial() const { return partial_; }
    // Why the reading ended, e.g. boost::beast::http::error::partial_message
    // for the end of the connection before the end of the body.
    const boost::system::error_code& error() const { return error_; }

private:
    http_reply_t partial_;
    boost::system::error_code error_;
};

class http_client_t {
public:
    explicit http_client_t(unsigned proxy_port);
    ~http_client_t();
    http_client_t(const http_client_t&) = delete;
    http_client_t& operator=(const http_client_t&) = delete;

    // Sends the request on the kept-alive connection (connecting first when
    // there is none) and reads the whole answer. Throws std::runtime_error
    // naming the request when no complete answer arrives within the limit
    // or the connection fails, answer_broke_off_t when it fails after the
    // answer's head; the connection is then closed. A kept connection that
    // ends before any byte of an answer gets the request once more, on a new
    // connection, as a browser sends it.
    http_reply_t exchange(const http_request_t& request, std::chrono::milliseconds limit = 60s);
    http_reply_t get(const std::string& url, std::chrono::milliseconds limit = 60s);
    http_reply_t post(const std::string& url, std::string body, framing_t framing,
                      std::chrono::milliseconds limit = 60s);

    // Whether a connection is open (kept alive after the last answer).
    bool connected() const;

private:
    void connect(std::chrono::steady_clock::time_point deadline, const std::string& what);
    // One request and its answer; nothing, with the connection closed, when
    // the connection was a kept one and ended before any byte of an answer.
    std::optional<http_reply_t> send_and_read(const http_request_t& request,
                                              std::chrono::steady_clock::time_point deadline,
                                              std::chrono::milliseconds limit, bool kept);
    void close();
    // Runs the loop until `done` or the deadline; false on the deadline.
    template <class Done>
    bool run_until(std::chrono::steady_clock::time_point deadline, Done&& done);

    unsigned port_;
    boost::asio::io_context io_;
    boost::asio::ip::tcp::socket socket_;
    boost::beast::flat_buffer buffer_;
};

} // namespace standin
