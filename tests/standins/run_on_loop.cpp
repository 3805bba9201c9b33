#include "standins/run_on_loop.hpp"

#include <exception>
#include <future>

#include <boost/asio/post.hpp>

namespace standin {

void run_on_loop(boost::asio::io_context& io, const std::function<void()>& work)
{
    std::promise<void> done;
    auto result = done.get_future();
    boost::asio::post(io, [&] {
        try {
            work();
            done.set_value();
        } catch (...) {
            done.set_exception(std::current_exception());
        }
    });
    result.get();
}

} // namespace standin
