#pragma once

#include <iosfwd>
#include <memory>
#include <string>

#include <boost/asio/any_io_executor.hpp>
#include <boost/asio/io_context.hpp>

#include "common/buffer.hpp"
#include "io/stream.hpp"
#include "protocol/body_stream.hpp"
#include "protocol/icap_version.hpp"
#include "protocol/param_map.hpp"

namespace io::icap {

// An ICAP answer as the handler builds it. The heads are already in wire
// form and the body already framed; the handler writes the Encapsulated
// field itself.
struct response_t {
    version_t version;
    int code = -1;
    std::string reason;
    io::http::param_map_t fields;
    orx::buffer_t req_head;
    orx::buffer_t res_head;
    body_type_t body_type = body_type_t::null_body;
    std::shared_ptr<io::http::body_stream_t> body;
    // The head text and both HTTP heads as make_head() gives them, kept for
    // an answer that is sent again unchanged, so that they are put together
    // once; empty otherwise. Whoever sets it changes nothing else after.
    orx::buffer_t made_head;
    // Whether the kept answer closes its connection, read as its head is
    // kept.
    bool made_head_closes = false;

    static std::shared_ptr<response_t> make();

    // The head text and both HTTP heads as one buffer (made_head when set).
    orx::buffer_t make_head() const;
    // Keeps the head as it is now (made_head), for an answer sent again
    // unchanged.
    void keep_head();
    // Whether the connection closes once the answer is written: read once
    // for a kept answer, whose fields are not searched at every query.
    bool closes_connection() const;
    // The head text and both HTTP heads as one buffer, then the body.
    io::stream_t::pointer_t make_stream(const boost::asio::any_io_executor& executor) const;
    io::stream_t::pointer_t make_stream(boost::asio::io_context& context) const;
};

// The ICAP head text, ending with the empty line.
std::ostream& operator<<(std::ostream& out, const response_t& response);

} // namespace io::icap
