#include "icap/verdicts/template_store.hpp"

#include <map>
#include <sstream>

#include <boost/locale/date_time.hpp>
#include <boost/locale/format.hpp>
#include <boost/locale/formatting.hpp>
#include <boost/locale/generator.hpp>
#include <boost/locale/localization_backend.hpp>
#include <ctemplate/template.h>

#include "app/core/config_holder.hpp"
#include "app/core/inventory.hpp"
#include "common/log.hpp"
#include "icap/verdicts/category_bits.hpp"
#include "icap/verdicts/page_language.hpp"
#include "icap/verdicts/verdict.hpp"

namespace ic {

namespace {

const std::string template_name = "block_traxd.tpl";

const ctemplate::StaticTemplateString k_url = STS_INIT(k_url, "URL");
const ctemplate::StaticTemplateString k_has_url = STS_INIT(k_has_url, "HAS_URL");
const ctemplate::StaticTemplateString k_has_no_url = STS_INIT(k_has_no_url, "HAS_NO_URL");
const ctemplate::StaticTemplateString k_threat = STS_INIT(k_threat, "THREAT");
const ctemplate::StaticTemplateString k_threat_download = STS_INIT(k_threat_download, "THREAT_DOWNLOAD");
const ctemplate::StaticTemplateString k_threat_upload = STS_INIT(k_threat_upload, "THREAT_UPLOAD");
const ctemplate::StaticTemplateString k_check_error = STS_INIT(k_check_error, "CHECK_ERROR");
const ctemplate::StaticTemplateString k_legal_url = STS_INIT(k_legal_url, "LEGAL_URL");
const ctemplate::StaticTemplateString k_has_legal_url = STS_INIT(k_has_legal_url, "HAS_LEGAL_URL");
const ctemplate::StaticTemplateString k_owners_notice = STS_INIT(k_owners_notice, "OWNERS_NOTICE");
const ctemplate::StaticTemplateString k_infection_source = STS_INIT(k_infection_source, "INFECTION_SOURCE");
const ctemplate::StaticTemplateString k_not_recommended = STS_INIT(k_not_recommended, "NOT_RECOMMENDED");
const ctemplate::StaticTemplateString k_black_list = STS_INIT(k_black_list, "BLACK_LIST");
const ctemplate::StaticTemplateString k_blocked_url = STS_INIT(k_blocked_url, "BLOCKED_URL");
const ctemplate::StaticTemplateString k_timestamp = STS_INIT(k_timestamp, "TIMESTAMP");

// Every page first says what was blocked.
void set_url(ctemplate::TemplateDictionary& dictionary, const blocked_t& verdict)
{
    if (verdict.url)
        dictionary.SetValueAndShowSection(k_url, verdict.url->to_string(ox::oxs::url_t::plain), k_has_url);
    else
        dictionary.ShowSection(k_has_no_url);
}

const ctemplate::StaticTemplateString& group_section(std::uint32_t bit)
{
    switch (bit) {
    case owners_notice_bit:
        return k_owners_notice;
    case 0x2:
        return k_not_recommended;
    case 0x1:
        return k_infection_source;
    case black_list_bit:
    case unspecified_bit:
        return k_black_list;
    default:
        return k_blocked_url;
    }
}

// Generating an ICU locale is costly: each language's is made once.
const std::locale& page_locale(const std::string& language)
{
    static boost::locale::generator generator = [] {
        boost::locale::localization_backend_manager manager = boost::locale::localization_backend_manager::global();
        manager.select("icu");
        return boost::locale::generator(manager);
    }();
    static std::map<std::string, std::locale> locales;
    auto found = locales.find(language);
    if (found == locales.end())
        found = locales.emplace(language, generator(language + ".utf8")).first;
    return found->second;
}

std::string format_time(const char* format, const std::tm& time)
{
    char text[64];
    const std::size_t length = std::strftime(text, sizeof text, format, &time);
    return std::string(text, length);
}

// The local time in the language's medium date and time format.
std::string timestamp(std::time_t now, const std::string& language)
{
    std::tm local{};
    ::localtime_r(&now, &local);
    std::ostringstream text;
    text.imbue(page_locale(language));
    text << boost::locale::as::time_zone(format_time("GMT%z", local)) << boost::locale::as::datetime << now;
    return text.str();
}

std::string http_date(std::time_t now)
{
    std::tm utc{};
    ::gmtime_r(&now, &utc);
    return format_time("%a, %d %b %Y %H:%M:%S GMT", utc);
}

} // namespace

template_store_t::template_store_t(inventory_t& inventory)
    : inventory_(inventory), settings_connection_(inventory.config_holder->changed.connect([this] { on_settings(); }))
{
}

void template_store_t::on_settings()
{
    ctemplate::TemplateCache* cache = ctemplate::mutable_default_template_cache();
    cache->SetTemplateRootDirectory(inventory_.config_holder->config.templates_dir());
    cache->ReloadAllIfChanged(ctemplate::TemplateCache::LAZY_RELOAD);
}

block_page_t template_store_t::render_threat_found(const threat_found_t& verdict,
                                                   const std::string& accept_language) const
{
    ctemplate::TemplateDictionary dictionary("threat found");
    set_url(dictionary, verdict);
    dictionary.SetValue(k_threat, verdict.summary->main_threat().name());
    dictionary.ShowSection(verdict.response_side ? k_threat_download : k_threat_upload);
    return render_block_page(dictionary, accept_language);
}

block_page_t template_store_t::render_blocked_url(const blocked_url_t& verdict,
                                                  const std::string& accept_language) const
{
    ctemplate::TemplateDictionary dictionary("blocked url");
    set_url(dictionary, verdict);
    const std::uint32_t bit = verdict.main_category();
    // ctemplate shows nothing for an empty value, so an empty legal URL
    // leaves its section hidden.
    if (bit == owners_notice_bit)
        dictionary.SetValueAndShowSection(k_legal_url, verdict.legal_url(), k_has_legal_url);
    dictionary.ShowSection(group_section(bit));
    dictionary.ShowSection(ox::UrlCategory_Name(bit_to_url_category(bit)));
    return render_block_page(dictionary, accept_language);
}

block_page_t template_store_t::render_check_error(const check_error_t& verdict,
                                                  const std::string& accept_language) const
{
    ctemplate::TemplateDictionary dictionary("check error");
    set_url(dictionary, verdict);
    dictionary.ShowSection(k_check_error);
    return render_block_page(dictionary, accept_language);
}

block_page_t render_block_page(ctemplate::TemplateDictionary& dictionary, const std::string& accept_language)
{
    return render_block_page(dictionary, accept_language, std::time(nullptr));
}

block_page_t render_block_page(ctemplate::TemplateDictionary& dictionary, const std::string& accept_language,
                               std::time_t now)
{
    ctemplate::TemplateCache* cache = ctemplate::mutable_default_template_cache();
    const std::string language = get_language(accept_language, cache->template_root_directory());
    dictionary.SetValue(k_timestamp, timestamp(now, language));

    // The page may go out empty, but an administrator must learn why.
    const std::string name = language + "/" + template_name;
    std::string body;
    if (!cache->ExpandWithData(name, ctemplate::STRIP_WHITESPACE, &dictionary, nullptr, &body)) {
        body.clear();
        if (cf_log_threshold <= cf_log_error)
            cf_log(cf_log_error, "Cannot expand block page template " + cache->template_root_directory() + name);
    }

    std::string head = "HTTP/1.0 403 Blocked by Orvex TRAXD\r\nContent-Length: " + std::to_string(body.size()) + "\r\n";
    if (!body.empty())
        head += "Content-Type: text/html\r\n";
    head += "Date: " + http_date(now) + "\r\n\r\n";
    return {orx::buffer_t(head), orx::buffer_t(body)};
}

} // namespace ic
