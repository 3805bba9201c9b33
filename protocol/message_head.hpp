#pragma once

#include <ostream>
#include <sstream>
#include <string>

#include "common/buffer.hpp"
#include "common/url.hpp"
#include "io/stream.hpp"
#include "protocol/body_stream.hpp"
#include "protocol/param_map.hpp"

// The wire form shared by ICAP and HTTP messages, which differ only in the
// name of their version.
namespace io {

// Method, the URL when it has text, the version when present, the fields
// and the empty line.
template <typename version_t>
std::ostream& write_request_head(std::ostream& out, const std::string& method, const ox::oxs::url_t& url,
                                 const version_t& version, const io::http::param_map_t& fields)
{
    io::http::write_head_text(out, method);
    const std::string& uri = url.to_string(0);
    if (!uri.empty()) {
        out << ' ';
        io::http::write_head_text(out, uri);
    }
    if (version.present())
        out << ' ' << version;
    return out << "\r\n" << fields << "\r\n";
}

// The version when present, the code (-1 without one), the reason when not
// empty, the fields and the empty line.
template <typename version_t>
std::ostream& write_response_head(std::ostream& out, const version_t& version, int code, const std::string& reason,
                                  const io::http::param_map_t& fields)
{
    if (version.present())
        out << version << ' ';
    out << code;
    if (!reason.empty()) {
        out << ' ';
        io::http::write_head_text(out, reason);
    }
    return out << "\r\n" << fields << "\r\n";
}

// A message's head text followed by extra head bytes, in one buffer.
template <typename message_t, typename... heads_t>
orx::buffer_t make_message_head(const message_t& message, const heads_t&... heads)
{
    std::ostringstream text;
    text << message;
    orx::buffer_t head(text.str());
    (head.append(heads), ...);
    return head;
}

// A message as one stream: its head text followed by extra head bytes in one
// buffer, then the body (when there is one).
template <typename message_t, typename... heads_t>
io::stream_t::pointer_t make_message_stream(const boost::asio::any_io_executor& executor, const message_t& message,
                                            const heads_t&... heads)
{
    return io::stream_t::make_concat(io::stream_t::make(executor, make_message_head(message, heads...)), message.body);
}

} // namespace io
