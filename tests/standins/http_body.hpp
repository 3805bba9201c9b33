#pragma once

// Bodies for the tests that carry HTTP messages through a proxy: contents
// that depend only on their size, their SHA-256, and the framings a body
// can travel in, so that both ends of a transfer can check it byte for byte.

#include <cstddef>
#include <string>
#include <string_view>

namespace standin {

// How a body is delimited on the wire: by Content-Length, by chunked
// transfer coding, or (answers only) by the end of the connection.
enum class framing_t { length, chunked, close };

const char* framing_name(framing_t framing);

// `size` bytes of every value, the same for the same size; bodies of
// different sizes are not prefixes of each other.
std::string payload(std::size_t size);

// The SHA-256 of the bytes, in lower-case hexadecimal.
std::string sha256_hex(std::string_view bytes);

// The body in chunked transfer coding, cut into chunks of varied sizes (one
// byte up to more than 64 KiB) so that chunk boundaries fall everywhere,
// with the last chunk and no trailer.
std::string chunked(std::string_view body);

} // namespace standin
