#include "icap/check_engine.hpp"

#include <chrono>
#include <cstdint>
#include <utility>

#include <boost/asio/ip/address.hpp>
#include <boost/asio/post.hpp>
#include <boost/system/system_error.hpp>

#include "app/core/inventory.hpp"
#include "clients/state_watcher.hpp"
#include "clients/tagger_connection.hpp"
#include "clients/vetter_connection.hpp"
#include "common/error_category.hpp"
#include "common/log.hpp"
#include "icap/check_transaction.hpp"
#include "icap/verdicts/verdict.hpp"
#include "io/resolver.hpp"
#include "io/stream.hpp"
#include "lua/lua.hpp"
#include "protocol/protocol_error.hpp"
#include "schemas/error.pb.h"

namespace ic {

namespace {

constexpr unsigned short resolve_port = 80;
constexpr std::chrono::seconds resolve_timeout(5);
// Tagger reports every category it finds.
constexpr std::uint32_t all_categories = 0xFFFFFFFF;

} // namespace

check_engine_t::check_engine_t(inventory_t& inventory)
    : run_hook([&inventory](context::context_source_t&& source, verdict_handler_t&& handler) {
          inventory.lua->run_hook(std::move(source), std::move(handler));
      }),
      inventory_(inventory)
{
}

void check_engine_t::run(std::shared_ptr<const io::http::param_map_t> icap_fields, const orx::buffer_t& request_head,
                         const orx::buffer_t& response_head, const context::body_getter_t& getter,
                         std::shared_ptr<check_transaction_t>&& transaction)
{
    // The context's delegate is the transaction rather than the engine
    // itself, so that the engine learns which transaction's body a scan
    // still holds. The context keeps it: the verdict's handler then holds
    // plain pointers, which std::function keeps without an allocation.
    check_transaction_t* const kept = transaction.get();
    run_hook({std::move(icap_fields), request_head, response_head, getter, kept, std::move(transaction)},
             [this, kept](context::context_t&& context, const std::shared_ptr<verdict_t>& verdict) {
                 auto [result, error] = make_result(context, verdict);
                 kept->finish(std::move(result), error);
             });
}

// Each result is moved into the pair: with a braced {} beside it, the pair
// would be made by its copying constructor.
std::pair<check_engine_t::result_t, boost::system::error_code>
check_engine_t::make_result(context::context_t& context, const std::shared_ptr<verdict_t>& verdict)
{
    // The usual verdict first, its preview the result's own from the start.
    if (const auto* allowed = dynamic_cast<const allowed_t*>(verdict.get())) {
        const bool response = context.response_head.size() != 0;
        return {result_t{.modified = false,
                         .icap_headers = {},
                         .request_head = response ? orx::buffer_t() : context.request_head,
                         .response_head = response ? context.response_head : orx::buffer_t(),
                         .preview = allowed->preview,
                         .body = allowed->body},
                boost::system::error_code()};
    }
    if (dynamic_cast<const protocol_error_t*>(verdict.get()))
        return {result_t(), io::protocol_error};
    result_t result;
    blocked_t& blocked = dynamic_cast<blocked_t&>(*verdict);
    blocked.client_ip = context.icap_fields->get("X-Client-IP");
    blocked.client_user = context.icap_fields->get("X-Client-Username");
    answer_t answer = blocked.make_answer(context.request_header(), context.response_header());
    result.modified = true;
    result.icap_headers = std::move(answer.headers);
    if (answer.request_head.size() == 0) {
        result.response_head = answer.response_head;
        // The page goes out in chunked coding, ending with the last chunk.
        result.body = io::http::body_stream_t::make_chunked_encoder(
            io::stream_t::make(inventory_.io_context, answer.body), {}, true);
    } else {
        result.request_head = answer.request_head;
    }
    return {std::move(result), boost::system::error_code()};
}

void check_engine_t::check_url(context::context_t* context, context::url_check_callback_t&& callback)
{
    const std::shared_ptr<ox::oxs::url_t> url = context->request_url();
    if (!url) {
        boost::asio::post(inventory_.io_context, [callback = std::move(callback)] {
            callback(ox::oxs::report_t(), ox::make_error_code(ox::EC_UNEXPECTED_ERROR));
        });
        return;
    }
    boost::system::error_code invalid;
    const boost::asio::ip::address server =
        boost::asio::ip::make_address(context->icap_fields->get("X-Server-IP"), invalid);
    if (!invalid)
        url->addresses.insert(server);
    if (!url->addresses.empty()) {
        async_check_url(url, callback);
        return;
    }
    io::async_resolve(inventory_.io_context, url->host, resolve_port, resolve_timeout,
                      [this, url, callback = std::move(callback)](
                          const boost::asio::ip::basic_resolver_iterator<boost::asio::ip::tcp>& found,
                          const boost::system::error_code& error) {
                          if (!error)
                              for (auto entry = found; entry != boost::asio::ip::tcp::resolver::iterator(); ++entry)
                                  url->addresses.insert(entry->endpoint().address());
                          cf_log_stream(cf_log_debug, "Resolving host ", url->host, ": ", error.message());
                          async_check_url(url, callback);
                      });
}

void check_engine_t::async_check_url(const std::shared_ptr<ox::oxs::url_t>& url,
                                     const context::url_check_callback_t& callback)
{
    inventory_.get_tagger_connection([url, callback](tagger_connection_t* connection) {
        if (!connection) {
            callback(ox::oxs::report_t(), ox::make_error_code(ox::EC_NO_TAGGER));
            return;
        }
        // A request the link refuses (larger than a message may be) fails
        // this check alone; it must not leave the event loop.
        try {
            connection->check_url(url, callback, all_categories);
        } catch (const boost::system::system_error& e) {
            callback(ox::oxs::report_t(), e.code());
        }
    });
}

void check_engine_t::check_body(context::body_getter_t&& getter, context::body_check_callback_t&& callback)
{
    getter([this, callback = std::move(callback)](const io::icap::preview_t& preview,
                                                  const std::shared_ptr<io::http::body_stream_t>& stream,
                                                  const boost::system::error_code& error) {
        if (error) {
            callback(ox::ScanReport(), io::icap::preview_t(), nullptr, error);
            return;
        }
        // The preview held the whole body, and it is empty.
        if (preview.ieof) {
            callback(ox::ScanReport(), preview, nullptr, {});
            return;
        }
        scan(stream, [this, preview, callback](const ox::ScanReport& report,
                                               const std::shared_ptr<io::http::body_stream_t>& scanned,
                                               const boost::system::error_code& failure) {
            // The scanning service's own failures tell its state.
            if (failure.category() == ox::cf_proto_error_category())
                inventory_.state_watcher->notify_scan_state(failure);
            callback(report, preview, scanned, failure);
        });
    });
}

// Without Vetter the body was never touched: it goes back whole, in the
// chunked coding an answer carries, so that the failure policy can still
// let the message pass with its body instead of having lost it.
void check_engine_t::scan(const std::shared_ptr<io::http::body_stream_t>& stream, const scan_callback_t& callback)
{
    inventory_.get_vetter_connection([stream, callback](vetter_connection_t* connection) {
        if (!connection) {
            callback(ox::ScanReport(), io::http::body_stream_t::make_chunked_closure(stream),
                     ox::make_error_code(ox::EC_NO_VETTER));
            return;
        }
        connection->scan(stream, false, callback);
    });
}

} // namespace ic
