#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "checks_fixture.hpp"
#include "icap/verdicts/category_bits.hpp"
#include "icap/verdicts/summary.hpp"

namespace {

using checks_test::report_of;
using hook_test::query_t;

const query_t respmod{{},
                      "GET http://site.example/file HTTP/1.1\r\nHost: site.example\r\n\r\n",
                      "HTTP/1.1 200 OK\r\nContent-Type: application/Zip; name=\"a;b\"\r\n\r\n"};
const query_t reqmod{{}, "POST http://site.example/form HTTP/1.1\r\nContent-Type: text/plain\r\n\r\n", ""};

const std::vector<std::pair<ox::VirusType, std::string>> mixed = {
    {ox::SE_ADWARE, "Ad.One"}, {ox::SE_JOKE, "Joke.Two"}, {ox::SE_KNOWN_VIRUS, "Virus.Three"}};

class LuaBodyTable : public checks_test::fixture_t {
protected:
    void body_hook(const std::string& body, const query_t& query = respmod, bool with_body = true,
                   bool block_unchecked = false)
    {
        outcome = run_script("function message_hook(t)\n"
                             "  local b = t.body\n" +
                                 body + "\n  return 'pass'\nend",
                             query, with_body, block_unchecked);
    }
    std::string block_reason() const { return checks_test::block_reason(*outcome); }

    std::shared_ptr<hook_test::outcome_t> outcome;
    const std::string unchanged = "url " + std::to_string(ic::black_list_bit);
};

TEST_F(LuaBodyTable, HasThreat)
{
    struct case_t {
        const char* call;
        std::vector<std::pair<ox::VirusType, std::string>> threats;
        bool result;
        std::string block_reason;
    };
    const std::vector<case_t> cases = {
        {"b.has_threat()", mixed, true, "threat 4294967295"},
        {"b.has_threat({category = 'adware'})", mixed, true, "threat 8"},
        {"b.has_threat({category = 'ADWARE'})", mixed, true, "threat 8"},
        {"b.has_threat({category = {'dialer', 'hacktool'}})", mixed, false, unchanged},
        // The block names the whole filter, not only the class found.
        {"b.has_threat({category = {'dialer', 'joke'}})", mixed, true, "threat 48"},
        {"b.has_threat({category_not = {'adware', 'joke'}})", {{ox::SE_ADWARE, "Ad"}}, false, unchanged},
        {"b.has_threat({category_not = 'adware'})", mixed, true, "threat " + std::to_string(0xFFFFFFFFu & ~8u)},
        {"b.has_threat({category = 'nonsense'})", mixed, false, unchanged},
        // With a colon the filter is the body table: no category keys.
        {"b:has_threat()", {{ox::SE_RISKWARE, "Risk"}}, true, "threat 4294967295"},
        {"b.has_threat()", {}, false, unchanged},
    };
    for (const case_t& c : cases) {
        checks.scan_report = report_of(c.threats);
        body_hook(std::string("r = ") + c.call);
        EXPECT_EQ(eval("r"), c.result ? "true" : "false") << c.call;
        EXPECT_EQ(block_reason(), c.block_reason) << c.call;
    }
    EXPECT_EQ(checks.body_checks, int(cases.size()));
}

TEST_F(LuaBodyTable, Threats)
{
    struct case_t {
        const char* filter;
        const char* yielded;
        std::string block_reason;
    };
    const std::vector<case_t> cases = {
        {"", "adware:Ad.One,joke:Joke.Two,known_virus:Virus.Three", "threat 4294967295"},
        {"{category_not = {'joke'}}", "adware:Ad.One,known_virus:Virus.Three",
         "threat " + std::to_string(0xFFFFFFFFu & ~0x20u)},
        {"{category = {'known_virus', 'joke'}}", "joke:Joke.Two,known_virus:Virus.Three", "threat 33"},
        {"{category = 'dialer'}", "", unchanged},
    };
    checks.scan_report = report_of(mixed);
    for (const case_t& c : cases) {
        body_hook("r = {}\n"
                  "for threat in b.threats(" +
                  std::string(c.filter) + ") do r[#r + 1] = threat.type .. ':' .. threat.name end");
        EXPECT_EQ(eval("table.concat(r, ',')"), c.yielded) << c.filter;
        EXPECT_EQ(block_reason(), c.block_reason) << c.filter;
    }
    body_hook("f, view, start = b.threats()\n"
              "r2 = {tostring(start), select(2, pcall(f)), select(2, pcall(f, {}))}");
    EXPECT_EQ(eval("r2[1]"), "nil");
    EXPECT_NE(eval("r2[2]").find("bad argument #1"), std::string::npos) << eval("r2[2]");
    EXPECT_NE(eval("r2[3]").find("bad argument #1"), std::string::npos) << eval("r2[3]");
    // The view keeps the summary alive after the transaction.
    EXPECT_EQ(eval("f(view).name"), "Ad.One");
    EXPECT_EQ(eval("f(view).name"), "Joke.Two");
}

// A threat found and blocked becomes a threat verdict whose summary blocks
// for the filter's classes.
TEST_F(LuaBodyTable, BlockAfterThreatFound)
{
    checks.scan_report = report_of(mixed);
    ASSERT_TRUE(load("function message_hook(t)\n"
                     "  if t.body.has_threat({category = 'adware'}) then return 'block' end\n"
                     "  return 'pass'\n"
                     "end"));
    auto outcome = run(make_checked(respmod));
    ASSERT_EQ(outcome->kind(), "threat_found");
    EXPECT_EQ(outcome->as<ic::threat_found_t>().summary->block_set, 0x8u);
}

TEST_F(LuaBodyTable, WithoutBodyNothingIsScanned)
{
    body_hook("r = {tostring(b.has_threat()), tostring(b.scan_error)}\n"
              "for threat in b.threats() do r[#r + 1] = threat.name end",
              respmod, false);
    EXPECT_EQ(eval("table.concat(r, ',')"), "false,nil");
    EXPECT_EQ(checks.body_checks, 0);
    EXPECT_EQ(outcome->kind(), "allowed");
    EXPECT_FALSE(outcome->as<ic::allowed_t>().body);
}

TEST_F(LuaBodyTable, OneScanPerTransaction)
{
    checks.scan_report = report_of(mixed);
    body_hook("r = {tostring(b.has_threat({category = 'joke'})), tostring(b.has_threat({category = 'dialer'}))}\n"
              "for threat in b.threats() do r[#r + 1] = threat.name end");
    EXPECT_EQ(eval("table.concat(r, ',')"), "true,false,Ad.One,Joke.Two,Virus.Three");
    EXPECT_EQ(checks.body_checks, 1);
    EXPECT_EQ(getter_calls, 1);
    EXPECT_EQ(checks.delivered, body_stream);
    // The message passes with the body the scan handed back.
    ASSERT_EQ(outcome->kind(), "allowed");
    EXPECT_EQ(outcome->as<ic::allowed_t>().body, checks.read_back);
}

TEST_F(LuaBodyTable, ScanError)
{
    struct case_t {
        const char* name;
        int error; // 0: none
        const char* script;
        const char* result;
        std::string block_reason;
    };
    const std::vector<case_t> cases = {
        {"before_any_scan", ox::SE_PASSWORD_PROTECTED, "r = tostring(b.scan_error)", "nil", unchanged},
        {"after_scan", ox::SE_PASSWORD_PROTECTED, "b.has_threat() r = b.scan_error .. ',' .. rawget(b, 'scan_error')",
         "password_protected,password_protected", "scan error " + std::to_string(ox::SE_PASSWORD_PROTECTED)},
        // A limit alone is no scan error.
        {"limit", ox::SE_ARCHIVE_LEVEL_LIMIT, "b.has_threat({category = 'dialer'}) r = tostring(b.scan_error)", "nil",
         unchanged},
        {"no_error", 0, "b.has_threat({category = 'dialer'}) r = tostring(b.scan_error)", "nil", unchanged},
        {"undefined_value", 999, "b.has_threat() r = b.scan_error", "999", "scan error 999"},
        // Once stored, a second read does not take the block back from the
        // threat found meanwhile.
        {"stored_once", ox::SE_PASSWORD_PROTECTED,
         "b.has_threat({category = 'dialer'}) local e = b.scan_error b.has_threat({category = 'adware'})\n"
         "r = e .. ',' .. b.scan_error",
         "password_protected,password_protected", "threat 8"},
    };
    for (const case_t& c : cases) {
        checks.scan_report = report_of({{ox::SE_ADWARE, "Ad"}}, c.error);
        body_hook(c.script);
        EXPECT_EQ(eval("r"), c.result) << c.name;
        EXPECT_EQ(block_reason(), c.block_reason) << c.name;
    }
    EXPECT_EQ(checks.body_checks, 5);
}

TEST_F(LuaBodyTable, FailedScan)
{
    checks.scan_error = ox::make_error_code(ox::EC_PROTOCOL_VIOLATION);
    body_hook("r = {select(2, pcall(b.has_threat)), select(2, pcall(b.threats)), tostring(b.scan_error)}");
    const std::string failed = "failed to check message body: " + checks.scan_error.message();
    EXPECT_EQ(eval("r[1]"), failed);
    EXPECT_EQ(eval("r[2]"), failed);
    EXPECT_EQ(eval("r[3]"), "nil");
    EXPECT_EQ(checks.body_checks, 1);
}

TEST_F(LuaBodyTable, FilterWarningsAndArguments)
{
    checks.scan_report = report_of(mixed);
    body_hook("r = {tostring(b.has_threat({category = {'nonsense', 1, 'joke'}})),\n"
              "     tostring(b.has_threat({category = 2})),\n"
              "     select(2, pcall(b.has_threat, 'adware')), select(2, pcall(b.threats, 5))}");
    EXPECT_EQ(eval("r[1]"), "true");
    EXPECT_EQ(eval("r[2]"), "true");
    EXPECT_NE(eval("r[3]").find("(table expected, got string)"), std::string::npos) << eval("r[3]");
    EXPECT_NE(eval("r[4]").find("(table expected, got number)"), std::string::npos) << eval("r[4]");
    const std::vector<std::string> expected = {
        "unknown threat category: nonsense", "threat category should be string",
        "value of invalid type found at key 'category': string or table expected, got number"};
    const std::vector<std::string> found = warnings();
    ASSERT_EQ(found.size(), expected.size());
    for (std::size_t i = 0; i < expected.size(); ++i)
        EXPECT_NE(found[i].find("]:" + std::to_string(i < 2 ? 4 : 5) + ": " + expected[i]), std::string::npos)
            << found[i];
}

TEST_F(LuaBodyTable, ContentTypeFollowsTheDirection)
{
    body_hook("r = {b.content_type.type, b.content_type.subtype, tostring(rawequal(b.content_type, "
              "t.response.content_type))}");
    EXPECT_EQ(eval("table.concat(r, ',')"), "application,zip,true");
    body_hook("r = {b.content_type.type, tostring(rawequal(b.content_type, t.request.content_type))}", reqmod);
    EXPECT_EQ(eval("table.concat(r, ',')"), "text,true");
    EXPECT_EQ(checks.body_checks, 0);
}

// A task of the script that needs the scan while the hook's own scan runs
// waits for its outcome; it never takes the message for one without a body.
TEST_F(LuaBodyTable, SecondAccessWaitsForTheRunningScan)
{
    checks.scan_report = report_of(mixed);
    checks.hold = true;
    ASSERT_TRUE(load("orvex = require('orvex')\n"
                     "function message_hook(t)\n"
                     "  local task = orvex.async(function()\n"
                     "    task_entered = true\n"
                     "    local names = {}\n"
                     "    for threat in t.body.threats({category = 'joke'}) do names[#names + 1] = threat.name end\n"
                     "    return table.concat(names, ',')\n"
                     "  end)\n"
                     "  hook_entered = true\n"
                     "  first = t.body.has_threat()\n"
                     "  second = task.wait()\n"
                     "  return 'pass'\n"
                     "end"));
    auto outcome = start(make_checked(respmod));
    ASSERT_TRUE(run_until(
        [&] { return checks.held() == 1 && eval("task_entered") == "true" && eval("hook_entered") == "true"; }));
    for (int i = 0; i < 5; ++i)
        pump();
    EXPECT_FALSE(outcome->done);
    EXPECT_EQ(checks.held(), 1u);
    checks.release();
    ASSERT_TRUE(run_until([&] { return outcome->done; }));
    EXPECT_EQ(eval("first"), "true");
    EXPECT_EQ(eval("second"), "Joke.Two");
    EXPECT_EQ(checks.body_checks, 1);
    ASSERT_EQ(outcome->kind(), "allowed");
    EXPECT_EQ(outcome->as<ic::allowed_t>().body, checks.read_back);
}

// Without Vetter nothing of the body was read and the check hands it back
// whole with its failure: the transaction keeps it, so that the message
// passes unchanged when unchecked messages are not blocked. A body that is
// lost cannot pass.
TEST_F(LuaBodyTable, VetterUnavailableKeepsTheBody)
{
    struct case_t {
        bool given_back;
        bool block_unchecked;
        const char* verdict;
    };
    preview.body->push_back({"", orx::buffer_t(std::string("preview data")), {}});
    checks.vetter_available = false;
    for (const case_t& c : {case_t{true, false, "allowed"}, case_t{true, true, "check_error"},
                            case_t{false, false, "check_error"}, case_t{false, true, "check_error"}}) {
        const std::string name = std::string(c.given_back ? "given back" : "lost") +
                                 (c.block_unchecked ? ", unchecked blocked" : ", unchecked pass");
        checks.body_given_back = c.given_back;
        ASSERT_TRUE(load("function message_hook(t)\n"
                         "  if t.body.has_threat() then return 'block' end\n"
                         "  return 'pass'\n"
                         "end",
                         c.block_unchecked));
        auto outcome = run(make_checked(respmod));
        ASSERT_EQ(outcome->kind(), c.verdict) << name;
        const auto& context = *outcome->context;
        ASSERT_TRUE(context.body_check_error);
        EXPECT_EQ(*context.body_check_error, ox::make_error_code(ox::EC_NO_VETTER)) << name;
        EXPECT_EQ(context.body_stream, c.given_back ? checks.read_back : nullptr) << name;
        EXPECT_EQ(context.preview.body, preview.body) << name;
        if (outcome->kind() == "allowed") {
            EXPECT_EQ(outcome->as<ic::allowed_t>().body, checks.read_back) << name;
            EXPECT_EQ(outcome->as<ic::allowed_t>().preview.body, preview.body) << name;
        }
    }
    EXPECT_EQ(getter_calls, 4);
}

TEST_F(LuaBodyTable, KeptTableExpires)
{
    body_hook("kept = t.body");
    body_hook("r = {select(2, pcall(kept.has_threat)), select(2, pcall(function() return kept.scan_error end)),\n"
              "     select(2, pcall(function() return kept.content_type end))}");
    EXPECT_EQ(eval("table.concat(r, ',')"),
              "trying to use expired pointer,trying to use expired pointer,trying to use expired pointer");
    EXPECT_EQ(checks.body_checks, 0);
}

} // namespace
