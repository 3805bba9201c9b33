#include "app/core/inventory.hpp"

#include <cerrno>
#include <chrono>
#include <csignal>
#include <stdexcept>
#include <string>

#include <grp.h>
#include <pwd.h>
#include <unistd.h>

#include <boost/asio/error.hpp>
#include <boost/system/system_error.hpp>

#include "app/core/config_holder.hpp"
#include "app/core/need_restart.hpp"
#include "app/core/pilotd_tie.hpp"
#include "app/stat_collector.hpp"
#include "clients/connection_holder.hpp"
#include "clients/lookup_engine.hpp"
#include "clients/seekd_connection.hpp"
#include "clients/state_watcher.hpp"
#include "clients/tagger_connection.hpp"
#include "clients/vetter_connection.hpp"
#include "common/log.hpp"
#include "common/oxs_log.hpp"
#include "common/util_log.hpp"
#include "common/what.hpp"
#include "icap/check_engine.hpp"
#include "icap/icap_handler.hpp"
#include "icap/icap_server.hpp"
#include "icap/verdicts/answer_builder.hpp"
#include "icap/verdicts/template_store.hpp"
#include "lua/lua.hpp"
#include "schemas/error.pb.h"

namespace ic {

namespace {

void oxs_log_forwarder(ox::oxs::log_t::level_t level, const std::string& text)
{
    const int mapped = level == ox::oxs::log_t::debug     ? cf_log_debug
                       : level == ox::oxs::log_t::warning ? cf_log_warning
                                                          : cf_log_error;
    cf_log(mapped, text);
}

// Called with the ox::util lock held: must not log through ox::util.
void util_log_forwarder(ox::util::log_level_t level, const std::string& text)
{
    cf_log(level, text);
}

[[noreturn]] void throw_errno(const char* what)
{
    throw boost::system::system_error(errno, boost::system::system_category(), what);
}

// The groups the start-up user belonged to must not survive the switch: a
// daemon started as root would otherwise keep root's supplementary groups
// (group 0 among them) after setuid. The run-as user gets its own groups,
// or none beyond its primary group when it has no account entry.
void set_user_groups(uid_t uid, gid_t gid)
{
    errno = 0;
    if (const passwd* entry = ::getpwuid(uid)) {
        if (::initgroups(entry->pw_name, gid) != 0)
            throw_errno("initgroups");
        return;
    }
    if (::setgroups(1, &gid) != 0)
        throw_errno("setgroups");
}

} // namespace

inventory_t::inventory_t(int descriptor)
    : config_holder(std::make_unique<config_holder_t>(*this)),
      pilotd_tie(pilotd_tie_t::make(*this, descriptor)),
      template_store(std::make_unique<template_store_t>(*this)),
      check_engine(std::make_unique<check_engine_t>(*this)),
      icap_handler(std::make_unique<icap_handler_t>(*this)),
      icap_server(std::make_unique<icap_server_t>(*this)),
      lookup_engine(std::make_unique<lookup_engine_t>(*this)),
      stat_collector(std::make_unique<stat_collector_t>(*this)),
      answer_builder(std::make_unique<answer_builder_t>(*this)),
      state_watcher(std::make_unique<state_watcher_t>(*this)),
      lua(std::make_unique<lua_t>(*this)),
      tagger_holder(std::make_unique<connection_holder_t<tagger_connection_t>>(*this)),
      vetter_holder(std::make_unique<connection_holder_t<vetter_connection_t>>(*this)),
      seekd_holder(std::make_unique<connection_holder_t<seekd_connection_t>>(*this)),
      sighup_signals(io_context, SIGHUP),
      sigterm_signals(io_context, SIGTERM),
      ticker(io_context)
{
    arm_ticker();
    wait_sighup();
    wait_sigterm();

    ox::oxs::log_t::instance().handler = oxs_log_forwarder;
    ox::util::set_logger(util_log_forwarder);

    switch_user_connection = config_holder->changed.connect([this] { switch_user(); });
}

inventory_t::~inventory_t() = default;

void inventory_t::get_tagger_connection(const std::function<void(tagger_connection_t*)>& callback)
{
    tagger_holder->async_get_connection(callback);
}

void inventory_t::get_vetter_connection(const std::function<void(vetter_connection_t*)>& callback)
{
    vetter_holder->async_get_connection(callback);
}

void inventory_t::get_seekd_connection(const std::function<void(seekd_connection_t*)>& callback)
{
    seekd_holder->async_get_connection(callback);
}

void inventory_t::arm_ticker()
{
    using clock = boost::asio::steady_timer::clock_type;
    const auto now = clock::now();
    const auto period = std::chrono::seconds(1);
    ticker.expires_at(now > clock::time_point::max() - period ? clock::time_point::max() : now + period);
    ticker.async_wait([this](const boost::system::error_code& error) { on_ticker(error); });
}

void inventory_t::on_ticker(const boost::system::error_code& error)
{
    if (error == boost::asio::error::operation_aborted)
        return;
    if (error)
        throw boost::system::system_error(error, "Ticker");
    tick();
    arm_ticker();
}

void inventory_t::wait_sighup()
{
    sighup_signals.async_wait([this](const boost::system::error_code& error, int) { on_sighup(error); });
}

void inventory_t::on_sighup(const boost::system::error_code& error)
{
    if (error == boost::asio::error::operation_aborted)
        return;
    if (error)
        throw boost::system::system_error(error, "SIGHUP");
    if (cf_log_threshold <= cf_log_notice)
        cf_log(cf_log_notice, "SIGHUP received, config will be ordered from PilotD");
    pilotd_tie->request_config();
    wait_sighup();
}

void inventory_t::wait_sigterm()
{
    sigterm_signals.async_wait([this](const boost::system::error_code& error, int) { on_sigterm(error); });
}

void inventory_t::on_sigterm(const boost::system::error_code& error)
{
    if (error == boost::asio::error::operation_aborted)
        return;
    if (error)
        throw boost::system::system_error(error, "SIGTERM");
    if (cf_log_threshold <= cf_log_notice)
        cf_log(cf_log_notice, "Termination signal received, exiting...");
    throw ox::EC_APP_TERMINATED;
}

void inventory_t::switch_user()
{
    if (!config_holder->run_as_user)
        return;
    const cf_local_user_t& user = *config_holder->run_as_user;
    if (user.uid == ::getuid())
        return;
    if (user_switched)
        throw need_restart_t();
    try {
        try {
            const gid_t gid = user.gid();
            set_user_groups(user.uid, gid);
            if (::setgid(gid) != 0)
                throw_errno("setgid");
            if (::setuid(user.uid) != 0)
                throw_errno("setuid");
        } catch (const boost::system::system_error& e) {
            if (cf_log_threshold <= cf_log_error)
                cf_log(cf_log_error, cf_what(e));
            throw std::runtime_error("Cannot run as user " + user.to_string());
        }
    } catch (const std::runtime_error& e) {
        if (cf_log_threshold <= cf_log_error)
            cf_log(cf_log_error, cf_what(e));
        throw ox::EC_BAD_CONFIG;
    }
    user_switched = true;
    if (cf_log_threshold <= cf_log_debug)
        cf_log(cf_log_debug, "Run as user " + user.to_string());
}

} // namespace ic
