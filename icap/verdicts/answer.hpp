#pragma once

#include <string>
#include <utility>
#include <vector>

#include "common/buffer.hpp"

namespace ic {

// The answer to a blocked message: the ICAP fields that say why, and either
// a replacement request head (a CONNECT that leads nowhere) or a block page.
// The check engine tells the two apart by request_head being empty.
struct answer_t {
    std::vector<std::pair<std::string, std::string>> headers;
    orx::buffer_t request_head;
    orx::buffer_t response_head;
    // The page, raw (not chunked).
    orx::buffer_t body;
};

} // namespace ic
