#pragma once

#include <cstdint>
#include <functional>
#include <list>
#include <map>
#include <memory>

#include <boost/filesystem/path.hpp>
#include <boost/signals2/signal.hpp>
#include <boost/system/error_code.hpp>

#include "common/ipc_link.hpp"
#include "schemas/application.pb.h"
#include "schemas/incident.pb.h"
#include "schemas/pilotd_traxd_ipc.pb.h"
#include "schemas/traxd_appinfo.pb.h"
#include "schemas/traxd_appstat.pb.h"

namespace ic {

class inventory_t;

// The daemon's side of the channel to PilotD, adopted from the descriptor
// PilotD passed. Any failure on it, or any malformed or unexpected message,
// ends the process with EC_MONITOR_IPC_ERROR; a suspension order ends it
// with EC_APP_SUSPENDED.
class pilotd_tie_t : public cf_ipc_link_t, public std::enable_shared_from_this<pilotd_tie_t> {
public:
    using socket_waiter_t = std::function<void(const boost::filesystem::path&, const boost::system::error_code&)>;

    // Adopts the descriptor (throws boost::system::system_error "assign")
    // and starts reading.
    static std::shared_ptr<pilotd_tie_t> make(inventory_t& inventory, int descriptor);

    explicit pilotd_tie_t(inventory_t& inventory);

    void request_config();
    // MY_INFO_NOTIFICATION with the settings revision and the scanner's
    // state as `app_info` shows it (unknown states while it shows nothing).
    void send_info();
    void send_stat(const ox::TRAXDAppStat& stat);
    void send_incident(const ox::NetIncident& incident);
    // Asks PilotD for the socket path of a service (APP_VETTER, APP_SEEKD or
    // APP_TAGGER) unless a request for it is outstanding already; every
    // waiter gets the answer, in the order they asked.
    void request_socket(ox::Application app, const socket_waiter_t& waiter);

    boost::signals2::signal<void(const google::protobuf::RepeatedPtrField<ox::AppInfo>&)> appinfo_changed;

private:
    inventory_t& inventory_;

public:
    // The revision of the settings applied last; 0 before any.
    std::uint32_t config_revision = 0;
    // The scanner's state reported to PilotD: the scan-state watcher's own,
    // which it points this at while it exists.
    const ox::TRAXDAppInfo* app_info = nullptr;

protected:
    void on_message(google::protobuf::io::ZeroCopyInputStream& body) override;
    void on_error(const boost::system::error_code& error) override;
    std::shared_ptr<cf_ipc_link_t> shared_self() override;

private:
    void dispatch(const ox::Pilotd2TRAXDMessage& message);
    void on_config_response(const ox::Pilotd2TRAXDMessage& message);
    void on_socket_response(ox::Application app, const ox::Pilotd2TRAXDMessage& message);
    void send(ox::TRAXD2PilotdMessage::MessageTag tag);

    std::map<ox::Application, std::list<socket_waiter_t>> socket_waiters_;
};

} // namespace ic
