#include "lua/head_parser.hpp"

#include <cstddef>

#include "protocol/parsers/http_parser.hpp"

namespace ic::context {

namespace {

constexpr std::size_t head_limit = 65536;

// The parser's delegate fills the message and does nothing else: it never
// calls into Lua, so no Lua error can pass through the parser's own
// handling of delegate exceptions.
template <class message_t>
class head_delegate_t : public proto::http::parser_t::delegate_t {
public:
    std::shared_ptr<message_t> message = message_t::make();

    void on_request_line(proto::http::parser_t&, const proto::request_line_t&) override {}
    void on_status_line(proto::http::parser_t&, const proto::status_line_t&) override {}
    void on_field(proto::http::parser_t&, const proto::field_t& field) override
    {
        message->fields.add(field.name, field.value);
    }
    void on_head_end(proto::http::parser_t&, std::int64_t) override {}
    void on_chunk(proto::http::parser_t&, std::int64_t, const std::string&) override {}
    void on_part_begin(proto::http::parser_t&, proto::multipart_data_parser_t*, bool) override {}
    void on_nested_multipart(proto::http::parser_t&, proto::multipart_data_parser_t*,
                             proto::multipart_data_parser_t*) override
    {
    }
    void on_data(proto::http::parser_t&, proto::multipart_data_parser_t*, int, const char*, std::size_t) override {}
};

class request_impl_t : public head_delegate_t<io::http::request_t> {
public:
    void on_request_line(proto::http::parser_t&, const proto::request_line_t& line) override
    {
        message->method = line.method;
        message->url = ox::oxs::url_t(line.uri);
        if (line.major != 0)
            message->version = io::http::version_t{line.major, line.minor};
    }
};

class response_impl_t : public head_delegate_t<io::http::response_t> {
public:
    void on_status_line(proto::http::parser_t&, const proto::status_line_t& line) override
    {
        if (line.major != 0)
            message->version = io::http::version_t{line.major, line.minor};
        if (line.code != 0)
            message->code = line.code;
        message->reason = line.reason;
    }
};

template <class impl_t>
auto parse(const orx::buffer_t& head) -> decltype(impl_t().message)
{
    if (head.size() > head_limit)
        return nullptr;
    impl_t impl;
    proto::http::parser_t parser(&impl);
    try {
        parser.feed(head.data(), head.size(), true);
    } catch (const proto::base_ragel_parser_t::error_t&) {
        return nullptr;
    }
    if (parser.status() != proto::parser_t::complete)
        return nullptr;
    return impl.message;
}

} // namespace

std::shared_ptr<io::http::request_t> parse_request_header(const orx::buffer_t& head)
{
    return parse<request_impl_t>(head);
}

std::shared_ptr<io::http::response_t> parse_response_header(const orx::buffer_t& head)
{
    return parse<response_impl_t>(head);
}

} // namespace ic::context
