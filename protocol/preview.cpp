#include "protocol/preview.hpp"

#include "protocol/param_map.hpp"

namespace io::icap {

void async_read_preview(std::shared_ptr<io::http::body_stream_t> const& stream,
                        std::function<void(preview_t const&, boost::system::error_code const&)> const& handler) {
    io::http::async_read_body(stream, [handler](std::shared_ptr<io::http::body_t> const& body,
                                                boost::system::error_code const& error) {
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

}  // namespace io::icap
