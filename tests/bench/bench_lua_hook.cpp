// One transaction's hook run as the check engine will ask for it for every
// REQMOD and RESPMOD: the transaction context, its script view, the hook's
// coroutine, the script and the verdict handed back from the event loop or
// as a completion scope closes, and the hook's removal. On one core; the figure is
// hooks per second.

#include <benchmark/benchmark.h>

#include <memory>
#include <string>

#include "app/core/config_holder.hpp"
#include "app/core/inventory.hpp"
#include "app/pilotd_peer.hpp"
#include "common/log.hpp"
#include "io/completion_scope.hpp"
#include "lua/context.hpp"
#include "lua/lua.hpp"

namespace {

class null_delegate_t : public ic::context::delegate_t {
public:
    void check_url(ic::context::context_t*, ic::context::url_check_callback_t&&) override {}
    void check_body(ic::context::body_getter_t&&, ic::context::body_check_callback_t&&) override {}
};

class null_log_t : public cf_log_t {
public:
    null_log_t() : cf_log_t(nullptr, nullptr) {}
    void open() override {}
    void write(int, const std::string&) override {}
    void write_raw(const std::string&, int, const std::string&) override {}
    void write_out_of_memory() override {}
};

// An application object with the script as its hook, logging nothing.
struct daemon_t {
    explicit daemon_t(const std::string& script)
    {
        cf_log_threshold = cf_log_warning;
        cf_set_log(std::make_shared<null_log_t>());
        inventory = std::make_unique<ic::inventory_t>(pilotd.daemon_end());
        pilotd.release_daemon_end();
        auto config = test_pilotd::usable_config();
        config.set_log_level(ox::LOG_LEVEL_WARNING);
        config.mutable_actual_log()->set_type(ox::Log::AUTO);
        config.mutable_message_hook()->set_buffer(script);
        inventory->config_holder->apply(config);
    }

    test_pilotd::peer_t pilotd;
    std::unique_ptr<ic::inventory_t> inventory;
};

const char* const request_head =
    "GET http://www.example.com/index.html HTTP/1.1\r\n"
    "Host: www.example.com\r\n"
    "User-Agent: Mozilla/5.0 (X11; Linux x86_64; rv:109.0) Gecko/20100101 Firefox/115.0\r\n"
    "Accept: text/html,application/xhtml+xml,application/xml;q=0.9,*/*;q=0.8\r\n"
    "Accept-Language: en-US,en;q=0.5\r\n"
    "Accept-Encoding: gzip, deflate\r\n"
    "Connection: keep-alive\r\n\r\n";

void run_hooks(benchmark::State& state, const std::string& script)
{
    daemon_t daemon(script);
    ic::inventory_t& inventory = *daemon.inventory;
    null_delegate_t delegate;
    const auto icap_fields = std::make_shared<io::http::param_map_t>();
    icap_fields->add("Host", "127.0.0.1:1344");
    icap_fields->add("Allow", "204");
    icap_fields->add("X-Client-IP", "192.168.10.20");
    icap_fields->add("Encapsulated", "req-hdr=0, null-body=287");
    const orx::buffer_t head{std::string(request_head)};
    // Hooks started per turn of the event loop: 1 pays a whole turn (and its
    // epoll_wait) per message, more share a turn as on a busy daemon.
    const auto batch = static_cast<std::size_t>(state.range(0));
    // 1: the hooks run inside a completion scope, as the ICAP handler runs
    // them, and hand their verdicts over when it closes instead of from the
    // loop.
    const bool in_scope = state.range(1) != 0;
    std::size_t completed = 0;
    const auto run = [&] {
        for (std::size_t i = 0; i < batch; ++i) {
            ic::context::context_t context(icap_fields, head, orx::buffer_t(), {}, &delegate);
            inventory.lua->run_hook(std::move(context), [&completed](ic::context::context_t&&,
                                                                     const std::shared_ptr<ic::verdict_t>& verdict) {
                completed += verdict != nullptr;
            });
        }
    };
    for (auto _ : state) {
        if (in_scope) {
            const io::completion_scope_t turn;
            run();
        } else {
            run();
        }
        inventory.io_context.poll();
    }
    const auto hooks = static_cast<double>(state.iterations()) * static_cast<double>(batch);
    if (completed != static_cast<std::size_t>(hooks))
        state.SkipWithError("a hook did not complete");
    state.counters["hooks/s"] = benchmark::Counter(hooks, benchmark::Counter::kIsRate);
}

// The hook that answers without looking: the fixed cost of every message.
void pass(benchmark::State& state)
{
    run_hooks(state, "function message_hook(t) return 'pass' end");
}
BENCHMARK(pass)->ArgsProduct({{1, 64}, {0, 1}});

// A hook that reads what most policies read: the direction, the client's
// address and user, the method and a header field of the request.
void read_heads(benchmark::State& state)
{
    run_hooks(state,
              "local config = require('orvex.config')\n"
              "function message_hook(t)\n"
              "  if t.direction ~= 'request' then return 'pass' end\n"
              "  local src, user = t.icap.src, t.icap.user\n"
              "  if t.request.method == 'CONNECT' or t.request.value('User-Agent') == nil then return 'block' end\n"
              "  return config.block_unchecked and 'block' or 'pass'\n"
              "end");
}
BENCHMARK(read_heads)->ArgsProduct({{1, 64}, {0, 1}});

} // namespace

BENCHMARK_MAIN();
