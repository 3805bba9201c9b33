#pragma once

// The encapsulated HTTP heads of a transaction, parsed only when a script
// needs them.

#include <memory>

#include "common/buffer.hpp"
#include "protocol/http_request.hpp"
#include "protocol/http_response.hpp"

namespace ic::context {

// The parsed head, or null when the bytes are not one complete head or are
// longer than 65536 bytes.
std::shared_ptr<io::http::request_t> parse_request_header(const orx::buffer_t& head);
std::shared_ptr<io::http::response_t> parse_response_header(const orx::buffer_t& head);

} // namespace ic::context
