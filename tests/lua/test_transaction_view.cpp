#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "hook_fixture.hpp"
#include "lua/head_parser.hpp"

namespace {

using hook_test::query_t;

// The request URL the context builds from a request head.
struct url_case_t {
    const char* name;
    std::string head;
    const char* url; // plain form; "" for none
    const char* host;
    int port; // -1 for none
};

class LuaRequestUrl : public hook_test::fixture_t, public testing::WithParamInterface<url_case_t> {};

TEST_P(LuaRequestUrl, FromTheHead)
{
    const url_case_t& c = GetParam();
    auto context = make_context({{}, c.head, ""});
    const auto& url = context.request_url();
    if (std::string(c.url).empty()) {
        EXPECT_FALSE(url);
        return;
    }
    ASSERT_TRUE(url);
    EXPECT_EQ(url->to_string(1), c.url);
    EXPECT_EQ(url->host, c.host);
    EXPECT_EQ(url->port ? int(*url->port) : -1, c.port);
    EXPECT_EQ(context.request_url(), url);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, LuaRequestUrl,
    testing::Values(url_case_t{"origin_form_with_host_field", "GET /a?b=1 HTTP/1.1\r\nHost: H.example:8080\r\n\r\n",
                               "http://h.example:8080/a?b=1", "h.example", 8080},
                    url_case_t{"absolute_form_ignores_host_field",
                               "GET http://x.example:81/p HTTP/1.1\r\nHost: other.example\r\n\r\n",
                               "http://x.example:81/p", "x.example", 81},
                    url_case_t{"connect_is_https", "CONNECT x.example:443 HTTP/1.1\r\nHost: x.example:443\r\n\r\n",
                               "https://x.example", "x.example", 443},
                    url_case_t{"connect_any_case", "connect x.example:8443 HTTP/1.1\r\n\r\n", "https://x.example:8443",
                               "x.example", 8443},
                    url_case_t{"scheme_of_the_target", "GET ftp://f.example/x HTTP/1.1\r\n\r\n", "ftp://f.example/x",
                               "f.example", -1},
                    // The user part decodes to "a?x": read again from the decoded text
                    // it would make "a" the host and the real host part of a query.
                    url_case_t{"encoded_user_part_keeps_the_host", "GET http://a%3Fx@blocked.example/ HTTP/1.1\r\n\r\n",
                               "http://a?x@blocked.example", "blocked.example", -1},
                    url_case_t{"encoded_at_sign_keeps_the_host",
                               "GET http://good.example%40evil.example/ HTTP/1.1\r\n\r\n",
                               "http://good.example%40evil.example", "good.example%40evil.example", -1},
                    url_case_t{"no_host_anywhere", "GET /a HTTP/1.1\r\nAccept: */*\r\n\r\n", "", "", -1},
                    url_case_t{"unparsable_head", "GET /a HTTP/1.1\r\nbroken\r\n\r\n", "", "", -1},
                    url_case_t{"no_head", "", "", "", -1}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(LuaHeadParser, HeadSizeLimit)
{
    const std::string start = "GET / HTTP/1.1\r\nX: ";
    const std::string end = "\r\n\r\n";
    std::string head = start + std::string(65536 - start.size() - end.size(), 'a') + end;
    ASSERT_EQ(head.size(), 65536u);
    EXPECT_TRUE(ic::context::parse_request_header(orx::buffer_t(head)));
    head.insert(start.size(), "a");
    EXPECT_FALSE(ic::context::parse_request_header(orx::buffer_t(head)));

    const auto response =
        ic::context::parse_response_header(orx::buffer_t(std::string("HTTP/1.0 404 Gone\r\nA: 1\r\n\r\n")));
    ASSERT_TRUE(response);
    EXPECT_EQ(response->code, 404);
    EXPECT_EQ(response->reason, "Gone");
    EXPECT_EQ(response->version.major, 1);
    EXPECT_EQ(response->fields.get("A"), "1");
    EXPECT_FALSE(ic::context::parse_response_header(orx::buffer_t(std::string("HTTP/1.0 404 Gone\r\n"))));
}

class LuaTransactionView : public hook_test::fixture_t {
protected:
    // Runs a transaction whose hook runs `body` (t is the transaction
    // table), then returns "pass".
    void view(const std::string& body, const query_t& query)
    {
        ASSERT_TRUE(load("orvex = require('orvex')\nfunction message_hook(t)\n" + body + "\nreturn 'pass'\nend"));
        run(query);
    }
    // pcall of an expression over the transaction table kept in `t`.
    std::string error_of(const std::string& expression)
    {
        return eval("select(2, pcall(function() return " + expression + " end))");
    }
};

const query_t reqmod{{{"X-Client-IP", "192.168.1.7"},
                      {"X-Client-Username", "alice@corp.example"},
                      {"X-Multi", "one"},
                      {"X-Multi", "two"}},
                     "POST http://www.example.com/form HTTP/1.1\r\nHost: www.example.com\r\n"
                     "Content-Type: text/plain\r\nAccept: a\r\nAccept: b\r\n\r\n",
                     ""};

TEST_F(LuaTransactionView, KeysOfTheTables)
{
    view("r = {}\n"
         "r.direction = t.direction\n"
         "r.method = t.request.method\n"
         "r.accept = t.request.value('accept')\n"
         "r.missing = tostring(t.request.value('missing'))\n"
         "r.request_fields = #t.request.field\n"
         "r.first_field = t.request.field[1].name .. '=' .. t.request.field[1].value\n"
         "r.icap_multi = t.icap.value('x-multi')\n"
         "r.icap_fields = #t.icap.field\n"
         "r.status = tostring(t.response.status)\n"
         "r.reason = tostring(t.response.reason)\n"
         "r.response_fields = #t.response.field\n"
         "r.src = tostring(t.icap.src)\n"
         "r.src_is_ip = t.icap.src == orvex.ip('192.168.1.7')\n"
         "r.other = tostring(t.icap.other) .. tostring(t.request.other) .. tostring(t.other)\n"
         "r.method_stored = rawget(t.request, 'method')\n"
         "r.search_both = tostring(t.icap.search('^x-multi: two$')) .. tostring(t.icap.search({'nope', 'X-MULTI: "
         "ONE'}))\n"
         "r.search_request = tostring(t.request.search('content-type: text/.*'))\n"
         "r.search_colon = tostring(t.icap:search('.*'))\n"
         "r.search_none = tostring(t.response.search('.*'))",
         reqmod);
    const std::vector<std::pair<std::string, std::string>> expected = {
        {"direction", "request"},   {"method", "POST"},          {"accept", "a"},           {"missing", "nil"},
        {"request_fields", "4"},    {"first_field", "Accept=a"}, {"icap_multi", "one"},     {"icap_fields", "4"},
        {"status", "nil"},          {"reason", "nil"},           {"response_fields", "0"},  {"src", "192.168.1.7"},
        {"src_is_ip", "true"},      {"other", "nilnilnil"},      {"method_stored", "POST"}, {"search_both", "truetrue"},
        {"search_request", "true"}, {"search_colon", "false"},   {"search_none", "false"},
    };
    for (const auto& [key, value] : expected)
        EXPECT_EQ(eval("r." + key), value) << key;
}

TEST_F(LuaTransactionView, ResponseTransactionWithoutRequestHead)
{
    view("r = {direction = t.direction, status = t.response.status, reason = t.response.reason,\n"
         "     method = tostring(t.request.method), fields = #t.request.field,\n"
         "     server = t.response.value('Server')}",
         {{}, "", "HTTP/1.1 403 Forbidden\r\nServer: s\r\n\r\n"});
    EXPECT_EQ(eval("r.direction"), "response");
    EXPECT_EQ(eval("r.status"), "403");
    EXPECT_EQ(eval("math.type(r.status)"), "integer");
    EXPECT_EQ(eval("r.reason"), "Forbidden");
    EXPECT_EQ(eval("r.method"), "nil");
    EXPECT_EQ(eval("r.fields"), "0");
    EXPECT_EQ(eval("r.server"), "s");
}

TEST_F(LuaTransactionView, UnparsableHeadsRaiseOnlyWhereTheyAreNeeded)
{
    view("r = {}\n"
         "for _, key in ipairs({'method', 'field'}) do\n"
         "  r['request_' .. key] = select(2, pcall(function() return t.request[key] end))\n"
         "end\n"
         "r.request_value = select(2, pcall(t.request.value, 'Host'))\n"
         "r.request_search = select(2, pcall(t.request.search, '.*'))\n"
         "for _, key in ipairs({'status', 'reason', 'field'}) do\n"
         "  r['response_' .. key] = select(2, pcall(function() return t.response[key] end))\n"
         "end\n"
         "r.icap = t.icap.value('X-A')",
         {{{"X-A", "a"}}, "GET / HTTP/1.1\r\nno colon here\r\n\r\n", "HTTP/1.1 200 OK\r\n"});
    for (const char* key : {"request_method", "request_field", "request_value", "request_search"})
        EXPECT_EQ(eval(std::string("r.") + key), "failed to parse HTTP request header") << key;
    for (const char* key : {"response_status", "response_reason", "response_field"})
        EXPECT_EQ(eval(std::string("r.") + key), "failed to parse HTTP response header") << key;
    EXPECT_EQ(eval("r.icap"), "a");
}

TEST_F(LuaTransactionView, OversizedRequestHeadCannotBeParsed)
{
    const std::string start = "GET / HTTP/1.1\r\nX: ";
    const std::string head = start + std::string(65537 - start.size() - 4, 'a') + "\r\n\r\n";
    view("r = select(2, pcall(function() return t.request.method end))", {{}, head, ""});
    EXPECT_EQ(eval("r"), "failed to parse HTTP request header");
}

TEST_F(LuaTransactionView, ClientUser)
{
    struct case_t {
        const char* value; // nullptr: no field
        const char* user;
        const char* domain;
        const char* text;
    };
    for (const case_t& c :
         {case_t{"alice", "alice", "nil", "alice"},
          case_t{"alice@corp.example", "alice", "corp.example", "alice@corp.example"},
          case_t{"a@b@c", "a@b", "c", "a@b@c"}, case_t{"alice@", "alice@", "nil", "alice@"},
          case_t{"@corp", "", "corp", "@corp"}, case_t{"", "nil", "nil", ""}, case_t{nullptr, "nil", "nil", ""}}) {
        query_t query{{}, hook_test::simple_request, ""};
        if (c.value != nullptr)
            query.icap_fields.push_back({"X-Client-Username", c.value});
        view("u = t.icap.user r = {user = tostring(u.user), domain = tostring(u.domain), text = tostring(u),\n"
             "     left = '<' .. u, right = u .. '>', same = rawequal(u, t.icap.user)}",
             query);
        const std::string name = c.value ? c.value : "(absent)";
        EXPECT_EQ(eval("r.user"), c.user) << name;
        EXPECT_EQ(eval("r.domain"), c.domain) << name;
        EXPECT_EQ(eval("r.text"), c.text) << name;
        EXPECT_EQ(eval("r.left"), std::string("<") + c.text) << name;
        EXPECT_EQ(eval("r.right"), std::string(c.text) + ">") << name;
        EXPECT_EQ(eval("r.same"), "true") << name;
    }
}

TEST_F(LuaTransactionView, ClientAddress)
{
    struct case_t {
        const char* value;
        const char* src;
        bool debug_line;
    };
    for (const case_t& c : {case_t{"10.0.0.1", "10.0.0.1", false}, case_t{"2001:db8::1", "2001:db8::1", false},
                            case_t{"bogus", "nil", true}, case_t{"", "nil", false}}) {
        log->records.clear();
        view("r = tostring(t.icap.src)", {{{"X-Client-IP", c.value}}, hook_test::simple_request, ""});
        EXPECT_EQ(eval("r"), c.src) << c.value;
        const auto lines = records_with(cf_log_debug, "make_address: ");
        if (c.debug_line) {
            ASSERT_EQ(lines.size(), 1u);
            EXPECT_NE(lines[0].find("make_address: Invalid argument: bogus"), std::string::npos) << lines[0];
        } else {
            EXPECT_TRUE(lines.empty()) << c.value;
        }
    }
}

TEST_F(LuaTransactionView, ArgumentErrors)
{
    view("r = select(2, pcall(function() return t.icap.value(5) end))", reqmod);
    EXPECT_NE(eval("r").find("bad argument #1 to 'value' (string expected, got number)"), std::string::npos);
    view("r = select(2, pcall(t.icap.search, 5))", reqmod);
    EXPECT_NE(eval("r").find("must be string or array of strings"), std::string::npos);
}

// The functions and objects hanging off the tables are made on first read:
// reading one never fails, even where the heads cannot be parsed or the
// transaction is over, and gives the same value every time.
TEST_F(LuaTransactionView, MembersMadeOnFirstRead)
{
    struct case_t {
        const char* path; // from the transaction table
        const char* type;
    };
    const query_t unparsable{{}, "GET / HTTP/1.1\r\nno colon here\r\n\r\n", "HTTP/1.1 200 OK\r\n"};
    for (const case_t& c :
         {case_t{".icap", "table"}, case_t{".request", "table"}, case_t{".response", "table"}, case_t{".body", "table"},
          case_t{".icap.search", "function"}, case_t{".icap.value", "function"}, case_t{".request.search", "function"},
          case_t{".request.value", "function"}, case_t{".response.search", "function"},
          case_t{".response.value", "function"}, case_t{".request.url", "table"}, case_t{".request.url.raw", "table"},
          case_t{".request.url.categories", "function"}, case_t{".request.url.in_categories", "function"},
          case_t{".body.has_threat", "function"}, case_t{".body.threats", "function"}}) {
        const std::string during = "t" + std::string(c.path), after = "kept" + std::string(c.path);
        view("r = {type(" + during + "), rawequal(" + during + ", " + during + ")}", unparsable);
        EXPECT_EQ(eval("r[1]"), c.type) << c.path;
        EXPECT_EQ(eval("r[2]"), "true") << c.path;
        view("kept = t", unparsable);
        EXPECT_EQ(eval("type(" + after + ")"), c.type) << c.path;
        EXPECT_EQ(eval("rawequal(" + after + ", " + after + ")"), "true") << c.path;
    }
    EXPECT_EQ(eval("select(2, pcall(kept.icap.value, 'X'))"), "trying to use expired pointer");
    // A key is a name only as a whole.
    view("r = tostring(t.icap['value\\0']) .. tostring(t.request['url\\0']) .. tostring(t.request.url['raw\\0']) ..\n"
         "    tostring(t.body['threats\\0']) .. tostring(t['icap\\0']) .. tostring(t[1])",
         reqmod);
    EXPECT_EQ(eval("r"), "nilnilnilnilnilnil");
}

// A function of the transaction finds it only through a reference the
// transaction gave out: no other value, not even another light userdata,
// reaches a transaction.
TEST_F(LuaTransactionView, ForeignReferencesReachNoTransaction)
{
    struct case_t {
        const char* name;
        const char* upvalue; // put in place of the reference of t.icap.value
        const char* error;
    };
    for (const case_t& c : {case_t{"number", "5", "invalid transaction reference"},
                            case_t{"table", "{}", "invalid transaction reference"},
                            case_t{"other_light_userdata", "debug.getregistry()['ox.lua.regid_state']",
                                   "trying to use expired pointer"}}) {
        view(std::string("debug.setupvalue(t.icap.value, 1, ") + c.upvalue +
                 ")\n"
                 "r = select(2, pcall(t.icap.value, 'X-Client-IP'))",
             reqmod);
        EXPECT_EQ(eval("r"), c.error) << c.name;
    }
    // The metatable's __index makes nothing for a table without the
    // transaction's metatable.
    view("r = tostring((getmetatable(t).__index({}, 'icap'))) .. ' ' .. t.icap.value('X-Client-IP')", reqmod);
    EXPECT_EQ(eval("r"), "nil 192.168.1.7");
}

// The transaction table reads as a plain table of five keys, however many of
// its tables a script has read so far.
TEST_F(LuaTransactionView, PlainTransactionTable)
{
    for (const char* before : {"", "local _ = t.request\n", "local _ = t.icap, t.body, t.response, t.request\n"}) {
        view(std::string(before) + "next = nil\n"
                                   "local keys = {}\n"
                                   "for k, v in pairs(t) do keys[#keys + 1] = k .. ':' .. type(v) end\n"
                                   "table.sort(keys)\n"
                                   "r = table.concat(keys, ',') .. ' ' .. tostring(rawget(t, '__index')) .. ' ' ..\n"
                                   "    tostring(t.__pairs) .. ' ' .. tostring(rawequal(t.request, t.request))",
             reqmod);
        EXPECT_EQ(eval("r"), "body:table,direction:string,icap:table,request:table,response:table nil nil true")
            << before;
    }
}

// Nothing a script keeps reaches a transaction that is over.
TEST_F(LuaTransactionView, KeptTablesExpireWithTheirTransaction)
{
    ASSERT_TRUE(load("orvex = require('orvex')\n"
                     "function message_hook(t)\n"
                     "  if kept == nil then\n"
                     "    kept = t\n"
                     "    task = orvex.async(function() orvex.sleep(0.02) return pcall(t.icap.value, 'X') end)\n"
                     "    return 'pass'\n"
                     "  end\n"
                     "  r = {select(2, pcall(function() return kept.request.method end)),\n"
                     "       select(2, pcall(kept.icap.value, 'X')),\n"
                     "       select(2, pcall(function() return kept.response.field end))}\n"
                     "  return 'pass'\n"
                     "end"));
    run(reqmod);
    run(reqmod);
    EXPECT_EQ(eval("table.concat(r, ',')"),
              "trying to use expired pointer,trying to use expired pointer,trying to use expired pointer");
    EXPECT_TRUE(run_until([&] { return eval("select(2, pcall(task.wait))") != "No coroutine is running"; }));
    EXPECT_EQ(eval("select(2, task.wait())"), "trying to use expired pointer");
}

// A transaction table shows a metatable of its own to getmetatable and
// debug.getmetatable, as plain a table as a script may change: the same one
// at every call, another one for each transaction, with the one reference
// and the two metamethods; the functions keep their library behaviour for
// every other value.
TEST_F(LuaTransactionView, OwnMetatableOfEveryTransaction)
{
    struct case_t {
        const char* name;
        const char* expression; // over the transaction table t
        const char* value;
    };
    for (const case_t& c :
         {case_t{"same_at_every_call", "rawequal(getmetatable(t), getmetatable(t))", "true"},
          case_t{"same_for_debug", "rawequal(debug.getmetatable(t), getmetatable(t))", "true"},
          case_t{"debug_first", "rawequal(getmetatable(t), debug.getmetatable(t))", "true"},
          case_t{"its_keys",
                 "(function() local k = {} for key, v in next, getmetatable(t) do k[#k + 1] = tostring(key) .. ':' .. "
                 "type(v) end table.sort(k) return table.concat(k, ',') end)()",
                 "1:userdata,__index:function,__pairs:function"},
          case_t{"members_after_it", "getmetatable(t) and t.icap.value('X-Client-IP')", "192.168.1.7"},
          case_t{"members_before_it", "t.request and getmetatable(t) and t.icap.value('X-Client-IP')", "192.168.1.7"},
          case_t{"its_index_reaches_the_transaction", "getmetatable(t).__index(t, 'icap').value('X-Client-IP')",
                 "192.168.1.7"},
          case_t{"lent_to_another_table", "setmetatable({}, getmetatable(t)).icap.value('X-Client-IP')", "192.168.1.7"},
          case_t{"pairs_after_it",
                 "getmetatable(t) and (function() local n = 0 for _ in pairs(t) do n = n + 1 end "
                 "return n end)()",
                 "5"},
          case_t{"string_metatable", "rawequal(getmetatable('').__index, string)", "true"},
          case_t{"protected", "getmetatable(setmetatable({}, {__metatable = 'locked'}))", "locked"},
          case_t{"protected_for_debug", "type(debug.getmetatable(setmetatable({}, {__metatable = 'locked'})))",
                 "table"},
          case_t{"none", "tostring(getmetatable({})) .. tostring(debug.getmetatable(1))", "nilnil"},
          case_t{"no_argument", "select(2, pcall(getmetatable))", "bad argument #1 to 'getmetatable' (value expected)"},
          case_t{"no_argument_for_debug", "select(2, pcall(debug.getmetatable))",
                 "bad argument #1 to 'debug.getmetatable' (value expected)"}}) {
        view(std::string("r = tostring(") + c.expression + ")", reqmod);
        EXPECT_EQ(eval("r"), c.value) << c.name;
    }
    // What a script does to the metatable stays with its transaction.
    view("getmetatable(t).__index = nil\nr = tostring(t.icap)", reqmod);
    EXPECT_EQ(eval("r"), "nil");
    view("r = t.icap.value('X-Client-IP')", reqmod);
    EXPECT_EQ(eval("r"), "192.168.1.7");
    view("if kept ~= nil then r = tostring(rawequal(getmetatable(kept), getmetatable(t))) end\nkept = t", reqmod);
    view("if kept ~= nil then r = tostring(rawequal(getmetatable(kept), getmetatable(t))) end\nkept = t", reqmod);
    EXPECT_EQ(eval("r"), "false");
    // Once the transaction is over, its metatable reaches nothing.
    view("kept = t", reqmod);
    EXPECT_EQ(eval("type(getmetatable(kept)[1])"), "userdata");
    EXPECT_EQ(eval("select(2, pcall(kept.icap.value, 'X-Client-IP'))"), "trying to use expired pointer");
}

// Many transactions wait at once, and end in another order than they
// began: each table still reaches its own transaction, whichever were
// bound and unbound meanwhile.
TEST_F(LuaTransactionView, ManyWaitingTransactionsReachTheirOwn)
{
    ASSERT_TRUE(load("orvex = require('orvex')\n"
                     "function message_hook(t)\n"
                     "  local n = tonumber(t.request.value('X-N'))\n"
                     "  orvex.sleep(0.001 * (n % 7))\n"
                     "  seen[#seen + 1] = tostring(n == tonumber(t.icap.value('X-N')) and\n"
                     "      n == tonumber(t.body and t.request.value('X-N')))\n"
                     "  return 'pass'\n"
                     "end\n"
                     "seen = {}"));
    std::vector<std::shared_ptr<hook_test::outcome_t>> outcomes;
    for (int n = 0; n < 300; ++n) {
        const std::string number = std::to_string(n);
        outcomes.push_back(
            start(make_context({{{"X-N", number}},
                                "GET http://a.example/ HTTP/1.1\r\nHost: a.example\r\nX-N: " + number + "\r\n\r\n",
                                ""})));
    }
    EXPECT_TRUE(run_until([&] {
        for (const auto& outcome : outcomes)
            if (!outcome->done)
                return false;
        return true;
    }));
    EXPECT_EQ(eval("#seen"), "300");
    EXPECT_EQ(eval("(function() for _, v in ipairs(seen) do if v ~= 'true' then return v end end return 'all' end)()"),
              "all");
}

} // namespace
