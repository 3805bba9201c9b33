#include "protocol/parsers/start_line_machine.hpp"

#include "protocol/parsers/parser.hpp"
#include "protocol/parsers/wire_text.hpp"

#include <array>
#include <climits>
#include <cstring>

namespace proto {

namespace {

bool is_digit(char c)
{
    return c >= '0' && c <= '9';
}
bool is_alpha(char c)
{
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}
// Every byte but NUL, HT, LF, CR and SP, looked up in a table: the URI is
// the longest run of the line.
constexpr auto uri_table = [] {
    std::array<bool, 256> table{};
    table.fill(true);
    for (const char c : {'\0', '\t', '\n', '\r', ' '})
        table[static_cast<unsigned char>(c)] = false;
    return table;
}();

bool is_uri_byte(char c)
{
    return uri_table[static_cast<unsigned char>(c)];
}

// value * 10 + digit, held at INT_MAX once it would pass it.
void add_digit(int& value, char c)
{
    const int digit = c - '0';
    value = value > (INT_MAX - digit) / 10 ? INT_MAX : value * 10 + digit;
}

} // namespace

start_line_machine_t::start_line_machine_t(const char* word, const char* error_message)
    : word_(word), error_message_(error_message)
{
}

void start_line_machine_t::reset()
{
    state_ = state_t::start;
    kind_ = kind_t::none;
    matched_ = 0;
    // Cleared rather than replaced: the strings keep their room for the
    // next line.
    request_.method.clear();
    request_.uri.clear();
    request_.major = request_.minor = 0;
    status_.code = 0;
    status_.reason.clear();
    status_.major = status_.minor = 0;
    consumed_ = 0;
}

bool start_line_machine_t::line_end(char c)
{
    if (c == '\r')
        state_ = state_t::cr;
    else if (c == '\n')
        state_ = state_t::done;
    else
        return false;
    return true;
}

void start_line_machine_t::count_consumed(std::size_t n) noexcept
{
    const auto room = static_cast<std::uint64_t>(INT64_MAX - consumed_);
    consumed_ = n > room ? INT64_MAX : consumed_ + static_cast<std::int64_t>(n);
}

int& start_line_machine_t::major()
{
    return kind_ == kind_t::request ? request_.major : status_.major;
}

int& start_line_machine_t::minor()
{
    return kind_ == kind_t::request ? request_.minor : status_.minor;
}

std::size_t start_line_machine_t::take_request_line(const char* data, std::size_t size)
{
    // No input may come as a null pointer, which memchr must not see.
    if (size == 0)
        return 0;
    const auto* const lf = static_cast<const char*>(std::memchr(data, '\n', size));
    if (!lf)
        return 0;
    // The LF ends every scan below: it is no letter, digit, blank or URI
    // byte, and matches no letter of the version word.
    const char* at = data;
    if (!is_alpha(*at))
        return 0;
    const char* const method = at;
    while (is_alpha(*at) || is_digit(*at))
        ++at;
    const char* const method_end = at;
    if (!is_blank(*at))
        return 0;
    while (is_blank(*at))
        ++at;
    const char* const uri = at;
    // Eight bytes at a time while none can end the URI: every byte that
    // does lies below '!'.
    while (lf - at >= 8 && !has_byte_below(load8(at), '!'))
        at += 8;
    while (is_uri_byte(*at))
        ++at;
    const char* const uri_end = at;
    if (uri == uri_end || !is_blank(*at))
        return 0;
    while (is_blank(*at))
        ++at;
    for (std::size_t k = 0; k < 4; ++k, ++at) {
        if (to_upper(*at) != word_[k])
            return 0;
    }
    if (*at++ != '/' || !is_digit(*at))
        return 0;
    int major = 0;
    while (is_digit(*at))
        add_digit(major, *at++);
    if (*at++ != '.' || !is_digit(*at))
        return 0;
    int minor = 0;
    while (is_digit(*at))
        add_digit(minor, *at++);
    while (is_blank(*at))
        ++at;
    if (*at == '\r')
        ++at;
    if (at != lf)
        return 0;
    request_.method.append(method, static_cast<std::size_t>(method_end - method));
    request_.uri.append(uri, static_cast<std::size_t>(uri_end - uri));
    request_.major = major;
    request_.minor = minor;
    kind_ = kind_t::request;
    state_ = state_t::done;
    std::size_t const taken = static_cast<std::size_t>(lf - data) + 1;
    count_consumed(taken);
    return taken;
}

std::size_t start_line_machine_t::run(const char* data, std::size_t size)
{
    if (state_ == state_t::start) {
        if (std::size_t const taken = take_request_line(data, size))
            return taken;
    }
    std::size_t i = 0;
    // Takes the run of bytes from i on that `keep` accepts, appended to `text`
    // at once; i is left on its last byte.
    const auto take_run = [&](std::string& text, auto keep) {
        std::size_t end = i + 1;
        while (end < size && keep(data[end]))
            ++end;
        text.append(data + i, end - i);
        i = end - 1;
    };
    for (; i < size && state_ != state_t::done; ++i) {
        const char c = data[i];
        bool ok = true;
        switch (state_) {
        case state_t::start:
        case state_t::lead_ws:
            if (is_blank(c)) {
                state_ = state_t::lead_ws;
            } else if (c == '\n' && state_ == state_t::start) {
                state_ = state_t::lead_lf;
            } else if (is_digit(c)) {
                kind_ = kind_t::status;
                add_digit(status_.code, c);
                state_ = state_t::code;
            } else if (is_alpha(c)) {
                request_.method += c;
                matched_ = to_upper(c) == word_[0] ? 1 : 0;
                state_ = state_t::token;
            } else {
                ok = false;
            }
            break;
        case state_t::lead_lf:
        case state_t::lead_lf_ws:
            // After blank lines only a status line may come.
            kind_ = kind_t::status;
            if (c == '\n' && state_ == state_t::lead_lf) {
            } else if (is_blank(c)) {
                state_ = state_t::lead_lf_ws;
            } else if (is_digit(c)) {
                add_digit(status_.code, c);
                state_ = state_t::code;
            } else if (to_upper(c) == word_[0]) {
                matched_ = 1;
                state_ = state_t::version_word;
            } else {
                ok = false;
            }
            break;
        case state_t::token:
            // A method, unless its first five bytes are the version word and "/".
            if (matched_ == request_.method.size() && matched_ < 4 && to_upper(c) == word_[matched_]) {
                request_.method += c;
                ++matched_;
            } else if (matched_ == 4 && request_.method.size() == 4 && c == '/') {
                request_.method.clear();
                kind_ = kind_t::status;
                state_ = state_t::major_first;
            } else if (is_alpha(c) || is_digit(c)) {
                // No longer the version word: the rest of the method at once.
                take_run(request_.method, [](char b) { return is_alpha(b) || is_digit(b); });
            } else if (is_blank(c)) {
                kind_ = kind_t::request;
                state_ = state_t::after_method;
            } else {
                ok = false;
            }
            break;
        case state_t::version_word:
            if (matched_ < 4 && to_upper(c) == word_[matched_])
                ++matched_;
            else if (matched_ == 4 && c == '/')
                state_ = state_t::major_first;
            else
                ok = false;
            break;
        case state_t::after_method:
            if (is_uri_byte(c)) {
                take_run(request_.uri, is_uri_byte);
                state_ = state_t::uri;
            } else {
                ok = is_blank(c);
            }
            break;
        case state_t::uri:
            if (is_uri_byte(c))
                take_run(request_.uri, is_uri_byte);
            else if (is_blank(c))
                state_ = state_t::after_uri;
            else
                ok = line_end(c);
            break;
        case state_t::after_uri:
            if (to_upper(c) == word_[0]) {
                matched_ = 1;
                state_ = state_t::version_word;
            } else {
                ok = is_blank(c) || line_end(c);
            }
            break;
        case state_t::major_first:
        case state_t::major:
            if (is_digit(c)) {
                add_digit(major(), c);
                state_ = state_t::major;
            } else if (c == '.' && state_ == state_t::major) {
                state_ = state_t::minor_first;
            } else {
                ok = false;
            }
            break;
        case state_t::minor_first:
        case state_t::minor:
            if (is_digit(c)) {
                add_digit(minor(), c);
                state_ = state_t::minor;
            } else if (state_ == state_t::minor && is_blank(c)) {
                state_ = kind_ == kind_t::request ? state_t::request_trail : state_t::before_code;
            } else {
                // A status line goes on with its code.
                ok = state_ == state_t::minor && kind_ == kind_t::request && line_end(c);
            }
            break;
        case state_t::request_trail:
            ok = is_blank(c) || line_end(c);
            break;
        case state_t::before_code:
            if (is_digit(c)) {
                add_digit(status_.code, c);
                state_ = state_t::code;
            } else {
                ok = is_blank(c);
            }
            break;
        case state_t::code:
            if (is_digit(c))
                add_digit(status_.code, c);
            else if (is_blank(c))
                state_ = state_t::reason;
            else
                ok = line_end(c);
            break;
        case state_t::reason:
            if (!line_end(c)) {
                ok = c != '\0';
                if (ok)
                    take_run(status_.reason, [](char b) { return b != '\r' && b != '\n' && b != '\0'; });
            }
            break;
        case state_t::cr:
            ok = c == '\n';
            if (ok)
                state_ = state_t::done;
            break;
        case state_t::done:
            break;
        }
        if (!ok) {
            count_consumed(i);
            throw base_ragel_parser_t::parser_error_t(error_message_, data + i, data + size,
                                                      static_cast<std::int32_t>(i < INT_MAX ? i + 1 : INT_MAX));
        }
    }
    // Every byte taken belongs to the line.
    count_consumed(i);
    return i;
}

} // namespace proto
