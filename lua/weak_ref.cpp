#include "lua/weak_ref.hpp"

#include <stdexcept>
#include <vector>

#include "lua/body_table.hpp"
#include "lua/context.hpp"
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
    // The table bound to the reference; null when none is.
    const void* table;
};

// The bound tables by address, in open addressing with linear probing:
// a binding per message, added and removed without an allocation once
// the table has grown to the transactions that run at once.
class table_index_t {
public:
    void set(const void* table, weak_ref_t reference)
    {
        if (2 * (count_ + 1) > entries_.size())
            grow();
        entry_t& entry = entries_[locate(table)];
        if (entry.table == nullptr)
            ++count_;
        entry = entry_t{table, reference};
    }

    weak_ref_t get(const void* table) const noexcept
    {
        if (entries_.empty())
            return 0;
        return entries_[locate(table)].reference;
    }

    // Removes the table's entry when it holds the reference: the address
    // may have been bound anew since (the table collected, another made
    // there).
    void erase(const void* table, weak_ref_t reference) noexcept
    {
        if (entries_.empty())
            return;
        std::size_t gap = locate(table);
        if (entries_[gap].table == nullptr || entries_[gap].reference != reference)
            return;
        --count_;
        // Moves back the entries after the hole that may not stay behind
        // it, so that every lookup still stops at the first empty entry.
        const std::size_t mask = entries_.size() - 1;
        for (std::size_t next = (gap + 1) & mask; entries_[next].table != nullptr; next = (next + 1) & mask) {
            const std::size_t home = position(entries_[next].table);
            if (((next - home) & mask) >= ((next - gap) & mask)) {
                entries_[gap] = entries_[next];
                gap = next;
            }
        }
        entries_[gap] = entry_t{nullptr, 0};
    }

private:
    struct entry_t {
        // Null while the entry is empty.
        const void* table;
        weak_ref_t reference;
    };

    std::size_t position(const void* table) const noexcept
    {
        // Fibonacci hashing of the address: its low bits are all alike.
        const auto bits = reinterpret_cast<std::uintptr_t>(table) * 0x9E3779B97F4A7C15u;
        return static_cast<std::size_t>(bits >> shift_);
    }

    // The place of the table's entry, else of the empty one where it
    // would go.
    std::size_t locate(const void* table) const noexcept
    {
        const std::size_t mask = entries_.size() - 1;
        std::size_t at = position(table);
        while (entries_[at].table != nullptr && entries_[at].table != table)
            at = (at + 1) & mask;
        return at;
    }

    void grow()
    {
        std::vector<entry_t> old(entries_.empty() ? 64 : 2 * entries_.size());
        old.swap(entries_);
        shift_ = 64 - static_cast<unsigned>(__builtin_ctzll(entries_.size()));
        count_ = 0;
        for (const entry_t& entry : old)
            if (entry.table != nullptr)
                set(entry.table, entry.reference);
    }

    std::vector<entry_t> entries_;
    std::size_t count_ = 0;
    unsigned shift_ = 64;
};

// Every script runs on the event loop's thread, and a reference never
// leaves the interpreter it was given to: one table per thread serves
// every interpreter of it.
struct slot_table_t {
    std::vector<slot_t> slots;
    std::uint32_t first_free = no_slot;
    std::uintptr_t generation = 0;
    table_index_t tables;
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
    register_transaction_metatable(L);
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
    table.slots[index] = slot_t{&context, table.generation, no_slot, nullptr};
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
    if (slot.table != nullptr)
        table.tables.erase(slot.table, reference);
    slot = slot_t{nullptr, 0, table.first_free, nullptr};
    table.first_free = index;
}

void bind_table(weak_ref_t reference, const void* bound)
{
    slot_table_t& table = slot_table();
    slot_t& slot = table.slots[reference & index_mask];
    if (slot.table != nullptr)
        table.tables.erase(slot.table, reference);
    table.tables.set(bound, reference);
    slot.table = bound;
}

weak_ref_t bound_ref(const void* table) noexcept
{
    return slot_table().tables.get(table);
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
