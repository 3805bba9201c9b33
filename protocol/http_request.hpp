#pragma once

#include <iosfwd>
#include <memory>
#include <string>

#include <boost/asio/any_io_executor.hpp>
#include <boost/asio/io_context.hpp>

#include "common/url.hpp"
#include "io/stream.hpp"
#include "protocol/body_stream.hpp"
#include "protocol/http_version.hpp"
#include "protocol/param_map.hpp"

namespace io::http {

// An HTTP request head with an optional body.
struct request_t {
    std::string method;
    ox::oxs::url_t url;
    version_t version;
    param_map_t fields;
    std::shared_ptr<body_stream_t> body;

    static std::shared_ptr<request_t> make();

    // The head text, then the body.
    io::stream_t::pointer_t make_stream(const boost::asio::any_io_executor& executor) const;
    io::stream_t::pointer_t make_stream(boost::asio::io_context& context) const;
};

// The head text, ending with the empty line.
std::ostream& operator<<(std::ostream& out, const request_t& request);

} // namespace io::http
