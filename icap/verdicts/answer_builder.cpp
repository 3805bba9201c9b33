#include "icap/verdicts/answer_builder.hpp"

#include <unistd.h>

#include <sstream>
#include <string_view>
#include <utility>
#include <vector>

#include "app/core/inventory.hpp"
#include "app/core/pilotd_tie.hpp"
#include "common/enum_text.hpp"
#include "common/log.hpp"
#include "common/threat_class.hpp"
#include "common/what.hpp"
#include "icap/verdicts/category_bits.hpp"
#include "icap/verdicts/template_store.hpp"
#include "icap/verdicts/verdict.hpp"
#include "schemas/application.pb.h"

namespace ic {

namespace {

constexpr std::string_view invalid_suffix = ".orvex.invalid.";
constexpr std::size_t longest_host = 253;

bool is_blank(char c)
{
    return c == ' ' || c == '\t';
}

std::string_view trim_blanks(std::string_view text)
{
    while (!text.empty() && is_blank(text.front()))
        text.remove_prefix(1);
    while (!text.empty() && is_blank(text.back()))
        text.remove_suffix(1);
    return text;
}

// The parameters of a field value, cut at each ";" outside double quotes;
// inside quotes a backslash makes the next character ordinary.
std::vector<std::string_view> split_parameters(std::string_view value)
{
    std::vector<std::string_view> parameters;
    std::size_t start = 0;
    bool quoted = false;
    for (std::size_t i = 0; i < value.size(); ++i) {
        const char c = value[i];
        if (quoted && c == '\\')
            ++i;
        else if (c == '"')
            quoted = !quoted;
        else if (c == ';' && !quoted) {
            parameters.push_back(value.substr(start, i - start));
            start = i + 1;
        }
    }
    parameters.push_back(value.substr(start));
    return parameters;
}

// The first "filename" parameter of a Content-Disposition value, unquoted;
// empty without one. The extended form "filename*" is not read.
std::string content_disposition_filename(std::string_view value)
{
    for (std::string_view parameter : split_parameters(value)) {
        while (!parameter.empty() && is_blank(parameter.front()))
            parameter.remove_prefix(1);
        if (parameter.size() <= 8 || !io::http::iequals(parameter.substr(0, 8), "filename") ||
            (parameter[8] != '=' && !is_blank(parameter[8])))
            continue;
        const auto equals = parameter.find('=');
        const std::string_view text =
            trim_blanks(equals == std::string_view::npos ? std::string_view() : parameter.substr(equals + 1));
        if (text.size() < 2 || text.front() != '"' || text.back() != '"')
            return std::string(text);
        std::string name;
        const std::string_view inner = text.substr(1, text.size() - 2);
        for (std::size_t i = 0; i < inner.size(); ++i) {
            if (inner[i] == '\\' && i + 1 < inner.size())
                ++i;
            name += inner[i];
        }
        return name;
    }
    return std::string();
}

// The name a threat report gives the blocked object.
std::string object_name(const threat_found_t& verdict, const std::shared_ptr<io::http::response_t>& response)
{
    if (!verdict.response_side)
        return "body";
    if (response) {
        std::string name = content_disposition_filename(response->fields.get("Content-Disposition"));
        if (!name.empty())
            return name;
    }
    if (verdict.url) {
        const std::string& path = verdict.url->path;
        if (!path.empty() && path.back() != '/') {
            const auto slash = path.rfind('/');
            return slash == std::string::npos ? path : path.substr(slash + 1);
        }
    }
    return "body";
}

bool is_printable(char c)
{
    return c >= 0x20 && c <= 0x7e;
}

// A text from the scanned data made fit for an ICAP field: every byte that
// is not printable ASCII, and with no_slashes every "/" and "\", becomes "_".
std::string clean(std::string text, bool no_slashes)
{
    for (char& c : text)
        if (!is_printable(c) || (no_slashes && (c == '/' || c == '\\')))
            c = '_';
    return text;
}

// "X-Violations-Found": the number of threats, then four continuation lines
// per threat: object name (with the place inside it), threat name, threat
// type, 0. The file name and the names of archive members come from the
// scanned data, so neither may carry a line end into the ICAP head.
std::string violations(const summary_t& summary, const std::string& name)
{
    const std::string file = clean(name, true);
    std::string text = std::to_string(summary.threats.size());
    for (const summary_t::threat_t& threat : summary.threats) {
        text += "\r\n\t" + file;
        if (!threat.path.empty())
            text += "//" + clean(threat.path, false);
        text += "\r\n\t" + threat.virus.name();
        text += "\r\n\t" + std::to_string(threat.virus.type());
        text += "\r\n\t0";
    }
    return text;
}

bool is_connect(const std::shared_ptr<io::http::request_t>& request)
{
    return request && io::http::iequals(request->method, "CONNECT");
}

std::string report_line(const blocked_t& verdict, const std::string& reason)
{
    std::string line = verdict.url ? "Blocked URL: " + verdict.url->to_string(ox::oxs::url_t::plain)
                                   : std::string("Blocked data from unknown source");
    line += " (" + reason + ")";
    if (!verdict.client_ip.empty() || !verdict.client_user.empty()) {
        line += ". User: ";
        line += verdict.client_user.empty() ? "Unknown" : verdict.client_user;
        line += " from ";
        line += verdict.client_ip.empty() ? "Unknown IP" : verdict.client_ip;
    }
    return line;
}

void notice(const blocked_t& verdict, const std::string& reason)
{
    if (cf_log_threshold <= cf_log_notice)
        cf_log(cf_log_notice, report_line(verdict, reason));
}

} // namespace

answer_builder_t::answer_builder_t(inventory_t& inventory) : inventory_(inventory) {}

template <typename render_t>
void answer_builder_t::finish(answer_t& answer, const std::shared_ptr<io::http::request_t>& request,
                              const render_t& render) const
{
    if (is_connect(request)) {
        answer.request_head = make_connect_answer(request);
        return;
    }
    auto [head, body] = render(*inventory_.template_store, accept_language(request));
    answer.response_head = std::move(head);
    answer.body = std::move(body);
}

answer_t answer_builder_t::answer_threat_found(const threat_found_t& verdict,
                                               const std::shared_ptr<io::http::request_t>& request,
                                               const std::shared_ptr<io::http::response_t>& response)
{
    report_threat_found(verdict);
    const summary_t& summary = *verdict.summary;
    const std::string& threat = summary.main_threat().name();
    answer_t answer;
    answer.headers = {
        {"X-Response-Info", "Blocked"},
        {"X-Infection-Found", "Type=0; Resolution=0; Threat=" + threat + ";"},
        {"X-Violations-Found", violations(summary, object_name(verdict, response))},
        {"X-Virus-ID", threat},
    };
    finish(answer, request, [&](template_store_t& store, const std::string& language) {
        return store.render_threat_found(verdict, language);
    });
    return answer;
}

answer_t answer_builder_t::answer_blocked_url(const blocked_url_t& verdict,
                                              const std::shared_ptr<io::http::request_t>& request)
{
    report_blocked_url(verdict);
    answer_t answer;
    answer.headers = {{"X-Response-Info", "Blocked"}};
    finish(answer, request, [&](template_store_t& store, const std::string& language) {
        return store.render_blocked_url(verdict, language);
    });
    return answer;
}

answer_t answer_builder_t::answer_check_error(const check_error_t& verdict,
                                              const std::shared_ptr<io::http::request_t>& request)
{
    report_check_error(verdict);
    answer_t answer;
    answer.headers = {{"X-Response-Info", "Blocked"}};
    finish(answer, request, [&](template_store_t& store, const std::string& language) {
        return store.render_check_error(verdict, language);
    });
    return answer;
}

void answer_builder_t::report_threat_found(const threat_found_t& verdict)
{
    const summary_t& summary = *verdict.summary;
    ox::NetIncident incident = make_incident(verdict);
    incident.mutable_http_block()->mutable_report()->CopyFrom(summary.report);
    inventory_.pilotd_tie->send_incident(incident);

    const ox::Virus& threat = summary.main_threat();
    std::ostringstream reason;
    reason << threat.name() << " - ";
    ox::oxs::print_threat_class(reason, static_cast<int>(threat_category_to_bit(threat.type())));
    notice(verdict, reason.str());
}

void answer_builder_t::report_blocked_url(const blocked_url_t& verdict)
{
    const std::uint32_t bit = verdict.main_category();
    const ox::UrlCategory category = bit_to_url_category(bit);
    ox::NetIncident incident = make_incident(verdict);
    incident.mutable_http_block()->set_category(category);
    inventory_.pilotd_tie->send_incident(incident);

    notice(verdict, bit == unspecified_bit ? std::string("Unspecified") : cf_enum_text(category));
}

void answer_builder_t::report_check_error(const check_error_t& verdict)
{
    notice(verdict, "Check failure: " + cf_what(verdict.error));
}

ox::NetIncident answer_builder_t::make_incident(const blocked_t& verdict) const
{
    ox::NetIncident incident;
    incident.set_origin(ox::APP_TRAXD);
    incident.set_origin_pid(static_cast<std::int32_t>(::getpid()));
    if (!verdict.client_ip.empty()) {
        ox::IPSocket* source = incident.mutable_connection()->mutable_src_endpoint();
        source->set_address(verdict.client_ip);
        source->set_port(0);
    }
    if (!verdict.client_user.empty())
        incident.mutable_connection()->set_user(verdict.client_user);
    ox::HttpBlock* block = incident.mutable_http_block();
    block->set_url(verdict.url ? verdict.url->to_string(ox::oxs::url_t::plain) : std::string());
    block->set_direction(verdict.response_side ? ox::HttpBlock::RESPONSE : ox::HttpBlock::REQUEST);
    block->set_bytes_passed_over(0);
    return incident;
}

orx::buffer_t make_connect_answer(const std::shared_ptr<io::http::request_t>& request)
{
    std::string host = request->url.host;
    host += invalid_suffix;
    if (host.size() > longest_host) {
        // The suffix's own dots guarantee a cut within it at the latest.
        const auto dot = host.find('.', host.size() - longest_host - 1);
        host.erase(0, dot + 1);
    }
    return orx::buffer_t("CONNECT " + host + ":443 HTTP/1.1\r\nHost: " + host + ":443\r\n\r\n");
}

std::string accept_language(const std::shared_ptr<io::http::request_t>& request)
{
    return request ? request->fields.get("Accept-Language") : std::string();
}

} // namespace ic
