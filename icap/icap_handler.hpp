#pragma once

#include <array>
#include <ctime>
#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include <boost/core/noncopyable.hpp>
#include <boost/signals2/dummy_mutex.hpp>
#include <boost/signals2/signal.hpp>
#include <boost/signals2/signal_type.hpp>
#include <boost/system/error_code.hpp>

#include "icap/answer_callback.hpp"
#include "icap/check_engine.hpp"
#include "icap/query_body.hpp"
#include "protocol/icap_request.hpp"
#include "protocol/icap_response.hpp"
#include "protocol/icap_server_connection.hpp"
#include "schemas/scan_report.pb.h"

namespace ic {

class inventory_t;

// The ICAP service logic in front of the checks: version, service path and
// method dispatch, the fixed answers, OPTIONS, and the finishing of every
// answer (ISTag, Connection, Encapsulated, debug lines).
class icap_handler_t : private boost::noncopyable {
public:
    // The kind of a query, as the statistics count it.
    enum request_type_t { bad = 0, options = 1, reqmod = 2, respmod = 3 };

    using connection_t = std::shared_ptr<io::icap::server_connection_t>;
    using request_t = std::shared_ptr<io::icap::request_t const>;
    using response_t = std::shared_ptr<io::icap::response_t>;
    // Called exactly once per query: with a finished answer and no error,
    // or with an error when nothing is to be written.
    using answer_callback_t = ic::answer_callback_t;

    explicit icap_handler_t(inventory_t& inventory);

    // Emitted once per query, as soon as it has been dispatched. It is
    // connected and emitted on the event loop's thread only, so it takes no
    // lock.
    boost::signals2::signal_type<
        void(request_type_t), boost::signals2::keywords::mutex_type<boost::signals2::dummy_mutex>>::type request_signal;

    // One parsed query; keep_alive is false when the query asked for the
    // connection to be closed.
    void handle_request(const connection_t& connection, const request_t& request, bool keep_alive,
                        answer_callback_t answer);
    // A query whose head could not be parsed.
    void handle_bad_request(const connection_t& connection, const answer_callback_t& answer);

    void process_options(const connection_t& connection, const request_t& request, bool keep_alive,
                         const answer_callback_t& answer);
    // The answer is taken over, not copied, on its way to the check.
    void process_reqmod(const connection_t& connection, const request_t& request, bool keep_alive,
                        answer_callback_t&& answer);
    void process_respmod(const connection_t& connection, const request_t& request, bool keep_alive,
                         answer_callback_t&& answer);

    // Has the message checked and answers from the verdict.
    void check(const connection_t& connection, const request_t& request, bool keep_alive, answer_callback_t&& answer);
    // The body getter of a query with a body, bound to its body.
    void process_preview(const std::shared_ptr<query_body_t>& body, const query_body_t::body_handler_t& completion);
    // The message stays unchanged and 204 is not allowed: gets the body and
    // gives the message back.
    void process_body(const std::shared_ptr<query_body_t>& body, bool keep_alive, const answer_callback_t& answer);
    // The 200 answer that returns the unchanged message, its body read from
    // stream.
    void emulate_204(const std::shared_ptr<query_body_t>& body, const std::shared_ptr<io::http::body_stream_t>& stream,
                     bool keep_alive, const answer_callback_t& answer);
    // The client lets an unchanged message be answered with 204: use_204 is
    // set and a piece of the query's Allow field is "204".
    bool allows_204(const io::icap::request_t& request) const;
    static void add_headers(io::icap::response_t& response,
                            const std::vector<std::pair<std::string, std::string>>& headers);

    // The OPTIONS answer before finishing.
    response_t make_options_response(const request_t& request) const;
    // The scanning service's state, for an OPTIONS query that asks for it:
    // the failure, or the engine's versions, records and database time.
    static void add_engine_headers(const response_t& response, const boost::system::error_code& error,
                                   const ox::ScanReport& report);
    // Adds ISTag, Connection (final answers only) and Encapsulated, gives
    // the answer an empty body when it has none, and logs it.
    void finish_response(const connection_t& connection, const response_t& response, bool keep_alive);
    // The finished OPTIONS answer without the scanning service's state:
    // made again only when something in it changed (the ISTag, the
    // settings it shows), else the same answer with the same bytes. The
    // reference holds until the next OPTIONS answer is made, which no
    // completion does while the answer is handed over.
    const response_t& options_answer(const connection_t& connection, const request_t& request, bool keep_alive);
    // Adds the Encapsulated field that the answer's heads and body call for.
    static void make_encapsulated(io::icap::response_t& response);
    // The ISTag value at a time: the seconds without their last digit, in
    // double quotes, so that it changes every ten seconds.
    static std::string make_istag(std::time_t now);

    // The fixed answers.
    void bad_request(const connection_t& connection, bool keep_alive, const answer_callback_t& answer);
    void service_not_found(const connection_t& connection, bool keep_alive, const answer_callback_t& answer);
    void method_not_allowed(const connection_t& connection, bool keep_alive, const answer_callback_t& answer);
    void bad_composition(const connection_t& connection, bool keep_alive, const answer_callback_t& answer);
    void version_not_supported(const connection_t& connection, bool keep_alive, const answer_callback_t& answer);
    void no_modifications(const connection_t& connection, bool keep_alive, const answer_callback_t& answer);

private:
    void fixed_answer(const connection_t& connection, int code, const char* reason, bool keep_alive,
                      const answer_callback_t& answer);
    // The answer from the check engine's result.
    void answer_check(const std::shared_ptr<query_body_t>& body, bool keep_alive, const answer_callback_t& answer,
                      const check_engine_t::result_t& result);
    void send_check_answer(const connection_t& connection, bool keep_alive, const answer_callback_t& answer,
                           const check_engine_t::result_t& result);
    // A failure met while answering: the protocol error gets 400, any other
    // error drops the connection without an answer.
    void answer_failure(const connection_t& connection, const boost::system::error_code& error,
                        const answer_callback_t& answer);
    request_type_t dispatch(const connection_t& connection, const request_t& request, bool keep_alive,
                            answer_callback_t&& answer);
    bool dump_enabled() const;
    // finish_response without the log, with the ISTag of the time now.
    void complete_answer(const response_t& response, bool keep_alive, std::time_t now);
    void log_answer(const connection_t& connection, const response_t& response) const;

    // A finished answer that is given again as long as nothing in it
    // changes, and what it was made from.
    struct kept_answer_t {
        // The ISTag's period: the time in tens of seconds.
        std::time_t istag_period = -1;
        bool use_204 = false;
        bool use_preview = false;
        response_t response;
    };
    // The kept answer, first made by make() and finished when the ISTag or
    // the settings changed since; logged as finish_response logs. The
    // answer is handed on by reference, so that each query costs no hold on
    // it: the slot keeps it until the answer is made again.
    template <typename make_t>
    const response_t& kept_answer(kept_answer_t& kept, const connection_t& connection, bool keep_alive,
                                  const make_t& make);

    inventory_t& inventory_;
    // OPTIONS by the service (RESPMOD, REQMOD) and then keep-alive (no,
    // yes).
    std::array<kept_answer_t, 4> options_answers_;
    // 204 by keep-alive (no, yes).
    std::array<kept_answer_t, 2> no_modifications_answers_;
};

} // namespace ic
