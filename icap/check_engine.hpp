#pragma once

#include <functional>
#include <memory>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

#include <boost/core/noncopyable.hpp>
#include <boost/system/error_code.hpp>

#include "common/buffer.hpp"
#include "common/url.hpp"
#include "io/recycling_allocator.hpp"
#include "lua/context.hpp"
#include "lua/context_delegate.hpp"
#include "protocol/body_stream.hpp"
#include "protocol/param_map.hpp"
#include "protocol/preview.hpp"
#include "schemas/scan_report.pb.h"

namespace ic {

class check_transaction_t;
template <class callback_t>
class callback_transaction_t;
class inventory_t;
class verdict_t;

// Runs the policy for one REQMOD or RESPMOD message: builds the
// transaction's context, has the Lua runtime run the hook over it and turns
// the verdict into what the ICAP handler answers with. While the hook runs,
// its URL checks (Tagger) and body scans (Vetter) come back here. The
// engine keeps no state of a transaction; each one's travels with its
// completions.
class check_engine_t : public context::delegate_t, private boost::noncopyable {
public:
    // What the handler answers with.
    struct result_t {
        // The answer replaces the message (it was blocked).
        bool modified = false;
        // ICAP fields for the answer, in order.
        std::vector<std::pair<std::string, std::string>> icap_headers;
        // The HTTP head to encapsulate: exactly one of them, except in the
        // result of a protocol error, which is empty.
        orx::buffer_t request_head;
        orx::buffer_t response_head;
        io::icap::preview_t preview;
        // In chunked coding, ready to be written; null when the answer has
        // no body of its own.
        std::shared_ptr<io::http::body_stream_t> body;
    };
    using result_callback_t = std::function<void(const result_t&, const boost::system::error_code&)>;
    // The handler may move the context away; it is destroyed once the
    // handler has returned.
    using verdict_handler_t = std::function<void(context::context_t&&, const std::shared_ptr<verdict_t>&)>;
    // Makes the context in place from the source.
    using hook_runner_t = std::function<void(context::context_source_t&&, verdict_handler_t&&)>;
    using scan_callback_t = std::function<void(const ox::ScanReport&, const std::shared_ptr<io::http::body_stream_t>&,
                                               const boost::system::error_code&)>;

    explicit check_engine_t(inventory_t& inventory);

    // Runs one transaction. The getter is empty for a message without a
    // body. The callback, any callable of a result_callback_t's arguments,
    // runs exactly once, later, when no read of the body that a check
    // started is outstanding; its only error is the protocol error, every
    // other failure having become a verdict.
    template <class callback_t>
    void process(std::shared_ptr<const io::http::param_map_t> icap_fields, const orx::buffer_t& request_head,
                 const orx::buffer_t& response_head, const context::body_getter_t& getter, callback_t&& callback);

    // Classifies the transaction's request URL: the address in
    // "X-Server-IP", else those the host resolves to, go with it to Tagger.
    void check_url(context::context_t* context, context::url_check_callback_t&& callback) override;
    // Gets the body through the getter and has Vetter scan it.
    void check_body(context::body_getter_t&& getter, context::body_check_callback_t&& callback) override;
    // Sends the URL to Tagger. The callback runs later, never inside the
    // call.
    void async_check_url(const std::shared_ptr<ox::oxs::url_t>& url, const context::url_check_callback_t& callback);

    // Runs the policy hook for a context: the Lua runtime's. Tests decide
    // in its place.
    hook_runner_t run_hook;

private:
    // What process does but make the transaction.
    void run(std::shared_ptr<const io::http::param_map_t> icap_fields, const orx::buffer_t& request_head,
             const orx::buffer_t& response_head, const context::body_getter_t& getter,
             std::shared_ptr<check_transaction_t>&& transaction);
    // Has Vetter scan the stream: the report, the body as read back and the
    // outcome.
    void scan(const std::shared_ptr<io::http::body_stream_t>& stream, const scan_callback_t& callback);
    // The result of a verdict, and the protocol error when the verdict says
    // the query was malformed.
    std::pair<result_t, boost::system::error_code> make_result(context::context_t& context,
                                                               const std::shared_ptr<verdict_t>& verdict);

    inventory_t& inventory_;
};

template <class callback_t>
void check_engine_t::process(std::shared_ptr<const io::http::param_map_t> icap_fields,
                             const orx::buffer_t& request_head, const orx::buffer_t& response_head,
                             const context::body_getter_t& getter, callback_t&& callback)
{
    // The transaction keeps the callback as it is, in its one block per
    // message from the thread's block cache: a callback too large for a
    // std::function's own room costs no allocation.
    using transaction_t = callback_transaction_t<std::decay_t<callback_t>>;
    run(std::move(icap_fields), request_head, response_head, getter,
        std::allocate_shared<transaction_t>(io::recycling_allocator_t<transaction_t>(), *this,
                                            std::forward<callback_t>(callback)));
}

} // namespace ic

// The transaction process makes, once the engine is declared.
#include "icap/check_transaction.hpp"
