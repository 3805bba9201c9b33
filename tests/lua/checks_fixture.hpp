#pragma once

// Transactions whose URL checks and body scans reach a stand-in of the
// check engine: it counts the requests, answers with what the test set,
// always later from the event loop, and can hold its answers until the test
// lets them go, so that a test sees the script while a check runs.

#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <variant>
#include <vector>

#include <boost/asio/post.hpp>

#include "common/error_category.hpp"
#include "hook_fixture.hpp"

namespace checks_test {

class delegate_t : public ic::context::delegate_t {
public:
    explicit delegate_t(boost::asio::io_context& io_context)
        : read_back(io::http::body_stream_t::make_empty(io_context)), io_context_(io_context)
    {
    }

    void check_url(ic::context::context_t*, ic::context::url_check_callback_t&& callback) override
    {
        ++url_checks;
        later([this, callback = std::move(callback)] { callback(url_report, url_error); });
    }

    // Reads the body as the check engine does and hands back the body as
    // the answer would carry it; without Vetter, that is the whole body
    // unless the test makes it lose it.
    void check_body(ic::context::body_getter_t&& getter, ic::context::body_check_callback_t&& callback) override
    {
        ++body_checks;
        getter([this, callback = std::move(callback)](const io::icap::preview_t& preview,
                                                      const std::shared_ptr<io::http::body_stream_t>& stream,
                                                      const boost::system::error_code& error) {
            if (error) {
                callback(ox::ScanReport(), io::icap::preview_t(), nullptr, error);
                return;
            }
            delivered = stream;
            later([this, preview, callback] {
                if (vetter_available)
                    callback(scan_report, preview, read_back, scan_error);
                else
                    callback(ox::ScanReport(), preview, body_given_back ? read_back : nullptr,
                             ox::make_error_code(ox::EC_NO_VETTER));
            });
        });
    }

    // Lets the held answers go, in the order they came.
    void release()
    {
        std::vector<std::function<void()>> answers = std::move(held_);
        held_.clear();
        for (const auto& answer : answers)
            boost::asio::post(io_context_, answer);
    }
    std::size_t held() const { return held_.size(); }

    bool hold = false;
    int url_checks = 0;
    int body_checks = 0;
    ox::oxs::report_t url_report;
    boost::system::error_code url_error;
    bool vetter_available = true;
    bool body_given_back = true;
    // The body stream the getter delivered.
    std::shared_ptr<io::http::body_stream_t> delivered;
    // What the check hands back as the body the answer would carry.
    std::shared_ptr<io::http::body_stream_t> read_back;
    ox::ScanReport scan_report;
    boost::system::error_code scan_error;

private:
    void later(std::function<void()> answer)
    {
        if (hold)
            held_.push_back(std::move(answer));
        else
            boost::asio::post(io_context_, std::move(answer));
    }

    boost::asio::io_context& io_context_;
    std::vector<std::function<void()>> held_;
};

// A scan report naming the threats (type, name) in this order, with a scan
// error unless it is 0.
inline ox::ScanReport report_of(const std::vector<std::pair<ox::VirusType, std::string>>& threats, int error = 0)
{
    ox::ScanReport report;
    report.set_object("body");
    for (const auto& [type, name] : threats) {
        ox::Virus* virus = report.add_virus();
        virus->set_type(type);
        virus->set_name(name);
    }
    if (error != 0)
        report.set_error(static_cast<ox::ScanError>(error));
    return report;
}

// The reason the transaction's checks set for a block, as text: "url",
// "threat" or "scan error" with its bits or code.
inline std::string block_reason(const hook_test::outcome_t& outcome)
{
    const auto& reason = outcome.context->block_reason;
    if (const auto* url = std::get_if<ic::context::url_bits_t>(&reason))
        return "url " + std::to_string(url->bits);
    if (const auto* threat = std::get_if<ic::context::threat_bits_t>(&reason))
        return "threat " + std::to_string(threat->bits);
    return "scan error " + std::to_string(std::get<ox::ScanError>(reason));
}

class fixture_t : public hook_test::fixture_t {
protected:
    // A transaction whose body is the preview text followed by an empty
    // stream (delivered later, from the loop), or that has no body.
    ic::context::context_t make_checked(const hook_test::query_t& query, bool with_body = true,
                                        ic::context::delegate_t* to = nullptr)
    {
        io::http::param_map_t fields;
        for (const auto& [name, value] : query.icap_fields)
            fields.add(name, value);
        ic::context::body_getter_t getter;
        if (with_body) {
            getter = [this](const auto& handler) {
                getter_calls++;
                boost::asio::post(inventory->io_context,
                                  [this, handler] { handler(preview, body_stream, boost::system::error_code()); });
            };
        }
        return ic::context::context_t(std::make_shared<const io::http::param_map_t>(std::move(fields)),
                                      orx::buffer_t(query.request_head), orx::buffer_t(query.response_head), getter,
                                      to != nullptr ? to : &checks);
    }

    // Loads the hook and runs one transaction through it.
    std::shared_ptr<hook_test::outcome_t> run_script(const std::string& hook, const hook_test::query_t& query,
                                                     bool with_body = true, bool block_unchecked = false)
    {
        EXPECT_TRUE(load("orvex = require('orvex')\n" + hook, block_unchecked));
        return run(make_checked(query, with_body));
    }

    // Warnings written while scripts ran, without the hook's prefix.
    std::vector<std::string> warnings() const
    {
        std::vector<std::string> found;
        for (const auto& record : log->records) {
            if (record.level != cf_log_warning)
                continue;
            const auto colon = record.text.find(": ");
            found.push_back(record.text.rfind("Hook ", 0) == 0 && colon != std::string::npos
                                ? record.text.substr(colon + 2)
                                : record.text);
        }
        return found;
    }

    delegate_t checks{inventory->io_context};
    int getter_calls = 0;
    io::icap::preview_t preview;
    std::shared_ptr<io::http::body_stream_t> body_stream = io::http::body_stream_t::make_empty(inventory->io_context);
};

} // namespace checks_test
