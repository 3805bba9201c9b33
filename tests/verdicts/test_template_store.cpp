// Block pages: the 403 head, the template of the chosen language, the
// dictionary of each kind of block, the time stamp, and the template cache
// following the settings.

#include "icap/verdicts/template_store.hpp"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <optional>
#include <ostream>
#include <stdexcept>
#include <string>
#include <vector>

#include "app/core/inventory.hpp"
#include "scan_report_builder.hpp"
#include "template_dir.hpp"
#include "verdict_fixture.hpp"

namespace {

using namespace test_verdicts;
using test_reports::item;
using test_reports::threat;

// Thu, 10 Dec 2026 18:43:42 GMT
constexpr std::time_t december = 1796928222;

// Local time one hour east of Greenwich while it lives.
class zone_t {
public:
    explicit zone_t(const char* zone)
    {
        if (const char* old = std::getenv("TZ"))
            saved_ = old;
        ::setenv("TZ", zone, 1);
        ::tzset();
    }
    ~zone_t()
    {
        if (saved_)
            ::setenv("TZ", saved_->c_str(), 1);
        else
            ::unsetenv("TZ");
        ::tzset();
    }

private:
    std::optional<std::string> saved_;
};

class template_store_test : public fixture_t {
protected:
    // The templates of the case under a directory of their own, made the
    // templates directory through the settings.
    void use(const std::map<std::string, std::string>& templates)
    {
        for (const auto& [language, text] : templates)
            dir.add(language, text);
        apply_templates_dir(dir.root().string());
        log->records.clear();
    }

    std::string head(std::size_t length, bool typed, const char* date = "Thu, 10 Dec 2026 18:43:42 GMT") const
    {
        return "HTTP/1.0 403 Blocked by Orvex TRAXD\r\nContent-Length: " + std::to_string(length) + "\r\n" +
               (typed ? "Content-Type: text/html\r\n" : "") + "Date: " + date + "\r\n\r\n";
    }

    test_templates::template_dir_t dir;
};

struct page_case_t {
    const char* name;
    std::map<std::string, std::string> templates;
    std::string accept_language;
    std::string body;
    // The Error record a failed expansion leaves, naming the template.
    const char* failed_template = nullptr;
};

void PrintTo(const page_case_t& c, std::ostream* out)
{
    *out << c.name;
}

class template_store_page_test : public template_store_test, public testing::WithParamInterface<page_case_t> {};

TEST_P(template_store_page_test, head_and_body)
{
    const page_case_t& c = GetParam();
    use(c.templates);
    ctemplate::TemplateDictionary dictionary("test");
    const ic::block_page_t page = ic::render_block_page(dictionary, c.accept_language, december);
    EXPECT_EQ(page.second.str(), c.body);
    EXPECT_EQ(page.first.str(), head(c.body.size(), !c.body.empty()));
    const std::vector<std::string> expected_errors =
        c.failed_template ? std::vector<std::string>{"Cannot expand block page template " + dir.root().string() + "/" +
                                                     c.failed_template}
                          : std::vector<std::string>{};
    EXPECT_EQ(records(cf_log_error), expected_errors);
}

INSTANTIATE_TEST_SUITE_P(
    cases, template_store_page_test,
    testing::Values(
        page_case_t{"english", {{"en", "<p>blocked</p>"}}, "", "<p>blocked</p>"},
        page_case_t{"whitespace_stripped", {{"en", "  <p>\n   a  b\n  </p>  \n"}}, "", "<p>a  b</p>"},
        page_case_t{"language_chosen", {{"en", "EN"}, {"de", "DE"}}, "de-DE, en;q=0.5", "DE"},
        page_case_t{"fallback_language", {{"en", "EN"}, {"de", "DE"}}, "fr", "EN"},
        // A page that expands to nothing goes out empty, without a type.
        page_case_t{"empty_page", {{"en", "{{! nothing to say }}\n"}}, "", ""},
        // Expansion failures leave the page empty, but never silently.
        page_case_t{"no_english_template", {{"de", "DE"}}, "", "", "en/block_traxd.tpl"},
        page_case_t{"no_english_template_for_other_language", {{"de", "DE"}}, "it", "", "en/block_traxd.tpl"},
        page_case_t{"broken_template", {{"en", "<p>{{#OPEN}}never closed</p>"}}, "", "", "en/block_traxd.tpl"},
        page_case_t{"broken_chosen_template", {{"en", "EN"}, {"de", "{{/CLOSE}}"}}, "de", "", "de/block_traxd.tpl"}),
    [](const auto& info) { return std::string(info.param.name); });

using template_store_time_test = template_store_test;

// The local time in the language's own medium format, with the zone the
// process has; the Date field in GMT.
TEST_F(template_store_time_test, timestamp_and_date)
{
    const zone_t zone("CET-1");
    use({{"en", "{{TIMESTAMP}}"}, {"de", "{{TIMESTAMP}}"}});
    struct case_t {
        const char* language;
        std::time_t time;
        std::string stamp;
        const char* date;
    };
    const case_t cases[] = {
        {"de", december, "10.12.2026, 19:43:42", "Thu, 10 Dec 2026 18:43:42 GMT"},
        {"en", december, "Dec 10, 2026, 7:43:42\u202fPM", "Thu, 10 Dec 2026 18:43:42 GMT"},
        {"de", 1814421904, "01.07.2027, 07:05:04", "Thu, 01 Jul 2027 06:05:04 GMT"},
    };
    for (const case_t& c : cases) {
        SCOPED_TRACE(c.language);
        ctemplate::TemplateDictionary dictionary("test");
        const ic::block_page_t page = ic::render_block_page(dictionary, c.language, c.time);
        EXPECT_EQ(page.second.str(), c.stamp);
        EXPECT_EQ(page.first.str(), head(c.stamp.size(), true, c.date));
    }
}

// Every name a template can use, each printed when set.
std::string vocabulary()
{
    std::string text = "{{#HAS_URL}}URL={{URL}};{{/HAS_URL}}{{#HAS_LEGAL_URL}}LEGAL_URL={{LEGAL_URL}};{{/"
                       "HAS_LEGAL_URL}}THREAT={{THREAT}};";
    for (const char* section : {"HAS_URL",
                                "HAS_NO_URL",
                                "THREAT_DOWNLOAD",
                                "THREAT_UPLOAD",
                                "CHECK_ERROR",
                                "HAS_LEGAL_URL",
                                "OWNERS_NOTICE",
                                "INFECTION_SOURCE",
                                "NOT_RECOMMENDED",
                                "BLACK_LIST",
                                "BLOCKED_URL",
                                "UC_INFECTION_SOURCE",
                                "UC_NOT_RECOMMENDED",
                                "UC_ADULT_CONTENT",
                                "UC_VIOLENCE",
                                "UC_WEAPONS",
                                "UC_GAMBLING",
                                "UC_DRUGS",
                                "UC_OBSCENE_LANGUAGE",
                                "UC_CHATS",
                                "UC_TERRORISM",
                                "UC_FREE_EMAIL",
                                "UC_SOCIAL_NETWORKS",
                                "UC_OWNERS_NOTICE",
                                "UC_ONLINE_GAMES",
                                "UC_ANONYMIZERS",
                                "UC_CRYPTOCURRENCY_MINING_POOLS",
                                "UC_JOBS",
                                "UC_BLACK_LIST"})
        text += std::string("{{#") + section + "}}" + section + ";{{/" + section + "}}";
    return text;
}

using template_store_dictionary_test = template_store_test;

TEST_F(template_store_dictionary_test, each_kind_fills_its_names)
{
    use({{"en", vocabulary()}});
    const auto address = url("http://example.com:8080/dir/file.exe?a=1");
    const auto runtime_error = std::make_exception_ptr(std::runtime_error("the text stays in the log"));
    const auto report = item("body", {threat(ox::SE_ADWARE, "Ad.Gen"), threat(ox::SE_KNOWN_VIRUS, "Virus.Main")});
    struct case_t {
        const char* name;
        std::function<ic::block_page_t()> render;
        std::string body;
    };
    const ic::template_store_t& store = *inventory->template_store;
    const std::string with_url = "URL=http://example.com:8080/dir/file.exe?a=1;";
    const case_t cases[] = {
        {"threat_download", [&] { return store.render_threat_found(*threat_found(address, true, report), ""); },
         with_url + "THREAT=Virus.Main;HAS_URL;THREAT_DOWNLOAD;"},
        {"threat_upload_without_url",
         [&] { return store.render_threat_found(*threat_found(nullptr, false, report, 0x8), ""); },
         "THREAT=Ad.Gen;HAS_NO_URL;THREAT_UPLOAD;"},
        {"check_error", [&] { return store.render_check_error(*check_error(address, runtime_error), ""); },
         with_url + "THREAT=;HAS_URL;CHECK_ERROR;"},
        {"infection_source", [&] { return store.render_blocked_url(*blocked_url(address, 0x1), ""); },
         with_url + "THREAT=;HAS_URL;INFECTION_SOURCE;UC_INFECTION_SOURCE;"},
        {"not_recommended_before_owners_notice",
         [&] { return store.render_blocked_url(*blocked_url(address, 0x1002, "http://legal.example/"), ""); },
         with_url + "THREAT=;HAS_URL;NOT_RECOMMENDED;UC_NOT_RECOMMENDED;"},
        {"owners_notice_with_legal_url",
         [&] { return store.render_blocked_url(*blocked_url(address, 0x1000, "http://legal.example/"), ""); },
         with_url + "LEGAL_URL=http://legal.example/;THREAT=;HAS_URL;HAS_LEGAL_URL;OWNERS_NOTICE;UC_OWNERS_NOTICE;"},
        {"owners_notice_without_legal_url", [&] { return store.render_blocked_url(*blocked_url(address, 0x1000), ""); },
         with_url + "THREAT=;HAS_URL;OWNERS_NOTICE;UC_OWNERS_NOTICE;"},
        {"other_category", [&] { return store.render_blocked_url(*blocked_url(address, 0x4 | 0x10000), ""); },
         with_url + "THREAT=;HAS_URL;BLOCKED_URL;UC_ADULT_CONTENT;"},
        {"last_category", [&] { return store.render_blocked_url(*blocked_url(address, 0x10000), ""); },
         with_url + "THREAT=;HAS_URL;BLOCKED_URL;UC_JOBS;"},
        {"black_list", [&] { return store.render_blocked_url(*blocked_url(address, 0x20000000), ""); },
         with_url + "THREAT=;HAS_URL;BLACK_LIST;UC_BLACK_LIST;"},
        {"unspecified_reads_as_black_list",
         [&] { return store.render_blocked_url(*blocked_url(address, 0x40000000), ""); },
         with_url + "THREAT=;HAS_URL;BLACK_LIST;UC_BLACK_LIST;"},
        {"without_url_black_list", [&] { return store.render_blocked_url(*blocked_url(nullptr, 0x4), ""); },
         "THREAT=;HAS_NO_URL;BLACK_LIST;UC_BLACK_LIST;"},
    };
    for (const case_t& c : cases) {
        SCOPED_TRACE(c.name);
        const ic::block_page_t page = c.render();
        EXPECT_EQ(page.second.str(), c.body);
    }
    EXPECT_TRUE(records(cf_log_error).empty());
}

using template_store_settings_test = template_store_test;

// A new templates directory takes effect with the settings; a template
// changed on disk is read again after the next settings, not before.
TEST_F(template_store_settings_test, cache_follows_the_settings)
{
    const auto render = [] {
        ctemplate::TemplateDictionary dictionary("test");
        return ic::render_block_page(dictionary, "", december).second.str();
    };
    use({{"en", "first root"}});
    EXPECT_EQ(render(), "first root");

    test_templates::template_dir_t other;
    other.add("en", "second root");
    apply_templates_dir(other.root().string());
    EXPECT_EQ(render(), "second root");

    const auto file = other.root() / "en" / "block_traxd.tpl";
    const auto written = std::filesystem::last_write_time(file);
    other.add("en", "edited");
    std::filesystem::last_write_time(file, written + std::chrono::seconds(10));
    EXPECT_EQ(render(), "second root");
    apply_templates_dir(other.root().string());
    EXPECT_EQ(render(), "edited");

    // So is a template that was missing.
    const auto later = dir.root() / "later";
    apply_templates_dir(later.string());
    EXPECT_EQ(render(), "");
    std::filesystem::create_directories(later / "en");
    std::ofstream(later / "en" / "block_traxd.tpl") << "appeared";
    EXPECT_EQ(render(), "");
    apply_templates_dir(later.string());
    EXPECT_EQ(render(), "appeared");
}

} // namespace
