#pragma once

// An application object with this test as PilotD, its settings applied
// with the sample templates of the source tree, and makers for the parsed
// HTTP heads and the verdicts of a transaction.

#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "app/core/config_holder.hpp"
#include "app/inventory_fixture.hpp"
#include "icap/verdicts/verdict.hpp"
#include "protocol/http_request.hpp"
#include "protocol/http_response.hpp"

namespace test_verdicts {

using fields_t = std::vector<std::pair<std::string, std::string>>;

inline std::shared_ptr<io::http::request_t> request(const std::string& method, const std::string& url,
                                                    const fields_t& fields = {})
{
    auto head = io::http::request_t::make();
    head->method = method;
    head->url = ox::oxs::url_t(url);
    for (const auto& [name, value] : fields)
        head->fields.add(name, value);
    return head;
}

inline std::shared_ptr<io::http::response_t> response(const fields_t& fields = {})
{
    auto head = io::http::response_t::make();
    head->code = 200;
    head->reason = "OK";
    for (const auto& [name, value] : fields)
        head->fields.add(name, value);
    return head;
}

inline std::shared_ptr<ox::oxs::url_t> url(const std::string& text)
{
    return std::make_shared<ox::oxs::url_t>(text);
}

class fixture_t : public test_inventory::fixture_t {
protected:
    fixture_t() { apply_templates_dir(TRAXD_SOURCE_DIR "/templates"); }

    void apply_templates_dir(const std::string& dir)
    {
        auto config = settings();
        config.set_templates_dir(dir);
        inventory->config_holder->apply(config);
    }

    std::shared_ptr<ic::threat_found_t> threat_found(const std::shared_ptr<ox::oxs::url_t>& url, bool response_side,
                                                     const ox::ScanReport& report, std::uint32_t block_set = 0)
    {
        auto summary = std::make_shared<ic::summary_t>(report);
        summary->block_set = block_set;
        return std::make_shared<ic::threat_found_t>(*inventory, url, response_side, summary);
    }

    std::shared_ptr<ic::blocked_url_t> blocked_url(const std::shared_ptr<ox::oxs::url_t>& url, std::uint32_t categories,
                                                   const std::string& legal_url = "")
    {
        ox::oxs::report_t report;
        report.categories = categories;
        report.piracy_legal_url = legal_url;
        return std::make_shared<ic::blocked_url_t>(*inventory, url, false, report);
    }

    std::shared_ptr<ic::check_error_t> check_error(const std::shared_ptr<ox::oxs::url_t>& url,
                                                   const std::exception_ptr& error)
    {
        std::exception_ptr taken = error;
        return std::make_shared<ic::check_error_t>(*inventory, url, false, std::move(taken));
    }

    // The records at a level, in order.
    std::vector<std::string> records(int level) const
    {
        std::vector<std::string> texts;
        for (const auto& record : log->records)
            if (record.level == level)
                texts.push_back(record.text);
        return texts;
    }
};

} // namespace test_verdicts
