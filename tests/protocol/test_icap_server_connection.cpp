#include <gtest/gtest.h>

#include <boost/asio/local/connect_pair.hpp>
#include <boost/asio/write.hpp>

#include <algorithm>
#include <functional>
#include <sstream>
#include <string>
#include <vector>

#include "io/connection.hpp"
#include "protocol/icap_server_connection.hpp"
#include "protocol/preview.hpp"
#include "protocol/protocol_error.hpp"
#include "scripted_stream.hpp"

using io::icap::request_t;
using io::icap::response_t;
using io::icap::server_connection_t;
using test::run_until;
using test::scripted_stream_t;

namespace {

boost::system::error_code const eof = boost::asio::error::eof;

// Keeps what is sent to it.
class recording_output_t : public io::output_stream_t {
public:
    explicit recording_output_t(boost::asio::io_context& context) : executor_(context.get_executor()) {}
    boost::asio::any_io_executor get_executor() override { return executor_; }
    void async_send(const orx::buffer_t& data, send_handler_t handler, keep_t keep = nullptr) override
    {
        sent += data.str();
        boost::asio::post(executor_, [handler, keep] { handler({}); });
    }
    std::string sent;

private:
    boost::asio::any_io_executor executor_;
};

struct outcome_t {
    bool done = false;
    std::shared_ptr<const request_t> request;
    boost::system::error_code error;
};

std::shared_ptr<response_t> answer(int code, const std::string& reason)
{
    auto response = response_t::make();
    response->version = {1, 0};
    response->code = code;
    response->reason = reason;
    return response;
}

std::string const options_query = "OPTIONS icap://127.0.0.1/reqmod ICAP/1.0\r\nEncapsulated: null-body=0\r\n\r\n";

// A query over scripted reads; the server side writes into a recorder.
struct scripted_fixture_t : ::testing::Test {
    boost::asio::io_context context;
    std::shared_ptr<recording_output_t> output = std::make_shared<recording_output_t>(context);

    std::shared_ptr<server_connection_t> connect(std::deque<scripted_stream_t::step_t> reads)
    {
        return server_connection_t::make(scripted_stream_t::make(context, std::move(reads)), output);
    }

    outcome_t wait(const std::shared_ptr<server_connection_t>& connection)
    {
        outcome_t outcome;
        io::async_handle_query(connection,
                               [&](const std::shared_ptr<const request_t>& request,
                                   const boost::system::error_code& error, const server_connection_t::respond_t&) {
                                   outcome = {true, request, error};
                               });
        run_until(context, [&] { return outcome.done; });
        return outcome;
    }
};

} // namespace

using icap_query = scripted_fixture_t;

TEST_F(icap_query, reads_the_head_and_hands_the_body_over_undecoded)
{
    std::string const req_head = "POST /upload HTTP/1.1\r\nHost: example.org\r\n\r\n";
    std::string const res_head = "HTTP/1.1 200 OK\r\n\r\n";
    std::string const query = "RESPMOD icap://127.0.0.1:1344/respmod ICAP/1.0\r\n"
                              "Host: 127.0.0.1\r\n"
                              "Allow: 204\r\n"
                              "allow: trailers\r\n"
                              "Encapsulated: req-hdr=0, res-hdr=" +
                              std::to_string(req_head.size()) +
                              ", res-body=" + std::to_string(req_head.size() + res_head.size()) + "\r\n\r\n" +
                              req_head + res_head + "5;x\r\nhello\r\n0\r\n\r\n";
    for (std::size_t read_size : {std::size_t{1}, std::size_t{7}, query.size()}) {
        SCOPED_TRACE(read_size);
        const auto outcome = wait(connect(test::pieces(query, read_size)));
        ASSERT_TRUE(outcome.request);
        EXPECT_FALSE(outcome.error);
        const auto& request = *outcome.request;
        EXPECT_EQ(request.method, "RESPMOD");
        EXPECT_EQ(request.url.to_string(0), "icap://127.0.0.1:1344/respmod");
        EXPECT_EQ(request.version.major, 1);
        EXPECT_EQ(request.version.minor, 0);
        EXPECT_EQ(request.fields.get_all("ALLOW"), (std::vector<std::string>{"204", "trailers"}));
        EXPECT_EQ(request.req_head.str(), req_head);
        EXPECT_EQ(request.res_head.str(), res_head);
        EXPECT_EQ(request.body_type, io::icap::body_type_t::res_body);
        const auto chunk = test::read_chunk(context, request.body);
        EXPECT_EQ(chunk.data, "hello");
        EXPECT_EQ(chunk.extensions, "x");
        EXPECT_EQ(test::read_chunk(context, request.body).error, eof);
    }
}

TEST_F(icap_query, line_ends_and_malformed_heads)
{
    struct case_t {
        const char* name;
        std::string wire;
        boost::system::error_code error;
    } const cases[] = {
        {"bare LF", "OPTIONS icap://h/reqmod ICAP/1.0\nEncapsulated: null-body=0\n\n", {}},
        {"mixed line ends", "OPTIONS icap://h/reqmod ICAP/1.0\r\nHost: h\n\r\n", {}},
        {"no version", "OPTIONS * \n\n", {}},
        {"CR without LF", "OPTIONS icap://h/reqmod ICAP/1.0\rHost: h\r\n\r\n", io::protocol_error},
        {"status line as a query", "ICAP/1.0 200 OK\r\n\r\n", io::protocol_error},
        {"bad Encapsulated", "REQMOD icap://h/reqmod ICAP/1.0\r\nEncapsulated: req-body=0, req-hdr=5\r\n\r\n",
         io::protocol_error},
        {"bad first chunk", "REQMOD icap://h/reqmod ICAP/1.0\r\nEncapsulated: req-body=0\r\n\r\nxyz\r\n",
         io::protocol_error},
        {"end of stream inside the head", "REQMOD icap://h/reqmod ICAP/1.0\r\nHost:", io::protocol_error},
        {"end of stream inside an HTTP head",
         "REQMOD icap://h/reqmod ICAP/1.0\r\nEncapsulated: req-hdr=0, req-body=100\r\n\r\nGET / HTTP/1.1\r\n",
         io::protocol_error},
        {"end of stream before a query", "", eof},
        {"end of stream where the body should begin",
         "REQMOD icap://h/reqmod ICAP/1.0\r\nEncapsulated: req-hdr=0, req-body=18\r\n\r\nGET / HTTP/1.1\r\n\r\n", eof},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const auto outcome = wait(connect(test::pieces(c.wire, 5)));
        ASSERT_TRUE(outcome.done);
        EXPECT_EQ(outcome.error, c.error);
        EXPECT_EQ(static_cast<bool>(outcome.request), !c.error);
    }
}

TEST_F(icap_query, head_limit_counts_reads_that_leave_the_head_incomplete)
{
    // A head that is incomplete after exactly n bytes of one read, then
    // completed by a second read.
    auto head_over_two_reads = [](std::size_t first_read) {
        std::string const start = "OPTIONS icap://h/reqmod ICAP/1.0\r\nX-Pad: ";
        std::string const end = "\r\n\r\n";
        std::string const first = start + std::string(first_read - start.size(), 'p');
        return std::deque<scripted_stream_t::step_t>{{first, {}}, {"p" + end, {}}};
    };
    std::string big_head = "OPTIONS icap://h/reqmod ICAP/1.0\r\nX-Pad: " + std::string(100000, 'p') + "\r\n\r\n";
    struct case_t {
        const char* name;
        std::deque<scripted_stream_t::step_t> reads;
        boost::system::error_code error;
    } const cases[] = {
        {"65536 bytes before the head completes", head_over_two_reads(65536), {}},
        {"65537 bytes before the head completes", head_over_two_reads(65537), io::protocol_error},
        {"big head completed within one read", {{big_head, {}}}, {}},
        {"big head over many reads", test::pieces(big_head, 8192), io::protocol_error},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const auto outcome = wait(connect(c.reads));
        ASSERT_TRUE(outcome.done);
        EXPECT_EQ(outcome.error, c.error);
    }
}

TEST_F(icap_query, skip_body_without_a_pending_body_completes_later)
{
    auto connection = connect({});
    bool inside_call = true;
    bool early = false;
    bool done = false;
    connection->async_skip_body([&](const boost::system::error_code& error) {
        early = inside_call;
        done = !error;
    });
    inside_call = false;
    EXPECT_TRUE(run_until(context, [&] { return done; }));
    EXPECT_FALSE(early);
}

TEST_F(icap_query, options_without_body_leaves_the_next_query_in_place)
{
    std::string const reqmod = "REQMOD icap://h/reqmod ICAP/1.0\r\nEncapsulated: req-body=0\r\n\r\n0\r\n\r\n";
    auto connection = connect({{options_query + reqmod, {}}});
    const auto first = wait(connection);
    ASSERT_TRUE(first.request);
    EXPECT_EQ(first.request->body_type, io::icap::body_type_t::null_body);
    EXPECT_EQ(test::read_chunk(context, first.request->body).error, eof);
    const auto second = wait(connection);
    ASSERT_TRUE(second.request);
    EXPECT_EQ(second.request->method, "REQMOD");
    EXPECT_EQ(second.request->body_type, io::icap::body_type_t::req_body);
    EXPECT_EQ(wait(connection).error, eof);
}

// A "Preview" field limits the first body of REQMOD and RESPMOD, whatever
// the case of the method (a value that is no plain number allows no data);
// other methods send their whole body.
TEST_F(icap_query, preview_limit_belongs_to_the_modification_methods)
{
    struct case_t {
        const char* name;
        std::string start;
        std::string preview;
        std::string data;
        boost::system::error_code end;
    } const cases[] = {
        {"OPTIONS with a zero preview", "OPTIONS icap://h/reqmod", "0", "hello", eof},
        {"options in lower case", "options icap://h/respmod", "0", "hello", eof},
        {"OPTIONS with a short preview", "OPTIONS icap://h/reqmod", "2", "hello", eof},
        {"unknown method", "FETCH icap://h/reqmod", "0", "hello", eof},
        {"RESPMOD with a zero preview", "RESPMOD icap://h/respmod", "0", "hello", io::protocol_error},
        {"respmod in lower case", "respmod icap://h/respmod", "0", "hello", io::protocol_error},
        {"REQMOD past its preview", "REQMOD icap://h/reqmod", "4", "hello", io::protocol_error},
        {"REQMOD within its preview", "REQMOD icap://h/reqmod", "5", "hello", eof},
        {"REQMOD without a preview", "REQMOD icap://h/reqmod", "", "hello", eof},
        {"REQMOD with a preview that is no plain number", "REQMOD icap://h/reqmod", "05", "hello", io::protocol_error},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string preview = c.preview.empty() ? "" : "Preview: " + c.preview + "\r\n";
        const std::string query = c.start + " ICAP/1.0\r\n" + preview + "Encapsulated: opt-body=0\r\n\r\n" + "5\r\n" +
                                  c.data + "\r\n0\r\n\r\n";
        const auto outcome = wait(connect({{query, {}}}));
        ASSERT_TRUE(outcome.request);
        const auto chunks = test::read_chunks(context, outcome.request->body);
        EXPECT_EQ(chunks.back().error, c.end);
        EXPECT_EQ(chunks.front().data, c.end == eof ? c.data : "");
    }
}

// Connections that wait for their queries at the same time, each query
// finishing in a different number of reads, get their own queries, in the
// first round and again in the next, whatever the order the queries end in.
TEST_F(icap_query, queries_waited_for_together_reach_their_own_connections)
{
    struct case_t {
        std::string name;
        std::size_t read_size;
    };
    const case_t cases[] = {{"whole", 4096}, {"halves", 40}, {"bytes", 1}};
    const auto query = [](const std::string& name, int round) {
        return "OPTIONS icap://h/options ICAP/1.0\r\nX-Name: " + name + "\r\nX-Round: " + std::to_string(round) +
               "\r\nEncapsulated: null-body=0\r\n\r\n";
    };
    std::vector<std::shared_ptr<server_connection_t>> connections;
    for (const case_t& c : cases)
        connections.push_back(connect(test::pieces(query(c.name, 1) + query(c.name, 2), c.read_size)));
    for (int round = 1; round <= 2; ++round) {
        std::vector<outcome_t> outcomes(connections.size());
        for (std::size_t i = 0; i < connections.size(); ++i)
            connections[i]->async_wait_request([&outcomes, i](const std::shared_ptr<const request_t>& request,
                                                              const boost::system::error_code& error) {
                outcomes[i] = {true, request, error};
            });
        ASSERT_TRUE(run_until(context, [&] {
            return std::all_of(outcomes.begin(), outcomes.end(), [](const outcome_t& o) { return o.done; });
        }));
        for (std::size_t i = 0; i < connections.size(); ++i) {
            SCOPED_TRACE(cases[i].name + " round " + std::to_string(round));
            ASSERT_TRUE(outcomes[i].request) << outcomes[i].error.message();
            EXPECT_EQ(outcomes[i].request->fields.get("X-Name"), cases[i].name);
            EXPECT_EQ(outcomes[i].request->fields.get("X-Round"), std::to_string(round));
        }
    }
}

namespace {

// The server side over one end of a socket pair, the test as the client on
// the other end.
struct socket_fixture_t : ::testing::Test {
    boost::asio::io_context context;
    std::shared_ptr<io::local_socket_t> server_socket = std::make_shared<io::local_socket_t>(context);
    io::local_socket_t client{context};
    std::shared_ptr<io::connection_t> server_end;
    std::shared_ptr<server_connection_t> connection;
    std::string received;
    bool client_closed = false;
    std::array<char, 4096> read_buffer{};

    void SetUp() override
    {
        boost::asio::local::connect_pair(*server_socket, client);
        server_end = io::make_connection(server_socket);
        connection = server_connection_t::make(server_end, server_end);
        client_read();
    }

    void client_read()
    {
        client.async_read_some(boost::asio::buffer(read_buffer),
                               [this](const boost::system::error_code& error, std::size_t n) {
                                   received.append(read_buffer.data(), n);
                                   if (error)
                                       client_closed = true;
                                   else
                                       client_read();
                               });
    }

    void client_send(const std::string& bytes) { boost::asio::write(client, boost::asio::buffer(bytes)); }

    // Answers every query with 200 and the method in "X-Method", reading
    // nothing of its body, until a query fails.
    void serve(std::vector<boost::system::error_code>& errors)
    {
        io::async_handle_query(connection, [this, &errors](const std::shared_ptr<const request_t>& request,
                                                           const boost::system::error_code& error,
                                                           const server_connection_t::respond_t& respond) {
            if (!request) {
                errors.push_back(error);
                return;
            }
            auto response = answer(200, "OK");
            response->fields.add("X-Method", request->method);
            respond(response, [this, &errors](boost::system::error_code const& error) {
                if (error)
                    errors.push_back(error);
                else
                    serve(errors);
            });
        });
    }
};

} // namespace

using icap_server_connection = socket_fixture_t;

TEST_F(icap_server_connection, pipelined_queries_in_one_write_are_answered_in_order)
{
    std::string const reqmod = "REQMOD icap://127.0.0.1/reqmod ICAP/1.0\r\nEncapsulated: req-hdr=0, req-body=18\r\n\r\n"
                               "GET / HTTP/1.1\r\n\r\n5\r\nhello\r\n0\r\n\r\n";
    std::vector<boost::system::error_code> errors;
    serve(errors);
    client_send(reqmod + options_query);
    std::string const answer_text =
        "ICAP/1.0 200 OK\r\nX-Method: REQMOD\r\n\r\nICAP/1.0 200 OK\r\nX-Method: OPTIONS\r\n\r\n";
    EXPECT_TRUE(run_until(context, [&] { return received.size() >= answer_text.size(); }));
    EXPECT_EQ(received, answer_text);
    // The client goes away between queries: a silent end, not an error.
    client.shutdown(io::local_socket_t::shutdown_send);
    EXPECT_TRUE(run_until(context, [&] { return !errors.empty(); }));
    EXPECT_EQ(errors, (std::vector<boost::system::error_code>{eof}));
}

// A caller may let go of the connection as soon as an operation started:
// the operation holds it until its handler has run. The wait for a query,
// and the answers without a body, with a body stored whole and with a body
// still to be read, each of which goes out by its own way.
TEST_F(icap_server_connection, operations_hold_the_connection_until_their_handlers_ran)
{
    struct case_t {
        const char* name;
        std::function<io::http::body_stream_t::pointer_t()> body;
        std::string body_bytes;
    };
    const case_t cases[] = {
        {"no body", [] { return nullptr; }, ""},
        {"empty body", [this] { return io::http::body_stream_t::make_empty(context); }, ""},
        {"stored body",
         [this] {
             auto stored = std::make_shared<io::http::body_t>();
             stored->push_back({"", orx::buffer_t("stored "), {}});
             stored->push_back({"", orx::buffer_t("whole"), {}});
             stored->push_back({});
             return io::http::body_stream_t::make(context, stored);
         },
         "stored whole"},
        {"body to read",
         [this] {
             return io::http::body_stream_t::make_direct(scripted_stream_t::make(context, {{"read ", {}}, {"on", {}}}));
         },
         "read on"},
    };
    for (const case_t& c : cases) {
        SCOPED_TRACE(c.name);
        received.clear();
        auto held = server_connection_t::make(server_end, server_end);
        const std::weak_ptr<server_connection_t> weak = held;
        auto response = answer(200, "OK");
        response->body = c.body();
        const std::string expected = response->make_head().str() + c.body_bytes;
        bool done = false;
        bool held_in_handler = false;
        held->async_send_response(nullptr, response, [&](const boost::system::error_code& error) {
            EXPECT_FALSE(error) << error.message();
            held_in_handler = !weak.expired();
            done = true;
        });
        held.reset();
        ASSERT_TRUE(run_until(context, [&] { return done && received.size() >= expected.size(); }));
        EXPECT_TRUE(held_in_handler);
        EXPECT_EQ(received, expected);
        context.poll();
        EXPECT_TRUE(weak.expired());
    }

    auto held = server_connection_t::make(server_end, server_end);
    const std::weak_ptr<server_connection_t> weak = held;
    outcome_t outcome;
    bool held_in_handler = false;
    held->async_wait_request(
        [&](const std::shared_ptr<const request_t>& request, const boost::system::error_code& error) {
            held_in_handler = !weak.expired();
            outcome = {true, request, error};
        });
    held.reset();
    client_send(options_query);
    ASSERT_TRUE(run_until(context, [&] { return outcome.done; }));
    EXPECT_TRUE(held_in_handler);
    ASSERT_TRUE(outcome.request) << outcome.error.message();
    EXPECT_EQ(outcome.request->method, "OPTIONS");
    outcome = {};
    context.poll();
    EXPECT_TRUE(weak.expired());
}

TEST_F(icap_server_connection, end_of_stream_inside_a_head_is_the_protocol_error)
{
    std::vector<boost::system::error_code> errors;
    serve(errors);
    client_send("REQMOD icap://127.0.0.1/reqmod ICAP/1.0\r\nHost: x");
    client.shutdown(io::local_socket_t::shutdown_send);
    EXPECT_TRUE(run_until(context, [&] { return !errors.empty(); }));
    EXPECT_EQ(errors, (std::vector<boost::system::error_code>{io::protocol_error}));
    EXPECT_EQ(received, "");
}

TEST_F(icap_server_connection, zero_length_preview_with_and_without_ieof)
{
    std::string const res_head = "HTTP/1.1 200 OK\r\nContent-Type: text/plain\r\n\r\n";
    std::string const head = "RESPMOD icap://127.0.0.1/respmod ICAP/1.0\r\nPreview: 0\r\n"
                             "Encapsulated: res-hdr=0, res-body=" +
                             std::to_string(res_head.size()) + "\r\n\r\n" + res_head;
    struct case_t {
        const char* name;
        std::string preview;
        bool ieof;
    } const cases[] = {
        {"ieof", "0; ieof\r\n\r\n", true},
        {"IEOF without blank", "0;IEOF\r\n\r\n", true},
        {"plain end", "0\r\n\r\n", false},
        {"more than ieof", "0; ieof=1\r\n\r\n", false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        received.clear();
        std::string body;
        bool ieof = false;
        boost::system::error_code error = boost::asio::error::timed_out;
        bool finished = false;
        io::async_handle_query(connection, [&](const std::shared_ptr<const request_t>& request,
                                               const boost::system::error_code&,
                                               const server_connection_t::respond_t& respond) {
            ASSERT_TRUE(request);
            io::icap::async_read_preview(
                request->body, [&, respond](io::icap::preview_t const& preview, boost::system::error_code const& e) {
                    error = e;
                    ieof = preview.ieof;
                    if (e || preview.ieof) {
                        finished = true;
                        return respond(answer(204, "No Content"), [](boost::system::error_code const&) {});
                    }
                    respond(answer(100, "Continue"), [&](boost::system::error_code const&) {
                        connection->async_wait_continue([&](std::shared_ptr<io::http::body_stream_t> const& rest,
                                                            boost::system::error_code const&) {
                            io::http::async_read_body(rest, [&](std::shared_ptr<io::http::body_t> const& chunks,
                                                                boost::system::error_code const& e) {
                                error = e;
                                for (auto const& chunk : *chunks)
                                    body += chunk.data.str();
                                finished = true;
                            });
                        });
                    });
                });
        });
        client_send(head + c.preview);
        if (!c.ieof) {
            // The rest of the body goes only after the 100 answer.
            EXPECT_TRUE(run_until(context, [&] { return received.find("100 Continue") != std::string::npos; }));
            client_send("5\r\nhello\r\n0\r\n\r\n");
        }
        EXPECT_TRUE(run_until(context, [&] { return finished; }));
        EXPECT_FALSE(error);
        EXPECT_EQ(ieof, c.ieof);
        EXPECT_EQ(body, c.ieof ? "" : "hello");
    }
}

TEST_F(icap_server_connection, zero_length_preview_with_data_fails_at_its_size_line)
{
    std::string const query = "RESPMOD icap://127.0.0.1/respmod ICAP/1.0\r\nPreview: 0\r\n"
                              "Encapsulated: res-hdr=0, res-body=19\r\n\r\nHTTP/1.1 200 OK\r\n\r\n";
    boost::system::error_code error;
    bool finished = false;
    io::async_handle_query(connection, [&](const std::shared_ptr<const request_t>& request,
                                           const boost::system::error_code&, const server_connection_t::respond_t&) {
        ASSERT_TRUE(request);
        io::icap::async_read_preview(request->body,
                                     [&](io::icap::preview_t const& preview, boost::system::error_code const& e) {
                                         error = e;
                                         EXPECT_TRUE(preview.body->empty());
                                         finished = true;
                                     });
    });
    // Only the size line of a big chunk arrives; the server must not wait
    // for its data.
    client_send(query + "100000\r\n");
    EXPECT_TRUE(run_until(context, [&] { return finished; }));
    EXPECT_EQ(error, io::protocol_error);
}

TEST_F(icap_query, continue_reads_on_after_a_preview_that_came_with_the_rest)
{
    std::string const query = "RESPMOD icap://h/respmod ICAP/1.0\r\nPreview: 0\r\nEncapsulated: res-body=0\r\n\r\n"
                              "0\r\n\r\n5\r\nhello\r\n0\r\n\r\n" +
                              options_query;
    for (std::size_t read_size : {std::size_t{1}, std::size_t{9}, query.size()}) {
        SCOPED_TRACE(read_size);
        auto connection = connect(test::pieces(query, read_size));
        const auto outcome = wait(connection);
        ASSERT_TRUE(outcome.request);
        EXPECT_EQ(test::read_chunk(context, outcome.request->body).error, eof);
        std::shared_ptr<io::http::body_stream_t> rest;
        connection->async_wait_continue([&](const std::shared_ptr<io::http::body_stream_t>& body,
                                            const boost::system::error_code&) { rest = body; });
        ASSERT_TRUE(run_until(context, [&] { return rest != nullptr; }));
        EXPECT_EQ(test::read_chunk(context, rest).data, "hello");
        // The rest is drained by the next wait, which then finds the next query.
        const auto next = wait(connection);
        ASSERT_TRUE(next.request);
        EXPECT_EQ(next.request->method, "OPTIONS");
    }
}
