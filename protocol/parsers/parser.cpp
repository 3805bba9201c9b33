#include "protocol/parsers/parser.hpp"

#include <limits>

namespace proto {

namespace {

std::string with_excerpt(const std::string& message, const char* data, std::size_t size)
{
    std::string text = message;
    text += ": \"";
    for (std::size_t i = 0; i < size; ++i) {
        switch (data[i]) {
        case '\r':
            text += "\\r";
            break;
        case '\n':
            text += "\\n";
            break;
        case '\t':
            text += "\\t";
            break;
        default:
            text += data[i];
        }
    }
    text += '"';
    return text;
}

std::string what_of(const std::exception_ptr& cause)
{
    try {
        std::rethrow_exception(cause);
    } catch (const std::exception& e) {
        return e.what();
    } catch (...) {
        return "unknown exception";
    }
}

std::int32_t clamp_position(std::int64_t position)
{
    constexpr std::int64_t top = std::numeric_limits<std::int32_t>::max();
    return static_cast<std::int32_t>(position > top ? top : position);
}

// A position counted from `taken` bytes further back.
std::int32_t shift_position(std::int32_t position, std::size_t taken)
{
    constexpr std::size_t top = std::numeric_limits<std::int32_t>::max();
    return clamp_position(static_cast<std::int64_t>(position) + static_cast<std::int64_t>(taken > top ? top : taken));
}

} // namespace

base_ragel_parser_t::error_t::error_t(const std::string& message) : std::runtime_error(message) {}

base_ragel_parser_t::error_t::error_t(const std::string& message, const char* data, std::size_t size)
    : std::runtime_error(with_excerpt(message, data, size))
{
}

base_ragel_parser_t::error_t::error_t(const std::string& message, const char* begin, const char* end)
    : std::runtime_error(with_excerpt(message, begin, static_cast<std::size_t>(end - begin)))
{
}

base_ragel_parser_t::parser_error_t::parser_error_t(const std::string& message, std::int32_t position)
    : error_t(message), position_(position)
{
}

base_ragel_parser_t::parser_error_t::parser_error_t(const std::string& message, const char* data, std::size_t size,
                                                    std::int32_t position)
    : error_t(message, data, size), position_(position)
{
}

base_ragel_parser_t::parser_error_t::parser_error_t(const std::string& message, const char* begin, const char* end,
                                                    std::int32_t position)
    : error_t(message, begin, end), position_(position)
{
}

base_ragel_parser_t::parser_error_t::parser_error_t(const std::exception_ptr& cause, std::int32_t position)
    : error_t(what_of(cause)), position_(position)
{
}

base_ragel_parser_t::~base_ragel_parser_t() = default;

int base_ragel_parser_t::consumed() const
{
    return clamp_position(consumed_);
}

std::int32_t base_ragel_parser_t::position_of(std::size_t index) noexcept
{
    constexpr std::size_t top = std::numeric_limits<std::int32_t>::max();
    return index >= top ? static_cast<std::int32_t>(top) : static_cast<std::int32_t>(index + 1);
}

parser_t::~parser_t() = default;

std::size_t parser_t::feed(const char* data, std::size_t size, bool last)
{
    std::size_t taken = 0;
    for (;;) {
        std::size_t n;
        try {
            n = parse(data, size, last);
        } catch (const parser_error_t& e) {
            throw parser_error_t(e.what(), shift_position(e.position(), taken));
        } catch (const error_t& e) {
            throw parser_error_t(e.what(), shift_position(0, taken));
        }
        data += n;
        size -= n;
        taken += n;
        if (status() != running || size == 0)
            return taken;
    }
}

} // namespace proto
