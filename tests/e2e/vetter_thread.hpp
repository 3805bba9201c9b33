#pragma once

// The stand-in Vetter on an event loop of a thread of its own, since the
// daemon it answers runs in a process of its own.

#include <string>
#include <thread>

#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/post.hpp>

#include "standins/vetter_standin.hpp"

namespace e2e {

class vetter_thread_t {
public:
    explicit vetter_thread_t(const std::string& path) : vetter(io, path), thread([this] { io.run(); }) {}
    ~vetter_thread_t()
    {
        boost::asio::post(io, [this] {
            vetter.stop();
            work.reset();
        });
        thread.join();
    }
    vetter_thread_t(const vetter_thread_t&) = delete;
    vetter_thread_t& operator=(const vetter_thread_t&) = delete;

    boost::asio::io_context io;
    standin::vetter_standin_t vetter;
    boost::asio::executor_work_guard<boost::asio::io_context::executor_type> work{io.get_executor()};
    std::thread thread;
};

} // namespace e2e
