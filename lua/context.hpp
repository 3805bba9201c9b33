#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <variant>

#include <boost/system/error_code.hpp>

#include <lua.hpp>

#include "common/buffer.hpp"
#include "common/report.hpp"
#include "common/url.hpp"
#include "lua/context_delegate.hpp"
#include "lua/media_type.hpp"
#include "lua/pending_check.hpp"
#include "lua/weak_ref.hpp"
#include "protocol/body_stream.hpp"
#include "protocol/http_request.hpp"
#include "protocol/http_response.hpp"
#include "protocol/param_map.hpp"
#include "protocol/preview.hpp"
#include "schemas/scan_report.pb.h"

namespace ic {
class summary_t;
}

namespace ic::context {

// What a "block" answer blocks for: the URL's categories (the black list at
// first), the threats of a filter that matched, or the scan error Vetter
// reported. The last script access that found something decides.
struct url_bits_t {
    std::uint32_t bits;
};
struct threat_bits_t {
    std::uint32_t bits;
};
using block_reason_t = std::variant<ox::ScanError, url_bits_t, threat_bits_t>;

// Creates the metatable transaction tables share and has getmetatable and
// debug.getmetatable give a transaction table a metatable of its own.
void register_transaction_metatable(lua_State* L);

// What a transaction's context is made of: the ICAP fields, shared, the
// encapsulated heads and the body's getter, which the context copies, and
// its delegate, with what the context keeps for it (may be null).
struct context_source_t {
    std::shared_ptr<const io::http::param_map_t> icap_fields;
    const orx::buffer_t& request_head;
    const orx::buffer_t& response_head;
    const body_getter_t& body_getter;
    delegate_t* delegate;
    std::shared_ptr<void> delegate_keeper;
};

// Everything the policy hook may learn about one ICAP transaction: the ICAP
// fields, the encapsulated HTTP heads as bytes (parsed when first needed),
// a way to the body, and the outcomes of the checks the script starts. The
// check engine builds it, the hook owns it while the script runs, and the
// engine gets it back with the verdict.
class context_t {
public:
    // The ICAP fields are the query's own, shared rather than copied.
    context_t(std::shared_ptr<const io::http::param_map_t> icap_fields, const orx::buffer_t& request_head,
              const orx::buffer_t& response_head, const body_getter_t& body_getter, delegate_t* delegate);
    explicit context_t(context_source_t&& source);
    // The moved-to context gets a lifetime token of its own and the source's
    // ends: what a script holds of the transaction cannot reach a context
    // that was handed over and left empty.
    context_t(context_t&& other);
    context_t& operator=(context_t&&) = delete;
    context_t(const context_t&) = delete;
    ~context_t();

    // Ends what scripts and checks hold of the context, as a move away
    // does, while it stays where it is: the context is being handed over.
    void hand_over() noexcept;

    // The token the checks' completions are bound to, made when first
    // asked for: a context handed on before its hook ran never needs one.
    // Null once the context was handed over or moved from.
    const std::shared_ptr<int>& lifetime();
    // The weak reference scripts reach the context by, made when first
    // asked for; none once the context was handed over or moved from.
    weak_ref_t weak_ref();

    // The parsed heads; null when absent or unparsable (tried again at the
    // next call).
    const std::shared_ptr<io::http::request_t>& request_header();
    const std::shared_ptr<io::http::response_t>& response_header();
    // The request URL; null without a usable request head or without a host.
    const std::shared_ptr<ox::oxs::url_t>& request_url();
    // The Content-Type of each head, parsed on first use; the empty media
    // type when the head is absent or unparsable.
    const media_type_t& request_content_type();
    const media_type_t& response_content_type();

    void set_scan_result(const boost::system::error_code& error, const ox::ScanReport& report,
                         const io::icap::preview_t& preview, const std::shared_ptr<io::http::body_stream_t>& stream);
    void set_url_result(const boost::system::error_code& error, const ox::oxs::report_t& report);

    void set_block_reason(const block_reason_t& reason) { block_reason = reason; }

    // Pushes the transaction table, the script's view of this context, onto
    // L (the hook's thread).
    void push(lua_State* L);

    bool is_response() const noexcept { return response_head.size() != 0; }

    // Reaches this context as long as its lifetime token lives: what a
    // check's completion holds, so that it stores nothing once the
    // transaction was handed over or is gone.
    std::weak_ptr<context_t> handle() { return std::shared_ptr<context_t>(lifetime(), this); }

    delegate_t* delegate;
    // What the delegate needs kept for as long as the context lives (the
    // check engine's transaction); may be null.
    std::shared_ptr<void> delegate_keeper;
    // Never null.
    std::shared_ptr<const io::http::param_map_t> icap_fields;
    orx::buffer_t request_head;
    orx::buffer_t response_head;
    // Taken by the first body check; empty when the message has no body.
    body_getter_t body_getter;

private:
    std::shared_ptr<io::http::request_t> request_;
    std::shared_ptr<io::http::response_t> response_;
    std::unique_ptr<media_type_t> request_content_type_;
    std::unique_ptr<media_type_t> response_content_type_;
    std::shared_ptr<ox::oxs::url_t> url_;

public:
    // Present once the check has completed; a failure when it failed.
    std::optional<boost::system::error_code> url_check_error;
    std::optional<boost::system::error_code> body_check_error;
    // Filled only by a URL check without error.
    ox::oxs::report_t url_report;
    // Made only by a body check without error.
    std::shared_ptr<summary_t> summary;
    io::icap::preview_t preview;
    std::shared_ptr<io::http::body_stream_t> body_stream;
    block_reason_t block_reason;
    // The checks while they run, with the coroutines waiting for them.
    pending_check_t url_check;
    pending_check_t body_check;

private:
    std::shared_ptr<int> lifetime_;
    weak_ref_t weak_ref_ = 0;
    bool handed_over_ = false;
};

} // namespace ic::context
