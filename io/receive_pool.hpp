#pragma once

#include <cstddef>

#include "common/buffer.hpp"

namespace io::detail {

// Receive blocks of connections that wait for readiness: a connection holds
// no receive block while nothing is there to read, and takes one from here
// when bytes arrive. Blocks come in the sizes connections ask for (they
// grow with what a connection receives); a request gets the smallest kept
// block that is large enough, the most recently returned first among equals,
// so that a single busy connection keeps reading into the same block. Per
// thread, bounded: a burst of closes does not leave blocks behind here.
class receive_pool_t {
public:
    static constexpr std::size_t capacity = 16;

    // A block of size bytes that no one else sees.
    static orx::buffer_t take(std::size_t size);
    // Keeps the block, of block_size bytes when it was taken, for reuse
    // when no one else sees it; empties buffer.
    static void give_back(orx::buffer_t& buffer, std::size_t block_size);
};

} // namespace io::detail
