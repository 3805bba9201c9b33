#pragma once

// The Vetter client against the stand-in Vetter, both on the event loop of
// an application object whose PilotD is the test: bodies as a proxy sends
// them (chunked, with bytes of the next query behind), scans, and the
// bodies handed back, decoded.

#include <gtest/gtest.h>

#include <stdlib.h>

#include <filesystem>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "app/inventory_fixture.hpp"
#include "clients/vetter_connection.hpp"
#include "protocol/body_stream.hpp"
#include "protocol/scripted_stream.hpp"
#include "standins/vetter_standin.hpp"

namespace test_vetter {

using body_t = std::shared_ptr<io::http::body_stream_t>;

// A chunked body on the wire: the chunks in order, then the terminating
// chunk with the trailer lines (each ending in CR LF).
inline std::string chunked(const std::vector<std::string>& chunks, const std::string& trailer_lines = "")
{
    std::ostringstream wire;
    for (const auto& chunk : chunks)
        wire << std::hex << chunk.size() << "\r\n" << chunk << "\r\n";
    wire << "0\r\n" << trailer_lines << "\r\n";
    return wire.str();
}

inline std::string joined(const std::vector<std::string>& chunks)
{
    std::string all;
    for (const auto& chunk : chunks)
        all += chunk;
    return all;
}

// What one scan delivered.
struct scan_result_t {
    int calls = 0;
    bool inside_call = false;
    ox::ScanReport report;
    body_t body;
    boost::system::error_code error;
};

// A body handed back, decoded again from its chunked coding.
struct decoded_t {
    std::string data;
    io::http::param_map_t trailers;
    // Bytes after the terminating chunk.
    std::string rest;
    boost::system::error_code error;
};

class fixture_t : public test_inventory::fixture_t {
protected:
    fixture_t()
    {
        char name[] = "/tmp/traxd-vetter-XXXXXX";
        if (::mkdtemp(name) == nullptr)
            throw std::runtime_error("mkdtemp");
        directory = name;
        vetter = std::make_unique<standin::vetter_standin_t>(inventory->io_context, directory + "/vetter.sock");
    }

    ~fixture_t() override
    {
        if (connection)
            connection->close();
        connection.reset();
        vetter.reset();
        std::error_code ignored;
        std::filesystem::remove_all(directory, ignored);
    }

    // Connects the client to the stand-in and counts its `closed`.
    std::shared_ptr<ic::vetter_connection_t> connect()
    {
        connection = ic::vetter_connection_t::connect(*inventory, vetter->path());
        closed_slot = connection->closed.connect([this] { ++closed; });
        return connection;
    }

    // The body a proxy sends, decoded from its wire form; the bytes after it
    // belong to the next query and must never be taken.
    body_t body_of(const std::vector<std::string>& chunks, const std::string& trailer_lines = "",
                   std::size_t read_size = 1 << 20)
    {
        const std::string wire = chunked(chunks, trailer_lines) + next_query;
        return io::http::body_stream_t::make_chunked_decoder(
            std::make_shared<test::piece_stream_t>(inventory->io_context, orx::buffer_t(wire), read_size));
    }

    scan_result_t scan(const body_t& body, bool report_component_info = false)
    {
        scan_result_t result;
        bool inside = true;
        connection->scan(body, report_component_info,
                         [&result, &inside](const ox::ScanReport& report, const body_t& handed,
                                            const boost::system::error_code& error) {
                             ++result.calls;
                             result.inside_call = inside;
                             result.report = report;
                             result.body = handed;
                             result.error = error;
                         });
        inside = false;
        run_until([&] { return result.calls > 0; });
        return result;
    }

    // Reads a body handed back to its end, as the answer writer would.
    std::string read_wire(const body_t& body, boost::system::error_code* failure = nullptr)
    {
        std::string wire;
        bool done = false;
        io::http::async_read_body(
            body, [&](const std::shared_ptr<io::http::body_t>& chunks, const boost::system::error_code& error) {
                for (const auto& chunk : *chunks)
                    wire += chunk.data.str();
                if (failure)
                    *failure = error;
                done = true;
            });
        if (!run_until([&] { return done; }) && failure)
            *failure = boost::asio::error::timed_out;
        return wire;
    }

    decoded_t decode(const std::string& wire)
    {
        decoded_t decoded;
        auto raw = io::stream_t::make(inventory->io_context, orx::buffer_t(wire));
        auto body = io::http::body_stream_t::make_chunked_decoder(raw);
        bool done = false;
        io::http::async_read_body(
            body, [&](const std::shared_ptr<io::http::body_t>& chunks, const boost::system::error_code& error) {
                for (const auto& chunk : *chunks)
                    decoded.data += chunk.data.str();
                if (!chunks->empty())
                    decoded.trailers = chunks->back().trailers;
                decoded.error = error;
                done = true;
            });
        run_until([&] { return done; });
        bool rest_done = false;
        io::async_read_all(body->release(), [&](const orx::buffer_t& rest, const boost::system::error_code&) {
            decoded.rest = rest.str();
            rest_done = true;
        });
        run_until([&] { return rest_done; });
        return decoded;
    }

    // The client's log prefix.
    std::string prefix() const
    {
        std::ostringstream text;
        text << "Vetter " << static_cast<const void*>(connection.get());
        return text.str();
    }

    std::vector<std::string> warnings() const
    {
        std::vector<std::string> texts;
        for (const auto& record : log->records)
            if (record.level == cf_log_warning)
                texts.push_back(record.text);
        return texts;
    }

    // The messages of one tag that the stand-in received.
    std::vector<vr::ClientMessage> received(vr::ClientMessage::ClientMessageTag tag) const
    {
        std::vector<vr::ClientMessage> messages;
        for (const auto& r : vetter->received())
            if (r.message.tag() == tag)
                messages.push_back(r.message);
        return messages;
    }

    const std::string next_query = "OPTIONS icap://127.0.0.1/respmod ICAP/1.0\r\n\r\n";
    std::string directory;
    std::unique_ptr<standin::vetter_standin_t> vetter;
    std::shared_ptr<ic::vetter_connection_t> connection;
    boost::signals2::scoped_connection closed_slot;
    int closed = 0;
};

} // namespace test_vetter
