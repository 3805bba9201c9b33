#pragma once

#include <functional>

#include <boost/asio/io_context.hpp>

namespace standin {

// Runs `work` on the thread that runs `io` and waits for it; what it throws
// is thrown here. A stand-in's state that its loop thread uses is changed
// only this way.
void run_on_loop(boost::asio::io_context& io, const std::function<void()>& work);

} // namespace standin
