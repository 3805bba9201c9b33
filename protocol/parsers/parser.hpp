#pragma once

// Common ground of the protocol layer's push parsers. A caller hands in
// bytes as they arrive, in pieces of any size; the parser keeps its state
// between calls, reports each element to its delegate the moment it is
// complete and returns how many bytes it took. No parser keeps raw input:
// only the strings and numbers of the element in progress.

#include <boost/noncopyable.hpp>

#include <cstddef>
#include <cstdint>
#include <exception>
#include <limits>
#include <stdexcept>
#include <string>

namespace proto {

class base_ragel_parser_t : boost::noncopyable {
public:
    // Every parse error. The message may end in an excerpt of the input.
    class error_t : public std::runtime_error {
    public:
        explicit error_t(const std::string& message);
        error_t(const std::string& message, const char* data, std::size_t size);
        error_t(const std::string& message, const char* begin, const char* end);
    };

    // A parse error with the 1-based position of the offending byte in the
    // input of the call that met it (or of the whole `feed`).
    class parser_error_t : public error_t {
    public:
        parser_error_t(const std::string& message, std::int32_t position);
        parser_error_t(const std::string& message, const char* data, std::size_t size, std::int32_t position);
        parser_error_t(const std::string& message, const char* begin, const char* end, std::int32_t position);
        // Wraps an exception thrown by a delegate: its what() when it is a
        // std::exception, else "unknown exception".
        parser_error_t(const std::exception_ptr& cause, std::int32_t position);

        std::int32_t position() const noexcept { return position_; }

    private:
        std::int32_t position_;
    };

    virtual ~base_ragel_parser_t();

    // Bytes taken so far by the element in progress (start line, header line,
    // chunk-size line); back to zero when the element completes.
    virtual int consumed() const;

protected:
    base_ragel_parser_t() = default;

    // Adds n, held at the top of the range; inline, as parsers count every
    // step.
    void count_consumed(std::size_t n) noexcept
    {
        constexpr auto top = std::numeric_limits<std::int64_t>::max();
        consumed_ = n > static_cast<std::uint64_t>(top - consumed_) ? top : consumed_ + static_cast<std::int64_t>(n);
    }
    void clear_consumed() noexcept { consumed_ = 0; }

    // Position of the byte at `index` of an input, clamped to the 32-bit range.
    static std::int32_t position_of(std::size_t index) noexcept;

private:
    std::int64_t consumed_ = 0;
};

class parser_t : public base_ragel_parser_t {
public:
    enum status_t {
        running = 0,  // more input is wanted
        complete = 1, // the message or element ended; no further bytes are taken
        failed = 2,   // a parse call threw; no further bytes are taken
    };

    ~parser_t() override;

    virtual status_t status() const = 0;

    // Offers `size` bytes and returns how many were taken from the front.
    // `last` says that nothing follows them. Throws error_t on bad input.
    virtual std::size_t parse(const char* data, std::size_t size, bool last) = 0;

    // Back to the state after construction; the delegate stays.
    virtual void reset() = 0;

    // Runs `parse` over a whole buffer until it is used up or the parser stops
    // running; returns the bytes taken, fewer than `size` exactly when the
    // parser completed inside the buffer. Error positions count from `data`.
    std::size_t feed(const char* data, std::size_t size, bool last);

protected:
    // The status of a parser whose phases include `complete` and `failed`.
    template <class phase_t>
    static status_t status_of(phase_t phase)
    {
        return phase == phase_t::complete ? complete : phase == phase_t::failed ? failed : running;
    }
};

} // namespace proto
