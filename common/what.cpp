#include "common/what.hpp"

#include <array>
#include <new>
#include <stdexcept>
#include <string>
#include <string_view>
#include <typeinfo>

#include <boost/system/system_error.hpp>
#include <boost/xpressive/xpressive_static.hpp>

#include "common/enum_text.hpp"
#include "schemas/error.pb.h"

namespace {

// Rewritten texts live here, so the returned pointer outlives the call.
// A few slots, so that two texts taken for one log line stay apart.
std::string& next_slot()
{
    thread_local std::array<std::string, 4> slots;
    thread_local std::size_t next = 0;
    std::string& slot = slots[next];
    next = (next + 1) % slots.size();
    return slot;
}

// The library's system_error reads "context: message"; a log line carries
// the code itself too, as "context: message [category:value]". Empty when
// the text is not of that form or already carries the code.
std::string with_code(const boost::system::system_error& e, std::string_view text)
{
    const boost::system::error_code& ec = e.code();
    const std::string context = e.std::runtime_error::what();
    const std::string head = context.empty() ? ec.message() : context + ": " + ec.message();
    if (!text.starts_with(head))
        return {};
    const std::string_view tail = text.substr(head.size());
    if (tail.starts_with(" ["))
        return {};
    return head + " [" + ec.category().name() + ':' + std::to_string(ec.value()) + ']' + std::string(tail);
}

// Null when the text does not begin with "boost::".
const char* strip_qualifiers(const char* text)
{
    using namespace boost::xpressive;
    static const cregex qualifiers = bos >> "boost::" >> *(+_w >> "::");
    cmatch match;
    if (!regex_search(text, match, qualifiers))
        return nullptr;
    const std::string_view rest = text + match.length();
    static constexpr std::string_view opendir_from = "boost::filesystem::directory_iterator::";
    static constexpr std::string_view construct = "construct:";
    if (match.str() == opendir_from && rest.starts_with(construct)) {
        std::string& slot = next_slot();
        slot = "opendir:" + std::string(rest.substr(construct.size()));
        return slot.c_str();
    }
    return rest.data();
}

} // namespace

const char* cf_what(const std::exception& e) noexcept
{
    const char* text = e.what();
    try {
        if (const auto* system_error = dynamic_cast<const boost::system::system_error*>(&e)) {
            std::string decorated = with_code(*system_error, text);
            if (!decorated.empty()) {
                std::string& slot = next_slot();
                slot = std::move(decorated);
                text = slot.c_str();
            }
        }
        if (const char* stripped = strip_qualifiers(text))
            return stripped;
    } catch (...) {
    }
    if (typeid(e) == typeid(std::bad_alloc))
        return "Not enough memory";
    return text;
}

std::string cf_what(const std::exception_ptr& p)
{
    if (!p)
        return cf_proto_error_text(ox::EC_OK);
    try {
        std::rethrow_exception(p);
    } catch (const std::exception& e) {
        return cf_what(e);
    } catch (ox::ErrorCode code) {
        return "ErrorCode: " + cf_proto_error_text(code);
    } catch (...) {
        return "Unexpected exception";
    }
}
