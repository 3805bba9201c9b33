#include "soak/icap_stream.hpp"

#include <cctype>
#include <charconv>
#include <sstream>

#include <boost/algorithm/string/predicate.hpp>

namespace soak {

namespace {

// Longer heads or lines are not what the daemon or Squid send.
constexpr std::size_t line_limit = 64 * 1024;

// The offset of the last entry of Encapsulated and whether it names a
// body; no entries, no heads and no body.
struct encapsulated_t {
    std::size_t heads = 0;
    bool body = false;
    bool sound = true;
};

encapsulated_t encapsulated_of(const std::string& head)
{
    encapsulated_t result;
    std::istringstream lines(head);
    for (std::string line; std::getline(lines, line);) {
        if (!boost::algorithm::istarts_with(line, "Encapsulated:"))
            continue;
        std::istringstream entries(line.substr(line.find(':') + 1));
        for (std::string entry; std::getline(entries, entry, ',');) {
            const std::size_t equals = entry.find('=');
            if (equals == std::string::npos) {
                result.sound = false;
                return result;
            }
            std::string name = entry.substr(0, equals);
            name.erase(0, name.find_first_not_of(' '));
            std::string value = entry.substr(equals + 1);
            while (!value.empty() && std::isspace(static_cast<unsigned char>(value.back())))
                value.pop_back();
            const auto [end, error] = std::from_chars(value.data(), value.data() + value.size(), result.heads);
            if (error != std::errc() || end != value.data() + value.size()) {
                result.sound = false;
                return result;
            }
            result.body = name.ends_with("-body") && name != "null-body";
        }
    }
    return result;
}

} // namespace

icap_stream_t::icap_stream_t(observer_t begun, observer_t ended) : begun_(std::move(begun)), ended_(std::move(ended)) {}

void icap_stream_t::feed(std::string_view bytes)
{
    while (!bytes.empty()) {
        switch (state_) {
        case state_t::head:
            take_head(bytes);
            break;
        case state_t::heads:
            take_heads(bytes);
            break;
        case state_t::size_line:
            take_size_line(bytes);
            break;
        case state_t::data:
            take_data(bytes);
            break;
        case state_t::data_end:
            take_data_end(bytes);
            break;
        case state_t::trailer:
            take_trailer(bytes);
            break;
        case state_t::broken:
            return;
        }
    }
}

void icap_stream_t::take_head(std::string_view& bytes)
{
    const std::size_t before = pending_.size();
    pending_.append(bytes);
    const std::size_t end = pending_.find("\r\n\r\n", before < 3 ? 0 : before - 3);
    if (end == std::string::npos) {
        bytes = {};
        if (pending_.size() > line_limit)
            fail("an ICAP head of more than " + std::to_string(line_limit) + " bytes");
        return;
    }
    bytes.remove_prefix(end + 4 - before);
    const std::string head = pending_.substr(0, end + 4);
    pending_.clear();
    message_ = icap_message_t{};
    message_.start_line = head.substr(0, head.find("\r\n"));
    const encapsulated_t encapsulated = encapsulated_of(head);
    if (!encapsulated.sound)
        return fail("Encapsulated is not a list of offsets: " + head);
    message_.has_body = encapsulated.body;
    heads_left_ = encapsulated.heads;
    if (heads_left_ > line_limit)
        return fail("encapsulated heads of " + std::to_string(heads_left_) + " bytes");
    if (heads_left_ == 0) {
        begun_(message_);
        begin_body_or_end();
        return;
    }
    state_ = state_t::heads;
}

void icap_stream_t::take_heads(std::string_view& bytes)
{
    const std::size_t n = std::min(heads_left_ - pending_.size(), bytes.size());
    pending_.append(bytes.substr(0, n));
    bytes.remove_prefix(n);
    if (pending_.size() < heads_left_)
        return;
    message_.http_start_line = pending_.substr(0, pending_.find("\r\n"));
    pending_.clear();
    begun_(message_);
    begin_body_or_end();
}

bool icap_stream_t::take_line(std::string_view& bytes, std::string& line)
{
    const std::size_t before = pending_.size();
    const std::size_t newline = bytes.find('\n');
    if (newline == std::string_view::npos) {
        pending_.append(bytes);
        bytes = {};
        if (pending_.size() > line_limit)
            fail("a line of more than " + std::to_string(line_limit) + " bytes");
        return false;
    }
    pending_.append(bytes.substr(0, newline + 1));
    bytes.remove_prefix(newline + 1);
    if (pending_.size() < 2 || pending_[pending_.size() - 2] != '\r') {
        fail("a line that does not end in CRLF after " + std::to_string(before) + " bytes");
        return false;
    }
    line = pending_.substr(0, pending_.size() - 2);
    pending_.clear();
    return true;
}

void icap_stream_t::take_size_line(std::string_view& bytes)
{
    std::string line;
    if (!take_line(bytes, line))
        return;
    const std::string size = line.substr(0, line.find(';'));
    std::uint64_t value = 0;
    const auto [end, error] = std::from_chars(size.data(), size.data() + size.size(), value, 16);
    if (size.empty() || error != std::errc() || end != size.data() + size.size())
        return fail("a chunk size line \"" + line + "\"");
    if (value == 0) {
        state_ = state_t::trailer;
        return;
    }
    chunk_left_ = value;
    state_ = state_t::data;
}

void icap_stream_t::take_data(std::string_view& bytes)
{
    const std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(chunk_left_, bytes.size()));
    bytes.remove_prefix(n);
    chunk_left_ -= n;
    message_.body_size += n;
    if (chunk_left_ == 0)
        state_ = state_t::data_end;
}

void icap_stream_t::take_data_end(std::string_view& bytes)
{
    std::string line;
    if (!take_line(bytes, line))
        return;
    if (!line.empty())
        return fail("chunk data longer than its size");
    state_ = state_t::size_line;
}

void icap_stream_t::take_trailer(std::string_view& bytes)
{
    std::string line;
    if (!take_line(bytes, line))
        return;
    if (line.empty())
        end_message();
}

void icap_stream_t::begin_body_or_end()
{
    if (message_.has_body)
        state_ = state_t::size_line;
    else
        end_message();
}

void icap_stream_t::end_message()
{
    state_ = state_t::head;
    ended_(message_);
}

void icap_stream_t::fail(const std::string& why)
{
    state_ = state_t::broken;
    if (broken_.empty())
        broken_ = why;
}

} // namespace soak
