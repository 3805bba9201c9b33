#pragma once

// An HTTP origin server for tests that put a proxy between a client and the
// web: it listens on a free port of 127.0.0.1 and serves on a thread of its
// own, with persistent connections.
//
//   GET /<label>/<size>/<framing>   answers 200 with payload(size), framed
//                                   by Content-Length ("length"), chunked
//                                   ("chunked") or the end of the
//                                   connection ("close"); the label is free,
//                                   so that tests can tell URLs apart.
//   POST <any target>               reads the body (Content-Length or
//                                   chunked) and answers 200 with
//                                   "X-Received-Length" and
//                                   "X-Received-Sha256" and a body
//                                   "<length> <sha256>\n".
//
// Anything else gets 404. Every request is recorded. The destructor closes
// every connection and joins the thread; nothing in the server waits
// without an end.

#include <cstddef>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>

#include "standins/http_body.hpp"

namespace standin {

// One request as the origin received it.
struct origin_request_t {
    std::string method;
    std::string target;
    std::vector<std::pair<std::string, std::string>> fields;
    std::size_t body_size = 0;
    std::string body_sha256;
    bool chunked = false;
};

class origin_server_t {
public:
    origin_server_t();
    ~origin_server_t();
    origin_server_t(const origin_server_t&) = delete;
    origin_server_t& operator=(const origin_server_t&) = delete;

    unsigned port() const { return port_; }
    // "http://127.0.0.1:<port>/<label>/<size>/<framing>"
    std::string page_url(std::size_t size, framing_t framing, const std::string& label = "page") const;
    // "http://127.0.0.1:<port>/<label>"
    std::string upload_url(const std::string& label = "upload") const;

    // Every request received so far, in order of arrival.
    std::vector<origin_request_t> requests() const;

private:
    class session_t;

    void accept();
    void record(origin_request_t request);

    boost::asio::io_context io_;
    boost::asio::executor_work_guard<boost::asio::io_context::executor_type> work_;
    boost::asio::ip::tcp::acceptor acceptor_;
    unsigned port_ = 0;

    mutable std::mutex mutex_;
    // Guarded by mutex_.
    std::vector<origin_request_t> requests_;

    // Declared last: the loop stops before anything it uses goes.
    std::thread thread_;
};

} // namespace standin
