#include "protocol/preview.hpp"

#include "protocol/param_map.hpp"

namespace io::icap {

void async_read_preview(const std::shared_ptr<io::http::body_stream_t>& stream,
                        const std::function<void(preview_t const&, boost::system::error_code const&)>& handler)
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
