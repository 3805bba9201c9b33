#pragma once

#include <cstdint>
#include <functional>
#include <memory>

#include <boost/system/error_code.hpp>

#include "protocol/body_stream.hpp"
#include "protocol/icap_request.hpp"

namespace io::icap {

// The preview of a body: its chunks (ending with the end chunk) and whether
// the client marked it "ieof", the whole body. Copies share the chunks.
struct preview_t {
    std::shared_ptr<io::http::body_t> body = std::make_shared<io::http::body_t>();
    bool ieof = false;
};

// What a query's "Preview" field announces. The body framing limits the
// first body by it and the ICAP service decides on it, so that both read
// the field the same way.
inline constexpr std::int64_t no_preview = -1;
inline constexpr std::int64_t malformed_preview = -2;

// The preview size a REQMOD or RESPMOD query announces: no_preview without
// the field, with an empty value and for every other method (OPTIONS sends
// its whole body whatever its fields say); the size for a plain decimal
// number ("0", "4096": digits only, no leading zero); malformed_preview for
// anything else ("00", " 0", "-1", "x", a number past int64).
std::int64_t announced_preview(const request_t& request);

// Reads a preview body to its end. After a failure the preview is empty.
void async_read_preview(const std::shared_ptr<io::http::body_stream_t>& stream,
                        const std::function<void(const preview_t&, const boost::system::error_code&)>& handler);

} // namespace io::icap
