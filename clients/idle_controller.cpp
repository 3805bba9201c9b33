#include "clients/idle_controller.hpp"

#include <climits>

#include "app/core/inventory.hpp"

namespace ic {

namespace {

// The tick that ends an idle period is the eleventh.
constexpr int idle_ticks = 11;

} // namespace

idle_controller_t::idle_controller_t(inventory_t& inventory, const std::function<void()>& on_idle)
{
    tick_slot_ = inventory.tick.connect([controller = this, on_idle] { on_tick(controller, on_idle); });
}

void idle_controller_t::on_tick(idle_controller_t* controller, const std::function<void()>& on_idle)
{
    const int old = controller->counter;
    if (old < 0 || old == INT_MAX)
        return;
    controller->counter = old + 1;
    if (old == idle_ticks - 1)
        on_idle();
}

} // namespace ic
