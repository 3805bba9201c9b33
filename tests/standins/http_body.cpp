#include "standins/http_body.hpp"

#include <algorithm>
#include <array>
#include <cstdint>
#include <stdexcept>

#include <openssl/evp.h>

namespace standin {

const char* framing_name(framing_t framing)
{
    switch (framing) {
    case framing_t::length:
        return "length";
    case framing_t::chunked:
        return "chunked";
    case framing_t::close:
        return "close";
    }
    return "?";
}

std::string payload(std::size_t size)
{
    // xorshift32, seeded from the size; the state is never zero.
    std::uint32_t state = static_cast<std::uint32_t>(size * 2654435761u) | 1u;
    std::string bytes(size, '\0');
    for (char& c : bytes) {
        state ^= state << 13;
        state ^= state >> 17;
        state ^= state << 5;
        c = static_cast<char>(state >> 24);
    }
    return bytes;
}

std::string sha256_hex(std::string_view bytes)
{
    std::array<unsigned char, EVP_MAX_MD_SIZE> digest{};
    unsigned int length = 0;
    if (EVP_Digest(bytes.data(), bytes.size(), digest.data(), &length, EVP_sha256(), nullptr) != 1)
        throw std::runtime_error("SHA-256 failed");
    static const char digits[] = "0123456789abcdef";
    std::string text;
    for (unsigned int i = 0; i < length; ++i) {
        text += digits[digest[i] >> 4];
        text += digits[digest[i] & 0xf];
    }
    return text;
}

std::string chunked(std::string_view body)
{
    static constexpr std::array<std::size_t, 7> sizes{1, 4096, 17, 65536 + 3, 1000, 16384, 2};
    static const char digits[] = "0123456789abcdef";
    std::string wire;
    wire.reserve(body.size() + body.size() / 512 + 16);
    std::size_t at = 0;
    for (std::size_t i = 0; at < body.size(); ++i) {
        const std::size_t n = std::min(sizes[i % sizes.size()], body.size() - at);
        std::string hex;
        for (std::size_t v = n; v != 0; v >>= 4)
            hex.insert(hex.begin(), digits[v & 0xf]);
        wire += hex;
        wire += "\r\n";
        wire.append(body.substr(at, n));
        wire += "\r\n";
        at += n;
    }
    wire += "0\r\n\r\n";
    return wire;
}

} // namespace standin
