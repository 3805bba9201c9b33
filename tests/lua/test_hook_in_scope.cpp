// Hooks run inside a completion scope, as the ICAP handler runs them: a
// verdict found at once is handed over when the scope closes, never inside
// run_hook and without a turn of the event loop; one that waits still comes
// from the loop. Also the hooks' storage and lifetime flags, which the
// runtime keeps for the next hooks.

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "hook_fixture.hpp"
#include "io/completion_scope.hpp"
#include "lua/callback_wrapper.hpp"
#include "lua/lua.hpp"

namespace {

using namespace std::chrono_literals;

class LuaHookInScope : public hook_test::fixture_t {
protected:
    // Starts a hook that records its end in `ended`, named after the
    // query's "X-Name" field.
    void start_named(const std::string& name)
    {
        inventory->lua->run_hook(make_context({{{"X-Name", name}}, hook_test::simple_request, ""}),
                                 [this, name](ic::context::context_t, const std::shared_ptr<ic::verdict_t>& verdict) {
                                     ended.push_back(name + (verdict ? "" : " without verdict"));
                                 });
    }

    std::vector<std::string> ended;
};

// When the verdict comes, by what the script does.
TEST_F(LuaHookInScope, VerdictAtCloseOnlyWhenTheHookEndsAtOnce)
{
    struct case_t {
        const char* name;
        const char* body; // of message_hook(t)
        const char* kind;
        bool at_close;
    };
    for (const case_t& c : {case_t{"passes", "return 'pass'", "allowed", true},
                            case_t{"blocks", "return 'block'", "blocked_url", true},
                            case_t{"fails", "error('bad')", "allowed", true},
                            case_t{"sleeps_first", "orvex.sleep(0.01) return 'pass'", "allowed", false}}) {
        ASSERT_TRUE(load(std::string("orvex = require('orvex')\nfunction message_hook(t) ") + c.body + " end"));
        std::shared_ptr<hook_test::outcome_t> outcome;
        {
            const io::completion_scope_t scope;
            outcome = start(make_context());
            EXPECT_FALSE(outcome->done) << c.name;
        }
        EXPECT_EQ(outcome->done, c.at_close) << c.name;
        EXPECT_TRUE(run_until([&] { return outcome->done; })) << c.name;
        EXPECT_EQ(outcome->kind(), c.kind) << c.name;
        EXPECT_TRUE(outcome->context.has_value()) << c.name;
    }
}

// Verdicts go in the order the hooks ended, those of hooks the completions
// start included; an inner scope leaves them to the outermost.
TEST_F(LuaHookInScope, OutermostScopeHandsOverInOrder)
{
    ASSERT_TRUE(load("function message_hook(t) return 'pass' end"));
    {
        const io::completion_scope_t outer;
        start_named("first");
        {
            const io::completion_scope_t inner;
            inventory->lua->run_hook(make_context(),
                                     [this](ic::context::context_t, const std::shared_ptr<ic::verdict_t>&) {
                                         ended.push_back("second");
                                         start_named("started by second");
                                     });
            start_named("third");
        }
        EXPECT_TRUE(ended.empty());
    }
    EXPECT_EQ(ended, (std::vector<std::string>{"first", "second", "third", "started by second"}));
}

// A scope left by an exception loses no verdict: the loop hands it over.
TEST_F(LuaHookInScope, ScopeLeftByAnExceptionLeavesTheVerdictsToTheLoop)
{
    ASSERT_TRUE(load("function message_hook(t) return 'pass' end"));
    try {
        const io::completion_scope_t scope;
        start_named("first");
        start_named("second");
        throw std::runtime_error("left");
    } catch (const std::runtime_error&) {
    }
    EXPECT_TRUE(ended.empty());
    EXPECT_TRUE(run_until([&] { return ended.size() == 2; }));
    EXPECT_EQ(ended, (std::vector<std::string>{"first", "second"}));

    // The next scope starts empty.
    {
        const io::completion_scope_t scope;
        start_named("third");
    }
    EXPECT_EQ(ended.back(), "third");
}

// A hook that ended while a host operation it started was still pending
// (caught by a standard coroutine of the script) leaves its flag to that
// operation's completion: the next hook, made in the same storage, is not
// resumed by it.
TEST_F(LuaHookInScope, LateCompletionOfAnEndedHookMissesTheNextHook)
{
    ASSERT_TRUE(load("orvex = require('orvex') woke = 0\n"
                     "function message_hook(t)\n"
                     "  if t.icap.value('X-Name') == 'early' then\n"
                     "    coroutine.wrap(function() orvex.sleep(0.05) end)()\n"
                     "    return 'pass'\n"
                     "  end\n"
                     "  orvex.sleep(0.5)\n"
                     "  woke = woke + 1\n"
                     "  return 'pass'\n"
                     "end"));
    {
        const io::completion_scope_t scope;
        start_named("early");
    }
    ASSERT_EQ(ended, std::vector<std::string>{"early"});
    start_named("late");
    run_until([] { return false; }, 150ms);
    EXPECT_EQ(ended.size(), 1u);
    EXPECT_EQ(eval("woke"), "0");
    EXPECT_TRUE(run_until([&] { return ended.size() == 2; }));
    EXPECT_EQ(eval("woke"), "1");
}

// More hooks at once than the runtime keeps spares for: every one ends, and
// the hooks after them run on what was kept.
TEST_F(LuaHookInScope, MoreHooksAtOnceThanSparesKept)
{
    ASSERT_TRUE(load("orvex = require('orvex')\n"
                     "function message_hook(t) orvex.sleep(0.01) return 'pass' end"));
    constexpr int at_once = 200;
    for (int round = 0; round < 2; ++round) {
        ended.clear();
        for (int i = 0; i < at_once; ++i)
            start_named(std::to_string(i));
        EXPECT_TRUE(run_until([&] { return ended.size() == at_once; })) << round;
    }
}

// A lifetime flag is taken over only when nothing else holds it, and then
// starts out clear.
TEST(CallbackWrapperFlag, TakenOverOnlyWhenNothingHoldsIt)
{
    struct case_t {
        const char* name;
        bool held; // a wrapped completion outlives the owner
    };
    for (const case_t& c : {case_t{"free", false}, case_t{"held", true}}) {
        std::shared_ptr<bool> flag;
        std::function<void()> late;
        {
            ox::util::callback_wrapper_t owner;
            flag = owner.destroyed_flag();
            if (c.held)
                late = owner.wrap([] { ADD_FAILURE() << "reached a destroyed owner"; });
        }
        EXPECT_TRUE(*flag) << c.name;
        std::shared_ptr<bool> spare = ox::util::callback_wrapper_t::reusable_flag(std::move(flag));
        EXPECT_EQ(spare == nullptr, c.held) << c.name;
        ox::util::callback_wrapper_t next(std::move(spare));
        EXPECT_FALSE(*next.destroyed_flag()) << c.name;
        if (late)
            late();
    }
}

} // namespace
