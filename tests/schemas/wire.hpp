#pragma once

// Frames as the IPC link handles them, for the schema wire tests.

#include <gtest/gtest.h>

#include <google/protobuf/descriptor.h>
#include <google/protobuf/io/zero_copy_stream_impl_lite.h>
#include <google/protobuf/message.h>
#include <google/protobuf/stubs/logging.h>

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

namespace wire {

namespace gp = google::protobuf;

// "08 00" -> the two bytes 0x08 0x00.
inline std::string bytes(std::string_view hex)
{
    std::string out;
    int high = -1;
    for (char c : hex) {
        if (c == ' ')
            continue;
        const int nibble = c <= '9' ? c - '0' : (c | 0x20) - 'a' + 10;
        if (high < 0) {
            high = nibble;
        } else {
            out.push_back(static_cast<char>(high << 4 | nibble));
            high = -1;
        }
    }
    return out;
}

inline std::string hex(const std::string& data)
{
    static const char digits[] = "0123456789abcdef";
    std::string out;
    for (unsigned char c : data) {
        if (!out.empty())
            out += ' ';
        out += digits[c >> 4];
        out += digits[c & 15];
    }
    return out;
}

// The sender's way: size first, then the cached-size serialisation, which
// does not insist on required fields.
inline std::string send(const gp::Message& message)
{
    std::string out(message.ByteSizeLong(), '\0');
    auto* data = reinterpret_cast<std::uint8_t*>(out.data());
    auto* end = message.SerializeWithCachedSizesToArray(data);
    EXPECT_EQ(end - data, static_cast<std::ptrdiff_t>(out.size()));
    return out;
}

// The receiver's way: the parse that checks required fields.
inline bool receive(gp::Message& message, const std::string& data)
{
    gp::io::ArrayInputStream in(data.data(), static_cast<int>(data.size()));
    return message.ParseFromZeroCopyStream(&in);
}

inline std::unique_ptr<gp::Message> make(std::string_view full_name)
{
    const auto* d = gp::DescriptorPool::generated_pool()->FindMessageTypeByName(std::string(full_name));
    if (d == nullptr)
        return nullptr;
    return std::unique_ptr<gp::Message>(gp::MessageFactory::generated_factory()->GetPrototype(d)->New());
}

// One frame: whether it parses and, when it does, what sending it again
// writes.
struct frame_case {
    std::string_view type;
    std::string_view wire;
    bool parses;
    std::string_view why;
    std::string_view again = {}; // empty: the input itself
};

template <std::size_t n>
void expect_frames(const frame_case (&cases)[n])
{
    // The library logs every refused parse; the expected refusals are noise.
    const gp::LogSilencer quiet;
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.type) + " [" + std::string(c.wire) + "]: " + std::string(c.why));
        auto message = make(c.type);
        ASSERT_NE(message, nullptr);
        EXPECT_EQ(receive(*message, bytes(c.wire)), c.parses);
        if (c.parses) {
            EXPECT_EQ(hex(send(*message)), c.again.empty() ? c.wire : c.again);
        }
    }
}

} // namespace wire
