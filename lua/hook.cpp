#include "lua/hook.hpp"

#include <cstdio>
#include <stdexcept>
#include <string_view>
#include <utility>

#include <boost/asio/post.hpp>
#include <boost/system/system_error.hpp>

#include "app/core/config_holder.hpp"
#include "app/core/inventory.hpp"
#include "common/enum_text.hpp"
#include "common/error_category.hpp"
#include "common/exception.hpp"
#include "common/log.hpp"
#include "common/scan_error.hpp"
#include "common/what.hpp"
#include "icap/verdicts/category_bits.hpp"
#include "icap/verdicts/verdict.hpp"
#include "lua/exception_ptr.hpp"
#include "lua/value_readers.hpp"
#include "protocol/param_map.hpp"
#include "protocol/protocol_error.hpp"

namespace ic {

namespace {

// What most messages get: they pass before anything of their body was
// read. Nothing changes a verdict that lets a message pass, so one serves
// them all.
const std::shared_ptr<verdict_t>& passed_unread()
{
    static const std::shared_ptr<verdict_t> verdict =
        std::make_shared<allowed_t>(io::icap::preview_t(), std::shared_ptr<io::http::body_stream_t>());
    return verdict;
}

} // namespace

bool hook_t::blocks_unchecked(const inventory_t& inventory)
{
    return inventory.config_holder->config.block_unchecked();
}

void hook_t::start()
{
    context_.push(thread());
    resume(1);
}

hook_t::~hook_t() = default;

std::string hook_t::log_prefix() const
{
    char text[40];
    std::snprintf(text, sizeof text, "Hook %p: ", static_cast<const void*>(this));
    return text;
}

void hook_t::on_coroutine_finish()
{
    std::shared_ptr<verdict_t> verdict = early_verdict();
    if (!verdict)
        verdict = hook_result_to_verdict();
    complete(verdict);
}

void hook_t::on_coroutine_error()
{
    std::shared_ptr<verdict_t> verdict = early_verdict();
    if (!verdict) {
        lua_State* L = thread();
        std::exception_ptr failure;
        if (std::exception_ptr* carried = ox::lua::to_exception_ptr(L, -1)) {
            failure = *carried;
        } else {
            // This runs outside any script: a failing __tostring of the
            // error value must not reach Lua's panic.
            lua_pushvalue(L, -1);
            failure = std::make_exception_ptr(std::runtime_error(ox::lua::to_display_string_protected(L)));
        }
        verdict = on_failure(failure);
    }
    complete(verdict);
}

std::shared_ptr<verdict_t> hook_t::allow()
{
    const io::icap::preview_t& preview = context_.preview;
    if (!context_.body_stream && !preview.ieof && preview.body && preview.body->empty())
        return passed_unread();
    return std::make_shared<allowed_t>(context_.preview, context_.body_stream);
}

std::shared_ptr<verdict_t> hook_t::early_verdict()
{
    if (!context_.body_check_error || !*context_.body_check_error)
        return nullptr;
    const boost::system::error_code& error = *context_.body_check_error;
    if (error == io::protocol_error)
        return std::make_shared<protocol_error_t>();
    if (context_.body_stream)
        return nullptr;
    const char* prefix = error.category() == ox::cf_proto_error_category() ? "Message body processing" : "ICAP";
    return std::make_shared<check_error_t>(*inventory_, context_.request_url(), context_.is_response(),
                                           std::make_exception_ptr(boost::system::system_error(error, prefix)));
}

std::shared_ptr<verdict_t> hook_t::on_failure(std::exception_ptr failure)
{
    if (block_unchecked_)
        return std::make_shared<check_error_t>(*inventory_, context_.request_url(), context_.is_response(),
                                               std::move(failure));
    if (cf_log_threshold <= cf_log_info)
        cf_log(cf_log_info, log_prefix() + "Check failure: " + cf_what(failure));
    return allow();
}

std::shared_ptr<verdict_t> hook_t::hook_result_to_verdict()
{
    lua_State* L = thread();
    if (lua_gettop(L) == 1 && lua_type(L, 1) == LUA_TSTRING) {
        std::size_t length = 0;
        const char* text = lua_tolstring(L, 1, &length);
        const std::string_view answer(text, length);
        if (io::http::iequals(answer, "pass"))
            return allow();
        if (io::http::iequals(answer, "block"))
            return block_reason_to_verdict();
    }
    return on_failure(std::make_exception_ptr(std::runtime_error("Unexpected hook return value")));
}

std::shared_ptr<verdict_t> hook_t::block_reason_to_verdict()
{
    const std::shared_ptr<ox::oxs::url_t>& url = context_.request_url();
    const bool response_side = context_.is_response();
    if (const auto* bits = std::get_if<context::url_bits_t>(&context_.block_reason)) {
        ox::oxs::report_t report;
        report.categories = bits->bits;
        if ((bits->bits & owners_notice_bit) != 0)
            report.piracy_legal_url = context_.url_report.piracy_legal_url;
        return std::make_shared<blocked_url_t>(*inventory_, url, response_side, report);
    }
    if (const auto* bits = std::get_if<context::threat_bits_t>(&context_.block_reason)) {
        context_.summary->block_set = bits->bits;
        return std::make_shared<threat_found_t>(*inventory_, url, response_side, context_.summary);
    }
    const ox::ScanError error = std::get<ox::ScanError>(context_.block_reason);
    return std::make_shared<check_error_t>(
        *inventory_, url, response_side,
        std::make_exception_ptr(cf_exception_t(ox::make_error_code(cf_scan_error_to_proto(error)),
                                               "Message body scan: " + cf_enum_text(error))));
}

void hook_t::complete(const std::shared_ptr<verdict_t>& verdict)
{
    // The completion takes the context from here, and nothing once the hook
    // is gone.
    context_.hand_over();
    verdict_ = verdict;
    // Inside a completion (a query read, a service's answer) the verdict is
    // handed over as it returns, without a turn of the loop. The scope does
    // not own the hook: a hook goes only once its verdict is handed over.
    if (io::completion_scope_t::open())
        io::completion_scope_t::enlist(
            std::shared_ptr<member_t>(std::shared_ptr<void>(), static_cast<member_t*>(this)));
    else
        complete_later();
}

void hook_t::complete_now()
{
    // Moved out first: the completion may destroy the hook.
    const completion_t completion = std::move(completion_);
    const std::shared_ptr<verdict_t> verdict = std::move(verdict_);
    owner_t* const owner = owner_;
    completion(std::move(context_), verdict);
    if (owner != nullptr)
        owner->on_hook_done(*this);
}

void hook_t::complete_later()
{
    boost::asio::post(inventory_->io_context, wrap([this] { complete_now(); }));
}

} // namespace ic
