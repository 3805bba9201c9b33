#pragma once

#include <functional>

#include <boost/core/noncopyable.hpp>
#include <boost/signals2/connection.hpp>

namespace ic {

class inventory_t;

// Ends a client connection that has had nothing to do for eleven ticks of
// the application's clock: the owner's function runs once, on the eleventh
// tick of an uninterrupted idle period. The owner writes `counter` itself:
// -1 when it sends a request, 0 when the answer to its last pending request
// has arrived.
class idle_controller_t : private boost::noncopyable {
public:
    // Starts idle; the tick slot goes at the back of the application's tick.
    idle_controller_t(inventory_t& inventory, const std::function<void()>& on_idle);

private:
    // The slot holds its own copy of on_idle and leaves the controller alone
    // once it has called it: on_idle may end the owner, and the controller
    // with it.
    static void on_tick(idle_controller_t* controller, const std::function<void()>& on_idle);

    boost::signals2::scoped_connection tick_slot_;

public:
    // -1 while the owner waits for answers; else the ticks counted since it
    // became idle.
    int counter = 0;
};

} // namespace ic
