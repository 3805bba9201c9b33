#pragma once

#include <functional>
#include <memory>

#include "protocol/icap_server_protocol.hpp"
#include "protocol/server_connection.hpp"

namespace io::icap {

// The ICAP query cycle of one accepted connection.
class server_connection_t : public io::server_connection_t<server_protocol_t> {
public:
    // Writes the answer to the query it was made for; the completion is
    // moved along to the write.
    using respond_t = std::function<void(const std::shared_ptr<const response_t>&,
                                         std::function<void(const boost::system::error_code&)>)>;
    // Called once per query with the query (null on failure), the error and
    // the way to answer it.
    using query_callback_t = std::function<void(const std::shared_ptr<const request_t>&,
                                                const boost::system::error_code&, const respond_t&)>;

    static std::shared_ptr<server_connection_t> make(const std::shared_ptr<io::stream_t>& input,
                                                     const std::shared_ptr<io::output_stream_t>& output);

    server_connection_t(std::shared_ptr<io::stream_t> input, std::shared_ptr<io::output_stream_t> output);
};

} // namespace io::icap

namespace io {

// Waits for one query on the connection and hands it, with a respond
// function, to the callback; errors reach the callback too.
void async_handle_query(const std::shared_ptr<io::icap::server_connection_t>& connection,
                        io::icap::server_connection_t::query_callback_t callback);

} // namespace io
