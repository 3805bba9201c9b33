// The Vetter client's flow control against a peer the test plays by hand:
// a peer that does not read holds a chunk back in the client, and an ALARM
// that comes meanwhile must not take that chunk out of the answer.

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>
#include <functional>

#include "common/error_category.hpp"
#include "vetter_fixture.hpp"

namespace {

using tag_t = vr::ClientMessage;
using test_vetter::body_t;

// Vetter's end of one connection, read and written by the test.
class raw_vetter_t {
public:
    explicit raw_vetter_t(const std::string& path)
    {
        listener_ = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
        if (::bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
            ::listen(listener_, 1) != 0)
            throw std::runtime_error("listen");
    }
    ~raw_vetter_t()
    {
        for (int fd : {peer_, listener_})
            if (fd >= 0)
                ::close(fd);
    }

    // Takes the client's connection, which its blocking connect queued.
    void accept()
    {
        peer_ = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
        if (peer_ < 0)
            throw std::runtime_error("accept");
    }

    // Runs pump while the client's side is full.
    void send(const vr::ServerMessage& message, const std::function<void()>& pump)
    {
        const std::string body = message.SerializeAsString();
        const auto length = static_cast<std::uint32_t>(body.size());
        std::string frame(sizeof length, '\0');
        std::memcpy(frame.data(), &length, sizeof length);
        frame += body;
        std::size_t at = 0;
        while (at < frame.size()) {
            const ssize_t n = ::send(peer_, frame.data() + at, frame.size() - at, MSG_NOSIGNAL);
            if (n < 0 && errno != EAGAIN)
                throw std::runtime_error("send");
            if (n > 0)
                at += static_cast<std::size_t>(n);
            else
                pump();
        }
    }

    // The messages that have arrived whole so far.
    std::vector<vr::ClientMessage> read_available()
    {
        char chunk[65536];
        for (;;) {
            const ssize_t n = ::recv(peer_, chunk, sizeof chunk, 0);
            if (n <= 0)
                break;
            pending_.append(chunk, static_cast<std::size_t>(n));
        }
        std::vector<vr::ClientMessage> messages;
        std::uint32_t length = 0;
        while (pending_.size() >= sizeof length) {
            std::memcpy(&length, pending_.data(), sizeof length);
            if (pending_.size() < sizeof length + length)
                break;
            vr::ClientMessage message;
            if (!message.ParseFromString(pending_.substr(sizeof length, length)))
                throw std::runtime_error("the client sent a message that does not parse");
            messages.push_back(message);
            pending_.erase(0, sizeof length + length);
        }
        return messages;
    }

private:
    int listener_ = -1;
    int peer_ = -1;
    std::string pending_;
};

class vetter_flow_test : public test_vetter::fixture_t {
protected:
    std::size_t logged_chunks() const
    {
        std::size_t n = 0;
        for (const auto& record : log->records)
            if (record.text.find(" --> DATA_CHUNK ") != std::string::npos)
                ++n;
        return n;
    }
};

TEST_F(vetter_flow_test, an_alarm_while_a_chunk_waits_keeps_that_chunk_in_the_answer)
{
    raw_vetter_t peer(directory + "/raw.sock");
    connection = ic::vetter_connection_t::connect(*inventory, directory + "/raw.sock");
    peer.accept();

    // Enough 64 KiB chunks to fill the socket while the peer does not read.
    std::vector<std::string> chunks;
    for (int i = 0; i < 24; ++i)
        chunks.push_back(std::string(65535, static_cast<char>('A' + i)));
    test_vetter::scan_result_t result;
    connection->scan(
        body_of(chunks, "X-Z: z\r\n"), false,
        [&result](const ox::ScanReport& report, const body_t& body, const boost::system::error_code& error) {
            ++result.calls;
            result.report = report;
            result.body = body;
            result.error = error;
        });
    // The client sends until the socket is full; one more chunk then waits
    // for the output to drain, and the body is read no further.
    std::size_t sent = 0;
    for (int quiet = 0; quiet < 20; ++quiet) {
        run_until([] { return false; }, std::chrono::milliseconds(20));
        if (logged_chunks() != sent) {
            sent = logged_chunks();
            quiet = 0;
        }
    }
    ASSERT_GT(sent, 0u);
    ASSERT_LT(sent + 1, chunks.size());

    vr::ServerMessage alarm;
    alarm.set_tag(vr::ServerMessage::ALARM);
    alarm.set_job_id(1);
    alarm.mutable_error()->set_code(ox::EC_NOT_A_REGULAR_FILE);
    peer.send(alarm, pumper());
    ASSERT_TRUE(run_until([&] { return result.calls == 1; }));
    EXPECT_EQ(result.error, ox::make_error_code(ox::EC_NOT_A_REGULAR_FILE));

    // Read the answer while playing Vetter: it returns what it received.
    std::string wire;
    bool done = false;
    boost::system::error_code failure;
    io::http::async_read_body(
        result.body, [&](const std::shared_ptr<io::http::body_t>& body, const boost::system::error_code& error) {
            for (const auto& chunk : *body)
                wire += chunk.data.str();
            failure = error;
            done = true;
        });
    std::string received;
    std::size_t received_chunks = 0;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (!done && std::chrono::steady_clock::now() < deadline) {
        pump();
        for (const auto& message : peer.read_available()) {
            if (message.tag() == tag_t::DATA_CHUNK) {
                received += message.data();
                ++received_chunks;
            }
            if (message.tag() != tag_t::GET_DATA_REQUEST)
                continue;
            vr::ServerMessage response;
            response.set_tag(vr::ServerMessage::GET_DATA_RESPONSE);
            response.set_job_id(1);
            response.set_data_size(received.size());
            peer.send(response, pumper());
            for (std::size_t at = 0; at < received.size(); at += 1 << 20) {
                vr::ServerMessage data;
                data.set_tag(vr::ServerMessage::DATA_CHUNK);
                data.set_job_id(1);
                data.set_data(received.substr(at, 1 << 20));
                peer.send(data, pumper());
            }
        }
    }
    ASSERT_TRUE(done);
    EXPECT_FALSE(failure) << failure.message();
    // The drained output found nothing left to complete.
    EXPECT_EQ(result.calls, 1);
    // Every chunk that went out arrived; the one held back never went out,
    // and still is in the answer, in its place.
    EXPECT_EQ(received_chunks, sent);
    EXPECT_EQ(logged_chunks(), sent);
    const auto decoded = decode(wire);
    EXPECT_EQ(decoded.data.size(), test_vetter::joined(chunks).size());
    EXPECT_TRUE(decoded.data == test_vetter::joined(chunks));
    EXPECT_EQ(decoded.trailers.get("X-Z"), "z");
    EXPECT_EQ(decoded.rest, "");
}

// Two jobs with chunks ready take turns: one DATA_CHUNK in the output at a
// time, the next from the job that waited longest.
TEST_F(vetter_flow_test, jobs_take_turns_while_the_output_is_busy)
{
    raw_vetter_t peer(directory + "/raw.sock");
    connection = ic::vetter_connection_t::connect(*inventory, directory + "/raw.sock");
    peer.accept();
    std::vector<std::string> a, b;
    for (int i = 0; i < 12; ++i) {
        a.push_back(std::string(65535, 'a'));
        b.push_back(std::string(65535, 'b'));
    }
    int answered = 0;
    for (const auto* chunks : {&a, &b})
        connection->scan(body_of(*chunks), false,
                         [&answered](const ox::ScanReport&, const body_t&, const boost::system::error_code& error) {
                             EXPECT_FALSE(error) << error.message();
                             ++answered;
                         });
    // The peer reads nothing for a while, so that both jobs wait with a
    // chunk each while the output is full.
    run_until([] { return false; }, std::chrono::milliseconds(200));
    // Neither body is read further than the output takes: what went out
    // filled the socket, and one chunk of each job waits.
    EXPECT_LT(logged_chunks(), a.size() / 2);
    std::vector<unsigned> order;
    std::size_t requests = 0;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (requests < 2 && std::chrono::steady_clock::now() < deadline) {
        pump();
        for (const auto& message : peer.read_available()) {
            if (message.tag() == tag_t::DATA_CHUNK)
                order.push_back(message.job_id());
            if (message.tag() == tag_t::SCAN_REQUEST)
                ++requests;
        }
    }
    ASSERT_EQ(requests, 2u);
    ASSERT_EQ(order.size(), a.size() + b.size());
    // After the first chunk each job's next one waits for the other's.
    for (std::size_t i = 1; i + 1 < order.size(); ++i)
        EXPECT_NE(order[i], order[i + 1]) << "DATA_CHUNKs " << i << " and " << i + 1;
}

} // namespace
