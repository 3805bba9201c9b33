#pragma once

#include <iosfwd>
#include <memory>
#include <string>

#include <boost/asio/any_io_executor.hpp>
#include <boost/asio/io_context.hpp>

#include "common/buffer.hpp"
#include "common/url.hpp"
#include "io/stream.hpp"
#include "protocol/body_stream.hpp"
#include "protocol/icap_version.hpp"
#include "protocol/param_map.hpp"

namespace io::icap {

// An ICAP query: its start line, ICAP fields, the encapsulated HTTP heads as
// received and its body as decoded chunks. The Encapsulated offsets are not
// kept; they follow from the sizes of the two heads.
struct request_t {
    std::string method;
    ox::oxs::url_t url;
    version_t version;
    io::http::param_map_t fields;
    orx::buffer_t req_head;
    orx::buffer_t res_head;
    body_type_t body_type = body_type_t::null_body;
    std::shared_ptr<io::http::body_stream_t> body;

    static std::shared_ptr<request_t> make();

    // The head text, the two HTTP heads, then the body.
    io::stream_t::pointer_t make_stream(const boost::asio::any_io_executor& executor) const;
    io::stream_t::pointer_t make_stream(boost::asio::io_context& context) const;
};

// The ICAP head text, ending with the empty line.
std::ostream& operator<<(std::ostream& out, const request_t& request);

} // namespace io::icap
