#include "protocol/preview.hpp"

#include <limits>

#include "protocol/param_map.hpp"

namespace io::icap {

std::int64_t announced_preview(const request_t& request)
{
    if (!io::http::iequals(request.method, "REQMOD") && !io::http::iequals(request.method, "RESPMOD"))
        return no_preview;
    const std::string& text = request.fields.get("Preview");
    if (text.empty())
        return no_preview;
    if (text.size() > 1 && text.front() == '0')
        return malformed_preview;
    std::int64_t value = 0;
    for (const char c : text) {
        if (c < '0' || c > '9')
            return malformed_preview;
        if (value > (std::numeric_limits<std::int64_t>::max() - (c - '0')) / 10)
            return malformed_preview;
        value = value * 10 + (c - '0');
    }
    return value;
}

void async_read_preview(const std::shared_ptr<io::http::body_stream_t>& stream,
                        const std::function<void(const preview_t&, const boost::system::error_code&)>& handler)
{
    io::http::async_read_body(
        stream, [handler](const std::shared_ptr<io::http::body_t>& body, const boost::system::error_code& error) {
            preview_t preview;
            if (!error) {
                preview.body = body;
                if (!body->empty() && io::http::iequals(body->back().extensions, "ieof")) {
                    body->back().extensions.clear();
                    preview.ieof = true;
                }
            }
            handler(preview, error);
        });
}

} // namespace io::icap
