#pragma once

#include <memory>

#include <boost/system/error_code.hpp>

#include "io/inline_function.hpp"
#include "protocol/icap_response.hpp"

namespace ic {

// The way the ICAP handler gives a query's answer back: called exactly once
// per query, with a finished answer and no error, or with an error when
// nothing is to be written. A target of up to six pointers' size is kept
// inside it: the server's answer, which holds the connection's session and
// the query, costs no allocation per query.
using answer_callback_t =
    io::inline_function_t<void(const std::shared_ptr<io::icap::response_t>&, const boost::system::error_code&),
                          6 * sizeof(void*)>;

} // namespace ic
