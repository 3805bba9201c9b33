#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "checks_fixture.hpp"
#include "icap/verdicts/category_bits.hpp"

namespace {

using hook_test::query_t;

query_t reqmod(const std::string& target, const std::string& fields = "")
{
    return {{}, "GET " + target + " HTTP/1.1\r\n" + fields + "\r\n", ""};
}

constexpr std::uint32_t adult_content = 1u << 2;
constexpr std::uint32_t gambling = 1u << 5;
constexpr std::uint32_t owners_notice = 1u << 12;
constexpr std::uint32_t jobs = 1u << 16;

class LuaUrlObject : public checks_test::fixture_t {
protected:
    // Runs a hook that keeps in r what `body` computes from u, the URL
    // object, and t, the transaction table.
    void url_hook(const std::string& body, const query_t& query)
    {
        outcome = run_script("function message_hook(t)\n"
                             "  local u = t.request.url\n" +
                                 body + "\n  return 'pass'\nend",
                             query);
    }
    std::string block_reason() const { return checks_test::block_reason(*outcome); }
    std::size_t warned(const std::string& text) const
    {
        std::size_t count = 0;
        for (const std::string& warning : warnings())
            if (warning.size() >= text.size() + 2 &&
                warning.compare(warning.size() - text.size() - 2, std::string::npos, ": " + text) == 0)
                ++count;
        return count;
    }

    std::shared_ptr<hook_test::outcome_t> outcome;
};

TEST_F(LuaUrlObject, PartsPlainAndRaw)
{
    struct case_t {
        const char* name;
        query_t query;
        std::vector<std::pair<const char*, const char*>> expected;
    };
    const std::vector<case_t> cases = {
        {"all_parts",
         reqmod("http://www.Example.com:8080/a%20b/c?q=x%20y&k=v"),
         {{"u.scheme", "http"},
          {"u.host", "www.example.com"},
          {"u.port", "8080"},
          {"math.type(u.port)", "integer"},
          {"u.path", "/a b/c"},
          {"u.query", "q=x y&k=v"},
          {"tostring(u)", "http://www.example.com:8080/a b/c?q=x y&k=v"},
          {"'<' .. u", "<http://www.example.com:8080/a b/c?q=x y&k=v"},
          {"u.raw.scheme", "http"},
          {"u.raw.host", "www.example.com"},
          {"u.raw.port", "8080"},
          {"u.raw.path", "/a%20b/c"},
          {"u.raw.query", "q=x%20y&k=v"},
          {"tostring(u.raw)", "http://www.example.com:8080/a%20b/c?q=x%20y&k=v"},
          {"u.raw .. '>'", "http://www.example.com:8080/a%20b/c?q=x%20y&k=v>"}}},
        {"host_field_and_no_port",
         reqmod("/", "Host: intra.example\r\n"),
         {{"u.scheme", "http"},
          {"u.host", "intra.example"},
          {"u.port", "nil"},
          {"u.path", "/"},
          {"u.query", "nil"},
          {"u.raw.port", "nil"},
          {"tostring(u)", "http://intra.example"}}},
        {"international_host",
         reqmod("http://b\xc3\xbc"
                "cher.example/"),
         {{"u.host", "b\xc3\xbc"
                     "cher.example"},
          {"u.raw.host", "xn--bcher-kva.example"}}},
        {"connect",
         {{}, "CONNECT secure.example:443 HTTP/1.1\r\n\r\n", ""},
         {{"u.scheme", "https"},
          {"u.host", "secure.example"},
          {"u.port", "443"},
          {"tostring(u)", "https://secure.example"}}},
        // RESPMOD without a request head: an empty URL, no error.
        {"no_request_head",
         {{}, "", "HTTP/1.1 200 OK\r\n\r\n"},
         {{"u.scheme", "nil"}, {"u.host", "nil"}, {"u.port", "nil"}, {"tostring(u)", ""}, {"u.raw.host", "nil"}}},
        {"unknown_keys",
         reqmod("http://a.example/"),
         {{"u.other", "nil"}, {"u.raw.legal_url", "nil"}, {"u[1]", "nil"}}},
    };
    for (const case_t& c : cases) {
        std::string body = "r = {}\n";
        for (const auto& [expression, value] : c.expected)
            body += std::string("r[#r + 1] = tostring(") + expression + ")\n";
        url_hook(body, c.query);
        for (std::size_t i = 0; i < c.expected.size(); ++i)
            EXPECT_EQ(eval("r[" + std::to_string(i + 1) + "]"), c.expected[i].second)
                << c.name << ": " << c.expected[i].first;
    }
    EXPECT_EQ(checks.url_checks, 0);
}

// The URL is obtained before any key is looked at: even a key without a
// value raises when it cannot be.
TEST_F(LuaUrlObject, UnusableUrlRaisesForEveryKey)
{
    struct case_t {
        const char* head;
        const char* error;
    };
    for (const case_t& c : {case_t{"GET / HTTP/1.1\r\nbroken\r\n\r\n", "failed to parse HTTP request header"},
                            case_t{"GET /a HTTP/1.1\r\n\r\n", "failed to get URL from HTTP request header"}}) {
        url_hook("r = {}\n"
                 "for _, key in ipairs({'host', 'port', 'other', 'in_list'}) do\n"
                 "  r[#r + 1] = select(2, pcall(function() return u[key] end))\n"
                 "end\n"
                 "r[#r + 1] = select(2, pcall(tostring, u))\n"
                 "r[#r + 1] = select(2, pcall(tostring, u.raw))\n"
                 "r[#r + 1] = select(2, pcall(function() return u.raw.scheme end))",
                 {{}, c.head, ""});
        EXPECT_EQ(eval("#r"), "7");
        for (int i = 1; i <= 7; ++i)
            EXPECT_EQ(eval("r[" + std::to_string(i) + "]"), c.error) << c.head << " #" << i;
    }
}

TEST_F(LuaUrlObject, CategoriesAndTheBlockReason)
{
    struct case_t {
        const char* name;
        const char* call; // over u
        std::uint32_t categories;
        const char* names;        // what the loop yields
        const char* block_reason; // after the call
    };
    const std::string black_list = "url " + std::to_string(ic::black_list_bit);
    const std::string black_list_and_jobs = "url " + std::to_string(ic::black_list_bit | jobs);
    const std::vector<case_t> cases = {
        {"all", "u.categories()", adult_content | gambling, "adult_content,gambling", "url 36"},
        {"upper_case_name", "u.categories({category = 'ADULT_CONTENT'})", adult_content | gambling, "adult_content",
         "url 4"},
        {"list_of_names", "u.categories({category = {'jobs', 'gambling'}})", adult_content | gambling | jobs,
         "gambling,jobs", "url 65568"},
        {"category_not", "u.categories({category_not = 'adult_content'})", adult_content | gambling | jobs,
         "gambling,jobs", "url 65568"},
        {"both_keys", "u.categories({category = {'gambling', 'jobs'}, category_not = {'jobs'}})",
         adult_content | gambling | jobs, "gambling", "url 32"},
        {"unknown_name_only", "u.categories({category = {'nonsense'}})", adult_content, "", black_list.c_str()},
        {"nothing_classified", "u.categories()", 0, "", black_list.c_str()},
        // With a colon the filter is the URL object itself: no category keys.
        {"colon_call", "u:categories()", gambling, "gambling", "url 32"},
        // Bits without a name count for the block but are not yielded.
        {"black_list_bit", "u.categories()", ic::black_list_bit | jobs, "jobs", black_list_and_jobs.c_str()},
    };
    for (const case_t& c : cases) {
        checks.url_report.categories = c.categories;
        url_hook("r = {}\n"
                 "for name in " +
                     std::string(c.call) + " do r[#r + 1] = name end",
                 reqmod("http://site.example/"));
        EXPECT_EQ(eval("table.concat(r, ',')"), c.names) << c.name;
        EXPECT_EQ(block_reason(), c.block_reason) << c.name;
    }
}

TEST_F(LuaUrlObject, CategoryIterator)
{
    checks.url_report.categories = adult_content | gambling | jobs;
    url_hook("f, mask, start = u.categories()\n"
             "r = {math.type(mask), mask, start, f(mask, 'adult_content'), f(mask, 'jobs'), f(mask, 'bogus'),\n"
             "     f(0xFFFFFFFF, 'jobs'), select(2, pcall(f, 'x', '')), select(2, pcall(f, 1))}",
             reqmod("http://site.example/"));
    EXPECT_EQ(eval("r[1]"), "integer");
    EXPECT_EQ(eval("r[2]"), std::to_string(adult_content | gambling | jobs));
    EXPECT_EQ(eval("r[3]"), "");
    EXPECT_EQ(eval("r[4]"), "gambling");
    EXPECT_EQ(eval("r[5]"), "nil");
    EXPECT_EQ(eval("r[6]"), "adult_content");
    EXPECT_EQ(eval("r[7]"), "nil");
    EXPECT_NE(eval("r[8]").find("number expected, got string"), std::string::npos) << eval("r[8]");
    EXPECT_NE(eval("r[9]").find("string expected, got no value"), std::string::npos) << eval("r[9]");
}

TEST_F(LuaUrlObject, InCategories)
{
    struct case_t {
        const char* call;
        std::uint32_t categories;
        bool result;
        const char* block_reason;
    };
    const std::string black_list = "url " + std::to_string(ic::black_list_bit);
    const std::vector<case_t> cases = {
        {"u.in_categories({'jobs'})", 0, false, black_list.c_str()},
        {"u.in_categories({'jobs', 'gambling'})", gambling | adult_content, true, "url 32"},
        {"u:in_categories({'Adult_Content', 'gambling'})", gambling | adult_content, true, "url 36"},
        {"u.in_categories({})", gambling, false, black_list.c_str()},
        {"u.in_categories({'nonsense', 7})", gambling, false, black_list.c_str()},
        {"u.in_categories(setmetatable({}, {__len = function() return 1 end, __index = function() return 'gambling' "
         "end}))",
         gambling, true, "url 32"},
    };
    for (const case_t& c : cases) {
        checks.url_report.categories = c.categories;
        url_hook(std::string("r = ") + c.call, reqmod("http://site.example/"));
        EXPECT_EQ(eval("r"), c.result ? "true" : "false") << c.call;
        EXPECT_EQ(block_reason(), c.block_reason) << c.call;
    }
}

TEST_F(LuaUrlObject, FilterWarnings)
{
    checks.url_report.categories = gambling;
    url_hook("r = {}\n"
             "for name in u.categories({category = {'nonsense', 5, 'gambling'}}) do r[#r + 1] = name end\n"
             "r.wrong_type = tostring(u.in_categories({true}))\n"
             "for name in u.categories({category = 5, category_not = false}) do r[#r + 1] = name end",
             reqmod("http://site.example/"));
    EXPECT_EQ(eval("table.concat(r, ',')"), "gambling,gambling");
    EXPECT_EQ(warned("unknown URL category: nonsense"), 1u);
    EXPECT_EQ(warned("URL category should be string"), 2u);
    EXPECT_EQ(warned("value of invalid type found at key 'category': string or table expected, got number"), 1u);
    EXPECT_EQ(warned("value of invalid type found at key 'category_not': string or table expected, got boolean"), 1u);
    // Each warning names the line of the script that called.
    ASSERT_FALSE(warnings().empty());
    EXPECT_NE(warnings().front().find(":5: unknown URL category: nonsense"), std::string::npos) << warnings().front();
}

TEST_F(LuaUrlObject, ArgumentErrors)
{
    url_hook("r = {select(2, pcall(u.categories, 5)), select(2, pcall(u.in_categories)),\n"
             "     select(2, pcall(u.in_categories, 'jobs')), select(2, pcall(u.in_list, 'a.example'))}",
             reqmod("http://site.example/"));
    EXPECT_NE(eval("r[1]").find("bad argument #1"), std::string::npos) << eval("r[1]");
    EXPECT_NE(eval("r[1]").find("(table expected, got number)"), std::string::npos) << eval("r[1]");
    EXPECT_NE(eval("r[2]").find("(table expected, got no value)"), std::string::npos) << eval("r[2]");
    EXPECT_NE(eval("r[3]").find("(table expected, got string)"), std::string::npos) << eval("r[3]");
    EXPECT_NE(eval("r[4]").find("(table expected, got string)"), std::string::npos) << eval("r[4]");
    // A refused argument starts no check.
    EXPECT_EQ(checks.url_checks, 0);
}

TEST_F(LuaUrlObject, InList)
{
    struct case_t {
        const char* target;
        const char* list;
        bool result;
    };
    const std::vector<case_t> cases = {
        {"http://example.com/", "{'..Example.COM.'}", true},
        {"http://www.example.com/", "{'..Example.COM.'}", true},
        {"http://a.b.example.com/", "{'example.com'}", true},
        {"http://badexample.com/", "{'example.com'}", false},
        {"http://example.com.evil.example/", "{'example.com'}", false},
        {"http://example.com.example.com/", "{'example.com'}", true},
        {"http://other.example/", "{'example.com', 'other.example'}", true},
        {"http://b\xc3\xbc"
         "cher.example/",
         "{'b\xc3\xbc"
         "cher.example'}",
         true},
        {"http://www.xn--bcher-kva.example/",
         "{'b\xc3\xbc"
         "cher.example'}",
         true},
        {"http://example.com/", "{'.', ''}", false},
        {"http://example.com/", "{}", false},
        {"http://example.com/", "{5, 'example.com'}", true},
        // Read as Lua reads arrays: read-only views of settings work.
        {"http://www.example.com/",
         "setmetatable({}, {__len = function() return 2 end, __index = function(_, i) return i == 2 and 'example.com' "
         "or 'other.example' end})",
         true},
    };
    for (const case_t& c : cases) {
        url_hook(std::string("r = tostring(u.in_list(") + c.list + ")) .. tostring(u:in_list(" + c.list + "))",
                 reqmod(c.target));
        const std::string expected = c.result ? "true" : "false";
        EXPECT_EQ(eval("r"), expected + expected) << c.target << " " << c.list;
    }
    EXPECT_EQ(warned("domain should be string"), 2u);
    // The host test asks nobody and blocks for nothing.
    EXPECT_EQ(checks.url_checks, 0);
    EXPECT_EQ(block_reason(), "url " + std::to_string(ic::black_list_bit));
}

TEST_F(LuaUrlObject, InListWithoutHost)
{
    url_hook("r = u.in_list({'example.com'})", {{}, "", "HTTP/1.1 200 OK\r\n\r\n"});
    EXPECT_EQ(eval("r"), "false");
}

TEST_F(LuaUrlObject, LegalUrl)
{
    checks.url_report.categories = owners_notice;
    checks.url_report.piracy_legal_url = "http://legal.example/";
    url_hook("r = {u.legal_url, rawget(u, 'legal_url'), u.legal_url}", reqmod("http://site.example/"));
    EXPECT_EQ(eval("table.concat(r, ',')"), "http://legal.example/,http://legal.example/,http://legal.example/");
    EXPECT_EQ(checks.url_checks, 1);

    checks.url_report.piracy_legal_url.clear();
    url_hook("r = {tostring(u.legal_url), tostring(rawget(u, 'legal_url'))}", reqmod("http://site.example/"));
    EXPECT_EQ(eval("table.concat(r, ',')"), "nil,nil");
    EXPECT_EQ(checks.url_checks, 2);
}

// Tagger is asked once per transaction, however many accesses need it.
TEST_F(LuaUrlObject, OneCheckPerTransaction)
{
    checks.url_report.categories = gambling;
    url_hook("r = {tostring(u.legal_url), tostring(u.in_categories({'gambling'})), tostring(u.legal_url)}\n"
             "for name in u.categories() do r[#r + 1] = name end",
             reqmod("http://site.example/"));
    EXPECT_EQ(eval("table.concat(r, ',')"), "nil,true,nil,gambling");
    EXPECT_EQ(checks.url_checks, 1);
    url_hook("r = u.in_categories({'gambling'})", reqmod("http://site.example/"));
    EXPECT_EQ(checks.url_checks, 2);
}

TEST_F(LuaUrlObject, WithoutRequestHeadNothingIsAsked)
{
    checks.url_report.categories = gambling;
    url_hook("r = {tostring(u.in_categories({'gambling'})), tostring(u.legal_url)}\n"
             "for name in u.categories() do r[#r + 1] = name end",
             {{}, "", "HTTP/1.1 200 OK\r\n\r\n"});
    EXPECT_EQ(eval("table.concat(r, ',')"), "false,nil");
    EXPECT_EQ(checks.url_checks, 0);
}

TEST_F(LuaUrlObject, FailedCheck)
{
    struct case_t {
        const char* head;
        const char* error;
    };
    checks.url_error = ox::make_error_code(ox::EC_NO_TAGGER);
    const std::string failed = "failed to check URL: " + checks.url_error.message();
    for (const case_t& c : {case_t{"GET http://site.example/ HTTP/1.1\r\n\r\n", failed.c_str()},
                            // The errors of the URL itself come first.
                            case_t{"GET / HTTP/1.1\r\nbroken\r\n\r\n", "failed to parse HTTP request header"},
                            case_t{"GET /a HTTP/1.1\r\n\r\n", "failed to get URL from HTTP request header"}}) {
        url_hook("r = {select(2, pcall(u.categories)), select(2, pcall(u.in_categories, {'jobs'})),\n"
                 "     select(2, pcall(function() return u.legal_url end))}",
                 {{}, c.head, ""});
        for (int i = 1; i <= 3; ++i)
            EXPECT_EQ(eval("r[" + std::to_string(i) + "]"), c.error) << c.head << " #" << i;
    }
    // Each transaction asked once; the failure is kept for the others.
    EXPECT_EQ(checks.url_checks, 3);
}

// A task of the script that needs the classification while the hook's own
// check runs waits for that check instead of starting one of its own.
TEST_F(LuaUrlObject, SecondAccessWaitsForTheRunningCheck)
{
    checks.url_report.categories = gambling;
    checks.hold = true;
    ASSERT_TRUE(
        load("orvex = require('orvex')\n"
             "function message_hook(t)\n"
             "  local u = t.request.url\n"
             "  kept = u\n"
             "  local task = orvex.async(function() task_entered = true return u.in_categories({'gambling'}) end)\n"
             "  hook_entered = true\n"
             "  first = u.in_categories({'gambling'})\n"
             "  second = task.wait()\n"
             "  return 'pass'\n"
             "end"));
    auto outcome = start(make_checked(reqmod("http://site.example/")));
    ASSERT_TRUE(run_until(
        [&] { return checks.held() == 1 && eval("task_entered") == "true" && eval("hook_entered") == "true"; }));
    for (int i = 0; i < 5; ++i)
        pump();
    EXPECT_EQ(checks.held(), 1u);
    EXPECT_FALSE(outcome->done);
    // Outside any coroutine of the host nothing can wait.
    EXPECT_EQ(eval("select(2, pcall(kept.categories))"), "No coroutine is running");
    checks.release();
    ASSERT_TRUE(run_until([&] { return outcome->done; }));
    EXPECT_EQ(outcome->kind(), "allowed");
    EXPECT_EQ(eval("first"), "true");
    EXPECT_EQ(eval("second"), "true");
    EXPECT_EQ(checks.url_checks, 1);
}

// The hook's end is the transaction's end at once: a task that the same
// completed check resumes after the hook finds it over.
TEST_F(LuaUrlObject, TransactionOverAsSoonAsTheHookEnds)
{
    checks.hold = true;
    ASSERT_TRUE(load("orvex = require('orvex')\n"
                     "function message_hook(t)\n"
                     "  local u = t.request.url\n"
                     "  task = orvex.async(function()\n"
                     "    orvex.sleep(0)\n"
                     "    task_waits = true\n"
                     "    return pcall(u.in_categories, {'jobs'})\n"
                     "  end)\n"
                     "  return u.in_categories({'jobs'}) and 'block' or 'pass'\n"
                     "end"));
    auto outcome = start(make_checked(reqmod("http://site.example/")));
    ASSERT_TRUE(run_until([&] { return checks.held() == 1 && eval("task_waits") == "true"; }));
    checks.release();
    ASSERT_TRUE(run_until([&] { return eval("select(2, pcall(task.wait))") != "No coroutine is running"; }));
    EXPECT_EQ(eval("select(2, task.wait())"), "trying to use expired pointer");
    ASSERT_TRUE(run_until([&] { return outcome->done; }));
    EXPECT_EQ(outcome->kind(), "allowed");
    EXPECT_EQ(checks.url_checks, 1);
}

// A check that completes after its transaction is over stores nothing and
// resumes nobody.
TEST_F(LuaUrlObject, LateCompletionAfterTheTransaction)
{
    checks.hold = true;
    ASSERT_TRUE(load("orvex = require('orvex')\n"
                     "function message_hook(t)\n"
                     "  kept = t.request.url\n"
                     "  task = orvex.async(function() return kept.in_categories({'jobs'}) end)\n"
                     "  return 'pass'\n"
                     "end"));
    auto outcome = run(make_checked(reqmod("http://site.example/")));
    EXPECT_EQ(outcome->kind(), "allowed");
    ASSERT_EQ(checks.held(), 1u);
    outcome.reset();
    checks.release();
    for (int i = 0; i < 5; ++i)
        pump();
    EXPECT_EQ(eval("select(2, pcall(function() return kept.host end))"), "trying to use expired pointer");
}

} // namespace
