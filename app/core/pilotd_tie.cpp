#include "app/core/pilotd_tie.hpp"

#include <cstdlib>
#include <string>
#include <utility>

#include <boost/asio/error.hpp>
#include <boost/asio/local/stream_protocol.hpp>
#include <boost/system/system_error.hpp>

#include "app/core/config_holder.hpp"
#include "app/core/inventory.hpp"
#include "common/error_category.hpp"
#include "common/log.hpp"
#include "common/what.hpp"
#include "schemas/traxd_appinfo.pb.h"

namespace ic {

namespace {

constexpr std::uint32_t largest_message = 67108864;

[[noreturn]] void fail(ox::ErrorCode code)
{
    throw boost::system::system_error(ox::make_error_code(code));
}

} // namespace

std::shared_ptr<pilotd_tie_t> pilotd_tie_t::make(inventory_t& inventory, int descriptor)
{
    auto tie = std::make_shared<pilotd_tie_t>(inventory);
    auto socket = std::make_shared<cf_ipc_socket_t>(inventory.io_context);
    socket->assign(boost::asio::local::stream_protocol(), descriptor);
    tie->socket = std::move(socket);
    tie->start_read();
    return tie;
}

pilotd_tie_t::pilotd_tie_t(inventory_t& inventory) : inventory_(inventory)
{
    max_message_size = largest_message;
}

std::shared_ptr<cf_ipc_link_t> pilotd_tie_t::shared_self()
{
    return shared_from_this();
}

void pilotd_tie_t::send(ox::TRAXD2PilotdMessage::MessageTag tag)
{
    ox::TRAXD2PilotdMessage message;
    message.set_tag(tag);
    async_send_message(message);
}

void pilotd_tie_t::request_config()
{
    send(ox::TRAXD2PilotdMessage::GET_CONFIG_REQUEST);
}

void pilotd_tie_t::send_info()
{
    ox::TRAXD2PilotdMessage message;
    message.set_tag(ox::TRAXD2PilotdMessage::MY_INFO_NOTIFICATION);
    message.set_config_revision(config_revision);
    ox::TRAXDAppInfo& info = *message.mutable_info();
    if (app_info) {
        info.CopyFrom(*app_info);
    } else {
        info.set_scan_state(ox::EC_UNKNOWN_STATE);
        info.set_oxs_state(ox::EC_UNKNOWN_STATE);
    }
    async_send_message(message);
}

void pilotd_tie_t::send_stat(const ox::TRAXDAppStat& stat)
{
    ox::TRAXD2PilotdMessage message;
    message.set_tag(ox::TRAXD2PilotdMessage::MY_STAT_NOTIFICATION);
    message.mutable_stat()->CopyFrom(stat);
    async_send_message(message);
}

void pilotd_tie_t::send_incident(const ox::NetIncident& incident)
{
    ox::TRAXD2PilotdMessage message;
    message.set_tag(ox::TRAXD2PilotdMessage::MY_INCIDENTS_NOTIFICATION);
    message.add_incident()->CopyFrom(incident);
    async_send_message(message);
}

void pilotd_tie_t::request_socket(ox::Application app, const socket_waiter_t& waiter)
{
    auto& waiters = socket_waiters_[app];
    if (waiters.empty()) {
        switch (app) {
        case ox::APP_SEEKD:
            send(ox::TRAXD2PilotdMessage::GET_SEEKD_REQUEST);
            break;
        case ox::APP_TAGGER:
            send(ox::TRAXD2PilotdMessage::GET_TAGGER_REQUEST);
            break;
        case ox::APP_VETTER:
            send(ox::TRAXD2PilotdMessage::GET_VETTER_REQUEST);
            break;
        default:
            std::abort();
        }
    }
    waiters.push_back(waiter);
}

void pilotd_tie_t::on_message(google::protobuf::io::ZeroCopyInputStream& body)
{
    try {
        ox::Pilotd2TRAXDMessage message;
        if (!message.ParseFromZeroCopyStream(&body))
            fail(ox::EC_BAD_MESSAGE_FORMAT);
        dispatch(message);
    } catch (const boost::system::system_error& e) {
        if (cf_log_threshold <= cf_log_error)
            cf_log(cf_log_error, std::string("Monitor: ") + cf_what(e));
        throw ox::EC_MONITOR_IPC_ERROR;
    }
}

void pilotd_tie_t::dispatch(const ox::Pilotd2TRAXDMessage& message)
{
    switch (message.tag()) {
    case ox::Pilotd2TRAXDMessage::GET_CONFIG_RESPONSE:
        on_config_response(message);
        return;
    case ox::Pilotd2TRAXDMessage::GET_VETTER_RESPONSE:
        on_socket_response(ox::APP_VETTER, message);
        return;
    case ox::Pilotd2TRAXDMessage::GET_SEEKD_RESPONSE:
        on_socket_response(ox::APP_SEEKD, message);
        return;
    case ox::Pilotd2TRAXDMessage::GET_TAGGER_RESPONSE:
        on_socket_response(ox::APP_TAGGER, message);
        return;
    case ox::Pilotd2TRAXDMessage::APPINFO_NOTIFICATION:
        appinfo_changed(message.appinfo());
        return;
    default:
        fail(ox::EC_UNEXPECTED_MESSAGE);
    }
}

void pilotd_tie_t::on_config_response(const ox::Pilotd2TRAXDMessage& message)
{
    if (!message.has_config() || !message.has_config_revision())
        fail(ox::EC_PROTOCOL_VIOLATION);
    if (message.has_control() && message.control().suspended()) {
        if (cf_log_threshold <= cf_log_notice)
            cf_log(cf_log_notice, "Component suspended, exiting...");
        throw ox::EC_APP_SUSPENDED;
    }
    inventory_.config_holder->apply(message.config());
    config_revision = message.config_revision();
    send_info();
}

void pilotd_tie_t::on_socket_response(ox::Application app, const ox::Pilotd2TRAXDMessage& message)
{
    if (!message.has_socket_path() && !message.has_error())
        fail(ox::EC_PROTOCOL_VIOLATION);
    std::list<socket_waiter_t> waiters;
    if (const auto found = socket_waiters_.find(app); found != socket_waiters_.end()) {
        waiters = std::move(found->second);
        socket_waiters_.erase(found);
    }
    const boost::system::error_code error =
        message.has_error() ? ox::make_error_code(message.error().code()) : boost::system::error_code();
    const boost::filesystem::path path(message.socket_path());
    for (const auto& waiter : waiters)
        waiter(path, error);
}

void pilotd_tie_t::on_error(const boost::system::error_code& error)
{
    const boost::system::error_code reported =
        error == boost::asio::error::eof ? ox::make_error_code(ox::EC_LINK_DISCONNECTED) : error;
    if (cf_log_threshold <= cf_log_error)
        cf_log(cf_log_error, "Monitor: " + reported.message());
    throw ox::EC_MONITOR_IPC_ERROR;
}

} // namespace ic
