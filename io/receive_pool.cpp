#include "io/receive_pool.hpp"

#include <utility>
#include <vector>

namespace io::detail {

namespace {

std::vector<orx::buffer_t>& blocks()
{
    thread_local std::vector<orx::buffer_t> pool;
    return pool;
}

} // namespace

orx::buffer_t receive_pool_t::take(std::size_t size)
{
    orx::buffer_t buffer;
    auto& pool = blocks();
    if (!pool.empty()) {
        buffer = std::move(pool.back());
        pool.pop_back();
    }
    buffer.prepare(size);
    return buffer;
}

void receive_pool_t::give_back(orx::buffer_t& buffer)
{
    auto& pool = blocks();
    if (!buffer.empty() && buffer.unique() && pool.size() < capacity) {
        if (pool.capacity() == 0)
            pool.reserve(capacity);
        pool.push_back(std::move(buffer));
    }
    buffer = orx::buffer_t();
}

} // namespace io::detail
