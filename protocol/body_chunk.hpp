#pragma once

#include <list>
#include <string>

#include "common/buffer.hpp"
#include "protocol/param_map.hpp"

namespace io::http {

// One piece of a message body. A chunk with empty data ends the body; its
// extension and trailers are those of the terminating chunk of a chunked
// body (empty for the other framings).
struct body_chunk_t {
    std::string extensions;
    orx::buffer_t data;
    param_map_t trailers;
};

// A body as a list of chunks in order; one read to its end finishes with the
// end chunk.
using body_t = std::list<body_chunk_t>;

} // namespace io::http
