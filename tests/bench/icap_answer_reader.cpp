#include "bench/icap_answer_reader.hpp"

#include <algorithm>
#include <cctype>
#include <cstring>
#include <utility>

namespace bench {

namespace {

// Longer heads or lines than any server sends: a reader that never finds the
// end stops there instead of growing without bound.
constexpr std::size_t max_text = 64 * 1024;

bool same_name(std::string_view a, std::string_view b)
{
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return std::tolower(static_cast<unsigned char>(x)) == std::tolower(static_cast<unsigned char>(y));
           });
}

std::string_view trim(std::string_view text)
{
    while (!text.empty() && (text.front() == ' ' || text.front() == '\t'))
        text.remove_prefix(1);
    while (!text.empty() && (text.back() == ' ' || text.back() == '\t'))
        text.remove_suffix(1);
    return text;
}

} // namespace

void icap_answer_reader_t::reset(std::string_view expected_body)
{
    state_ = state_t::head;
    failure_.clear();
    text_.clear();
    remaining_ = 0;
    expected_ = expected_body;
    status_ = 0;
    has_body_ = false;
    body_offset_ = 0;
    body_matches_ = true;
    closes_ = false;
}

std::size_t icap_answer_reader_t::consume(std::string_view piece)
{
    std::size_t taken = 0;
    while (taken < piece.size() && state_ != state_t::done && state_ != state_t::failed) {
        const std::string_view rest = piece.substr(taken);
        switch (state_) {
        case state_t::head:
            taken += take_head(rest);
            break;
        case state_t::http_heads: {
            const std::size_t n = std::min(remaining_, rest.size());
            taken += n;
            remaining_ -= n;
            if (remaining_ == 0)
                state_ = has_body_ ? state_t::chunk_size : state_t::done;
            break;
        }
        case state_t::chunk_size: {
            taken += take_line(rest);
            if (state_ == state_t::chunk_size && text_.ends_with("\r\n"))
                parse_chunk_size();
            break;
        }
        case state_t::chunk_data: {
            const std::size_t n = std::min(remaining_, rest.size());
            if (body_matches_ && (body_offset_ + n > expected_.size() ||
                                  std::memcmp(rest.data(), expected_.data() + body_offset_, n) != 0))
                body_matches_ = false;
            body_offset_ += n;
            remaining_ -= n;
            taken += n;
            if (remaining_ == 0) {
                state_ = state_t::chunk_end;
                text_.clear();
            }
            break;
        }
        case state_t::chunk_end: {
            taken += take_line(rest);
            if (text_.size() == 2) {
                if (text_ != "\r\n")
                    fail("a chunk does not end in CR LF");
                else {
                    state_ = state_t::chunk_size;
                    text_.clear();
                }
            }
            break;
        }
        case state_t::trailer:
            taken += take_line(rest);
            if (state_ == state_t::trailer && text_.ends_with("\r\n")) {
                if (text_ == "\r\n") {
                    state_ = state_t::done;
                    if (body_offset_ != expected_.size())
                        body_matches_ = false;
                }
                text_.clear();
            }
            break;
        case state_t::done:
        case state_t::failed:
            break;
        }
    }
    return taken;
}

std::size_t icap_answer_reader_t::take_head(std::string_view piece)
{
    // The end of the head may straddle pieces: look again from three bytes
    // before what is new.
    const std::size_t before = text_.size();
    text_.append(piece);
    const std::size_t end = text_.find("\r\n\r\n", before >= 3 ? before - 3 : 0);
    if (end == std::string::npos) {
        if (text_.size() > max_text)
            fail("no end of the head within " + std::to_string(max_text) + " bytes");
        return piece.size();
    }
    const std::size_t taken = end + 4 - before;
    text_.resize(end + 4);
    parse_head();
    return taken;
}

std::size_t icap_answer_reader_t::take_line(std::string_view piece)
{
    // Up to and including the next LF, or what the chunk end needs.
    std::size_t n = piece.size();
    if (state_ == state_t::chunk_end)
        n = std::min(n, 2 - text_.size());
    else if (const std::size_t lf = piece.find('\n'); lf != std::string_view::npos)
        n = lf + 1;
    text_.append(piece.substr(0, n));
    if (text_.size() > max_text)
        fail("a line longer than " + std::to_string(max_text) + " bytes");
    return n;
}

void icap_answer_reader_t::parse_head()
{
    // "ICAP/1.0 204 No Content"
    if (!text_.starts_with("ICAP/1.0 ") || text_.size() < 12 || !std::isdigit(static_cast<unsigned char>(text_[9])) ||
        !std::isdigit(static_cast<unsigned char>(text_[10])) || !std::isdigit(static_cast<unsigned char>(text_[11]))) {
        fail("not an ICAP status line: " + text_.substr(0, text_.find('\r')));
        return;
    }
    status_ = static_cast<unsigned>((text_[9] - '0') * 100 + (text_[10] - '0') * 10 + (text_[11] - '0'));

    std::string_view encapsulated;
    std::string_view rest(text_);
    rest.remove_prefix(rest.find("\r\n") + 2);
    while (!rest.empty() && !rest.starts_with("\r\n")) {
        const std::size_t end = rest.find("\r\n");
        const std::string_view line = rest.substr(0, end);
        rest.remove_prefix(end + 2);
        const std::size_t colon = line.find(':');
        if (colon == std::string_view::npos) {
            fail("a head line without a colon: " + std::string(line));
            return;
        }
        const std::string_view name = line.substr(0, colon);
        const std::string_view value = trim(line.substr(colon + 1));
        if (same_name(name, "Encapsulated"))
            encapsulated = value;
        else if (same_name(name, "Connection") && same_name(value, "close"))
            closes_ = true;
    }

    // "res-hdr=0, res-body=123": the HTTP heads take the bytes up to the
    // last entry, which is a body (chunked) or null-body (nothing more).
    std::size_t last_offset = 0;
    std::string_view last_name;
    while (!encapsulated.empty()) {
        const std::size_t comma = encapsulated.find(',');
        const std::string_view entry = trim(encapsulated.substr(0, comma));
        encapsulated = comma == std::string_view::npos ? std::string_view() : encapsulated.substr(comma + 1);
        const std::size_t equals = entry.find('=');
        if (equals == std::string_view::npos) {
            fail("an Encapsulated entry without an offset: " + std::string(entry));
            return;
        }
        last_name = entry.substr(0, equals);
        last_offset = 0;
        for (char c : entry.substr(equals + 1)) {
            if (!std::isdigit(static_cast<unsigned char>(c))) {
                fail("an Encapsulated offset that is not a number: " + std::string(entry));
                return;
            }
            last_offset = last_offset * 10 + static_cast<std::size_t>(c - '0');
        }
    }
    has_body_ = !last_name.empty() && last_name != "null-body";
    remaining_ = last_offset;
    text_.clear();
    if (remaining_ > 0)
        state_ = state_t::http_heads;
    else
        state_ = has_body_ ? state_t::chunk_size : state_t::done;
}

void icap_answer_reader_t::parse_chunk_size()
{
    // "2800\r\n" or "0; ieof\r\n"
    std::size_t size = 0;
    std::size_t digits = 0;
    for (char c : text_) {
        const int value = std::isdigit(static_cast<unsigned char>(c))        ? c - '0'
                          : (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F') ? (c | 0x20) - 'a' + 10
                                                                             : -1;
        if (value < 0)
            break;
        if (++digits > 15) {
            fail("a chunk size too large: " + text_);
            return;
        }
        size = size * 16 + static_cast<std::size_t>(value);
    }
    if (digits == 0) {
        fail("not a chunk-size line: " + text_);
        return;
    }
    text_.clear();
    if (size == 0) {
        state_ = state_t::trailer;
        return;
    }
    remaining_ = size;
    state_ = state_t::chunk_data;
}

void icap_answer_reader_t::fail(std::string why)
{
    state_ = state_t::failed;
    failure_ = std::move(why);
}

} // namespace bench
