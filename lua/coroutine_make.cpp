#include "lua/coroutine_make.hpp"

namespace ox::lua {

namespace {

// require "coroutine.make" gives a function of one argument, the tag (a new
// table when absent), returning a table like the coroutine library whose
// create, resume, wrap and yield use that tag.
const char coroutine_make_chunk[] = R"lua(
local create, isyieldable, resume = coroutine.create, coroutine.isyieldable, coroutine.resume
local running, status, wrap, yield = coroutine.running, coroutine.status, coroutine.wrap, coroutine.yield
local rawequal, select = rawequal, select

return function(tag)
    if tag == nil then
        tag = {}
    end

    local function tagged(f)
        return function(...)
            return tag, f(...)
        end
    end

    -- What a standard resume gave: our own yield or the end (the tag comes
    -- first), a failure, or a suspension of someone else, which goes
    -- outward; whatever comes back is passed in again.
    local function after_resume(co, ok, ...)
        if not ok then
            return false, ...
        end
        if rawequal((...), tag) then
            return true, select(2, ...)
        end
        return after_resume(co, resume(co, yield(...)))
    end

    local made = {
        isyieldable = isyieldable,
        running = running,
        status = status,
    }

    made.create = function(f)
        return create(tagged(f))
    end

    made.resume = function(co, ...)
        return after_resume(co, resume(co, ...))
    end

    made.wrap = function(f)
        local step = wrap(tagged(f))
        local function after_step(...)
            if rawequal((...), tag) then
                return select(2, ...)
            end
            return after_step(step(yield(...)))
        end
        return function(...)
            return after_step(step(...))
        end
    end

    made.yield = function(...)
        return yield(tag, ...)
    end

    return made
end
)lua";

int load_coroutine_make(lua_State* L)
{
    luaL_loadbufferx(L, coroutine_make_chunk, sizeof coroutine_make_chunk - 1, "coroutine.make", nullptr);
    lua_pcall(L, 0, 1, 0);
    return 1;
}

} // namespace

void open_coroutine_make(lua_State* L)
{
    luaL_requiref(L, "coroutine.make", load_coroutine_make, 0);
    lua_pop(L, 1);
}

} // namespace ox::lua
