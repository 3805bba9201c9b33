#pragma once

#include <iosfwd>
#include <memory>
#include <string>

#include <boost/asio/any_io_executor.hpp>
#include <boost/asio/io_context.hpp>

#include "io/stream.hpp"
#include "protocol/body_stream.hpp"
#include "protocol/http_version.hpp"
#include "protocol/param_map.hpp"

namespace io::http {

// An HTTP response head with an optional body.
struct response_t {
    version_t version;
    int code = -1;
    std::string reason;
    param_map_t fields;
    std::shared_ptr<body_stream_t> body;

    static std::shared_ptr<response_t> make();

    // The head text, then the body.
    io::stream_t::pointer_t make_stream(const boost::asio::any_io_executor& executor) const;
    io::stream_t::pointer_t make_stream(boost::asio::io_context& context) const;
};

// The head text, ending with the empty line.
std::ostream& operator<<(std::ostream& out, const response_t& response);

} // namespace io::http
