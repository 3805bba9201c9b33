#include <chrono>
#include <memory>
#include <optional>
#include <string>

#include <openssl/evp.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>

#include <boost/asio/error.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/ssl/context.hpp>
#include <gtest/gtest.h>

#include "io/connection.hpp"
#include "io/io_test.hpp"

namespace {

using namespace std::chrono_literals;
using boost::system::error_code;
using io_test::receive;
using io_test::run_until;
using io_test::send;
using io_test::start_handing;
using io_test::start_receive;
using tcp = boost::asio::ip::tcp;
using connection_ptr = std::shared_ptr<io::connection_t>;

// A fresh P-256 key and a self-signed certificate for "localhost", made for
// the test run.
struct credentials_t {
    credentials_t()
    {
        key.reset(EVP_EC_gen("P-256"));
        if (!key)
            throw std::runtime_error("EVP_EC_gen failed");
        cert.reset(X509_new());
        X509_set_version(cert.get(), 2);
        ASN1_INTEGER_set(X509_get_serialNumber(cert.get()), 1);
        X509_gmtime_adj(X509_getm_notBefore(cert.get()), -60);
        X509_gmtime_adj(X509_getm_notAfter(cert.get()), 3600);
        X509_set_pubkey(cert.get(), key.get());
        X509_NAME* name = X509_get_subject_name(cert.get());
        X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC, reinterpret_cast<const unsigned char*>("localhost"), -1,
                                   -1, 0);
        X509_set_issuer_name(cert.get(), name);
        if (X509_sign(cert.get(), key.get(), EVP_sha256()) == 0)
            throw std::runtime_error("X509_sign failed");
    }

    std::unique_ptr<EVP_PKEY, decltype(&EVP_PKEY_free)> key{nullptr, EVP_PKEY_free};
    std::unique_ptr<X509, decltype(&X509_free)> cert{nullptr, X509_free};
};

class tls_test : public ::testing::Test {
protected:
    tls_test()
    {
        SSL_CTX_use_certificate(server_context.native_handle(), credentials.cert.get());
        SSL_CTX_use_PrivateKey(server_context.native_handle(), credentials.key.get());
        // The client trusts exactly the test's certificate and checks it.
        X509_STORE_add_cert(SSL_CTX_get_cert_store(client_context.native_handle()), credentials.cert.get());
        client_context.set_verify_mode(boost::asio::ssl::verify_peer);

        tcp::acceptor listener(context, tcp::endpoint(boost::asio::ip::make_address("127.0.0.1"), 0));
        auto client_socket = std::make_shared<io::tcp_socket_t>(context);
        auto server_socket = std::make_shared<io::tcp_socket_t>(context);
        client_socket->connect(listener.local_endpoint());
        listener.accept(*server_socket);
        client_plain = io::make_connection(client_socket);
        server_plain = io::make_connection(server_socket);
    }

    // Both handshakes, run together.
    void handshake()
    {
        auto client = start_handing(
            [&](auto h) { client_plain->async_handshake(client_context, boost::asio::ssl::stream_base::client, h); });
        auto server = start_handing(
            [&](auto h) { server_plain->async_handshake(server_context, boost::asio::ssl::stream_base::server, h); });
        ASSERT_TRUE(run_until(context, [&] { return client->calls && server->calls; }));
        for (auto* side : {client.get(), server.get()}) {
            EXPECT_EQ(side->calls, 1);
            EXPECT_FALSE(side->inside_call);
            ASSERT_FALSE(side->error) << side->error.message();
            ASSERT_TRUE(side->connection);
        }
        client_tls = client->connection;
        server_tls = server->connection;
    }

    // The text goes as one buffer, or in pieces (an empty one among them).
    void expect_flow(const connection_ptr& from, const connection_ptr& to, const std::string& text,
                     bool in_pieces = false)
    {
        if (in_pieces) {
            const orx::buffer_t whole(text);
            const io::pieces_t pieces{whole.head(text.size() / 2), orx::buffer_t(),
                                      whole.tail(text.size() - text.size() / 2)};
            std::optional<boost::system::error_code> sent;
            from->async_send_pieces(pieces, [&](const boost::system::error_code& error) { sent = error; });
            ASSERT_TRUE(run_until(context, [&] { return sent.has_value(); }));
            EXPECT_FALSE(*sent);
        } else {
            EXPECT_FALSE(send(context, from, orx::buffer_t(text)).error);
        }
        std::string got;
        while (got.size() < text.size()) {
            auto piece = receive(context, to);
            ASSERT_FALSE(piece.error) << piece.error.message();
            ASSERT_LE(piece.data.size(), 65536u);
            got += piece.data.str();
        }
        EXPECT_EQ(got, text);
    }

    boost::asio::io_context context;
    credentials_t credentials;
    boost::asio::ssl::context server_context{boost::asio::ssl::context::tls_server};
    boost::asio::ssl::context client_context{boost::asio::ssl::context::tls_client};
    connection_ptr client_plain, server_plain, client_tls, server_tls;
};

TEST_F(tls_test, data_both_ways_then_back_to_plain)
{
    handshake();
    expect_flow(client_tls, server_tls, "request over TLS");
    expect_flow(server_tls, client_tls, std::string(20000, 'r'));
    expect_flow(server_tls, client_tls, std::string(30000, 'p') + " in pieces", true);

    // The client ends TLS; the server sees the end of the TLS stream, ends
    // TLS too, and both go on with plain bytes on the same socket.
    auto client_down = start_handing([&](auto h) { client_tls->async_shutdown(h); });
    auto end = receive(context, server_tls);
    EXPECT_EQ(end.error, io::end_of_stream);
    EXPECT_EQ(end.data.size(), 0u);
    auto server_down = start_handing([&](auto h) { server_tls->async_shutdown(h); });
    ASSERT_TRUE(run_until(context, [&] { return client_down->calls && server_down->calls; }));
    EXPECT_FALSE(client_down->error) << client_down->error.message();
    EXPECT_FALSE(server_down->error) << server_down->error.message();
    EXPECT_FALSE(client_down->inside_call);
    EXPECT_EQ(client_down->connection, client_plain);
    EXPECT_EQ(server_down->connection, server_plain);

    // Dropping the TLS connections leaves the socket with the plain ones.
    client_tls.reset();
    server_tls.reset();
    client_down.reset();
    server_down.reset();
    expect_flow(client_plain, server_plain, "plain again");
    expect_flow(server_plain, client_plain, "plain answer");
}

TEST_F(tls_test, unsupported_operations_leave_the_connection_alone)
{
    handshake();
    error_code error;
    client_tls->shutdown_send(error);
    EXPECT_EQ(error, io::unsupported_operation);

    auto again = start_handing(
        [&](auto h) { client_tls->async_handshake(client_context, boost::asio::ssl::stream_base::client, h); });
    EXPECT_EQ(again->calls, 0);
    ASSERT_TRUE(run_until(context, [&] { return again->calls > 0; }));
    EXPECT_EQ(again->connection, nullptr);
    EXPECT_EQ(again->error, io::unsupported_operation);

    expect_flow(client_tls, server_tls, "still fine");
}

TEST_F(tls_test, time_outs_are_the_tls_connections_own)
{
    server_plain->set_receive_timeout(50ms);
    handshake();
    // The plain connection's limit does not carry over.
    auto pending = start_receive(server_tls);
    EXPECT_FALSE(run_until(
        context, [&] { return pending->done; }, 300ms));
    EXPECT_FALSE(send(context, client_tls, orx::buffer_t("late but fine")).error);
    ASSERT_TRUE(run_until(context, [&] { return pending->done; }));
    EXPECT_FALSE(pending->error) << pending->error.message();

    // Its own limit closes the shared socket, for the plain connection too.
    server_tls->set_receive_timeout(50ms);
    EXPECT_EQ(receive(context, server_tls).error, boost::asio::error::operation_aborted);
    EXPECT_EQ(send(context, server_plain, orx::buffer_t("x")).error, boost::asio::error::bad_descriptor);
}

TEST_F(tls_test, close_between_the_writes_of_a_send_aborts_it)
{
    handshake();
    // Queued before the send's first record goes out, the close lands
    // between two writes of the same send.
    boost::asio::post(context, [&] { client_tls->close(); });
    auto sending = io_test::start_send(client_tls, orx::buffer_t(std::string(32 << 20, 't')));
    ASSERT_TRUE(run_until(context, [&] { return sending->done; }));
    EXPECT_EQ(sending->error, boost::asio::error::operation_aborted) << sending->error.message();
}

TEST_F(tls_test, failed_handshake_still_hands_over_the_connection)
{
    auto client = start_handing(
        [&](auto h) { client_plain->async_handshake(client_context, boost::asio::ssl::stream_base::client, h); });
    // The peer speaks no TLS at all.
    EXPECT_FALSE(send(context, server_plain, orx::buffer_t("HTTP/1.0 400 Bad\r\n\r\n")).error);
    server_plain->close();
    ASSERT_TRUE(run_until(context, [&] { return client->calls > 0; }));
    EXPECT_TRUE(client->error);
    EXPECT_TRUE(client->connection);
}

} // namespace
