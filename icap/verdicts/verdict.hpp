#pragma once

#include <cstdint>
#include <exception>
#include <memory>
#include <string>

#include "common/report.hpp"
#include "common/url.hpp"
#include "icap/verdicts/answer.hpp"
#include "icap/verdicts/summary.hpp"
#include "protocol/body_stream.hpp"
#include "protocol/http_request.hpp"
#include "protocol/http_response.hpp"
#include "protocol/preview.hpp"

namespace ic {

class inventory_t;

// The outcome of the policy for one message. The hook makes exactly one and
// the check engine tells the kinds apart by their dynamic type: a message
// that passes, an ICAP exchange that was malformed, or a block.
class verdict_t {
public:
    virtual ~verdict_t() = default;
};

// The message passes, with what the transaction already read of its body.
class allowed_t : public verdict_t {
public:
    // Either may be empty.
    allowed_t(const io::icap::preview_t& preview, const std::shared_ptr<io::http::body_stream_t>& body);

    io::icap::preview_t preview;
    std::shared_ptr<io::http::body_stream_t> body;
};

// The body could not be read because the query was malformed: answered with
// 400 whatever the script decided.
class protocol_error_t : public verdict_t {};

// A blocked message. Each kind builds its answer through the application's
// answer builder.
class blocked_t : public verdict_t {
public:
    // url is null when the transaction has no request URL; response_side is
    // true when the blocked data travels from the server to the client.
    blocked_t(inventory_t& inventory, const std::shared_ptr<ox::oxs::url_t>& url, bool response_side);

    // request and response are the transaction's parsed HTTP heads; either
    // may be null.
    virtual answer_t make_answer(const std::shared_ptr<io::http::request_t>& request,
                                 const std::shared_ptr<io::http::response_t>& response) const = 0;

    // The application object; it outlives every verdict.
    inventory_t* inventory;
    std::shared_ptr<ox::oxs::url_t> url;
    bool response_side;
    // The proxy's "X-Client-IP" and "X-Client-Username", filled in by the
    // check engine just before it asks for the answer.
    std::string client_ip;
    std::string client_user;
};

// Threats found in the body.
class threat_found_t : public blocked_t {
public:
    threat_found_t(inventory_t& inventory, const std::shared_ptr<ox::oxs::url_t>& url, bool response_side,
                   const std::shared_ptr<summary_t>& summary);

    answer_t make_answer(const std::shared_ptr<io::http::request_t>& request,
                         const std::shared_ptr<io::http::response_t>& response) const override;

    // Its block_set holds the classes the matching filter blocks.
    std::shared_ptr<summary_t> summary;
};

// The URL's categories, or the black list.
class blocked_url_t : public blocked_t {
public:
    // Without a URL the report is ignored: the block is for the black list.
    blocked_url_t(inventory_t& inventory, const std::shared_ptr<ox::oxs::url_t>& url, bool response_side,
                  const ox::oxs::report_t& report);

    // Reads only the request head.
    answer_t make_answer(const std::shared_ptr<io::http::request_t>& request,
                         const std::shared_ptr<io::http::response_t>& response) const override;

    // The lowest category bit of the report; it names the block.
    std::uint32_t main_category() const { return report.main_category(); }
    const std::string& legal_url() const { return report.piracy_legal_url; }

    ox::oxs::report_t report;
};

// The message could not be checked and the policy blocks what it cannot
// check.
class check_error_t : public blocked_t {
public:
    // Takes the error over, leaving the argument empty.
    check_error_t(inventory_t& inventory, const std::shared_ptr<ox::oxs::url_t>& url, bool response_side,
                  std::exception_ptr&& failure);

    // Reads only the request head.
    answer_t make_answer(const std::shared_ptr<io::http::request_t>& request,
                         const std::shared_ptr<io::http::response_t>& response) const override;

    std::exception_ptr error;
};

} // namespace ic
