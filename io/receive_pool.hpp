#pragma once

#include <cstddef>

#include "common/buffer.hpp"

namespace io::detail {

// Receive blocks of connections that wait for readiness: a connection holds
// no receive block while nothing is there to read, and takes one from here
// when bytes arrive. The most recently returned block comes back first, so
// a single busy connection keeps reading into the same block. Per thread,
// bounded: a burst of closes does not leave blocks behind here.
class receive_pool_t {
public:
    static constexpr std::size_t capacity = 16;

    // A block of at least size bytes that no one else sees.
    static orx::buffer_t take(std::size_t size);
    // Keeps the block for reuse when no one else sees it; empties buffer.
    static void give_back(orx::buffer_t& buffer);
};

} // namespace io::detail
