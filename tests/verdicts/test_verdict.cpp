// What each verdict keeps, and that a blocking verdict's answer comes from
// the application's answer builder with the heads its kind reads.

#include "icap/verdicts/verdict.hpp"

#include <gtest/gtest.h>

#include <stdexcept>
#include <string>

#include "common/what.hpp"
#include "scan_report_builder.hpp"
#include "verdict_fixture.hpp"

namespace {

using namespace test_verdicts;
using test_reports::item;
using test_reports::threat;

TEST(verdict_allowed, shares_preview_and_body)
{
    boost::asio::io_context context;
    io::icap::preview_t preview;
    preview.body->push_back({"", orx::buffer_t("data"), {}});
    preview.ieof = true;
    const auto body = io::http::body_stream_t::make_empty(context);

    const ic::allowed_t verdict(preview, body);
    EXPECT_EQ(verdict.preview.body, preview.body);
    EXPECT_TRUE(verdict.preview.ieof);
    EXPECT_EQ(verdict.body, body);

    const ic::allowed_t empty(io::icap::preview_t{}, nullptr);
    EXPECT_EQ(empty.body, nullptr);
    EXPECT_FALSE(empty.preview.ieof);
}

using verdict_test = fixture_t;

TEST_F(verdict_test, blocked_keeps_what_it_is_given)
{
    const auto address = url("http://example.com/a");
    const auto verdict = threat_found(address, true, item("body", {threat(ox::SE_ADWARE, "A")}));
    EXPECT_EQ(verdict->inventory, inventory.get());
    EXPECT_EQ(verdict->url, address);
    EXPECT_TRUE(verdict->response_side);
    EXPECT_TRUE(verdict->client_ip.empty());
    EXPECT_TRUE(verdict->client_user.empty());
    EXPECT_EQ(verdict->summary->main_threat().name(), "A");
}

TEST_F(verdict_test, url_verdict_report)
{
    struct case_t {
        const char* name;
        bool with_url;
        std::uint32_t categories;
        const char* legal_url;
        std::uint32_t expected_categories;
        const char* expected_legal_url;
        std::uint32_t expected_main;
    };
    const case_t cases[] = {
        {"copied_with_url", true, 0x1000 | 0x2, "http://legal.example/", 0x1002, "http://legal.example/", 0x2},
        {"black_list_with_url", true, 0x20000000, "", 0x20000000, "", 0x20000000},
        // Without a URL the block is for the black list, whatever was
        // passed.
        {"black_list_without_url", false, 0x1000 | 0x4, "http://legal.example/", 0x20000000, "", 0x20000000},
        {"empty_report_without_url", false, 0, "", 0x20000000, "", 0x20000000},
    };
    for (const case_t& c : cases) {
        SCOPED_TRACE(c.name);
        const auto verdict = blocked_url(c.with_url ? url("http://example.com/") : nullptr, c.categories, c.legal_url);
        EXPECT_EQ(verdict->report.categories, c.expected_categories);
        EXPECT_EQ(verdict->legal_url(), c.expected_legal_url);
        EXPECT_EQ(verdict->main_category(), c.expected_main);
    }
}

TEST_F(verdict_test, check_error_takes_the_error_over)
{
    std::exception_ptr error = std::make_exception_ptr(std::runtime_error("scanner gone"));
    const ic::check_error_t verdict(*inventory, nullptr, false, std::move(error));
    EXPECT_FALSE(error);
    ASSERT_TRUE(verdict.error);
    EXPECT_EQ(cf_what(verdict.error), "scanner gone");
}

// Each kind answers through the builder; only the threat verdict reads the
// response head (the file name of its reports).
TEST_F(verdict_test, make_answer_reads_the_heads_of_its_kind)
{
    const auto get = request("GET", "http://example.com/dir/page.html");
    const auto attachment = response({{"Content-Disposition", "attachment; filename=\"setup.exe\""}});
    const std::vector<std::shared_ptr<ic::blocked_t>> verdicts = {
        threat_found(url("http://example.com/dir/page.html"), true,
                     item("body", {threat(ox::SE_KNOWN_VIRUS, "Virus.A")})),
        blocked_url(url("http://example.com/dir/page.html"), 0x4),
        check_error(url("http://example.com/dir/page.html"), std::make_exception_ptr(std::runtime_error("x"))),
    };
    const std::vector<std::string> violations = {"1\r\n\tsetup.exe\r\n\tVirus.A\r\n\t1\r\n\t0", "", ""};
    for (std::size_t i = 0; i < verdicts.size(); ++i) {
        SCOPED_TRACE(i);
        const ic::answer_t answer = verdicts[i]->make_answer(get, attachment);
        ASSERT_FALSE(answer.headers.empty());
        EXPECT_EQ(answer.headers.front(), (std::pair<std::string, std::string>{"X-Response-Info", "Blocked"}));
        std::string found;
        for (const auto& [name, value] : answer.headers)
            if (name == "X-Violations-Found")
                found = value;
        EXPECT_EQ(found, violations[i]);
        EXPECT_EQ(answer.headers.size(), violations[i].empty() ? 1u : 4u);
        EXPECT_TRUE(answer.request_head.empty());
        EXPECT_TRUE(answer.response_head.view().starts_with("HTTP/1.0 403 Blocked by Orvex TRAXD\r\n"));
        EXPECT_FALSE(answer.body.empty());
    }
}

} // namespace
