#include "icap/icap_handler.hpp"

#include <functional>
#include <sstream>
#include <string>
#include <string_view>
#include <utility>

#include <boost/system/error_code.hpp>

#include "app/core/config_holder.hpp"
#include "app/core/inventory.hpp"
#include "app/core/program.hpp"
#include "clients/state_watcher.hpp"
#include "common/log.hpp"
#include "io/completion_scope.hpp"
#include "io/recycling_allocator.hpp"
#include "protocol/parsers/wire_text.hpp"
#include "protocol/protocol_error.hpp"

namespace ic {

namespace {

const std::string dashes(60, '-');

// Compared as views: the lengths first, then the bytes, with no search for
// the end of the literal.
bool is_reqmod_path(std::string_view path)
{
    return path == std::string_view("/reqmod") || path == std::string_view("/reqmod/");
}

bool is_respmod_path(std::string_view path)
{
    return path == std::string_view("/respmod") || path == std::string_view("/respmod/");
}

std::string connection_text(const icap_handler_t::connection_t& connection)
{
    std::ostringstream text;
    text << "ICAP " << static_cast<const void*>(connection.get());
    return text.str();
}

// The head and the encapsulated HTTP heads of a query or an answer, one
// record each.
template <typename message_t>
void dump_message(const std::string& prefix, const message_t& message)
{
    std::ostringstream head;
    head << prefix << ": message:\n" << dashes << '\n' << message;
    cf_log(cf_log_debug, head.str());
    if (message.req_head.size() != 0) {
        std::ostringstream dump;
        dump << prefix << ": HTTP request:\n" << message.req_head;
        cf_log(cf_log_debug, dump.str());
    }
    if (message.res_head.size() != 0) {
        std::ostringstream dump;
        dump << prefix << ": HTTP response:\n" << message.res_head;
        cf_log(cf_log_debug, dump.str());
    }
}

// A body read whole, to be returned in chunked coding. Its data goes out as
// it is, between small size lines, together with the answer's head; only a
// small body cut in so many chunks that the pieces would take more than one
// write is framed at once, copied into one piece.
constexpr std::size_t framed_at_once = 65536;
constexpr std::size_t max_chunks_side_by_side = 30;

std::shared_ptr<io::http::body_stream_t> returned_body(const boost::asio::any_io_executor& executor,
                                                       const std::shared_ptr<io::http::body_t>& whole)
{
    std::size_t size = 0;
    for (const io::http::body_chunk_t& chunk : *whole)
        size += chunk.data.size();
    if (size <= framed_at_once && whole->size() > max_chunks_side_by_side)
        return io::http::body_stream_t::make_chunked_encoding(executor, *whole);
    return io::http::body_stream_t::make_chunked_closure(io::http::body_stream_t::make(executor, whole));
}

} // namespace

icap_handler_t::icap_handler_t(inventory_t& inventory) : inventory_(inventory) {}

bool icap_handler_t::dump_enabled() const
{
    return cf_log_threshold <= cf_log_debug && inventory_.config_holder->config.debug_dump_icap();
}

void icap_handler_t::handle_request(const connection_t& connection, const request_t& request, bool keep_alive,
                                    answer_callback_t answer)
{
    if (cf_log_threshold <= cf_log_debug) {
        const std::string prefix = connection_text(connection);
        cf_log(cf_log_debug, prefix + " <-- " + request->method + " " + request->url.to_string(1));
        if (dump_enabled())
            dump_message(prefix, *request);
    }
    // A hook that decides without waiting for anything has the query
    // answered in this turn of the loop, after the dispatch has returned.
    const io::completion_scope_t scope;
    request_signal(dispatch(connection, request, keep_alive, std::move(answer)));
}

icap_handler_t::request_type_t icap_handler_t::dispatch(const connection_t& connection, const request_t& request,
                                                        bool keep_alive, answer_callback_t&& answer)
{
    if (request->version.major != 1 || request->version.minor != 0) {
        version_not_supported(connection, keep_alive, answer);
        return bad;
    }
    const std::string& path = request->url.path;
    const bool reqmod_service = is_reqmod_path(path);
    if (!reqmod_service && !is_respmod_path(path)) {
        service_not_found(connection, keep_alive, answer);
        return bad;
    }
    if (io::http::iequals(request->method, "OPTIONS")) {
        process_options(connection, request, keep_alive, answer);
        return options;
    }
    if (reqmod_service && io::http::iequals(request->method, "REQMOD")) {
        process_reqmod(connection, request, keep_alive, std::move(answer));
        return reqmod;
    }
    if (!reqmod_service && io::http::iequals(request->method, "RESPMOD")) {
        process_respmod(connection, request, keep_alive, std::move(answer));
        return respmod;
    }
    method_not_allowed(connection, keep_alive, answer);
    return bad;
}

void icap_handler_t::handle_bad_request(const connection_t& connection, const answer_callback_t& answer)
{
    if (cf_log_threshold <= cf_log_debug)
        cf_log(cf_log_debug, connection_text(connection) + " <-- ???");
    bad_request(connection, false, answer);
    request_signal(bad);
}

void icap_handler_t::process_options(const connection_t& connection, const request_t& request, bool keep_alive,
                                     const answer_callback_t& answer)
{
    if (request->req_head.size() != 0 || request->res_head.size() != 0 ||
        (request->body_type != io::icap::body_type_t::opt_body &&
         request->body_type != io::icap::body_type_t::null_body)) {
        bad_request(connection, keep_alive, answer);
        return;
    }
    // A name too long to be kept inside a std::string: made once, not at
    // every query.
    static const std::string scan_status_field = "Orvex-Get-Scan-Status";
    if (io::http::iequals(request->fields.get(scan_status_field), "Yes")) {
        inventory_.state_watcher->async_get_scan_state(
            [this, connection, request, keep_alive, answer](const ox::ScanReport& report,
                                                            const boost::system::error_code& error) {
                const response_t response = make_options_response(request);
                add_engine_headers(response, error, report);
                finish_response(connection, response, keep_alive);
                answer(response, boost::system::error_code());
            });
        return;
    }
    answer(options_answer(connection, request, keep_alive), boost::system::error_code());
}

template <typename make_t>
const icap_handler_t::response_t& icap_handler_t::kept_answer(kept_answer_t& kept, const connection_t& connection,
                                                              bool keep_alive, const make_t& make)
{
    const ox::TRAXDConfig& config = inventory_.config_holder->config;
    const std::time_t now = std::time(nullptr);
    // The ISTag is the time without its last digit: the same period, the
    // same tag.
    const std::time_t period = now / 10;
    if (!kept.response || kept.istag_period != period || kept.use_204 != config.use_204() ||
        kept.use_preview != config.use_preview()) {
        const response_t response = make();
        complete_answer(response, keep_alive, now);
        response->keep_head();
        kept = kept_answer_t{period, config.use_204(), config.use_preview(), response};
    }
    log_answer(connection, kept.response);
    return kept.response;
}

const icap_handler_t::response_t& icap_handler_t::options_answer(const connection_t& connection,
                                                                 const request_t& request, bool keep_alive)
{
    return kept_answer(options_answers_[(is_reqmod_path(request->url.path) ? 2 : 0) + (keep_alive ? 1 : 0)], connection,
                       keep_alive, [&] { return make_options_response(request); });
}

void icap_handler_t::add_engine_headers(const response_t& response, const boost::system::error_code& error,
                                        const ox::ScanReport& report)
{
    io::http::param_map_t& fields = response->fields;
    if (error) {
        fields.add("Orvex-Scan-Status", error.message());
        return;
    }
    if (!report.se_version().empty())
        fields.add("Orvex-Scan-Engine", report.se_version());
    if (!report.core_engine_version().empty())
        fields.add("Orvex-Core-Engine", report.core_engine_version());
    if (report.has_virus_records())
        fields.add("Orvex-Virus-Records", std::to_string(report.virus_records()));
    if (report.has_base_stamp())
        fields.add("Orvex-Virus-Database-Timestamp", std::to_string(report.base_stamp()));
    fields.add("Orvex-Scan-Status", "OK");
}

void icap_handler_t::process_reqmod(const connection_t& connection, const request_t& request, bool keep_alive,
                                    answer_callback_t&& answer)
{
    if (request->res_head.size() != 0 || (request->body_type != io::icap::body_type_t::req_body &&
                                          request->body_type != io::icap::body_type_t::null_body))
        bad_request(connection, keep_alive, answer);
    else if (request->req_head.size() == 0)
        bad_composition(connection, keep_alive, answer);
    else
        check(connection, request, keep_alive, std::move(answer));
}

void icap_handler_t::process_respmod(const connection_t& connection, const request_t& request, bool keep_alive,
                                     answer_callback_t&& answer)
{
    if (request->body_type != io::icap::body_type_t::res_body && request->body_type != io::icap::body_type_t::null_body)
        bad_request(connection, keep_alive, answer);
    else if (request->res_head.size() == 0)
        bad_composition(connection, keep_alive, answer);
    else
        check(connection, request, keep_alive, std::move(answer));
}

void icap_handler_t::check(const connection_t& connection, const request_t& request, bool keep_alive,
                           answer_callback_t&& answer)
{
    // Only zero-length previews are served (the OPTIONS answer offers no
    // other). Any other announced preview is refused before the hook runs,
    // so that the answer is 400 whether or not the hook would have read
    // the body.
    if (request->body_type != io::icap::body_type_t::null_body) {
        const std::int64_t preview = io::icap::announced_preview(*request);
        if (preview != io::icap::no_preview && preview != 0) {
            bad_request(connection, keep_alive, answer);
            return;
        }
    }
    auto body =
        std::allocate_shared<query_body_t>(io::recycling_allocator_t<query_body_t>(), *this,
                                           inventory_.io_context.get_executor(), connection, request, keep_alive);
    context::body_getter_t getter;
    // The getter holds the body by a plain pointer, which std::function
    // keeps (and the context copies) without an allocation. The check's
    // callback below keeps the body until the result is handed over, and
    // only the hook asks for the body, before its context is handed over.
    if (request->body_type != io::icap::body_type_t::null_body)
        getter = [this, held = body.get()](const query_body_t::body_handler_t& completion) {
            process_preview(held->shared_from_this(), completion);
        };
    inventory_.check_engine->process(
        std::shared_ptr<const io::http::param_map_t>(request, &request->fields), request->req_head, request->res_head,
        getter,
        // The body and the answer are moved in: a copy of a const name
        // would be a const member, which moving the callback on would copy
        // (the answer's target anew), and the answer, handed on by
        // reference from handle_request, is taken over, not copied.
        [this, body = std::move(body), keep_alive, answer = std::move(answer)](const check_engine_t::result_t& result,
                                                                               const boost::system::error_code& error) {
            // An answer written at once completes as this returns, in this
            // turn of the loop rather than the next.
            const io::completion_scope_t scope;
            if (cf_log_threshold <= cf_log_debug)
                cf_log(cf_log_debug, connection_text(body->connection) + ": check: " + error.message());
            if (error) {
                answer_failure(body->connection, error, answer);
                return;
            }
            // A preview is read before any answer, whether or not the check
            // needed the body, so that a malformed one always gets 400.
            if (!body->has_preview()) {
                answer_check(body, keep_alive, answer, result);
                return;
            }
            body->with_preview([this, body, keep_alive, answer, result](const io::icap::preview_t&,
                                                                        const boost::system::error_code& failure) {
                if (failure)
                    answer_failure(body->connection, failure, answer);
                else
                    answer_check(body, keep_alive, answer, result);
            });
        });
}

void icap_handler_t::answer_check(const std::shared_ptr<query_body_t>& body, bool keep_alive,
                                  const answer_callback_t& answer, const check_engine_t::result_t& result)
{
    const connection_t& connection = body->connection;
    if (!result.modified) {
        // A client that sent a preview may be answered 204 until it has been
        // asked for the rest, whatever its Allow field says; so it need not
        // send a body only to have it echoed.
        const bool may_204 = allows_204(*body->request) || (body->has_preview() && !body->continued());
        // After 100 "Continue" a 204 goes out only once the rest of the body
        // is in, even when answers may be early: Squid reads an answer that
        // arrives together with the 100 only when more bytes follow, and none
        // follow a 204.
        if (may_204 && body->continued() && inventory_.config_holder->config.allow_early_response()) {
            connection->async_skip_body([this, connection, keep_alive, answer](const boost::system::error_code& error) {
                if (error)
                    answer_failure(connection, error, answer);
                else
                    no_modifications(connection, keep_alive, answer);
            });
            return;
        }
        if (may_204) {
            no_modifications(connection, keep_alive, answer);
            return;
        }
        if (!result.body) {
            process_body(body, keep_alive, answer);
            return;
        }
        // A message let pass with a body of its own may still owe that body
        // to the query: a scan that failed part-way hands back what the
        // scanner had followed by the unread rest of the client's body. The
        // server reads the query to its end before it writes an answer that
        // is not early, so such an answer is read whole first, or the rest
        // would be gone when it is written.
        if (!inventory_.config_holder->config.allow_early_response()) {
            io::http::async_read_body(result.body, [this, body, connection, keep_alive, answer,
                                                    result](const std::shared_ptr<io::http::body_t>& whole,
                                                            const boost::system::error_code& error) {
                if (error) {
                    answer_failure(connection, error, answer);
                    return;
                }
                check_engine_t::result_t read = result;
                read.body = io::http::body_stream_t::make(result.body->get_executor(), whole);
                send_check_answer(connection, keep_alive, answer, read);
            });
            return;
        }
    }
    send_check_answer(connection, keep_alive, answer, result);
}

void icap_handler_t::send_check_answer(const connection_t& connection, bool keep_alive, const answer_callback_t& answer,
                                       const check_engine_t::result_t& result)
{
    const response_t response = io::icap::response_t::make();
    response->code = 200;
    response->reason = "OK";
    if (result.request_head.size() != 0) {
        response->req_head = result.request_head;
        if (result.body) {
            response->body_type = io::icap::body_type_t::req_body;
            response->body = result.body;
        }
    } else {
        response->res_head = result.response_head;
        if (result.body) {
            response->body_type = io::icap::body_type_t::res_body;
            response->body = result.body;
        }
    }
    add_headers(*response, result.icap_headers);
    finish_response(connection, response, keep_alive);
    answer(response, boost::system::error_code());
}

void icap_handler_t::answer_failure(const connection_t& connection, const boost::system::error_code& error,
                                    const answer_callback_t& answer)
{
    if (error == io::protocol_error)
        bad_request(connection, false, answer);
    else
        answer(nullptr, error);
}

void icap_handler_t::process_preview(const std::shared_ptr<query_body_t>& body,
                                     const query_body_t::body_handler_t& completion)
{
    body->async_get(completion);
}

void icap_handler_t::process_body(const std::shared_ptr<query_body_t>& body, bool keep_alive,
                                  const answer_callback_t& answer)
{
    const query_body_t::body_handler_t got = [this, body, keep_alive,
                                              answer](const io::icap::preview_t&,
                                                      const std::shared_ptr<io::http::body_stream_t>& stream,
                                                      const boost::system::error_code& error) {
        if (error)
            answer_failure(body->connection, error, answer);
        else
            emulate_204(body, stream, keep_alive, answer);
    };
    // This runs in a completion already (the check's or the preview's): a
    // body at hand is answered in this turn of the loop.
    if (!body->get_at_once(got))
        body->async_get(got);
}

void icap_handler_t::emulate_204(const std::shared_ptr<query_body_t>& body,
                                 const std::shared_ptr<io::http::body_stream_t>& stream, bool keep_alive,
                                 const answer_callback_t& answer)
{
    const request_t& request = body->request;
    const response_t response = io::icap::response_t::make();
    response->code = 200;
    response->reason = "OK";
    response->body_type = request->body_type;
    response->res_head = request->res_head;
    if (io::http::iequals(request->method, "REQMOD"))
        response->req_head = request->req_head;
    if (request->body_type == io::icap::body_type_t::null_body) {
        finish_response(body->connection, response, keep_alive);
        answer(response, boost::system::error_code());
        return;
    }
    if (inventory_.config_holder->config.allow_early_response()) {
        response->body = io::http::body_stream_t::make_chunked_closure(stream);
        finish_response(body->connection, response, keep_alive);
        answer(response, boost::system::error_code());
        return;
    }
    // The query and the way to answer it are passed in, so that an answer
    // given at once does not copy them.
    const auto returned = [this, response, keep_alive](
                              const std::shared_ptr<query_body_t>& body, const answer_callback_t& answer,
                              const boost::asio::any_io_executor& executor,
                              const std::shared_ptr<io::http::body_t>& whole, const boost::system::error_code& error) {
        if (error) {
            answer_failure(body->connection, error, answer);
            return;
        }
        response->body = returned_body(executor, whole);
        finish_response(body->connection, response, keep_alive);
        answer(response, boost::system::error_code());
    };
    // This runs in a completion of its own: a body that came whole with the
    // head is answered in this turn of the loop rather than read in the next.
    const auto whole = std::allocate_shared<io::http::body_t>(io::recycling_allocator_t<io::http::body_t>());
    if (stream->take_ready(*whole)) {
        returned(body, answer, stream->get_executor(), whole, {});
        return;
    }
    io::http::async_read_body(stream, whole,
                              [returned, body, answer, stream](const std::shared_ptr<io::http::body_t>& read,
                                                               const boost::system::error_code& error) {
                                  returned(body, answer, stream->get_executor(), read, error);
                              });
}

bool icap_handler_t::allows_204(const io::icap::request_t& request) const
{
    if (!inventory_.config_holder->config.use_204())
        return false;
    // Each piece between commas, without the white space at its ends.
    bool found = false;
    proto::split(
        request.fields.get("Allow"), ',',
        [&found](std::string_view piece) {
            found = piece == "204";
            return !found;
        },
        proto::is_space);
    return found;
}

void icap_handler_t::add_headers(io::icap::response_t& response,
                                 const std::vector<std::pair<std::string, std::string>>& headers)
{
    for (const auto& [name, value] : headers)
        response.fields.add(name, value);
}

icap_handler_t::response_t icap_handler_t::make_options_response(const request_t& request) const
{
    const ox::TRAXDConfig& config = inventory_.config_holder->config;
    const response_t response = io::icap::response_t::make();
    response->code = 200;
    response->reason = "OK";
    io::http::param_map_t& fields = response->fields;
    fields.add("Methods", is_reqmod_path(request->url.path) ? "REQMOD" : "RESPMOD");
    fields.add("X-Include", "X-Client-IP, X-Server-IP");
    fields.add("X-Allow-Out", "X-Response-Info, X-Infection-Found, X-Violations-Found, X-Virus-ID");
    fields.add("Service", std::string("Orvex TRAXD ") + program_version);
    fields.add("Options-TTL", "60");
    if (config.use_204())
        fields.add("Allow", "204");
    if (config.use_preview()) {
        fields.add("Preview", "0");
        fields.add("Transfer-Preview", "*");
    } else {
        fields.add("Transfer-Complete", "*");
    }
    return response;
}

std::string icap_handler_t::make_istag(std::time_t now)
{
    std::string seconds = std::to_string(static_cast<long>(now));
    seconds.pop_back();
    return '"' + seconds + '"';
}

void icap_handler_t::finish_response(const connection_t& connection, const response_t& response, bool keep_alive)
{
    complete_answer(response, keep_alive, std::time(nullptr));
    log_answer(connection, response);
}

void icap_handler_t::complete_answer(const response_t& response, bool keep_alive, std::time_t now)
{
    response->fields.add("ISTag", make_istag(now));
    response->version = io::icap::version_t{1, 0};
    if (response->code >= 200)
        response->fields.add("Connection", keep_alive ? "keep-alive" : "close");
    make_encapsulated(*response);
    if (!response->body)
        response->body = io::http::body_stream_t::make_empty(inventory_.io_context);
}

void icap_handler_t::log_answer(const connection_t& connection, const response_t& response) const
{
    if (cf_log_threshold <= cf_log_debug) {
        const std::string prefix = connection_text(connection);
        cf_log(cf_log_debug, prefix + " --> " + std::to_string(response->code) + " " + response->reason);
        if (dump_enabled())
            dump_message(prefix, *response);
    }
}

void icap_handler_t::make_encapsulated(io::icap::response_t& response)
{
    const std::size_t request_head = response.req_head.size();
    const std::size_t response_head = response.res_head.size();
    const std::size_t heads = request_head + response_head;
    std::string value;
    if (request_head > 0)
        value += "req-hdr=0, ";
    if (response_head > 0)
        value += "res-hdr=" + std::to_string(request_head) + ", ";
    if (response.body) {
        switch (response.body_type) {
        case io::icap::body_type_t::req_body:
            value += "req-body=";
            break;
        case io::icap::body_type_t::res_body:
            value += "res-body=";
            break;
        case io::icap::body_type_t::opt_body:
            value += "opt-body=";
            break;
        case io::icap::body_type_t::null_body:
            value += "null-body=";
            break;
        }
        value += std::to_string(heads);
    } else if (heads > 0 || response.code == 200) {
        value += "null-body=" + std::to_string(heads);
    }
    if (!value.empty())
        response.fields.add("Encapsulated", value);
}

void icap_handler_t::fixed_answer(const connection_t& connection, int code, const char* reason, bool keep_alive,
                                  const answer_callback_t& answer)
{
    const response_t response = io::icap::response_t::make();
    response->code = code;
    response->reason = reason;
    finish_response(connection, response, keep_alive);
    answer(response, boost::system::error_code());
}

// Every error answer closes the connection, whatever the query asked for.
void icap_handler_t::bad_request(const connection_t& connection, bool, const answer_callback_t& answer)
{
    fixed_answer(connection, 400, "Bad request", false, answer);
}

void icap_handler_t::service_not_found(const connection_t& connection, bool, const answer_callback_t& answer)
{
    fixed_answer(connection, 404, "ICAP Service not found", false, answer);
}

void icap_handler_t::method_not_allowed(const connection_t& connection, bool, const answer_callback_t& answer)
{
    fixed_answer(connection, 405, "Method not allowed for service", false, answer);
}

void icap_handler_t::bad_composition(const connection_t& connection, bool, const answer_callback_t& answer)
{
    fixed_answer(connection, 418, "Bad Composition", false, answer);
}

void icap_handler_t::version_not_supported(const connection_t& connection, bool, const answer_callback_t& answer)
{
    fixed_answer(connection, 505, "ICAP version not supported by server", false, answer);
}

void icap_handler_t::no_modifications(const connection_t& connection, bool keep_alive, const answer_callback_t& answer)
{
    const response_t& response = kept_answer(no_modifications_answers_[keep_alive ? 1 : 0], connection, keep_alive, [] {
        const response_t made = io::icap::response_t::make();
        made->code = 204;
        made->reason = "No modifications needed";
        return made;
    });
    answer(response, boost::system::error_code());
}

} // namespace ic
