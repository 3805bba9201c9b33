#include "common/punycode.hpp"

#include <cstring>
#include <limits>

namespace ox::oxs {

namespace {

constexpr std::uint32_t base = 36;
constexpr std::uint32_t tmin = 1;
constexpr std::uint32_t tmax = 26;
constexpr std::uint32_t skew = 38;
constexpr std::uint32_t damp = 700;
constexpr std::uint32_t initial_bias = 72;
constexpr std::uint32_t initial_n = 0x80;
constexpr char delimiter = '-';
constexpr std::uint32_t maxint = std::numeric_limits<std::uint32_t>::max();

bool is_basic(std::uint32_t cp)
{
    return cp < 0x80;
}

bool is_flagged(char c)
{
    return c >= 'A' && c <= 'Z';
}

// 0-25 are 'a'-'z' (or 'A'-'Z' when flagged), 26-35 are '0'-'9'.
char encode_digit(std::uint32_t d, bool upper)
{
    return static_cast<char>(d < 26 ? (upper ? 'A' : 'a') + d : '0' + (d - 26));
}

// base for anything that is no digit.
std::uint32_t decode_digit(char c)
{
    if (c >= '0' && c <= '9')
        return static_cast<std::uint32_t>(c - '0') + 26;
    if (c >= 'A' && c <= 'Z')
        return static_cast<std::uint32_t>(c - 'A');
    if (c >= 'a' && c <= 'z')
        return static_cast<std::uint32_t>(c - 'a');
    return base;
}

// A basic code point in the requested case (letters only).
char encode_basic(std::uint32_t cp, bool upper)
{
    char c = static_cast<char>(cp);
    if (upper && c >= 'a' && c <= 'z')
        c = static_cast<char>(c - 'a' + 'A');
    else if (!upper && c >= 'A' && c <= 'Z')
        c = static_cast<char>(c - 'A' + 'a');
    return c;
}

std::uint32_t threshold(std::uint32_t k, std::uint32_t bias)
{
    return k <= bias ? tmin : k >= bias + tmax ? tmax : k - bias;
}

std::uint32_t adapt(std::uint32_t delta, std::uint32_t points, bool first)
{
    delta = first ? delta / damp : delta >> 1;
    delta += delta / points;
    std::uint32_t k = 0;
    while (delta > ((base - tmin) * tmax) / 2) {
        delta /= base - tmin;
        k += base;
    }
    return k + (base - tmin + 1) * delta / (delta + skew);
}

} // namespace

punycode_status_t punycode_encode(std::size_t input_length, const std::uint32_t* input, const unsigned char* case_flags,
                                  std::size_t* output_length, char* output)
{
    const std::size_t max_out = *output_length;
    std::size_t out = 0;

    for (std::size_t j = 0; j < input_length; ++j) {
        if (!is_basic(input[j]))
            continue;
        // Room for this code point and the delimiter behind the basic ones.
        if (max_out - out < 2)
            return punycode_status_t::big_output;
        output[out++] = case_flags ? encode_basic(input[j], case_flags[j] != 0) : static_cast<char>(input[j]);
    }
    if (input_length > maxint)
        return punycode_status_t::overflow;

    const auto b = static_cast<std::uint32_t>(out);
    std::uint32_t h = b;
    if (b > 0)
        output[out++] = delimiter;

    std::uint32_t n = initial_n;
    std::uint32_t delta = 0;
    std::uint32_t bias = initial_bias;
    while (h < input_length) {
        std::uint32_t m = maxint;
        for (std::size_t j = 0; j < input_length; ++j)
            if (input[j] >= n && input[j] < m)
                m = input[j];
        if (m - n > (maxint - delta) / (h + 1))
            return punycode_status_t::overflow;
        delta += (m - n) * (h + 1);
        n = m;

        for (std::size_t j = 0; j < input_length; ++j) {
            if (input[j] < n) {
                if (++delta == 0)
                    return punycode_status_t::overflow;
            }
            if (input[j] != n)
                continue;
            std::uint32_t q = delta;
            for (std::uint32_t k = base;; k += base) {
                if (out >= max_out)
                    return punycode_status_t::big_output;
                const std::uint32_t t = threshold(k, bias);
                if (q < t)
                    break;
                output[out++] = encode_digit(t + (q - t) % (base - t), false);
                q = (q - t) / (base - t);
            }
            output[out++] = encode_digit(q, case_flags && case_flags[j] != 0);
            bias = adapt(delta, h + 1, h == b);
            delta = 0;
            ++h;
        }
        ++delta;
        ++n;
    }
    *output_length = out;
    return punycode_status_t::success;
}

punycode_status_t punycode_decode(std::size_t input_length, const char* input, std::size_t* output_length,
                                  std::uint32_t* output, unsigned char* case_flags)
{
    const std::size_t max_out = *output_length;

    // The basic code points are those before the last delimiter.
    std::size_t b = 0;
    for (std::size_t j = 0; j < input_length; ++j)
        if (input[j] == delimiter)
            b = j;
    if (b > max_out)
        return punycode_status_t::big_output;

    std::size_t out = 0;
    for (std::size_t j = 0; j < b; ++j) {
        const auto c = static_cast<unsigned char>(input[j]);
        if (!is_basic(c))
            return punycode_status_t::bad_input;
        if (case_flags)
            case_flags[out] = is_flagged(input[j]);
        output[out++] = c;
    }

    std::uint32_t n = initial_n;
    std::uint32_t i = 0;
    std::uint32_t bias = initial_bias;
    for (std::size_t in = b > 0 ? b + 1 : 0; in < input_length; ++out) {
        const std::uint32_t old_i = i;
        std::uint32_t w = 1;
        for (std::uint32_t k = base;; k += base) {
            if (in >= input_length)
                return punycode_status_t::bad_input;
            const std::uint32_t digit = decode_digit(input[in++]);
            if (digit >= base)
                return punycode_status_t::bad_input;
            if (digit > (maxint - i) / w)
                return punycode_status_t::overflow;
            i += digit * w;
            const std::uint32_t t = threshold(k, bias);
            if (digit < t)
                break;
            if (w > maxint / (base - t))
                return punycode_status_t::overflow;
            w *= base - t;
        }
        // out is below max_out here, which fits the 32-bit arithmetic once
        // the capacity does; larger counts could not be encoded anyway.
        if (out >= maxint)
            return punycode_status_t::overflow;
        const auto points = static_cast<std::uint32_t>(out + 1);
        bias = adapt(i - old_i, points, old_i == 0);
        if (i / points > maxint - n)
            return punycode_status_t::overflow;
        n += i / points;
        i %= points;
        if (out >= max_out)
            return punycode_status_t::big_output;
        if (case_flags) {
            std::memmove(case_flags + i + 1, case_flags + i, out - i);
            case_flags[i] = is_flagged(input[in - 1]);
        }
        std::memmove(output + i + 1, output + i, (out - i) * sizeof *output);
        output[i++] = n;
    }
    *output_length = out;
    return punycode_status_t::success;
}

} // namespace ox::oxs
