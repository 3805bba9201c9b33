#include "io/receive_pool.hpp"

#include <iterator>
#include <utility>
#include <vector>

namespace io::detail {

namespace {

struct kept_t {
    orx::buffer_t block;
    std::size_t size;
};

std::vector<kept_t>& blocks()
{
    thread_local std::vector<kept_t> pool;
    return pool;
}

} // namespace

orx::buffer_t receive_pool_t::take(std::size_t size)
{
    orx::buffer_t buffer;
    auto& pool = blocks();
    // A larger block than asked for would hold more memory than needed for
    // as long as someone keeps a slice of it.
    auto best = pool.end();
    // Most often the block given back last has the very size: none fits
    // better.
    if (!pool.empty() && pool.back().size == size) {
        best = std::prev(pool.end());
    } else {
        for (auto kept = pool.end(); kept != pool.begin();) {
            --kept;
            if (kept->size >= size && (best == pool.end() || kept->size < best->size))
                best = kept;
        }
    }
    if (best != pool.end()) {
        buffer = std::move(best->block);
        pool.erase(best);
    }
    buffer.prepare(size);
    return buffer;
}

void receive_pool_t::give_back(orx::buffer_t& buffer, std::size_t block_size)
{
    auto& pool = blocks();
    if (!buffer.empty() && buffer.unique() && pool.size() < capacity) {
        if (pool.capacity() == 0)
            pool.reserve(capacity);
        pool.push_back(kept_t{std::move(buffer), block_size});
    }
    buffer = orx::buffer_t();
}

} // namespace io::detail
