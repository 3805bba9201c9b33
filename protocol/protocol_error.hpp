#pragma once

#include <boost/system/error_code.hpp>

#include <cerrno>

namespace io {

// The one error every malformed query is reported with: a bad ICAP head, an
// oversized head, bad chunked framing, a body that ends early and a
// malformed preview. The ICAP service answers it with 400; callers compare
// error codes with it.
inline constinit boost::system::error_code const protocol_error{EPROTO, boost::system::system_category()};

} // namespace io
