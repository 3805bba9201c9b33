#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>

#include <boost/filesystem/path.hpp>
#include <boost/signals2/signal.hpp>
#include <boost/system/error_code.hpp>

#include "clients/idle_controller.hpp"
#include "common/async_result.hpp"
#include "common/ipc_link.hpp"
#include "schemas/application.pb.h"
#include "schemas/seekd_client_ipc.pb.h"

namespace ic {

class inventory_t;

// The client of SeekD, the suite's lookup service: a lookup yields the list
// of byte strings a named lookup holds, a check whether a value is among
// them. Each request returns a one-shot result that completes when SeekD
// answers: with a google::protobuf::RepeatedPtrField<std::string> for an
// answer to a lookup, a bool for an answer to a check, or SeekD's error.
// The client does not remember which kind a request was: the answer's tag
// decides the value. There is no time-out and no retry: a broken link emits
// `closed`, and the requests still pending fail with the result's shutdown
// error when the object goes. Eleven ticks without a pending request also
// emit `closed`.
class seekd_connection_t : public std::enable_shared_from_this<seekd_connection_t>, public cf_ipc_link_t {
public:
    using completion_t = std::function<void(const orx::async::result_handle_t&)>;

    static ox::Application application() { return ox::APP_SEEKD; }

    // Connects to SeekD's socket and starts reading; throws as
    // connect_service_socket does.
    static std::shared_ptr<seekd_connection_t> connect(inventory_t& inventory, const boost::filesystem::path& path);

    // Use connect.
    explicit seekd_connection_t(inventory_t& inventory);
    // Completes every pending result, in serial order, with shutdown.
    ~seekd_connection_t() override;

    // Empty user and domain are not sent. Both throw
    // boost::system::system_error as the link's send does, and then
    // register nothing.
    orx::async::result_handle_t lookup(sk::LookupType type, const std::string& tag, const std::string& user,
                                       const std::string& domain, const completion_t& completion);
    orx::async::result_handle_t check(sk::LookupType type, const std::string& tag, const std::string& user,
                                      const std::string& domain, const std::string& value,
                                      const completion_t& completion);

    // Emitted when the link breaks and when the connection has been idle
    // for eleven ticks.
    boost::signals2::signal<void()> closed;

protected:
    void on_message(google::protobuf::io::ZeroCopyInputStream& body) override;
    void on_error(const boost::system::error_code& error) override;
    std::shared_ptr<cf_ipc_link_t> shared_self() override;

private:
    static sk::ClientMessage make_request(sk::ClientMessage::ClientMessageTag tag, sk::LookupType type,
                                          const std::string& tag_name, const std::string& user,
                                          const std::string& domain);
    orx::async::result_handle_t send(sk::ClientMessage& request, const completion_t& completion);
    void handle(const sk::ServerMessage& response);
    void on_idle();

    idle_controller_t idle_;
    std::uint32_t serial_counter_ = 1;
    std::map<std::uint32_t, orx::async::result_t> pending_;
};

} // namespace ic
