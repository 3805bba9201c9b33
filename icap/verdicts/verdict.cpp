#include "icap/verdicts/verdict.hpp"

#include <utility>

#include "app/core/inventory.hpp"
#include "icap/verdicts/answer_builder.hpp"
#include "icap/verdicts/category_bits.hpp"

namespace ic {

allowed_t::allowed_t(const io::icap::preview_t& preview, const std::shared_ptr<io::http::body_stream_t>& body)
    : preview(preview), body(body)
{
}

blocked_t::blocked_t(inventory_t& inventory, const std::shared_ptr<ox::oxs::url_t>& url, bool response_side)
    : inventory(&inventory), url(url), response_side(response_side)
{
}

threat_found_t::threat_found_t(inventory_t& inventory, const std::shared_ptr<ox::oxs::url_t>& url, bool response_side,
                               const std::shared_ptr<summary_t>& summary)
    : blocked_t(inventory, url, response_side), summary(summary)
{
}

answer_t threat_found_t::make_answer(const std::shared_ptr<io::http::request_t>& request,
                                     const std::shared_ptr<io::http::response_t>& response) const
{
    return inventory->answer_builder->answer_threat_found(*this, request, response);
}

namespace {

ox::oxs::report_t black_list_report()
{
    ox::oxs::report_t report;
    report.categories = black_list_bit;
    return report;
}

} // namespace

blocked_url_t::blocked_url_t(inventory_t& inventory, const std::shared_ptr<ox::oxs::url_t>& url, bool response_side,
                             const ox::oxs::report_t& report)
    : blocked_t(inventory, url, response_side), report(url ? report : black_list_report())
{
}

answer_t blocked_url_t::make_answer(const std::shared_ptr<io::http::request_t>& request,
                                    const std::shared_ptr<io::http::response_t>&) const
{
    return inventory->answer_builder->answer_blocked_url(*this, request);
}

check_error_t::check_error_t(inventory_t& inventory, const std::shared_ptr<ox::oxs::url_t>& url, bool response_side,
                             std::exception_ptr&& failure)
    : blocked_t(inventory, url, response_side), error(std::exchange(failure, nullptr))
{
}

answer_t check_error_t::make_answer(const std::shared_ptr<io::http::request_t>& request,
                                    const std::shared_ptr<io::http::response_t>&) const
{
    return inventory->answer_builder->answer_check_error(*this, request);
}

} // namespace ic
