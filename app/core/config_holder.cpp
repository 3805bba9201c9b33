#include "app/core/config_holder.hpp"

#include <cerrno>
#include <stdexcept>
#include <string>
#include <utility>

#include <unistd.h>

#include <boost/asio/ip/address.hpp>
#include <boost/system/error_code.hpp>
#include <boost/system/system_error.hpp>

#include "app/core/inventory.hpp"
#include "app/core/need_restart.hpp"
#include "common/error_convert.hpp"
#include "common/log.hpp"
#include "common/log_factory.hpp"
#include "common/oxs_log.hpp"
#include "common/util_log.hpp"
#include "common/what.hpp"
#include "schemas/error.pb.h"

namespace ic {

namespace {

constexpr unsigned max_port = 65535;

[[noreturn]] void refuse(const std::string& reason)
{
    if (cf_log_threshold <= cf_log_error)
        cf_log(cf_log_error, reason);
    throw ox::EC_BAD_CONFIG;
}

// Failures of the user database that pass with time, as against a name it
// does not hold.
bool is_shortage(const boost::system::error_code& error)
{
    if (error.category() != boost::system::system_category())
        return false;
    switch (error.value()) {
    case EMFILE:
    case ENFILE:
    case ENOMEM:
    case EIO:
        return true;
    default:
        return false;
    }
}

ox::oxs::log_t::level_t oxs_level(int threshold)
{
    if (threshold <= cf_log_debug)
        return ox::oxs::log_t::debug;
    if (threshold < cf_log_error)
        return ox::oxs::log_t::warning;
    return ox::oxs::log_t::error;
}

} // namespace

config_holder_t::config_holder_t(inventory_t& inventory, user_lookup_t lookup_user)
    : inventory_(inventory), lookup_user_(std::move(lookup_user))
{
}

cf_local_user_t config_holder_t::lookup_local_user(const ox::LocalUser& user)
{
    cf_local_user_t record;
    record.assign(user);
    return record;
}

void config_holder_t::apply(const ox::TRAXDConfig& settings)
{
    config.CopyFrom(settings);
    take_run_as_user();
    apply_log();
    apply_listen_address();
    apply_templates_dir();
}

void config_holder_t::take_run_as_user()
{
    try {
        run_as_user = std::make_unique<cf_local_user_t>(lookup_user_(config.run_as_user()));
    } catch (const std::runtime_error& e) {
        // A user database out of descriptors or memory says nothing about
        // the setting: ending the daemon for it would drop every proxy
        // connection. Before the first user there is nothing to keep, and
        // going on as the start-up user is no choice.
        if (!is_shortage(cf_to_error_code(e)))
            fail(e);
        if (!run_as_user)
            throw;
        if (cf_log_threshold <= cf_log_error)
            cf_log(cf_log_error, std::string(cf_what(e)) + "; keeping run-as user " + run_as_user->to_string());
    }
}

void config_holder_t::apply_log()
{
    try {
        // The log file must be writable by the user the process becomes.
        const ox::Log& log = config.actual_log();
        if (log.type() == ox::Log::FILE && run_as_user->uid != ::getuid())
            cf_create_owned_file(*run_as_user, log.path(), 0600);

        cf_log_threshold = cf_log_level_from_proto(config.log_level());
        cf_set_log(cf_make_log(log, nullptr, nullptr));

        ox::oxs::log_t::instance().level = oxs_level(cf_log_threshold);
        ox::util::set_log_level(cf_log_threshold);
    } catch (const std::runtime_error& e) {
        fail(e);
    }
}

void config_holder_t::fail(const std::runtime_error& e) const
{
    // After the switch a file the start-up user could open may be out of
    // reach; only a fresh process started by PilotD can open it.
    if (inventory_.user_switched && cf_to_error_code(e) == boost::system::errc::permission_denied)
        throw need_restart_t();
    refuse(cf_what(e));
}

void config_holder_t::apply_listen_address()
{
    const ox::IPSocket& socket = config.listen_address();
    boost::asio::ip::address address;
    try {
        address = boost::asio::ip::make_address(socket.address());
    } catch (const boost::system::system_error& e) {
        refuse(std::string("Bad ListenAddress: ") + cf_what(e));
    }
    // A port that does not fit must not be cut down to some other port.
    if (socket.port() > max_port)
        refuse("Bad ListenAddress: port " + std::to_string(socket.port()) + " is out of range");
    listen_endpoint = boost::asio::ip::tcp::endpoint(address, static_cast<unsigned short>(socket.port()));
}

void config_holder_t::apply_templates_dir()
{
    const std::string& dir = config.templates_dir();
    if (dir.empty() || dir.front() != '/')
        refuse("Bad TemplatesDir: \"" + dir + "\"");
    changed();
}

} // namespace ic
