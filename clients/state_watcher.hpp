#pragma once

#include <functional>
#include <list>

#include <boost/core/noncopyable.hpp>
#include <boost/signals2/connection.hpp>
#include <boost/system/error_code.hpp>

#include "schemas/scan_report.pb.h"
#include "schemas/traxd_appinfo.pb.h"

namespace ic {

class inventory_t;

// Keeps the scanning service's state as this daemon sees it and reports
// each change to PilotD. It learns the state from failed body scans and
// from probes (an empty body scanned by Vetter), which run every eleventh
// tick while the state is an error and whenever an OPTIONS query asks for
// the state. New settings make the state unknown again.
class state_watcher_t : private boost::noncopyable {
public:
    using waiter_t = std::function<void(const ox::ScanReport&, const boost::system::error_code&)>;

    explicit state_watcher_t(inventory_t& inventory);
    ~state_watcher_t();

    // Records the outcome of a scan; a change is sent to PilotD.
    void notify_scan_state(const boost::system::error_code& error);
    // The waiter gets the outcome of a probe: the one running, or a new one.
    void async_get_scan_state(const waiter_t& waiter);
    // Starts a probe unless one runs.
    void scan_empty();

    // Both states unknown; counting starts again.
    void reset();
    void on_tick();

private:
    void on_scan_done(const ox::ScanReport& report, const boost::system::error_code& error);

    inventory_t& inventory_;
    boost::signals2::scoped_connection tick_slot_;
    boost::signals2::scoped_connection changed_slot_;

public:
    // What MY_INFO_NOTIFICATION carries.
    ox::TRAXDAppInfo app_info;

private:
    // Ticks since the last recorded outcome.
    int counter_ = 0;
    bool probe_running_ = false;
    std::list<waiter_t> waiters_;
};

} // namespace ic
