// The block pages shipped in templates/: every kind of block has its words
// in each language, and nothing the blocked message or the scanner supplies
// reaches the page unescaped.

#include <gtest/gtest.h>

#include <functional>
#include <set>
#include <stdexcept>
#include <string>
#include <vector>

#include "app/core/inventory.hpp"
#include "icap/verdicts/template_store.hpp"
#include "scan_report_builder.hpp"
#include "verdict_fixture.hpp"

namespace {

using namespace test_verdicts;
using test_reports::item;
using test_reports::threat;

class sample_templates_test : public fixture_t {
protected:
    // The page without its time stamp.
    static std::string text(const ic::block_page_t& page)
    {
        const std::string body = page.second.str();
        return body.substr(0, body.find("<footer>"));
    }

    const ic::template_store_t& store() const { return *inventory->template_store; }
};

const std::vector<std::string> languages = {"en", "de"};

TEST_F(sample_templates_test, hostile_values_are_escaped)
{
    const auto hostile_url = url("http://example.com/<script>alert(\"x\")</script>?q=<i>&r='1'");
    const std::string escaped_url =
        "http://example.com/&lt;script&gt;alert(&quot;x&quot;)&lt;/script&gt;?q=&lt;i&gt;&amp;r=&#39;1&#39;";
    const std::string hostile_threat = "<img src=x onerror=\"alert('x')\">&";
    const std::string escaped_threat = "&lt;img src=x onerror=&quot;alert(&#39;x&#39;)&quot;&gt;&amp;";
    const std::string hostile_legal = "http://legal.example/?a=\"><script>alert(1)</script>";
    const std::string escaped_legal = "http://legal.example/?a=&quot;&gt;&lt;script&gt;alert(1)&lt;/script&gt;";
    const auto report = item("body", {threat(ox::SE_KNOWN_VIRUS, hostile_threat)});

    struct case_t {
        const char* name;
        std::function<ic::block_page_t(const std::string&)> render;
        std::vector<std::string> escaped;
    };
    const case_t cases[] = {
        {"threat",
         [&](const auto& l) { return store().render_threat_found(*threat_found(hostile_url, true, report), l); },
         {escaped_url, escaped_threat}},
        {"check_error",
         [&](const auto& l) {
             return store().render_check_error(
                 *check_error(hostile_url, std::make_exception_ptr(std::runtime_error("<b>"))), l);
         },
         {escaped_url}},
        {"legal_url",
         [&](const auto& l) { return store().render_blocked_url(*blocked_url(hostile_url, 0x1000, hostile_legal), l); },
         {escaped_url, "href=\"" + escaped_legal + "\"", ">" + escaped_legal + "</a>"}},
        // A link target that is no web address is not followed.
        {"script_legal_url",
         [&](const auto& l) {
             return store().render_blocked_url(*blocked_url(hostile_url, 0x1000, "javascript:alert(1)"), l);
         },
         {"href=\"#\"", ">javascript:alert(1)</a>"}},
    };
    for (const std::string& language : languages) {
        for (const case_t& c : cases) {
            SCOPED_TRACE(language + " " + c.name);
            const std::string page = c.render(language).second.str();
            for (const std::string& escaped : c.escaped)
                EXPECT_NE(page.find(escaped), std::string::npos) << escaped << "\n" << page;
            for (const char* raw : {"<script", "<img", "<i>", "<b>", "javascript:alert(1)\""})
                EXPECT_EQ(page.find(raw), std::string::npos) << raw << "\n" << page;
        }
    }
    EXPECT_TRUE(records(cf_log_error).empty());
}

TEST_F(sample_templates_test, each_block_has_its_words)
{
    const auto address = url("http://example.com/x");
    const auto report = item("body", {threat(ox::SE_KNOWN_VIRUS, "Virus.A")});
    const auto error = std::make_exception_ptr(std::runtime_error("x"));
    struct case_t {
        std::function<ic::block_page_t(const std::string&)> render;
        std::vector<std::string> en;
        std::vector<std::string> de;
    };
    const case_t cases[] = {
        {[&](const auto& l) { return store().render_threat_found(*threat_found(address, true, report), l); },
         {"http://example.com/x", "The download carries the threat <strong>Virus.A</strong>"},
         {"http://example.com/x", "Der Download enthält die Bedrohung <strong>Virus.A</strong>"}},
        {[&](const auto& l) { return store().render_threat_found(*threat_found(nullptr, false, report), l); },
         {"The data was blocked.", "The upload carries the threat"},
         {"Die Daten wurden gesperrt.", "Der Upload enthält die Bedrohung"}},
        {[&](const auto& l) { return store().render_check_error(*check_error(address, error), l); },
         {"could not be checked"},
         {"nicht geprüft werden"}},
        {[&](const auto& l) { return store().render_blocked_url(*blocked_url(address, 0x1000), l); },
         {"notice of a copyright owner"},
         {"Hinweis eines Rechteinhabers"}},
        {[&](const auto& l) { return store().render_blocked_url(*blocked_url(nullptr, 0), l); },
         {"black list"},
         {"schwarzen Liste"}},
    };
    for (const case_t& c : cases) {
        for (const std::string& language : languages) {
            SCOPED_TRACE(language);
            const ic::block_page_t page = c.render(language);
            const std::string body = page.second.str();
            for (const std::string& words : language == "en" ? c.en : c.de)
                EXPECT_NE(body.find(words), std::string::npos) << words << "\n" << body;
            // The time stamp is filled in.
            EXPECT_EQ(body.find("<footer></footer>"), std::string::npos);
            EXPECT_NE(body.find("<footer>"), std::string::npos);
        }
    }
}

// Each category reads differently, so every category section has words.
TEST_F(sample_templates_test, every_category_has_words)
{
    const auto address = url("http://example.com/");
    std::vector<std::uint32_t> bits;
    for (int n = 1; n <= 17; ++n)
        bits.push_back(std::uint32_t{1} << (n - 1));
    bits.push_back(0x20000000);
    for (const std::string& language : languages) {
        SCOPED_TRACE(language);
        std::set<std::string> pages;
        for (const std::uint32_t bit : bits)
            pages.insert(text(store().render_blocked_url(*blocked_url(address, bit), language)));
        EXPECT_EQ(pages.size(), bits.size());
    }
}

} // namespace
