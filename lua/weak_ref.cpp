#include "lua/weak_ref.hpp"

#include <stdexcept>
#include <vector>

#include "lua/body_table.hpp"
#include "lua/library.hpp"
#include "lua/make_const.hpp"

namespace ic::context {

namespace {

// A reference keeps the slot's index in its low bits and the generation
// above them: a million transactions at once, and as many generations as
// a daemon answering a hundred thousand queries a second makes in five
// years before one repeats.
constexpr unsigned index_bits = 20;
constexpr std::uintptr_t index_mask = (std::uintptr_t{1} << index_bits) - 1;
constexpr std::uintptr_t last_generation = ~std::uintptr_t{0} >> index_bits;
constexpr std::uint32_t no_slot = ~std::uint32_t{0};
static_assert(sizeof(std::uintptr_t) == 8, "a reference needs 64 bits");

struct slot_t {
    // Null while the slot is free.
    context_t* context;
    std::uintptr_t generation;
    // The next free slot, while this one is free.
    std::uint32_t next_free;
};

// Every script runs on the event loop's thread, and a reference never
// leaves the interpreter it was given to: one table per thread serves
// every interpreter of it.
struct slot_table_t {
    std::vector<slot_t> slots;
    std::uint32_t first_free = no_slot;
    std::uintptr_t generation = 0;
};

slot_table_t& slot_table()
{
    thread_local slot_table_t table;
    return table;
}

} // namespace

void register_metatables(lua_State* L)
{
    lua_createtable(L, 0, 1);
    lua_pushcfunction(L, summary_view_gc);
    lua_setfield(L, -2, "__gc");
    ox::lua::registry_set(L, summary_view_metatable);
}

weak_ref_t make_weak_ref(context_t& context)
{
    slot_table_t& table = slot_table();
    std::uint32_t index = table.first_free;
    if (index != no_slot) {
        table.first_free = table.slots[index].next_free;
    } else {
        if (table.slots.size() > index_mask)
            throw std::runtime_error("Too many transactions for scripts at once");
        index = static_cast<std::uint32_t>(table.slots.size());
        table.slots.push_back({});
    }
    table.generation = table.generation == last_generation ? 1 : table.generation + 1;
    table.slots[index] = slot_t{&context, table.generation, no_slot};
    return table.generation << index_bits | index;
}

void expire_weak_ref(weak_ref_t reference) noexcept
{
    if (reference == 0)
        return;
    slot_table_t& table = slot_table();
    const auto index = static_cast<std::uint32_t>(reference & index_mask);
    // A reference given out on another thread names a slot this table may
    // not have, or one of another generation: it frees nothing.
    if (index >= table.slots.size())
        return;
    slot_t& slot = table.slots[index];
    if (slot.context == nullptr || slot.generation != reference >> index_bits)
        return;
    slot = slot_t{nullptr, 0, table.first_free};
    table.first_free = index;
}

context_t& lock_weak_ref(lua_State* L, int index)
{
    if (lua_type(L, index) != LUA_TLIGHTUSERDATA)
        raise_script_error(L, "invalid transaction reference");
    const auto reference = reinterpret_cast<weak_ref_t>(lua_touserdata(L, index));
    const std::vector<slot_t>& slots = slot_table().slots;
    const std::size_t slot = reference & index_mask;
    if (slot >= slots.size() || slots[slot].context == nullptr || slots[slot].generation != reference >> index_bits)
        raise_script_error(L, "trying to use expired pointer");
    return *slots[slot].context;
}

void set_weak_closure(lua_State* L, int reference, lua_CFunction function, const char* name)
{
    lua_pushvalue(L, reference);
    lua_pushcclosure(L, function, 1);
    lua_setfield(L, -2, name);
}

bool is_key(lua_State* L, int index, std::string_view text)
{
    if (lua_type(L, index) != LUA_TSTRING)
        return false;
    std::size_t length = 0;
    const char* key = lua_tolstring(L, index, &length);
    return std::string_view(key, length) == text;
}

bool index_lazy_function(lua_State* L, std::initializer_list<lazy_function_t> functions)
{
    if (lua_type(L, 2) != LUA_TSTRING)
        return false;
    std::size_t length = 0;
    const char* text = lua_tolstring(L, 2, &length);
    const std::string_view key(text, length);
    for (const lazy_function_t& entry : functions) {
        if (key == entry.name) {
            lua_settop(L, 2);
            lua_pushvalue(L, lua_upvalueindex(1));
            lua_pushcclosure(L, entry.function, 1);
            ox::lua::store_field(L);
            return true;
        }
    }
    return false;
}

void raise_script_error(lua_State* L, const char* text)
{
    lua_pushstring(L, text);
    lua_error(L);
    // lua_error unwinds as an exception of Lua's own type.
    __builtin_unreachable();
}

} // namespace ic::context
