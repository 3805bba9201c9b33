#pragma once

#include <functional>
#include <memory>

#include <boost/system/error_code.hpp>

#include "protocol/body_stream.hpp"

namespace io::icap {

// The preview of a body: its chunks (ending with the end chunk) and whether
// the client marked it "ieof", the whole body. Copies share the chunks.
struct preview_t {
    std::shared_ptr<io::http::body_t> body = std::make_shared<io::http::body_t>();
    bool ieof = false;
};

// Reads a preview body to its end. After a failure the preview is empty.
void async_read_preview(const std::shared_ptr<io::http::body_stream_t>& stream,
                        const std::function<void(preview_t const&, boost::system::error_code const&)>& handler);

} // namespace io::icap
