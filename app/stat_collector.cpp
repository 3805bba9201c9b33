#include "app/stat_collector.hpp"

#include <functional>

#include "app/core/inventory.hpp"
#include "app/core/pilotd_tie.hpp"
#include "icap/icap_server.hpp"

namespace ic {

stat_collector_t::stat_collector_t(inventory_t& inventory) : inventory_(inventory)
{
    using std::placeholders::_1;
    tick_slot_ = inventory.tick.connect(std::bind(&stat_collector_t::send, this));
    connection_slot_ = connection_count_signal.connect(std::bind(&stat_collector_t::count_connection, this, _1));
    request_slot_ =
        inventory.icap_handler->request_signal.connect(std::bind(&stat_collector_t::count_request, this, _1));
}

void stat_collector_t::count_connection(int delta)
{
    if (delta > 0)
        in_ += static_cast<std::uint64_t>(delta);
    else
        out_ += static_cast<std::uint64_t>(-static_cast<std::int64_t>(delta));
}

void stat_collector_t::count_request(icap_handler_t::request_type_t type)
{
    ++requests_[type];
}

ox::TRAXDAppStat stat_collector_t::snapshot() const
{
    const auto count = [this](icap_handler_t::request_type_t type) -> std::uint64_t {
        const auto found = requests_.find(type);
        return found == requests_.end() ? 0 : found->second;
    };
    ox::TRAXDAppStat stat;
    ox::TRAXDConnectionStat* connections = stat.mutable_connections();
    connections->set_base(base_);
    connections->set_in(in_);
    connections->set_out(out_);
    ox::TRAXDRequestStat* requests = stat.mutable_requests();
    requests->set_options(count(icap_handler_t::options));
    requests->set_reqmod(count(icap_handler_t::reqmod));
    requests->set_respmod(count(icap_handler_t::respmod));
    requests->set_bad(count(icap_handler_t::bad));
    return stat;
}

void stat_collector_t::send()
{
    const ox::TRAXDAppStat stat = snapshot();
    base_ = base_ + in_ - out_;
    in_ = 0;
    out_ = 0;
    requests_.clear();
    inventory_.pilotd_tie->send_stat(stat);
}

} // namespace ic
