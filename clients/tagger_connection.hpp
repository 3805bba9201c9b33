#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>

#include <boost/filesystem/path.hpp>
#include <boost/signals2/signal.hpp>
#include <boost/system/error_code.hpp>

#include "clients/idle_controller.hpp"
#include "common/ipc_link.hpp"
#include "common/report.hpp"
#include "common/url.hpp"
#include "schemas/application.pb.h"
#include "schemas/tagger_client_ipc.pb.h"

namespace ic {

class inventory_t;

// The client of Tagger, the suite's URL classification service. Any number
// of checks may be outstanding on one connection; each carries a serial
// that its answer repeats. There is no time-out and no retry: a broken link
// emits `closed`, and the checks still pending fail with operation_aborted
// when the object goes. Eleven ticks without a pending check also emit
// `closed`, so that the holder lets an unused connection go.
class tagger_connection_t : public cf_ipc_link_t, public std::enable_shared_from_this<tagger_connection_t> {
public:
    using callback_t = std::function<void(const ox::oxs::report_t&, const boost::system::error_code&)>;

    static ox::Application application() { return ox::APP_TAGGER; }

    // Connects to Tagger's socket and starts reading; throws as
    // connect_service_socket does.
    static std::shared_ptr<tagger_connection_t> connect(inventory_t& inventory, const boost::filesystem::path& path);

    // Use connect.
    explicit tagger_connection_t(inventory_t& inventory);
    // Fails every pending check, in serial order, with an empty report and
    // operation_aborted.
    ~tagger_connection_t() override;

    // Sends the URL, in its encoded form, with the server addresses the URL
    // carries. The callback runs once, later, with the answer's categories
    // limited to `mask` and its legal URL, or with an empty report and the
    // error Tagger reported. Throws boost::system::system_error as the
    // link's send does (the request is then forgotten).
    void check_url(const std::shared_ptr<ox::oxs::url_t>& url, const callback_t& callback, std::uint32_t mask);

    // Emitted when the link breaks and when the connection has been idle
    // for eleven ticks.
    boost::signals2::signal<void()> closed;

protected:
    void on_message(google::protobuf::io::ZeroCopyInputStream& body) override;
    void on_error(const boost::system::error_code& error) override;
    std::shared_ptr<cf_ipc_link_t> shared_self() override;

private:
    struct request_t {
        callback_t callback;
        std::uint32_t mask;
    };

    void handle(const tg::ServerMessage& response);
    void on_idle();

    idle_controller_t idle_;
    std::map<std::uint32_t, request_t> pending_;
    std::uint32_t serial_counter_ = 0;
};

} // namespace ic
