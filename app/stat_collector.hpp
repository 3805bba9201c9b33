#pragma once

#include <cstdint>
#include <map>

#include <boost/core/noncopyable.hpp>
#include <boost/signals2/connection.hpp>

#include "icap/icap_handler.hpp"
#include "schemas/traxd_appstat.pb.h"

namespace ic {

class inventory_t;

// Counts the ICAP connections and queries of each one-second period and
// sends them to PilotD at every tick.
class stat_collector_t : private boost::noncopyable {
public:
    explicit stat_collector_t(inventory_t& inventory);

    void count_connection(int delta);
    void count_request(icap_handler_t::request_type_t type);
    // Sends the period's counters and starts the next period.
    void send();
    // The counters of the period so far, as send() would report them.
    ox::TRAXDAppStat snapshot() const;

private:
    inventory_t& inventory_;
    boost::signals2::scoped_connection tick_slot_;
    boost::signals2::scoped_connection connection_slot_;
    boost::signals2::scoped_connection request_slot_;
    std::uint64_t base_ = 0;
    std::uint64_t in_ = 0;
    std::uint64_t out_ = 0;
    std::map<icap_handler_t::request_type_t, std::uint64_t> requests_;
};

} // namespace ic
