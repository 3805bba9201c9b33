#include "common/buffer.hpp"

#include <cstdint>
#include <cstring>
#include <iomanip>
#include <limits>
#include <new>
#include <ostream>
#include <stdexcept>
#include <utility>

namespace orx {

namespace {

std::uintptr_t address(const void* p) noexcept
{
    return reinterpret_cast<std::uintptr_t>(p);
}

[[noreturn]] void too_small()
{
    throw std::range_error("buffer too small");
}

} // namespace

buffer_t::block_t* buffer_t::make_block(std::size_t n)
{
    if (n > std::numeric_limits<std::size_t>::max() - sizeof(block_t))
        throw std::length_error("buffer too large");
    static_assert(alignof(block_t) <= __STDCPP_DEFAULT_NEW_ALIGNMENT__);
    return new (::operator new(sizeof(block_t) + n)) block_t{{1}, n, n};
}

void buffer_t::release() noexcept
{
    if (block_ && block_->holders.fetch_sub(1, std::memory_order_acq_rel) == 1) {
        block_->~block_t();
        ::operator delete(block_);
    }
    block_ = nullptr;
}

void buffer_t::take_fresh(std::size_t n)
{
    block_t* const fresh = make_block(n);
    release();
    block_ = fresh;
    offset_ = 0;
    size_ = n;
}

buffer_t& buffer_t::operator=(const buffer_t& other) noexcept
{
    if (other.block_)
        other.block_->holders.fetch_add(1, std::memory_order_relaxed);
    const std::size_t offset = other.offset_;
    const std::size_t size = other.size_;
    block_t* const block = other.block_;
    release();
    block_ = block;
    offset_ = offset;
    size_ = size;
    return *this;
}

buffer_t& buffer_t::operator=(buffer_t&& other) noexcept
{
    if (this != &other) {
        release();
        block_ = std::exchange(other.block_, nullptr);
        offset_ = std::exchange(other.offset_, 0);
        size_ = std::exchange(other.size_, 0);
    }
    return *this;
}

buffer_t::buffer_t(const void* data, std::size_t n) : block_(make_block(n)), size_(n)
{
    if (n != 0)
        std::memcpy(bytes_of(block_), data, n);
}

buffer_t::buffer_t(const std::string& text) : buffer_t(text.data(), text.size()) {}

buffer_t::buffer_t(const char* text) : buffer_t(static_cast<const void*>(text), std::strlen(text)) {}

buffer_t::buffer_t(std::size_t n) : block_(make_block(n)), size_(n) {}

buffer_t::buffer_t(const buffer_t& source, std::size_t offset, std::size_t size) noexcept : buffer_t(source)
{
    offset_ = offset;
    size_ = size;
}

buffer_t buffer_t::head(std::size_t n) const
{
    if (n > size_)
        too_small();
    return buffer_t(*this, offset_, n);
}

buffer_t buffer_t::tail(std::size_t n) const
{
    if (n > size_)
        too_small();
    return buffer_t(*this, offset_ + size_ - n, n);
}

buffer_t buffer_t::sub(std::size_t pos, std::size_t n) const
{
    // Written so that pos + n cannot wrap around.
    if (pos > size_ || n > size_ - pos)
        too_small();
    return buffer_t(*this, offset_ + pos, n);
}

void buffer_t::resize(std::size_t n)
{
    if (n <= size_) {
        size_ = n;
        return;
    }
    if (!block_) {
        take_fresh(n);
        return;
    }
    if (sole_holder()) {
        if (offset_ > std::numeric_limits<std::size_t>::max() - n)
            throw std::length_error("buffer too large");
        const std::size_t needed = offset_ + n;
        if (block_->capacity < needed) {
            block_t* const grown = make_block(needed);
            std::memcpy(bytes_of(grown), bytes_of(block_), block_->size);
            release();
            block_ = grown;
        }
        block_->size = needed;
        size_ = n;
        return;
    }
    block_t* const fresh = make_block(n);
    std::memcpy(bytes_of(fresh), data(), size_);
    release();
    block_ = fresh;
    offset_ = 0;
    size_ = n;
}

void buffer_t::prepare(std::size_t n)
{
    if (n <= size_ && (!block_ || sole_holder())) {
        size_ = n;
        return;
    }
    if (sole_holder() && block_->capacity >= n) {
        block_->size = n;
        offset_ = 0;
        size_ = n;
        return;
    }
    take_fresh(n);
}

bool buffer_t::in_storage(const void* p) const noexcept
{
    if (!block_)
        return false;
    const auto start = address(bytes_of(block_));
    return address(p) >= start && address(p) < start + block_->capacity;
}

void buffer_t::append(const void* bytes, std::size_t n)
{
    if (n == 0)
        return;
    if (n > std::numeric_limits<std::size_t>::max() - size_)
        throw std::length_error("buffer too large");
    // Bytes from our own storage would be released by a reallocation in
    // resize before they are copied; holding a second reference makes resize
    // move to a fresh block and keeps the old one alive until the copy is done.
    buffer_t keep;
    if (in_storage(bytes))
        keep = *this;
    const std::size_t old = size_;
    resize(old + n);
    std::memcpy(data() + old, bytes, n);
}

void buffer_t::append(const buffer_t& other)
{
    if (size_ == 0) {
        *this = other;
        return;
    }
    append(other.data(), other.size());
}

void buffer_t::append(const std::string& text)
{
    append(text.data(), text.size());
}

bool buffer_t::contains(const void* p, std::size_t n) const noexcept
{
    if (size_ == 0)
        return false;
    const auto begin = address(data());
    const auto end = begin + size_;
    const auto at = address(p);
    return at >= begin && at < end && n <= end - at;
}

bool buffer_t::contains(const buffer_t& other) const noexcept
{
    return contains(other.data(), other.size());
}

bool buffer_t::overlaps(const void* p, std::size_t n) const noexcept
{
    if (size_ == 0 || n == 0)
        return false;
    const auto begin = address(data());
    const auto at = address(p);
    return at + n > begin && at < begin + size_;
}

bool buffer_t::overlaps(const buffer_t& other) const noexcept
{
    return overlaps(other.data(), other.size());
}

namespace {

constexpr std::size_t row_length = 16;
constexpr std::size_t rows_per_header = 20;

void byte_cell(std::ostream& out, unsigned value)
{
    out << std::hex << std::uppercase << std::setfill('0') << std::setw(2) << value << ' ';
    out << std::dec << std::nouppercase << std::setfill(' ') << std::setw(0);
}

void header(std::ostream& out)
{
    const std::string rule(84, '-');
    out << rule << std::endl;
    out << std::string(14, ' ');
    for (unsigned column = 0; column < row_length; ++column) {
        byte_cell(out, column);
        if (column % 8 == 7)
            out << ' ';
    }
    out << std::string(20, ' ') << std::endl;
    out << rule << std::endl;
}

char shown(char byte)
{
    return static_cast<signed char>(byte) > 32 ? byte : '.';
}

} // namespace

std::ostream& operator<<(std::ostream& out, const buffer_t& buffer)
{
    const char* bytes = buffer.data();
    const std::size_t size = buffer.size();
    for (std::size_t start = 0, row = 0; start < size; start += row_length, ++row) {
        if (row % rows_per_header == 0)
            header(out);
        out << '[' << std::hex << std::nouppercase << std::setfill('0') << std::setw(8) << start << "]    ";
        out << std::dec << std::setfill(' ') << std::setw(0);
        for (std::size_t i = 0; i < row_length; ++i) {
            if (start + i < size)
                byte_cell(out, static_cast<unsigned char>(bytes[start + i]));
            else
                out << "   ";
            if (i % 8 == 7)
                out << ' ';
        }
        for (std::size_t i = 0; i < row_length; ++i) {
            if (i % 8 == 0)
                out << "  ";
            out << (start + i < size ? shown(bytes[start + i]) : ' ');
        }
        out << std::endl;
    }
    return out;
}

} // namespace orx
