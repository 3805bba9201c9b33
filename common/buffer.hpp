#pragma once

#include <atomic>
#include <cstddef>
#include <iosfwd>
#include <memory>
#include <string>
#include <string_view>
#include <utility>

namespace orx {

// A window (offset, size) onto a shared, reference-counted byte block.
// Copies and slices share the block and never copy bytes; a change of size
// or content happens in place only while this buffer is the block's sole
// holder, otherwise the bytes move to a fresh block first (copy on write), so
// a slice taken earlier keeps seeing the bytes it saw.
//
// The sole-holder test reads the shared count without locking: a block and
// the buffers that see it belong to one thread at a time.
//
// A block and its count are one allocation: a buffer made costs one trip
// through the allocator, not two.
class buffer_t {
public:
    buffer_t() noexcept = default;
    // Copies and moves are inline: buffers are passed around everywhere.
    buffer_t(const buffer_t& other) noexcept : block_(other.block_), offset_(other.offset_), size_(other.size_)
    {
        if (block_)
            block_->holders.fetch_add(1, std::memory_order_relaxed);
    }
    buffer_t(buffer_t&& other) noexcept
        : block_(std::exchange(other.block_, nullptr)),
          offset_(std::exchange(other.offset_, 0)),
          size_(std::exchange(other.size_, 0))
    {
    }
    buffer_t& operator=(const buffer_t& other) noexcept;
    buffer_t& operator=(buffer_t&& other) noexcept;
    ~buffer_t()
    {
        if (block_)
            release();
    }
    buffer_t(const void* data, std::size_t n);
    // Byte range [begin, end); a template so that buffer_t(p, 0) still
    // means "p and a length".
    template <typename byte_t>
    requires(sizeof(byte_t) == 1) buffer_t(const byte_t* begin, const byte_t* end)
        : buffer_t(static_cast<const void*>(begin), static_cast<std::size_t>(end - begin))
    {
    }
    explicit buffer_t(const std::string& text);
    buffer_t(const char* text);
    // n bytes whose contents are undefined.
    explicit buffer_t(std::size_t n);

    // The first or last n bytes, or n bytes from pos, sharing the block.
    // Throws std::range_error("buffer too small") when they do not fit.
    buffer_t head(std::size_t n) const;
    buffer_t tail(std::size_t n) const;
    buffer_t sub(std::size_t pos, std::size_t n) const;

    // New size n, keeping the first min(size, n) bytes.
    void resize(std::size_t n);
    // New size n in a block no other buffer sees; the contents are undefined
    // unless n does not exceed the old size and the block was not shared.
    void prepare(std::size_t n);

    void append(const void* data, std::size_t n);
    // Appending to an empty buffer shares the other's block instead of
    // copying. Appending a buffer (or bytes) that lies in this buffer's own
    // block is safe.
    void append(const buffer_t& other);
    template <typename byte_t>
    requires(sizeof(byte_t) == 1) void append(const byte_t* begin, const byte_t* end)
    {
        append(static_cast<const void*>(begin), static_cast<std::size_t>(end - begin));
    }
    void append(const std::string& text);

    char* data() noexcept { return block_ ? bytes_of(block_) + offset_ : nullptr; }
    const char* data() const noexcept { return block_ ? bytes_of(block_) + offset_ : nullptr; }
    std::size_t size() const noexcept { return size_; }
    bool empty() const noexcept { return size_ == 0; }

    std::string_view view() const noexcept { return {data(), size_}; }
    std::string str() const { return std::string(view()); }

    // No other buffer shares the block (true for an empty buffer too).
    bool unique() const noexcept { return !block_ || sole_holder(); }

    // p lies within this buffer's bytes and [p, p + n) ends within them too.
    bool contains(const void* p, std::size_t n) const noexcept;
    bool contains(const buffer_t& other) const noexcept;
    // [p, p + n) and this buffer's bytes share at least one byte.
    bool overlaps(const void* p, std::size_t n) const noexcept;
    bool overlaps(const buffer_t& other) const noexcept;

private:
    // The head of a block; its bytes follow it in the same allocation,
    // aligned as the allocator aligns.
    struct alignas(__STDCPP_DEFAULT_NEW_ALIGNMENT__) block_t {
        std::atomic<std::size_t> holders;
        // The bytes in use from the start, and the room for them.
        std::size_t size;
        std::size_t capacity;
    };

    buffer_t(const buffer_t& source, std::size_t offset, std::size_t size) noexcept;

    // A block of n bytes with one holder.
    static block_t* make_block(std::size_t n);
    static char* bytes_of(block_t* block) noexcept { return reinterpret_cast<char*>(block + 1); }
    // Drops this buffer's hold on its block, freeing the block after its
    // last holder; leaves the buffer without one.
    void release() noexcept;
    // Holds a block of its own of n bytes, in use up to n.
    void take_fresh(std::size_t n);

    bool sole_holder() const noexcept { return block_ && block_->holders.load(std::memory_order_relaxed) == 1; }
    bool in_storage(const void* p) const noexcept;

    block_t* block_ = nullptr;
    std::size_t offset_ = 0;
    std::size_t size_ = 0;
};

// Hex dump, 16 bytes a row, with a column header every 20 rows.
std::ostream& operator<<(std::ostream& out, const buffer_t& buffer);

} // namespace orx
