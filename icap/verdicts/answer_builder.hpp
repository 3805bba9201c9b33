#pragma once

#include <memory>
#include <string>

#include <boost/core/noncopyable.hpp>

#include "common/buffer.hpp"
#include "icap/verdicts/answer.hpp"
#include "protocol/http_request.hpp"
#include "protocol/http_response.hpp"
#include "schemas/incident.pb.h"

namespace ic {

class inventory_t;
class blocked_t;
class threat_found_t;
class blocked_url_t;
class check_error_t;

// Turns a blocking verdict into the answer for the proxy: reports the block
// (a Notice, and for threat and URL blocks an incident to PilotD), chooses
// the ICAP fields that say why, and builds the block page or, for a CONNECT,
// a request that leads the client nowhere. Keeps nothing but the
// application object, through which it reaches PilotD and the templates.
class answer_builder_t : private boost::noncopyable {
public:
    explicit answer_builder_t(inventory_t& inventory);

    // request and response are the transaction's parsed HTTP heads; either
    // may be null.
    answer_t answer_threat_found(const threat_found_t& verdict, const std::shared_ptr<io::http::request_t>& request,
                                 const std::shared_ptr<io::http::response_t>& response);
    answer_t answer_blocked_url(const blocked_url_t& verdict, const std::shared_ptr<io::http::request_t>& request);
    answer_t answer_check_error(const check_error_t& verdict, const std::shared_ptr<io::http::request_t>& request);

    // The incident first (not for a failed check), then the Notice line.
    void report_threat_found(const threat_found_t& verdict);
    void report_blocked_url(const blocked_url_t& verdict);
    void report_check_error(const check_error_t& verdict);

    // The incident without its reason.
    ox::NetIncident make_incident(const blocked_t& verdict) const;

private:
    // The rest of an answer once its fields are chosen: the CONNECT rewrite
    // or the page that render gives.
    template <typename render_t>
    void finish(answer_t& answer, const std::shared_ptr<io::http::request_t>& request, const render_t& render) const;

    inventory_t& inventory_;
};

// The CONNECT that replaces the client's: towards the requested host under
// ".orvex.invalid.", cut to at most 253 characters at a dot.
orx::buffer_t make_connect_answer(const std::shared_ptr<io::http::request_t>& request);

// The request's first "Accept-Language" value; empty without a request or
// the field.
std::string accept_language(const std::shared_ptr<io::http::request_t>& request);

} // namespace ic
