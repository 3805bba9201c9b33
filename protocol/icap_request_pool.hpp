#pragma once

#include <cstddef>
#include <memory>

#include "protocol/icap_request.hpp"
#include "protocol/parsers/start_line_machine.hpp"

namespace io::icap {

// The queries read on a thread. A query is made at every start line and let
// go of once answered; one let go of is kept, up to a bound, and handed out
// again with what stays the same from one query to the next: its URL, parsed
// once for the service a proxy sends to, the room of its field map (slots
// with their names' and first values' text, bounded) and a small head
// block. It keeps nothing else of its last query: no field is left in the
// map, body and head bytes go when it is let go of, and while kept the
// query itself counts as freed for the sanitizers.
class request_pool_t {
public:
    // At most this many queries are kept per thread.
    static constexpr std::size_t max_kept = 64;
    // A query keeps the room of at most this many fields, and head blocks
    // of at most this many bytes.
    static constexpr std::size_t max_kept_fields = 64;
    static constexpr std::size_t max_kept_head = 4096;

    // A query with the method, URL and version of the line, the rest empty.
    static std::shared_ptr<request_t> take(const proto::request_line_t& line);
};

} // namespace io::icap
