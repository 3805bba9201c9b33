#pragma once

#include <functional>
#include <memory>
#include <stdexcept>

#include <boost/asio/ip/tcp.hpp>
#include <boost/core/noncopyable.hpp>
#include <boost/signals2/signal.hpp>

#include "common/local_user.hpp"
#include "schemas/traxd_config.pb.h"

namespace ic {

class inventory_t;

// Keeps the settings PilotD sent last, applies what the application shell
// owns (run-as user, logging, listen address, templates directory) and
// announces every accepted set with `changed`.
class config_holder_t : private boost::noncopyable {
public:
    // Resolves the run-as setting and throws as cf_local_user_t::assign
    // does; tests put in one that fails on demand.
    using user_lookup_t = std::function<cf_local_user_t(const ox::LocalUser&)>;

    explicit config_holder_t(inventory_t& inventory, user_lookup_t lookup_user = lookup_local_user);

    // Stores the settings, applies them and emits `changed`. Settings that
    // cannot be used throw ox::EC_BAD_CONFIG after an Error record; a
    // failure that only a fresh process can mend throws need_restart_t;
    // whatever a slot of `changed` throws passes through. A run-as user
    // that cannot be looked up for want of resources keeps the user the
    // daemon has, after an Error record; before there is one, the lookup's
    // cf_exception_t passes through.
    void apply(const ox::TRAXDConfig& settings);

    boost::signals2::signal<void()> changed;

private:
    static cf_local_user_t lookup_local_user(const ox::LocalUser& user);

    inventory_t& inventory_;
    user_lookup_t lookup_user_;

public:
    ox::TRAXDConfig config;
    std::unique_ptr<cf_local_user_t> run_as_user;
    boost::asio::ip::tcp::endpoint listen_endpoint{boost::asio::ip::address_v4::any(), 0};

private:
    void take_run_as_user();
    void apply_log();
    // The failure rule of the user and log steps.
    [[noreturn]] void fail(const std::runtime_error& e) const;
    void apply_listen_address();
    void apply_templates_dir();
};

} // namespace ic
