#pragma once

#include <functional>
#include <memory>

#include <boost/system/error_code.hpp>

#include "common/report.hpp"
#include "protocol/body_stream.hpp"
#include "protocol/preview.hpp"
#include "schemas/scan_report.pb.h"

namespace ic::context {

class context_t;

// Obtains the body of the transaction and hands it to the function once:
// the preview already read and the stream of the rest, or an error.
using body_getter_t = std::function<void(
    const std::function<void(const io::icap::preview_t&, const std::shared_ptr<io::http::body_stream_t>&,
                             const boost::system::error_code&)>&)>;
using url_check_callback_t = std::function<void(const ox::oxs::report_t&, const boost::system::error_code&)>;
using body_check_callback_t =
    std::function<void(const ox::ScanReport&, const io::icap::preview_t&,
                       const std::shared_ptr<io::http::body_stream_t>&, const boost::system::error_code&)>;

// How a transaction reaches the check engine's URL check and body scan.
// Both call their callback exactly once, later, from the event loop.
class delegate_t {
public:
    // Classifies the transaction's request URL.
    virtual void check_url(context_t* context, url_check_callback_t&& callback) = 0;
    // Obtains the body through the getter and scans it.
    virtual void check_body(body_getter_t&& getter, body_check_callback_t&& callback) = 0;
    virtual ~delegate_t() = default;
};

} // namespace ic::context
