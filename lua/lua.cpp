#include "lua/lua.hpp"

#include <algorithm>
#include <memory>
#include <new>
#include <stdexcept>
#include <string>

#include "app/core/config_holder.hpp"
#include "app/core/inventory.hpp"
#include "clients/lookup_engine.hpp"
#include "common/log.hpp"
#include "common/what.hpp"
#include "lua/callback_wrapper.hpp"
#include "lua/config_module.hpp"
#include "lua/coroutine_make.hpp"
#include "lua/lookup_module.hpp"
#include "lua/orvex_module.hpp"
#include "lua/protect.hpp"
#include "lua/regex_module.hpp"
#include "lua/value_readers.hpp"
#include "lua/weak_ref.hpp"
#include "schemas/error.pb.h"

namespace ic {

namespace {

constexpr const char* message_hook_key = "ic.message_hook";
constexpr const char* message_hook_name = "message_hook";
// Hook threads kept for reuse: as many as hooks commonly wait at once.
constexpr std::size_t idle_threads = 64;
// Lua starts a collection cycle once the heap is twice what the last cycle
// left (a pause of 200 percent). A cycle marks and sweeps all live data;
// with the little data a usual script keeps, that is a cycle every few
// dozen messages, paid by the messages that allocate. The heap may grow by
// headroom_kb instead when that is more: memory stays within Lua's own
// bound or the data plus the headroom.
constexpr int headroom_kb = 1024;
constexpr int lua_pause = 200;
constexpr unsigned hooks_per_tuning = 64;
// Hooks are made in storage from the plain allocation function.
static_assert(alignof(hook_t) <= __STDCPP_DEFAULT_NEW_ALIGNMENT__);

} // namespace

lua_t::lua_t(inventory_t& inventory)
    : inventory_(inventory),
      state_(ox::lua::new_state()),
      settings_(inventory.config_holder.get()),
      threads_(idle_threads),
      pause_(lua_pause)
{
    spare_hooks_.reserve(idle_threads);
    lua_State* L = state_.get();
    luaL_openlibs(L);
    ox::lua::open_library(L);
    lua_pushstring(L, message_hook_key);
    message_hook_name_ = ox::lua::registry_ref_t(L);
    ox::lua::open_coroutine_make(L);
    ox::lua::orvex::register_metatables(L, &inventory.io_context);
    ox::lua::orvex::open(L);
    ox::lua::regex::open(L);
    ox::lua::lookup::set_delegate(L, inventory.lookup_engine.get());
    ox::lua::lookup::open(L);
    context::register_metatables(L);
    open_config_module(L);
    change_connection_ = inventory.config_holder->changed.connect([this] { config_changed(); });
}

lua_t::~lua_t()
{
    change_connection_.disconnect();
    hooks_.clear_and_dispose([this](hook_t* hook) { dispose(hook); });
    for (spare_hook_t& spare : spare_hooks_)
        ::operator delete(spare.storage, sizeof(hook_t));
}

void lua_t::config_changed()
{
    if (cf_log_threshold <= cf_log_debug)
        cf_log(cf_log_debug, "lua_t::config_changed");
    try {
        set_package_paths();
        push_config();
        load_hook();
        lua_gc(state_.get(), LUA_GCCOLLECT, 0);
    } catch (const std::runtime_error& e) {
        if (cf_log_threshold <= cf_log_error)
            cf_log(cf_log_error, std::string("Lua: ") + cf_what(e));
        throw ox::EC_BAD_CONFIG;
    }
}

void lua_t::tune_collector()
{
    if (pause_ == 0 || ++hooks_since_tuning_ < hooks_per_tuning)
        return;
    hooks_since_tuning_ = 0;
    lua_State* L = state_.get();
    // The heap with its garbage: the pause it gives leaves less headroom
    // than the data alone would.
    const int heap_kb = std::max(lua_gc(L, LUA_GCCOUNT, 0), 1);
    const int wanted = std::max(lua_pause, 100 + 100 * headroom_kb / heap_kb);
    const int previous = lua_gc(L, LUA_GCSETPAUSE, wanted);
    if (previous != pause_) {
        // A script chose its own pause: it stays.
        lua_gc(L, LUA_GCSETPAUSE, previous);
        pause_ = 0;
        return;
    }
    pause_ = wanted;
}

void lua_t::set_package_paths()
{
    lua_State* L = state_.get();
    if (lua_getglobal(L, "package") != LUA_TTABLE) {
        const std::string type = luaL_typename(L, -1);
        lua_pop(L, 1);
        throw std::runtime_error("Global variable 'package' is not a table but " + type);
    }
    const ox::TRAXDConfig& config = settings_->config;
    lua_pushliteral(L, "path");
    ox::lua::push_string(L, config.lua_package_path());
    lua_rawset(L, -3);
    lua_pushliteral(L, "cpath");
    ox::lua::push_string(L, config.lua_package_c_path());
    lua_rawset(L, -3);
    lua_pop(L, 1);
}

void lua_t::push_config()
{
    ic::push_config(state_.get(), settings_->config);
}

void lua_t::load_hook()
{
    lua_State* L = state_.get();
    const ox::LuaChunk& chunk = settings_->config.message_hook();
    int status;
    switch (chunk.chunk_case()) {
    case ox::LuaChunk::kBuffer:
        // The chunk is named after its own text, as Lua names a string.
        status = ox::lua::load_chunk(L, chunk.buffer().c_str(), chunk.buffer());
        break;
    case ox::LuaChunk::kFile:
        status = luaL_loadfilex(L, chunk.file().c_str(), nullptr);
        break;
    default:
        throw std::runtime_error("No chunk set");
    }
    if (status != LUA_OK)
        throw std::runtime_error(ox::lua::error_text(L));
    status = lua_pcall(L, 0, 0, 0);
    ox::lua::rethrow_exit_order(L);
    if (status != LUA_OK)
        throw std::runtime_error(ox::lua::error_text(L));
    if (lua_getglobal(L, message_hook_name) != LUA_TFUNCTION) {
        lua_pop(L, 1);
        throw std::runtime_error(std::string("Cannot find function '") + message_hook_name + "'");
    }
    ox::lua::registry_set(L, message_hook_key);
}

void lua_t::run_hook(context::context_t&& context, completion_t&& completion)
{
    start_hook(std::move(context), std::move(completion));
}

void lua_t::run_hook(context::context_source_t&& source, completion_t&& completion)
{
    start_hook(std::move(source), std::move(completion));
}

template <class context_arg_t>
void lua_t::start_hook(context_arg_t&& context, completion_t&& completion)
{
    tune_collector();
    lua_State* L = state_.get();
    message_hook_name_.push(L);
    lua_rawget(L, LUA_REGISTRYINDEX);
    // The hook hands its verdict over as the caller's completion returns or
    // from a task of the event loop, not from its own code: the hook can
    // then go at once, without another turn of the loop.
    hook_t::owner_t* const owner = this;
    spare_hook_t spare{nullptr, nullptr};
    if (spare_hooks_.empty()) {
        spare.storage = ::operator new(sizeof(hook_t));
    } else {
        spare = std::move(spare_hooks_.back());
        spare_hooks_.pop_back();
    }
    // Storage the hook failed to take goes back to the allocator.
    std::unique_ptr<void, void (*)(void*)> storage(spare.storage,
                                                   [](void* unused) { ::operator delete(unused, sizeof(hook_t)); });
    auto* const hook = new (storage.get()) hook_t(L, inventory_, std::forward<context_arg_t>(context),
                                                  std::move(completion), &threads_, owner, std::move(spare.flag));
    storage.release();
    hooks_.push_back(*hook);
}

void lua_t::on_hook_done(hook_t& hook)
{
    hooks_.erase_and_dispose(hooks_.iterator_to(hook), [this](hook_t* done) { dispose(done); });
}

void lua_t::dispose(hook_t* hook) noexcept
{
    std::shared_ptr<bool> flag = hook->destroyed_flag();
    hook->~hook_t();
    if (spare_hooks_.size() >= idle_threads) {
        ::operator delete(static_cast<void*>(hook), sizeof(hook_t));
        return;
    }
    // Within the capacity reserved in the constructor: nothing here throws.
    spare_hooks_.push_back({hook, ox::util::callback_wrapper_t::reusable_flag(std::move(flag))});
}

} // namespace ic
