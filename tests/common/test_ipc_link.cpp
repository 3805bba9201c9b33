#include <chrono>
#include <cstdint>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include <boost/asio/io_context.hpp>
#include <boost/asio/local/connect_pair.hpp>
#include <boost/asio/write.hpp>
#include <boost/system/system_error.hpp>
#include <gtest/gtest.h>

#include "common/error_category.hpp"
#include "common/ipc_link.hpp"
#include "common/what.hpp"
#include "schemas/error.pb.h"

namespace {

using namespace std::chrono_literals;

// Records everything the link tells its owner.
class recording_link_t : public cf_ipc_link_t, public std::enable_shared_from_this<recording_link_t> {
public:
    explicit recording_link_t(std::shared_ptr<cf_ipc_socket_t> s) { socket = std::move(s); }

    std::vector<std::string> messages;
    std::vector<boost::system::error_code> errors;
    std::vector<std::size_t> writes;
    int write_ends = 0;
    int drained = 0;

protected:
    void on_message(google::protobuf::io::ZeroCopyInputStream& body) override
    {
        std::string bytes;
        const void* data;
        int size;
        while (body.Next(&data, &size))
            bytes.append(static_cast<const char*>(data), size);
        messages.push_back(std::move(bytes));
    }
    void on_error(const boost::system::error_code& ec) override { errors.push_back(ec); }
    std::shared_ptr<cf_ipc_link_t> shared_self() override { return shared_from_this(); }
    void on_write_begin(std::size_t bytes) override { writes.push_back(bytes); }
    void on_write_end() override { ++write_ends; }
    void on_output_drained() override { ++drained; }
};

std::string length_field(std::uint32_t n)
{
    std::string bytes(sizeof n, '\0');
    std::memcpy(bytes.data(), &n, sizeof n);
    return bytes;
}

std::string frame(const std::string& body)
{
    return length_field(static_cast<std::uint32_t>(body.size())) + body;
}

ox::Error error_message(ox::ErrorCode code, const std::string& what)
{
    ox::Error message;
    message.set_code(code);
    message.set_what(what);
    return message;
}

std::string body_of(const ox::Error& message)
{
    std::string bytes;
    message.SerializePartialToString(&bytes);
    return bytes;
}

// One connected socket pair: `link` on one end, the test's raw socket (or
// a second link) on the other.
struct wire_t {
    std::shared_ptr<cf_ipc_socket_t> ours;
    std::shared_ptr<cf_ipc_socket_t> peer;
    std::shared_ptr<recording_link_t> link;
};

class ipc_link_test : public ::testing::Test {
protected:
    wire_t connect()
    {
        wire_t w{std::make_shared<cf_ipc_socket_t>(io), std::make_shared<cf_ipc_socket_t>(io), nullptr};
        boost::asio::local::connect_pair(*w.ours, *w.peer);
        w.link = std::make_shared<recording_link_t>(w.ours);
        return w;
    }

    // Runs the loop until `done` holds or `limit` has passed.
    bool run_until(const std::function<bool()>& done, std::chrono::steady_clock::duration limit = 10s)
    {
        const auto deadline = std::chrono::steady_clock::now() + limit;
        while (!done() && std::chrono::steady_clock::now() < deadline) {
            io.restart();
            io.run_one_for(10ms);
        }
        return done();
    }

    // Runs whatever is still due, to show that nothing more is reported.
    void settle()
    {
        io.restart();
        io.run_for(50ms);
    }

    static void write_raw(cf_ipc_socket_t& socket, const std::string& bytes)
    {
        boost::asio::write(socket, boost::asio::buffer(bytes));
    }

    boost::asio::io_context io;
    wire_t w = connect();
};

TEST_F(ipc_link_test, frames_split_at_every_byte_arrive_whole)
{
    const std::string first = body_of(error_message(ox::EC_BAD_CONFIG, "first"));
    const std::string second = body_of(error_message(ox::EC_PROTOCOL_VIOLATION, "the second message"));
    const std::string stream = frame(first) + frame(second);
    for (std::size_t split = 1; split < stream.size(); ++split) {
        SCOPED_TRACE(split);
        wire_t pair = connect();
        pair.link->start_read();
        write_raw(*pair.peer, stream.substr(0, split));
        if (split >= frame(first).size())
            ASSERT_TRUE(run_until([&] { return pair.link->messages.size() == 1; }));
        else
            settle();
        write_raw(*pair.peer, stream.substr(split));
        ASSERT_TRUE(run_until([&] { return pair.link->messages.size() == 2; }));
        EXPECT_EQ(pair.link->messages[0], first);
        EXPECT_EQ(pair.link->messages[1], second);
        EXPECT_TRUE(pair.link->errors.empty());
        pair.link->close();
        settle();
    }
}

TEST_F(ipc_link_test, refused_length_stops_reading)
{
    const std::string valid = frame(body_of(error_message(ox::EC_OK, "after")));
    for (std::uint32_t length : {0u, 0x4000001u, 0xffffffffu}) {
        SCOPED_TRACE(length);
        wire_t pair = connect();
        pair.link->start_read();
        write_raw(*pair.peer, length_field(length) + valid + valid);
        ASSERT_TRUE(run_until([&] { return !pair.link->errors.empty(); }));
        settle();
        ASSERT_EQ(pair.link->errors.size(), 1u);
        EXPECT_EQ(pair.link->errors[0], ox::make_error_code(ox::EC_BAD_MESSAGE_SIZE));
        EXPECT_EQ(pair.link->errors[0].message(), "Invalid IPC message size");
        EXPECT_TRUE(pair.link->messages.empty());
    }
}

TEST_F(ipc_link_test, empty_message_goes_out_as_a_frame_receivers_refuse)
{
    const auto receiver = std::make_shared<recording_link_t>(w.peer);
    receiver->start_read();
    w.link->async_send_message(ox::Error());
    ASSERT_TRUE(run_until([&] { return !receiver->errors.empty(); }));
    EXPECT_EQ(w.link->writes, std::vector<std::size_t>{4});
    EXPECT_EQ(receiver->errors[0], ox::make_error_code(ox::EC_BAD_MESSAGE_SIZE));
    EXPECT_TRUE(receiver->messages.empty());
}

TEST_F(ipc_link_test, largest_message_goes_through_and_one_byte_more_is_refused)
{
    const std::size_t limit = 0x4000000;
    // code (2 bytes) and what (1 byte tag, 4 bytes length, text) fill the limit.
    ox::Error largest = error_message(ox::EC_OK, std::string(limit - 7, 'x'));
    ASSERT_EQ(largest.ByteSizeLong(), limit);

    const auto receiver = std::make_shared<recording_link_t>(w.peer);
    receiver->start_read();
    w.link->async_send_message(largest);
    ASSERT_TRUE(run_until([&] { return !receiver->messages.empty() || !receiver->errors.empty(); }, 120s));
    ASSERT_TRUE(receiver->errors.empty());
    ASSERT_EQ(receiver->messages[0].size(), limit);
    ox::Error received;
    ASSERT_TRUE(received.ParseFromString(receiver->messages[0]));
    EXPECT_EQ(received.what().size(), limit - 7);
    EXPECT_EQ(w.link->writes, std::vector<std::size_t>{limit + 4});

    largest.mutable_what()->push_back('x');
    try {
        w.link->async_send_message(largest);
        FAIL() << "an oversized message was accepted";
    } catch (const boost::system::system_error& e) {
        EXPECT_EQ(e.code(), ox::make_error_code(ox::EC_BAD_MESSAGE_SIZE));
        EXPECT_STREQ(cf_what(e), "async_send_message: Invalid IPC message size [ox.Error:7]");
    }
    settle();
    EXPECT_EQ(w.link->writes.size(), 1u);
    EXPECT_TRUE(w.link->errors.empty());
}

TEST_F(ipc_link_test, end_of_stream_inside_a_frame_reports_the_end_only)
{
    const std::string body = body_of(error_message(ox::EC_OK, "whole"));
    struct case_t {
        const char* name;
        std::string bytes;
        std::size_t messages;
    };
    const case_t cases[] = {
        {"inside the length", length_field(10).substr(0, 2), 0},
        {"inside the body", length_field(10) + "12345", 0},
        {"after a whole frame", frame(body), 1},
        {"after a frame and a length", frame(body) + length_field(3), 1},
    };
    for (const case_t& c : cases) {
        SCOPED_TRACE(c.name);
        wire_t pair = connect();
        pair.link->start_read();
        write_raw(*pair.peer, c.bytes);
        pair.peer->shutdown(boost::asio::socket_base::shutdown_send);
        ASSERT_TRUE(run_until([&] { return !pair.link->errors.empty(); }));
        settle();
        EXPECT_EQ(pair.link->errors, std::vector<boost::system::error_code>{boost::asio::error::eof});
        EXPECT_EQ(pair.link->messages.size(), c.messages);
    }
}

TEST_F(ipc_link_test, sends_during_a_write_go_out_together_in_order)
{
    const auto receiver = std::make_shared<recording_link_t>(w.peer);
    receiver->start_read();
    std::vector<std::string> bodies;
    for (const char* text : {"one", "two", "three", "four"})
        bodies.push_back(body_of(error_message(ox::EC_OK, text)));

    w.link->async_send_message(error_message(ox::EC_OK, "one"));
    ASSERT_EQ(w.link->writes.size(), 1u);
    for (const char* text : {"two", "three", "four"})
        w.link->async_send_message(error_message(ox::EC_OK, text));
    EXPECT_EQ(w.link->writes.size(), 1u);
    EXPECT_EQ(w.link->drained, 0);

    ASSERT_TRUE(run_until([&] { return receiver->messages.size() == 4 && w.link->drained == 1; }));
    settle();
    EXPECT_EQ(receiver->messages, bodies);
    const std::vector<std::size_t> expected_writes{
        frame(bodies[0]).size(), frame(bodies[1]).size() + frame(bodies[2]).size() + frame(bodies[3]).size()};
    EXPECT_EQ(w.link->writes, expected_writes);
    EXPECT_EQ(w.link->write_ends, 2);
    EXPECT_EQ(w.link->drained, 1);
    EXPECT_TRUE(w.link->errors.empty());
}

TEST_F(ipc_link_test, failed_write_is_reported_once_and_later_sends_are_refused)
{
    for (bool reading : {false, true}) {
        SCOPED_TRACE(reading ? "with a read outstanding" : "without a read");
        wire_t pair = connect();
        if (reading)
            pair.link->start_read();
        pair.peer->close();
        pair.link->async_send_message(error_message(ox::EC_OK, "lost"));
        pair.link->async_send_message(error_message(ox::EC_OK, "queued behind it"));
        ASSERT_TRUE(run_until([&] { return !pair.link->errors.empty(); }));
        settle();
        ASSERT_EQ(pair.link->errors.size(), 1u);
        if (!reading) {
            EXPECT_EQ(pair.link->errors[0], boost::asio::error::broken_pipe);
        }
        EXPECT_EQ(pair.link->writes.size(), 1u);
        EXPECT_EQ(pair.link->write_ends, 0);
        EXPECT_EQ(pair.link->drained, 0);

        try {
            pair.link->async_send_message(error_message(ox::EC_OK, "refused"));
            FAIL() << "a send after a failed write was accepted";
        } catch (const boost::system::system_error& e) {
            EXPECT_EQ(e.code(), boost::asio::error::broken_pipe);
        }
        settle();
        EXPECT_EQ(pair.link->errors.size(), 1u);
        EXPECT_EQ(pair.link->writes.size(), 1u);
    }
}

TEST_F(ipc_link_test, send_without_an_open_socket_is_refused)
{
    const auto unconnected = std::make_shared<recording_link_t>(nullptr);
    w.link->close();
    for (const auto& link : {unconnected, w.link}) {
        SCOPED_TRACE(link == unconnected ? "no socket" : "closed socket");
        EXPECT_FALSE(link->is_open());
        link->start_read();
        try {
            link->async_send_message(error_message(ox::EC_OK, "nowhere"));
            FAIL() << "a send without a socket was accepted";
        } catch (const boost::system::system_error& e) {
            EXPECT_EQ(e.code(), boost::asio::error::not_connected);
        }
        EXPECT_NO_THROW(link->close());
        settle();
        EXPECT_TRUE(link->writes.empty());
        EXPECT_TRUE(link->errors.empty());
    }
}

TEST_F(ipc_link_test, completions_after_close_report_nothing)
{
    // The frame is there before the read starts, so the read and the write
    // may both have completed already when the link is closed.
    write_raw(*w.peer, frame(body_of(error_message(ox::EC_OK, "unread"))));
    w.link->start_read();
    w.link->async_send_message(error_message(ox::EC_OK, "in flight"));
    w.link->close();
    settle();
    EXPECT_TRUE(w.link->messages.empty());
    EXPECT_TRUE(w.link->errors.empty());
    EXPECT_EQ(w.link->write_ends, 0);
}

} // namespace
