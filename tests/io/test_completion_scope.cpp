#include "io/completion_scope.hpp"

#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include <boost/asio/local/connect_pair.hpp>
#include <boost/asio/post.hpp>
#include <gtest/gtest.h>

#include "io/connection.hpp"
#include "io/io_test.hpp"

namespace {

using boost::system::error_code;

struct pair_t {
    std::shared_ptr<io::connection_t> near;
    std::shared_ptr<io::connection_t> far;
};

pair_t local_pair(boost::asio::io_context& context)
{
    auto near = std::make_shared<io::local_socket_t>(context);
    auto far = std::make_shared<io::local_socket_t>(context);
    boost::asio::local::connect_pair(*near, *far);
    return {io::make_connection(near), io::make_connection(far)};
}

// Everything the far ends received, until expected bytes have come.
std::string received(boost::asio::io_context& context, const std::shared_ptr<io::connection_t>& far,
                     std::size_t expected)
{
    std::string got;
    while (got.size() < expected) {
        const auto piece = io_test::receive(context, far);
        if (piece.error)
            break;
        got += piece.data.str();
    }
    return got;
}

// A send written at once inside a scope completes when the outermost scope
// closes, without a turn of the loop, and never inside its call; a scope
// left by an exception leaves its completions to the loop.
TEST(completion_scope_test, sends_complete_as_the_outermost_scope_closes)
{
    struct case_t {
        const char* name;
        bool nested;
        bool throws;
    } const cases[] = {
        {"one scope", false, false},
        {"nested scopes", true, false},
        {"left by an exception", false, true},
        {"nested and left by an exception", true, true},
    };
    for (const case_t& c : cases) {
        SCOPED_TRACE(c.name);
        boost::asio::io_context context;
        const pair_t pair = local_pair(context);
        bool returned = false;
        bool done = false;
        bool done_inside_call = false;
        bool done_before_inner_closed = false;
        bool done_at_close = false;
        const auto send = [&] {
            pair.near->async_send(orx::buffer_t("answer"), [&](const error_code& error) {
                EXPECT_FALSE(error);
                done_inside_call = !returned;
                done = true;
            });
            returned = true;
        };
        try {
            const io::completion_scope_t outer;
            if (c.nested) {
                const io::completion_scope_t inner;
                send();
            } else {
                send();
            }
            done_before_inner_closed = done;
            EXPECT_TRUE(io::completion_scope_t::open());
            if (c.throws)
                throw std::runtime_error("failed");
        } catch (const std::runtime_error&) {
        }
        done_at_close = done;
        EXPECT_FALSE(io::completion_scope_t::open());
        EXPECT_FALSE(done_before_inner_closed);
        EXPECT_EQ(done_at_close, !c.throws);
        EXPECT_TRUE(io_test::run_until(context, [&] { return done; }));
        EXPECT_FALSE(done_inside_call);
        EXPECT_EQ(received(context, pair.far, 6), "answer");
    }
}

// Completions run in the order their sends were written, across
// connections; one that writes the next send at once has it complete in
// the same close, after the others.
TEST(completion_scope_test, completions_run_in_order_and_take_on_what_they_start)
{
    boost::asio::io_context context;
    const pair_t first = local_pair(context);
    const pair_t second = local_pair(context);
    std::vector<std::string> order;
    {
        const io::completion_scope_t scope;
        first.near->async_send(orx::buffer_t("a"), [&](const error_code&) {
            order.push_back("first");
            first.near->async_send(orx::buffer_t("b"), [&](const error_code&) { order.push_back("first again"); });
        });
        second.near->async_send(orx::buffer_t("c"), [&](const error_code&) { order.push_back("second"); });
        EXPECT_TRUE(order.empty());
    }
    EXPECT_EQ(order, (std::vector<std::string>{"first", "second", "first again"}));
    EXPECT_EQ(received(context, first.far, 2), "ab");
    EXPECT_EQ(received(context, second.far, 1), "c");
}

// A step left for after the current completion runs as the outermost scope
// closes, before anything posted; with no scope, or from a scope left by an
// exception, it waits for the loop like a post. Never inside the call.
TEST(completion_scope_test, a_step_runs_after_the_completion)
{
    struct case_t {
        const char* name;
        bool in_scope;
        bool throws;
        std::vector<std::string> order_at_close;
    } const cases[] = {
        {"in a scope", true, false, {"step"}},
        {"no scope", false, false, {}},
        {"scope left by an exception", true, true, {}},
    };
    for (const case_t& c : cases) {
        SCOPED_TRACE(c.name);
        boost::asio::io_context context;
        std::vector<std::string> order;
        bool returned = false;
        bool inside_call = false;
        try {
            std::unique_ptr<io::completion_scope_t> scope;
            if (c.in_scope)
                scope = std::make_unique<io::completion_scope_t>();
            boost::asio::post(context, [&] { order.push_back("posted"); });
            io::after_completion(context.get_executor(), [&] {
                inside_call = !returned;
                order.push_back("step");
            });
            returned = true;
            EXPECT_TRUE(order.empty());
            if (c.throws)
                throw std::runtime_error("failed");
        } catch (const std::runtime_error&) {
        }
        EXPECT_EQ(order, c.order_at_close);
        context.run();
        EXPECT_FALSE(inside_call);
        EXPECT_EQ(order.size(), 2u);
        EXPECT_EQ(order.back(), c.order_at_close.empty() ? "step" : "posted");
    }
}

// What a send keeps lives until its handler has run, however the send
// completes.
TEST(completion_scope_test, a_send_keeps_what_it_is_given_until_its_handler_ran)
{
    struct case_t {
        const char* name;
        bool in_scope;
        bool in_pieces;
    } const cases[] = {
        {"posted", false, false},
        {"posted, in pieces", false, true},
        {"in a scope", true, false},
        {"in a scope, in pieces", true, true},
    };
    for (const case_t& c : cases) {
        SCOPED_TRACE(c.name);
        boost::asio::io_context context;
        const pair_t pair = local_pair(context);
        auto kept = std::make_shared<int>(1);
        const std::weak_ptr<int> watch = kept;
        bool alive_in_handler = false;
        bool done = false;
        {
            std::unique_ptr<io::completion_scope_t> scope;
            if (c.in_scope)
                scope = std::make_unique<io::completion_scope_t>();
            const auto handler = [&](const error_code& error) {
                EXPECT_FALSE(error);
                alive_in_handler = !watch.expired();
                done = true;
            };
            if (c.in_pieces)
                pair.near->async_send_pieces({orx::buffer_t("ke"), orx::buffer_t("pt")}, handler,
                                                     std::move(kept));
            else
                pair.near->async_send(orx::buffer_t("kept"), handler, std::move(kept));
            EXPECT_FALSE(watch.expired());
        }
        EXPECT_TRUE(io_test::run_until(context, [&] { return done; }));
        EXPECT_TRUE(alive_in_handler);
        EXPECT_TRUE(watch.expired());
        EXPECT_EQ(received(context, pair.far, 4), "kept");
    }
}

} // namespace
