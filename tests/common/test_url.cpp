#include "common/url.hpp"

#include <gtest/gtest.h>

#include <boost/asio/ip/address.hpp>

#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

using ox::oxs::url_t;
using params_t = url_t::params_t;
using port_t = std::optional<std::uint16_t>;

struct parts_t {
    std::string scheme;
    std::string user;
    std::string password;
    std::string host;
    port_t port;
    std::string path;
    params_t query;
    std::string fragment;
};

struct parse_case_t {
    std::string text;
    parts_t parts;
};

void expect_parsed(const std::vector<parse_case_t>& cases)
{
    for (const auto& [text, p] : cases) {
        const url_t url(text);
        EXPECT_EQ(url.scheme, p.scheme) << text;
        EXPECT_EQ(url.user, p.user) << text;
        EXPECT_EQ(url.password, p.password) << text;
        EXPECT_EQ(url.host, p.host) << text;
        EXPECT_EQ(url.port, p.port) << text;
        EXPECT_EQ(url.path, p.path) << text;
        EXPECT_EQ(url.query, p.query) << text;
        EXPECT_EQ(url.fragment, p.fragment) << text;
    }
}

TEST(url, parse)
{
    expect_parsed({
        {"s://u:p:q@Host.:8080/a%20b?x=1&y#t", {"s", "u:p", "q", "host", 8080, "/a b", {{"x", "1"}, {"y", ""}}, "t"}},
        {"/index?q", {"", "", "", "", {}, "/index", {{"q", ""}}, ""}},
        {"h/x", {"", "", "", "h", {}, "/x", {}, ""}},
        {"h:81", {"", "", "", "h", 81, "", {}, ""}},
        {"", {}},
        {"http://..a.b..:/", {"http", "", "", "a.b", {}, "/", {}, ""}},
        {"HTTP://WWW.Example.COM/Path", {"HTTP", "", "", "www.example.com", {}, "/Path", {}, ""}},
        {"s://h/%zz", {"s", "", "", "h", {}, "/%zz", {}, ""}},
        {"s://h/abc%4", {"s", "", "", "h", {}, "/abc%4", {}, ""}},
        {"s://h?a&&b&", {"s", "", "", "h", {}, "", {{"a", ""}, {"", ""}, {"b", ""}}, ""}},
        {"s://h?=v&n=&a=b=c", {"s", "", "", "h", {}, "", {{"", "v"}, {"n", ""}, {"a", "b=c"}}, ""}},
        {"s://h?a%3D1=%26", {"s", "", "", "h", {}, "", {{"a=1", "&"}}, ""}},
        {"s://%41:%42@h", {"s", "A", "B", "h", {}, "", {}, ""}},
        {"s://u@h", {"s", "u", "", "h", {}, "", {}, ""}},
        {"s://:p@h", {"s", "", "p", "h", {}, "", {}, ""}},
        {"http://xn--bcher-kva.example/",
         {"http",
          "",
          "",
          "b\xc3\xbc"
          "cher.example",
          {},
          "/",
          {},
          ""}},
        {"http://xn--.example/", {"http", "", "", "xn--.example", {}, "/", {}, ""}},
        {"s://h#", {"s", "", "", "h", {}, "", {}, ""}},
    });
}

// Each of these once gave a host, port or part other than the one a
// browser or proxy would use.
TEST(url, parse_mended)
{
    expect_parsed({
        // User information lies only inside the authority.
        {"http://evil.example/a@good.example/", {"http", "", "", "evil.example", {}, "/a@good.example/", {}, ""}},
        {"http://evil.example?u=a@good.example",
         {"http", "", "", "evil.example", {}, "", {{"u", "a@good.example"}}, ""}},
        {"http://evil.example#@good.example", {"http", "", "", "evil.example", {}, "", {}, "@good.example"}},
        {"http://good.example@evil.example/", {"http", "good.example", "", "evil.example", {}, "/", {}, ""}},
        // The host holds no '@': the last one ends the user information.
        {"s://a@b@c/", {"s", "a@b", "", "c", {}, "/", {}, ""}},
        // The query starts at the first '?', the fragment at the first '#'.
        {"s://h/p?a=1?b#f?g#h", {"s", "", "", "h", {}, "/p", {{"a", "1?b"}}, "f?g#h"}},
        {"s://h/p#f?q", {"s", "", "", "h", {}, "/p", {}, "f?q"}},
        // A "://" after the path or query starts is no scheme.
        {"h/x?u=http://evil.example", {"", "", "", "h", {}, "/x", {{"u", "http://evil.example"}}, ""}},
        {"h?u=http://evil.example", {"", "", "", "h", {}, "", {{"u", "http://evil.example"}}, ""}},
        // Bracketed IPv6 literals.
        {"http://[::1]:8080/", {"http", "", "", "[::1]", 8080, "/", {}, ""}},
        {"s://[::1]/", {"s", "", "", "[::1]", {}, "/", {}, ""}},
        {"s://[2001:DB8::1]", {"s", "", "", "[2001:db8::1]", {}, "", {}, ""}},
        {"s://u:p@[fe80::1%25eth0]:1/", {"s", "u", "p", "[fe80::1%25eth0]", 1, "/", {}, ""}},
        // Ports: decimal 0 to 65535 only.
        {"s://h:-1/", {"s", "", "", "h", {}, "/", {}, ""}},
        {"s://h:+80/", {"s", "", "", "h", {}, "/", {}, ""}},
        {"s://h:65536/", {"s", "", "", "h", {}, "/", {}, ""}},
        {"s://h:99999999999999999999999/", {"s", "", "", "h", {}, "/", {}, ""}},
        {"s://h:abc/", {"s", "", "", "h", {}, "/", {}, ""}},
        {"s://h:70000/", {"s", "", "", "h", {}, "/", {}, ""}},
        {"s://h:/", {"s", "", "", "h", {}, "/", {}, ""}},
        {"s://h: 80/", {"s", "", "", "h", {}, "/", {}, ""}},
        {"s://h:65535/", {"s", "", "", "h", 65535, "/", {}, ""}},
        {"s://h:0/", {"s", "", "", "h", 0, "/", {}, ""}},
        {"s://h:0080/", {"s", "", "", "h", 80, "/", {}, ""}},
        // '+' is no space.
        {"s://h/a+b?q=c+d", {"s", "", "", "h", {}, "/a+b", {{"q", "c+d"}}, ""}},
        // ASCII labels are not converted.
        {"http://my_host/", {"http", "", "", "my_host", {}, "/", {}, ""}},
    });
}

TEST(url, print)
{
    struct case_t {
        std::string text;
        std::string encoded;
        std::string plain;
        std::string plain_with_port;
    };
    const case_t cases[] = {
        {"s://u:p:q@Host.:8080/a%20b?x=1&y#t", "s://u%3Ap:q@host:8080/a%20b?x=1&y#t", "s://u:p:q@host:8080/a b?x=1&y#t",
         "s://u:p:q@host:8080/a b?x=1&y#t"},
        {"s://h/", "s://h/", "s://h", "s://h:0"},
        {"s://h/?a", "s://h/?a", "s://h/?a", "s://h:0/?a"},
        {"s://h/#f", "s://h/#f", "s://h/#f", "s://h:0/#f"},
        {"HTTP://h:80/a", "HTTP://h:80/a", "HTTP://h/a", "HTTP://h:80/a"},
        {"http://h/a", "http://h/a", "http://h/a", "http://h:80/a"},
        {"https://h:443/", "https://h:443/", "https://h", "https://h:443"},
        {"HttpS://h:80/", "HttpS://h:80/", "HttpS://h:80", "HttpS://h:80"},
        {"http://h:8080", "http://h:8080", "http://h:8080", "http://h:8080"},
        {"s://h", "s://h", "s://h", "s://h:0"},
        {"s://h/%zz", "s://h/%25zz", "s://h/%zz", "s://h:0/%zz"},
        // The explicit-port form puts a port where the host would be, even
        // when there is none: the written one, the scheme's default, or 0.
        {"/index?q", "/index?q", "/index?q", ":0/index?q"},
        {"/", "/", "", ":0"},
        {"/?a", "/?a", "/?a", ":0/?a"},
        {"s://u@/x", "s://u@/x", "s://u@/x", "s://u@:0/x"},
        {"http:///x", "http:///x", "http:///x", "http://:80/x"},
        {"HTTPS://", "HTTPS://", "HTTPS://", "HTTPS://:443"},
        {"http://:80/x", "http://:80/x", "http:///x", "http://:80/x"},
        {"s://:8080", "s://:8080", "s://:8080", "s://:8080"},
        {"s://:abc/x", "s:///x", "s:///x", "s://:0/x"},
        {"s://h?a&&b&", "s://h?a&&b", "s://h?a&&b", "s://h:0?a&&b"},
        {"s://h?=v", "s://h?=v", "s://h?=v", "s://h:0?=v"},
        {"s://h?a%3D1=%26", "s://h?a%3D1=%26", "s://h?a=1=&", "s://h:0?a=1=&"},
        {"s://a%40b@c/", "s://a%40b@c/", "s://a@b@c", "s://a@b@c:0"},
        {"http://xn--bcher-kva.example/x", "http://xn--bcher-kva.example/x",
         "http://b\xc3\xbc"
         "cher.example/x",
         "http://b\xc3\xbc"
         "cher.example:80/x"},
        {"", "", "", ":0"},
    };
    for (const auto& c : cases) {
        const url_t url(c.text);
        EXPECT_EQ(url.to_string(url_t::encoded), c.encoded) << c.text;
        EXPECT_EQ(url.to_string(url_t::plain), c.plain) << c.text;
        EXPECT_EQ(url.to_string(url_t::plain_with_port), c.plain_with_port) << c.text;
    }
}

TEST(url, print_mended)
{
    struct case_t {
        std::string text;
        std::string encoded;
        std::string plain;
        std::string plain_with_port;
    };
    const case_t cases[] = {
        {"http://[::1]:8080/", "http://[::1]:8080/", "http://[::1]:8080", "http://[::1]:8080"},
        {"http://[::1]/x", "http://[::1]/x", "http://[::1]/x", "http://[::1]:80/x"},
        {"http://evil.example/a@good.example/", "http://evil.example/a%40good.example/",
         "http://evil.example/a@good.example/", "http://evil.example:80/a@good.example/"},
        {"s://a@b@c/", "s://a%40b@c/", "s://a@b@c", "s://a@b@c:0"},
        {"s://h:-1/", "s://h/", "s://h", "s://h:0"},
        {"http://my_host/", "http://my_host/", "http://my_host", "http://my_host:80"},
        // A '+' survives decoding and encoding again.
        {"s://h/a+b?q=c+d", "s://h/a+b?q=c+d", "s://h/a+b?q=c+d", "s://h:0/a+b?q=c+d"},
        // Control bytes stay encoded in the plain forms.
        {"http://h/a%0D%0AX-Forged:%201", "http://h/a%0D%0AX-Forged%3A%201", "http://h/a%0D%0AX-Forged: 1",
         "http://h:80/a%0D%0AX-Forged: 1"},
        {"http://h/a\nb", "http://h/a%0Ab", "http://h/a%0Ab", "http://h:80/a%0Ab"},
        {"http://h/?q=%0a&%7f=v#%1B[31m", "http://h/?q=%0A&%7F=v#%1B%5B31m", "http://h/?q=%0A&%7F=v#%1B[31m",
         "http://h:80/?q=%0A&%7F=v#%1B[31m"},
        {"http://u%0A:p%0D@h/", "http://u%0A:p%0D@h/", "http://u%0A:p%0D@h", "http://u%0A:p%0D@h:80"},
        {"http://h\x01x/", "http://h%01x/", "http://h%01x", "http://h%01x:80"},
        {"ht\ntp://h/", "ht%0Atp://h/", "ht%0Atp://h", "ht%0Atp://h:0"},
    };
    for (const auto& c : cases) {
        const url_t url(c.text);
        EXPECT_EQ(url.to_string(url_t::encoded), c.encoded) << c.text;
        EXPECT_EQ(url.to_string(url_t::plain), c.plain) << c.text;
        EXPECT_EQ(url.to_string(url_t::plain_with_port), c.plain_with_port) << c.text;
    }
}

TEST(url, encoded_form_parses_back_to_the_same_url)
{
    for (const std::string text : {"s://u%3Ap:q@host:8080/a%20b?x=1&y#t", "http://h/a+b%3B?q=%26&r=1#frag%23",
                                   "https://xn--bcher-kva.example:8443/p?a&&b", "/only/a/path?x"}) {
        const url_t url(text);
        EXPECT_EQ(url.to_string(url_t::encoded), text);
        const url_t again(url.to_string(url_t::encoded));
        EXPECT_EQ(again.to_string(url_t::plain_with_port), url.to_string(url_t::plain_with_port)) << text;
    }
}

TEST(url, parts_are_stored_as_given)
{
    const url_t url("HTTP", "u:1", "",
                    "B\xc3\xbc"
                    "cher",
                    "a b", {{"", ""}, {"a", "1"}}, "", 80);
    EXPECT_EQ(url.host, "B\xc3\xbc"
                        "cher");
    EXPECT_EQ(url.path, "a b");
    EXPECT_EQ(url.to_string(url_t::encoded), "HTTP://u%3A1@xn--Bcher-kva:80a%20b?a=1");
    EXPECT_EQ(url.to_string(url_t::plain), "HTTP://u:1@B\xc3\xbc"
                                           "chera b?a=1");
}

TEST(url, texts_are_cached)
{
    url_t url("http://h/a");
    const auto& text = url.to_string(url_t::plain);
    url.path = "/b";
    EXPECT_EQ(&url.to_string(url_t::plain), &text);
    EXPECT_EQ(url.to_string(url_t::plain), "http://h/a");
    EXPECT_EQ(url.to_string(url_t::encoded), "http://h/b");
    EXPECT_THROW(url.to_string(3), std::out_of_range);
}

TEST(url, params_to_string)
{
    struct case_t {
        params_t params;
        unsigned mode;
        std::string expected;
    };
    const case_t cases[] = {
        {{{"", ""}, {"a", "1"}}, 1, "a=1"},
        {{{"a", "1"}, {"", ""}, {"b", ""}}, 1, "a=1&&b"},
        {{{"a b", "c&d"}, {"e=", "/"}}, 0, "a%20b=c%26d&e%3D=%2F"},
        {{{"a b", "c&d"}}, 1, "a b=c&d"},
        {{{"n", "\r\n"}}, 1, "n=%0D%0A"},
        {{}, 0, ""},
    };
    for (const auto& c : cases)
        EXPECT_EQ(url_t::params_to_string(c.params, c.mode), c.expected) << c.expected;
    EXPECT_EQ(url_t::params_to_string(url_t::param_t{"k", "v w"}, 0), "k=v%20w");
    EXPECT_EQ(url_t::params_to_string(url_t::param_t{"k", ""}, 1), "k");
}

TEST(url, addresses_are_kept_in_order)
{
    using boost::asio::ip::make_address;
    const url_t::addresses_t addresses = {make_address("::1"), make_address("10.0.0.2"), make_address("10.0.0.1"),
                                          make_address("fe80::1%1")};
    const url_t url("http://h/", addresses);
    const std::vector<boost::asio::ip::address> order(url.addresses.begin(), url.addresses.end());
    ASSERT_EQ(order.size(), 4u);
    EXPECT_EQ(order[0], make_address("10.0.0.1"));
    EXPECT_EQ(order[1], make_address("10.0.0.2"));
    EXPECT_TRUE(order[2].is_v6());
    EXPECT_EQ(url_t(addresses).addresses, addresses);
    EXPECT_EQ(url_t(addresses).to_string(url_t::encoded), "");
}

TEST(url, percent_coding_members)
{
    const std::string text = "a b/c~";
    EXPECT_EQ(url_t::percent_encode(text.data(), text.size(), '/'), "a%20b/c%7E");
    EXPECT_EQ(url_t::percent_encode(text, -1), "a%20b%2Fc%7E");
    const std::string encoded = "a%2fb+c";
    EXPECT_EQ(url_t::percent_decode(encoded.data(), encoded.size()), "a/b+c");
}

} // namespace
