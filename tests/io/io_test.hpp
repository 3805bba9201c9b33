#pragma once

// Helpers of the I/O tests: bounded driving of an event loop; one-shot
// receive, send and connection-handing operations that record whether their
// completion ran inside the starting call; a scratch directory for socket
// paths.

#include <stdlib.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>

#include <boost/asio/io_context.hpp>
#include <boost/system/error_code.hpp>

#include "common/buffer.hpp"
#include "io/connection.hpp"
#include "io/output_stream.hpp"
#include "io/stream.hpp"

namespace io_test {

// Runs handlers until done() holds, the loop runs out of work, or limit
// passes; returns done().
template <typename Done>
bool run_until(boost::asio::io_context& context, Done done,
               std::chrono::steady_clock::duration limit = std::chrono::seconds(5))
{
    context.restart();
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (!done()) {
        const auto now = std::chrono::steady_clock::now();
        if (now >= deadline)
            return false;
        if (context.run_one_for(deadline - now) == 0 && context.stopped())
            return done();
    }
    return true;
}

// A host name that cannot resolve, known so without asking any name server:
// a label longer than 63 bytes cannot be put in a query, so the system
// resolver answers "not found" at once and the test sends nothing off the
// machine.
inline std::string unresolvable_host(const std::string& prefix = "")
{
    return prefix + std::string(70, 'n') + ".invalid";
}

struct received_t {
    orx::buffer_t data;
    boost::system::error_code error;
    bool inside_call = false;
    bool done = false;
};

// Starts one receive; the result fills in while the loop runs.
inline std::shared_ptr<received_t> start_receive(const std::shared_ptr<io::stream_t>& stream)
{
    auto result = std::make_shared<received_t>();
    auto returned = std::make_shared<bool>(false);
    stream->async_receive([result, returned](const orx::buffer_t& data, const boost::system::error_code& error) {
        *result = {data, error, !*returned, true};
    });
    *returned = true;
    return result;
}

inline received_t receive(boost::asio::io_context& context, const std::shared_ptr<io::stream_t>& stream,
                          std::chrono::steady_clock::duration limit = std::chrono::seconds(5))
{
    auto result = start_receive(stream);
    run_until(
        context, [&] { return result->done; }, limit);
    return *result;
}

struct sent_t {
    boost::system::error_code error;
    bool inside_call = false;
    bool done = false;
};

inline std::shared_ptr<sent_t> start_send(const std::shared_ptr<io::output_stream_t>& output, const orx::buffer_t& data)
{
    auto result = std::make_shared<sent_t>();
    auto returned = std::make_shared<bool>(false);
    output->async_send(data, [result, returned](const boost::system::error_code& error) {
        *result = {error, !*returned, true};
    });
    *returned = true;
    return result;
}

inline sent_t send(boost::asio::io_context& context, const std::shared_ptr<io::output_stream_t>& output,
                   const orx::buffer_t& data)
{
    auto result = start_send(output, data);
    run_until(context, [&] { return result->done; });
    return *result;
}

// What an operation that hands over a connection (accept, connect,
// handshake, TLS shutdown) reported.
struct handed_t {
    std::shared_ptr<io::connection_t> connection;
    boost::system::error_code error;
    int calls = 0;
    bool inside_call = false;
};

inline std::shared_ptr<handed_t> start_handing(const std::function<void(const io::connection_handler_t&)>& operation)
{
    auto result = std::make_shared<handed_t>();
    auto returned = std::make_shared<bool>(false);
    operation([result, returned](const std::shared_ptr<io::connection_t>& connection,
                                 const boost::system::error_code& error) {
        ++result->calls;
        result->inside_call = !*returned;
        result->connection = connection;
        result->error = error;
    });
    *returned = true;
    return result;
}

// A directory of its own under /tmp, removed with everything in it.
class scratch_directory_t {
public:
    scratch_directory_t()
    {
        char pattern[] = "/tmp/io_test_XXXXXX";
        if (!::mkdtemp(pattern))
            throw std::runtime_error("mkdtemp failed");
        path_ = pattern;
    }
    ~scratch_directory_t() { std::filesystem::remove_all(path_); }

    const std::string& path() const { return path_; }
    std::string file(const std::string& name) const { return path_ + "/" + name; }
    // A path of exactly length bytes inside the directory.
    std::string path_of_length(std::size_t length) const { return file(std::string(length - path_.size() - 1, 'p')); }

private:
    std::string path_;
};

} // namespace io_test
