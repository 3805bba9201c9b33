#include "clients/state_watcher.hpp"

#include <utility>

#include "app/core/config_holder.hpp"
#include "app/core/inventory.hpp"
#include "app/core/pilotd_tie.hpp"
#include "clients/vetter_connection.hpp"
#include "common/error_category.hpp"
#include "common/error_convert.hpp"
#include "common/log.hpp"
#include "protocol/body_stream.hpp"

namespace ic {

namespace {

// The probe starts on the eleventh tick after the last recorded outcome.
constexpr int probe_ticks = 10;

} // namespace

state_watcher_t::state_watcher_t(inventory_t& inventory) : inventory_(inventory)
{
    reset();
    inventory.pilotd_tie->app_info = &app_info;
    tick_slot_ = inventory.tick.connect([this] { on_tick(); });
    changed_slot_ = inventory.config_holder->changed.connect([this] { reset(); });
}

state_watcher_t::~state_watcher_t()
{
    inventory_.pilotd_tie->app_info = nullptr;
}

void state_watcher_t::reset()
{
    app_info.set_scan_state(ox::EC_UNKNOWN_STATE);
    app_info.set_oxs_state(ox::EC_UNKNOWN_STATE);
    counter_ = 0;
}

void state_watcher_t::on_tick()
{
    if (app_info.scan_state() == ox::EC_OK || app_info.scan_state() == ox::EC_UNKNOWN_STATE)
        return;
    // The count stops past the probe's tick: a probe that never ends must
    // not make it run over.
    if (counter_ > probe_ticks)
        return;
    if (counter_++ == probe_ticks)
        scan_empty();
}

void state_watcher_t::scan_empty()
{
    if (probe_running_)
        return;
    probe_running_ = true;
    if (cf_log_threshold <= cf_log_debug)
        cf_log(cf_log_debug, "state_watcher_t::scan_empty: get Vetter");
    inventory_.get_vetter_connection([this](vetter_connection_t* connection) {
        if (!connection) {
            if (cf_log_threshold <= cf_log_debug)
                cf_log(cf_log_debug, "state_watcher_t::scan_empty: no Vetter");
            on_scan_done(ox::ScanReport(), ox::make_error_code(ox::EC_NO_VETTER));
            return;
        }
        if (cf_log_threshold <= cf_log_debug)
            cf_log(cf_log_debug, "state_watcher_t::scan_empty: scan empty file");
        connection->scan(io::http::body_stream_t::make_empty(inventory_.io_context), true,
                         [this](const ox::ScanReport& report, const std::shared_ptr<io::http::body_stream_t>&,
                                const boost::system::error_code& error) { on_scan_done(report, error); });
    });
}

void state_watcher_t::on_scan_done(const ox::ScanReport& report, const boost::system::error_code& error)
{
    probe_running_ = false;
    const std::list<waiter_t> waiters = std::exchange(waiters_, {});
    notify_scan_state(error);
    for (const auto& waiter : waiters)
        waiter(report, error);
}

void state_watcher_t::notify_scan_state(const boost::system::error_code& error)
{
    const ox::ErrorCode code = cf_to_proto_error(error);
    if (code != app_info.scan_state()) {
        if (cf_log_threshold <= cf_log_debug)
            cf_log(cf_log_debug, "state_watcher_t::notify_scan_state: " + error.message());
        app_info.set_scan_state(code);
        inventory_.pilotd_tie->send_info();
    }
    counter_ = 0;
}

void state_watcher_t::async_get_scan_state(const waiter_t& waiter)
{
    waiters_.push_back(waiter);
    scan_empty();
}

} // namespace ic
