#include "lua/context.hpp"

#include <utility>

#include "icap/verdicts/category_bits.hpp"
#include "icap/verdicts/summary.hpp"
#include "lua/head_parser.hpp"

namespace ic::context {

namespace {

// The preview of every context before its body was asked for: one for all,
// since nothing writes to the chunks of a preview.
const io::icap::preview_t& unread_preview()
{
    static const io::icap::preview_t unread;
    return unread;
}

} // namespace

context_t::context_t(std::shared_ptr<const io::http::param_map_t> icap_fields, const orx::buffer_t& request_head,
                     const orx::buffer_t& response_head, const body_getter_t& body_getter, delegate_t* delegate)
    : delegate(delegate),
      icap_fields(std::move(icap_fields)),
      request_head(request_head),
      response_head(response_head),
      body_getter(body_getter),
      preview(unread_preview()),
      block_reason(url_bits_t{black_list_bit})
{
}

context_t::context_t(context_source_t&& source)
    : context_t(std::move(source.icap_fields), source.request_head, source.response_head, source.body_getter,
                source.delegate)
{
    delegate_keeper = std::move(source.delegate_keeper);
}

context_t::context_t(context_t&& other)
    : delegate(other.delegate),
      delegate_keeper(std::move(other.delegate_keeper)),
      // Copied: the fields stay readable through the source as well.
      icap_fields(other.icap_fields),
      request_head(std::move(other.request_head)),
      response_head(std::move(other.response_head)),
      body_getter(std::move(other.body_getter)),
      request_(std::move(other.request_)),
      response_(std::move(other.response_)),
      request_content_type_(std::move(other.request_content_type_)),
      response_content_type_(std::move(other.response_content_type_)),
      url_(std::move(other.url_)),
      url_check_error(std::move(other.url_check_error)),
      body_check_error(std::move(other.body_check_error)),
      url_report(std::move(other.url_report)),
      summary(std::move(other.summary)),
      preview(std::move(other.preview)),
      body_stream(std::move(other.body_stream)),
      block_reason(other.block_reason),
      url_check(std::move(other.url_check)),
      body_check(std::move(other.body_check))
{
    other.hand_over();
}

context_t::~context_t()
{
    expire_weak_ref(weak_ref_);
}

void context_t::hand_over() noexcept
{
    lifetime_.reset();
    expire_weak_ref(std::exchange(weak_ref_, 0));
    handed_over_ = true;
}

const std::shared_ptr<int>& context_t::lifetime()
{
    if (!lifetime_ && !handed_over_)
        lifetime_ = std::make_shared<int>(0);
    return lifetime_;
}

weak_ref_t context_t::weak_ref()
{
    if (weak_ref_ == 0 && !handed_over_)
        weak_ref_ = make_weak_ref(*this);
    return weak_ref_;
}

const std::shared_ptr<io::http::request_t>& context_t::request_header()
{
    if (!request_)
        request_ = parse_request_header(request_head);
    return request_;
}

const std::shared_ptr<io::http::response_t>& context_t::response_header()
{
    if (!response_)
        response_ = parse_response_header(response_head);
    return response_;
}

const std::shared_ptr<ox::oxs::url_t>& context_t::request_url()
{
    if (url_)
        return url_;
    const std::shared_ptr<io::http::request_t>& request = request_header();
    if (!request)
        return url_;
    const ox::oxs::url_t& target = request->url;
    // Host and port come from the request target as it was received, or
    // from the Host field. The target is never printed in its decoded form
    // and parsed again: decoding can make text of the user part ("a%3Fx@")
    // read as a host and a query of its own.
    const ox::oxs::url_t from_field(target.host.empty() ? request->fields.get("Host") : std::string());
    const ox::oxs::url_t& authority = target.host.empty() ? from_field : target;
    if (authority.host.empty())
        return url_;
    std::string scheme = target.scheme;
    if (scheme.empty())
        scheme = io::http::iequals(request->method, "CONNECT") ? "https" : "http";
    url_ = std::make_shared<ox::oxs::url_t>(std::move(scheme), target.user, target.password, authority.host,
                                            target.path, target.query, target.fragment, authority.port);
    return url_;
}

const media_type_t& context_t::request_content_type()
{
    if (!request_content_type_) {
        const std::shared_ptr<io::http::request_t>& request = request_header();
        if (!request)
            return media_type_t::empty();
        request_content_type_ = std::make_unique<media_type_t>(request->fields);
    }
    return *request_content_type_;
}

const media_type_t& context_t::response_content_type()
{
    if (!response_content_type_) {
        const std::shared_ptr<io::http::response_t>& response = response_header();
        if (!response)
            return media_type_t::empty();
        response_content_type_ = std::make_unique<media_type_t>(response->fields);
    }
    return *response_content_type_;
}

void context_t::set_scan_result(const boost::system::error_code& error, const ox::ScanReport& report,
                                const io::icap::preview_t& preview,
                                const std::shared_ptr<io::http::body_stream_t>& stream)
{
    body_check_error = error;
    if (!error)
        summary = std::make_shared<summary_t>(report);
    this->preview = preview;
    body_stream = stream;
}

void context_t::set_url_result(const boost::system::error_code& error, const ox::oxs::report_t& report)
{
    url_check_error = error;
    if (!error)
        url_report = report;
}

} // namespace ic::context
