#pragma once

#include <memory>

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
    explicit config_holder_t(inventory_t& inventory);

    // Stores the settings, applies them and emits `changed`. Settings that
    // cannot be used throw ox::EC_BAD_CONFIG after an Error record; a
    // failure that only a fresh process can mend throws need_restart_t;
    // whatever a slot of `changed` throws passes through.
    void apply(const ox::TRAXDConfig& settings);

    boost::signals2::signal<void()> changed;

private:
    inventory_t& inventory_;

public:
    ox::TRAXDConfig config;
    std::unique_ptr<cf_local_user_t> run_as_user;
    boost::asio::ip::tcp::endpoint listen_endpoint{boost::asio::ip::address_v4::any(), 0};

private:
    void apply_user_and_log();
    void apply_listen_address();
    void apply_templates_dir();
};

} // namespace ic
