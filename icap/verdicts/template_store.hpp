#pragma once

#include <ctime>
#include <string>
#include <utility>

#include <boost/core/noncopyable.hpp>
#include <boost/signals2/connection.hpp>
#include <ctemplate/template_dictionary.h>

#include "common/buffer.hpp"

namespace ic {

class inventory_t;
class threat_found_t;
class blocked_url_t;
class check_error_t;

// A block page: the HTTP response head and the body (raw HTML).
using block_page_t = std::pair<orx::buffer_t, orx::buffer_t>;

// The block pages: ctemplate templates "block_traxd.tpl", one directory per
// language under the settings' templates directory, kept in the process's
// default template cache. The store keeps the cache's root in step with the
// settings; a template changed on disk is read again on its next use after
// a settings change.
class template_store_t : private boost::noncopyable {
public:
    // Connects to the settings holder's change signal; the root is set by
    // the first settings.
    explicit template_store_t(inventory_t& inventory);

    // The pages for each kind of block, in the language the Accept-Language
    // value asks for.
    block_page_t render_threat_found(const threat_found_t& verdict, const std::string& accept_language) const;
    block_page_t render_blocked_url(const blocked_url_t& verdict, const std::string& accept_language) const;
    block_page_t render_check_error(const check_error_t& verdict, const std::string& accept_language) const;

private:
    void on_settings();

    inventory_t& inventory_;
    boost::signals2::scoped_connection settings_connection_;
};

// Stamps the dictionary with the time in the page language's own format,
// expands that language's template and wraps it in a 403 head. A template
// that cannot be expanded gives an Error record and an empty body.
block_page_t render_block_page(ctemplate::TemplateDictionary& dictionary, const std::string& accept_language);
// The same at the time now.
block_page_t render_block_page(ctemplate::TemplateDictionary& dictionary, const std::string& accept_language,
                               std::time_t now);

} // namespace ic
