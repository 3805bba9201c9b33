#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <vector>

#include "checks_fixture.hpp"
#include "lua/media_type.hpp"

namespace {

ic::context::media_type_t parse(const char* content_type)
{
    io::http::param_map_t fields;
    if (content_type != nullptr)
        fields.add("Content-Type", content_type);
    return ic::context::media_type_t(fields);
}

TEST(LuaMediaTypeParse, Members)
{
    struct case_t {
        const char* raw; // nullptr: no field
        const char* type;
        const char* subtype;
        std::vector<std::pair<std::string, std::string>> parameters; // in map order
    };
    const std::vector<case_t> cases = {
        {"text/HTML; Charset=UTF-8", "text", "html", {{"charset", "UTF-8"}}},
        {"multipart/form-data; boundary=\"a;b\\\"c\"", "multipart", "form-data", {{"boundary", "a;b\"c"}}},
        {"a/b; x=1; x=2", "a", "b", {{"x", "1"}, {"x", "2"}}},
        {"a/b; z=1; Y=2", "a", "b", {{"y", "2"}, {"z", "1"}}},
        {"  Text/Plain  ;  q =  \"v\"tail ; flag", "text", "plain", {{"flag", ""}, {"q", "vtail"}}},
        // Only the part before the first ";" is trimmed as a whole.
        {"text / html", "text ", " html", {}},
        {"text", "text", "", {}},
        {"/html; a=1", "", "", {}},
        {"a/b/c", "a", "b/c", {}},
        {"a/b; q=\"open", "a", "b", {{"q", "open"}}},
        {"a/b; q=\"x\\", "a", "b", {{"q", "x"}}},
        {"a/b;", "a", "b", {}},
        {"", "", "", {}},
        {nullptr, "", "", {}},
    };
    for (const case_t& c : cases) {
        const auto media_type = parse(c.raw);
        const char* name = c.raw != nullptr ? c.raw : "(absent)";
        EXPECT_EQ(media_type.raw, c.raw != nullptr ? c.raw : "") << name;
        EXPECT_EQ(media_type.type, c.type) << name;
        EXPECT_EQ(media_type.subtype, c.subtype) << name;
        const std::vector<std::pair<std::string, std::string>> parameters(media_type.parameters.begin(),
                                                                          media_type.parameters.end());
        EXPECT_EQ(parameters, c.parameters) << name;
    }
}

TEST(LuaMediaTypeParse, Patterns)
{
    struct case_t {
        const char* content_type;
        const char* pattern;
        const char* result; // "true", "false" or "bad"
    };
    const std::vector<case_t> cases = {
        {"text/html", "text/html", "true"},
        {"text/html", "TEXT/HTML", "true"},
        {"text/html", "text/*", "true"},
        {"text/html", "*/*", "true"},
        {"text/html", "text/plain", "false"},
        {"text/html", "image/*", "false"},
        {nullptr, "*/*", "true"},
        {nullptr, "text/*", "false"},
        {"text / html", "text/html", "false"},
        {"application/vnd.ms-excel", "application/vnd.ms-excel", "true"},
        {"text/html", "*/html", "bad"},
        {"text/html", "text", "bad"},
        {"text/html", "text/", "bad"},
        {"text/html", "/html", "bad"},
        {"text/html", "text/html/x", "bad"},
        {"text/html", "text/html; charset=utf-8", "bad"},
        {"text/html", "text/h\"tml", "bad"},
        {"text/html", "", "bad"},
    };
    for (const case_t& c : cases) {
        const auto media_type = parse(c.content_type);
        std::string result;
        try {
            result = media_type.matches(c.pattern) ? "true" : "false";
        } catch (const std::runtime_error& e) {
            EXPECT_EQ(std::string(e.what()), std::string("bad media type: ") + c.pattern);
            result = "bad";
        }
        EXPECT_EQ(result, c.result) << (c.content_type ? c.content_type : "(absent)") << " ~ " << c.pattern;
    }
}

class LuaMediaTypeTable : public checks_test::fixture_t {};

TEST_F(LuaMediaTypeTable, Keys)
{
    ASSERT_TRUE(
        load("function message_hook(t)\n"
             "  local c = t.response.content_type\n"
             "  r = {type = c.type, subtype = c.subtype, text = tostring(c), left = '<' .. c, right = c .. '>',\n"
             "       params = #c.param, stored = rawequal(c, t.response.content_type)}\n"
             "  for i, p in ipairs(c.param) do r[i] = p.name .. '=' .. p.value end\n"
             "  local q = t.request.content_type\n"
             "  r.request = tostring(q.type) .. ',' .. tostring(q.subtype) .. ',' .. #q.param .. ',<' .. q .. '>'\n"
             "  r.any = q.match({'*/*'})\n"
             "  r.text_any = q.match({'text/*'})\n"
             "  return 'pass'\n"
             "end"));
    run(make_checked({{},
                      "GET http://a.example/ HTTP/1.1\r\n\r\n",
                      "HTTP/1.1 200 OK\r\nContent-Type: text/HTML; Charset=UTF-8; b=\"x;y\"; b=2\r\n\r\n"}));
    const std::vector<std::pair<std::string, std::string>> expected = {
        {"type", "text"},
        {"subtype", "html"},
        {"text", "text/HTML; Charset=UTF-8; b=\"x;y\"; b=2"},
        {"left", "<text/HTML; Charset=UTF-8; b=\"x;y\"; b=2"},
        {"right", "text/HTML; Charset=UTF-8; b=\"x;y\"; b=2>"},
        {"params", "3"},
        {"stored", "true"},
        {"[1]", "b=x;y"},
        {"[2]", "b=2"},
        {"[3]", "charset=UTF-8"},
        {"request", "nil,nil,0,<>"},
        {"any", "true"},
        {"text_any", "false"},
    };
    for (const auto& [key, value] : expected)
        EXPECT_EQ(eval(key[0] == '[' ? "r" + key : "r." + key), value) << key;
}

// An unparsable head has the empty media type; content_type never raises.
TEST_F(LuaMediaTypeTable, UnparsableHead)
{
    ASSERT_TRUE(load("function message_hook(t)\n"
                     "  r = tostring(t.request.content_type.type) .. ',' .. tostring(t.request.content_type)\n"
                     "  return 'pass'\n"
                     "end"));
    run(make_checked({{}, "GET / HTTP/1.1\r\nContent-Type: text/html\r\nbroken\r\n\r\n", ""}));
    EXPECT_EQ(eval("r"), "nil,");
}

TEST_F(LuaMediaTypeTable, MatchSkipsBadPatternsWithWarnings)
{
    struct case_t {
        const char* patterns;
        bool result;
        std::vector<std::string> warnings;
    };
    const std::vector<case_t> cases = {
        {"{'text/plain', 'TEXT/HTML'}", true, {}},
        {"{'*/html', 'text/*'}", true, {"bad media type: */html"}},
        {"{'text', 5, 'text/html; q=1', 'image/*'}",
         false,
         {"bad media type: text", "media type should be string", "bad media type: text/html; q=1"}},
        // The walk ends at the first match.
        {"{'text/html', 'bad'}", true, {}},
        {"{}", false, {}},
        {"setmetatable({}, {__len = function() return 1 end, __index = function() return 'text/*' end})", true, {}},
    };
    for (const case_t& c : cases) {
        log->records.clear();
        ASSERT_TRUE(load(std::string("function message_hook(t)\n"
                                     "  r = t.response.content_type.match(") +
                         c.patterns +
                         ")\n"
                         "  return 'pass'\n"
                         "end"));
        run(make_checked({{}, "", "HTTP/1.1 200 OK\r\nContent-Type: text/html\r\n\r\n"}));
        EXPECT_EQ(eval("r"), c.result ? "true" : "false") << c.patterns;
        const std::vector<std::string> found = warnings();
        ASSERT_EQ(found.size(), c.warnings.size()) << c.patterns;
        for (std::size_t i = 0; i < found.size(); ++i)
            EXPECT_NE(found[i].find("]:2: " + c.warnings[i]), std::string::npos) << found[i];
    }
}

TEST_F(LuaMediaTypeTable, MatchArgumentAndExpiry)
{
    ASSERT_TRUE(load("function message_hook(t)\n"
                     "  kept = t.response.content_type\n"
                     "  r = select(2, pcall(kept.match, 'text/html'))\n"
                     "  return 'pass'\n"
                     "end"));
    run(make_checked({{}, "", "HTTP/1.1 200 OK\r\nContent-Type: text/html\r\n\r\n"}));
    EXPECT_NE(eval("r").find("bad argument #1"), std::string::npos) << eval("r");
    EXPECT_NE(eval("r").find("table expected, got string"), std::string::npos) << eval("r");
    // The fields made with the table stay; what reaches the transaction
    // expires with it.
    EXPECT_EQ(eval("kept.type"), "text");
    EXPECT_EQ(eval("select(2, pcall(kept.match, {'*/*'}))"), "trying to use expired pointer");
    EXPECT_EQ(eval("select(2, pcall(tostring, kept))"), "trying to use expired pointer");
}

} // namespace
