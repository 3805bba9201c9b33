#pragma once

#include <functional>

#include <boost/asio/any_io_executor.hpp>
#include <boost/system/error_code.hpp>

#include "common/buffer.hpp"

namespace io {

// An asynchronous byte sink. At most one send is outstanding at a time; the
// completion runs once the whole buffer is written or the write failed, and
// never inside the call that started the send. The handler is taken by
// value: a caller that is done with its handler moves it in, and nothing it
// holds is copied on the way to the write.
class output_stream_t {
public:
    using send_handler_t = std::function<void(const boost::system::error_code&)>;

    virtual boost::asio::any_io_executor get_executor() = 0;
    virtual void async_send(const orx::buffer_t& data, send_handler_t handler) = 0;
    virtual ~output_stream_t() = default;
};

} // namespace io
