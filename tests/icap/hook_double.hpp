#pragma once

// The policy hook's place in the check engine, taken by the tests: a
// function of the transaction's context gives the verdict, handed over
// later from the event loop as the Lua runtime hands it.

#include <functional>
#include <memory>
#include <utility>

#include <boost/asio/io_context.hpp>
#include <boost/asio/post.hpp>

#include "icap/check_engine.hpp"
#include "icap/verdicts/verdict.hpp"
#include "lua/context.hpp"

namespace test_hook {

using decide_t = std::function<std::shared_ptr<ic::verdict_t>(ic::context::context_t&)>;

inline ic::check_engine_t::hook_runner_t runner(boost::asio::io_context& loop, decide_t decide)
{
    return [&loop, decide = std::move(decide)](ic::context::context_source_t&& source,
                                               ic::check_engine_t::verdict_handler_t&& handler) {
        const auto held = std::make_shared<ic::context::context_t>(std::move(source));
        boost::asio::post(loop, [held, handler = std::move(handler), decide] {
            const std::shared_ptr<ic::verdict_t> verdict = decide(*held);
            handler(std::move(*held), verdict);
        });
    };
}

// Lets every message pass with what the context read of its body.
inline std::shared_ptr<ic::verdict_t> pass(ic::context::context_t& context)
{
    return std::make_shared<ic::allowed_t>(context.preview, context.body_stream);
}

} // namespace test_hook
