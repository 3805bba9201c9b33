#include "protocol/parsers/content_type.hpp"

#include "protocol/parsers/parser.hpp"
#include "protocol/parsers/wire_text.hpp"

#include <cstring>

namespace proto {

namespace {

bool is_digit(char c)
{
    return c >= '0' && c <= '9';
}
bool is_alpha(char c)
{
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}

// The boundary characters of RFC 2046, space included.
bool is_bchar(char c)
{
    return is_digit(c) || is_alpha(c) || (c != '\0' && std::strchr("'()+,-./:=?_ ", c) != nullptr);
}

constexpr char prefix[] = "MULTIPART/";
constexpr char parameter[] = "BOUNDARY";

} // namespace

content_type_t parse_content_type(const std::string& value)
{
    enum class state_t {
        lead,
        prefix,
        subtype_first,
        subtype,
        after_subtype,
        before_name,
        name,
        before_equals,
        before_value,
        quoted,
        after_quoted,
        unquoted,
        after_unquoted,
    };
    content_type_t result;
    state_t state = state_t::lead;
    std::size_t matched = 0;
    for (std::size_t i = 0; i < value.size(); ++i) {
        const char c = value[i];
        bool ok = true;
        switch (state) {
        case state_t::lead:
            if (to_upper(c) == prefix[0]) {
                matched = 1;
                state = state_t::prefix;
            } else {
                ok = is_blank(c);
            }
            break;
        case state_t::prefix:
            ok = to_upper(c) == prefix[matched];
            if (ok && ++matched == sizeof prefix - 1)
                state = state_t::subtype_first;
            break;
        case state_t::subtype_first:
            ok = is_alpha(c);
            if (ok) {
                result.subtype += c;
                state = state_t::subtype;
            }
            break;
        case state_t::subtype:
        case state_t::after_subtype:
            if (state == state_t::subtype && (is_alpha(c) || is_digit(c) || c == '-'))
                result.subtype += c;
            else if (is_blank(c))
                state = state_t::after_subtype;
            else if (c == ';')
                state = state_t::before_name;
            else
                ok = false;
            break;
        case state_t::before_name:
            if (to_upper(c) == parameter[0]) {
                matched = 1;
                state = state_t::name;
            } else {
                ok = is_blank(c);
            }
            break;
        case state_t::name:
            ok = to_upper(c) == parameter[matched];
            if (ok && ++matched == sizeof parameter - 1)
                state = state_t::before_equals;
            break;
        case state_t::before_equals:
            if (c == '=')
                state = state_t::before_value;
            else
                ok = is_blank(c);
            break;
        case state_t::before_value:
            if (c == '"') {
                state = state_t::quoted;
            } else if (c == '\t') {
            } else if (is_bchar(c)) {
                result.boundary += c;
                if (c != ' ')
                    state = state_t::unquoted;
            } else {
                ok = false;
            }
            break;
        case state_t::quoted:
            if (c == '"')
                state = state_t::after_quoted;
            else
                result.boundary += c;
            break;
        case state_t::unquoted:
            if (c == '\t')
                state = state_t::after_unquoted;
            else if (is_bchar(c))
                result.boundary += c;
            else
                ok = false;
            break;
        case state_t::after_quoted:
        case state_t::after_unquoted:
            ok = is_blank(c);
            break;
        }
        if (!ok)
            throw base_ragel_parser_t::error_t("invalid content-type value", value.data() + i, value.size() - i);
    }
    trim_blanks(result.subtype);
    trim_blanks(result.boundary);
    return result;
}

} // namespace proto
