#include "bench/load_path.hpp"

#include <algorithm>
#include <string_view>

#include "standins/http_body.hpp"

namespace bench {

namespace {

constexpr std::size_t chunk_limit = 16 * 1024;

std::string hex(std::size_t value)
{
    static const char digits[] = "0123456789abcdef";
    std::string text;
    do {
        text.insert(text.begin(), digits[value & 0xf]);
        value >>= 4;
    } while (value != 0);
    return text;
}

// The bytes in chunks, without the last chunk.
std::string chunks(std::string_view bytes)
{
    std::string wire;
    for (std::size_t at = 0; at < bytes.size(); at += chunk_limit) {
        const std::string_view piece = bytes.substr(at, chunk_limit);
        wire += hex(piece.size()) + "\r\n";
        wire.append(piece);
        wire += "\r\n";
    }
    return wire;
}

std::string start_line(const char* method, unsigned port, const std::string& service)
{
    return std::string(method) + " icap://127.0.0.1:" + std::to_string(port) + service +
           " ICAP/1.0\r\nHost: 127.0.0.1:" + std::to_string(port) + "\r\n";
}

// With a preview when one is given, of that size (0 included).
load_path_t respmod(const std::string& name, unsigned port, const std::string& service, std::size_t size,
                    std::optional<std::size_t> preview)
{
    load_path_t path;
    path.name = name;
    path.body = standin::payload(size);
    const std::string http_head =
        "HTTP/1.1 200 OK\r\nContent-Type: application/octet-stream\r\nContent-Length: " + std::to_string(size) +
        "\r\n\r\n";
    path.first = start_line("RESPMOD", port, service);
    if (preview)
        path.first += "Preview: " + std::to_string(*preview) + "\r\nAllow: 204\r\n";
    path.first += "Encapsulated: res-hdr=0, res-body=" + std::to_string(http_head.size()) + "\r\n\r\n" + http_head;
    const std::string_view body(path.body);
    if (preview) {
        path.first += chunks(body.substr(0, *preview)) + "0\r\n\r\n";
        path.rest = chunks(body.substr(*preview)) + "0\r\n\r\n";
    } else {
        path.first += chunks(body) + "0\r\n\r\n";
    }
    path.answer_204 = preview.has_value();
    path.answer_200 = true;
    return path;
}

} // namespace

std::optional<std::string> load_path_t::judge(unsigned status, bool has_body, bool body_matches) const
{
    if (status == 204 && answer_204)
        return std::nullopt;
    if (status == 200 && answer_200) {
        if (body.empty() || (has_body && body_matches))
            return std::nullopt;
        return has_body ? "200 with a body other than the one sent" : "200 without the body";
    }
    return "status " + std::to_string(status);
}

const std::vector<std::string>& load_path_names()
{
    static const std::vector<std::string> names{"options", "reqmod-204", "respmod-10k-preview", "respmod-10k",
                                                "respmod-1m"};
    return names;
}

std::optional<load_path_t> make_load_path(const std::string& name, unsigned port, const std::string& service,
                                          std::size_t preview)
{
    if (name == "options") {
        load_path_t path;
        path.name = name;
        path.first = start_line("OPTIONS", port, service) + "\r\n";
        path.answer_200 = true;
        return path;
    }
    if (name == "reqmod-204") {
        load_path_t path;
        path.name = name;
        const std::string http_head = "GET http://www.example.com/index.html HTTP/1.1\r\nHost: www.example.com\r\n"
                                      "Accept: */*\r\nUser-Agent: icap-load\r\n\r\n";
        path.first = start_line("REQMOD", port, service) +
                     "Allow: 204\r\nEncapsulated: req-hdr=0, null-body=" + std::to_string(http_head.size()) +
                     "\r\n\r\n" + http_head;
        path.answer_204 = true;
        return path;
    }
    if (name == "respmod-10k-preview")
        return respmod(name, port, service, 10 * 1024, std::min(preview, max_preview));
    if (name == "respmod-10k")
        return respmod(name, port, service, 10 * 1024, std::nullopt);
    if (name == "respmod-1m")
        return respmod(name, port, service, 1024 * 1024, std::nullopt);
    return std::nullopt;
}

} // namespace bench
