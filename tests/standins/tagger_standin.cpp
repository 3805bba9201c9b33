#include "standins/tagger_standin.hpp"

#include <sstream>
#include <stdexcept>
#include <utility>

#include "common/url.hpp"

namespace standin {

namespace {

std::string lower(std::string text)
{
    for (char& c : text)
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c - 'A' + 'a');
    return text;
}

std::string upper(std::string text)
{
    for (char& c : text)
        if (c >= 'a' && c <= 'z')
            c = static_cast<char>(c - 'a' + 'A');
    return text;
}

ox::UrlCategory parse_category(const std::string& name)
{
    const std::string full = upper(name).starts_with("UC_") ? upper(name) : "UC_" + upper(name);
    ox::UrlCategory category;
    if (!ox::UrlCategory_Parse(full, &category))
        throw std::runtime_error("unknown category " + name);
    return category;
}

ox::ErrorCode parse_error(const std::string& name)
{
    ox::ErrorCode code;
    if (!ox::ErrorCode_Parse(name, &code))
        throw std::runtime_error("unknown error code " + name);
    return code;
}

} // namespace

tagger_standin_t::tagger_standin_t(const std::string& path)
    : request_recorder_t(listener_),
      listener_("tagger", path,
                [this](const std::shared_ptr<service_peer_t>& peer, const std::string& body) { on_frame(peer, body); })
{
}

void tagger_standin_t::set_verdict(const std::string& host, const verdict_t& verdict)
{
    std::lock_guard lock(listener_.mutex());
    table_[lower(host)] = verdict;
}

void tagger_standin_t::load_table(const std::string& text)
{
    std::map<std::string, verdict_t> table;
    std::istringstream lines(text);
    std::string line;
    for (int number = 1; std::getline(lines, line); ++number) {
        line = line.substr(0, line.find('#'));
        std::istringstream words(line);
        std::string host;
        if (!(words >> host))
            continue;
        verdict_t verdict;
        try {
            for (std::string word; words >> word;) {
                if (word.starts_with("legal="))
                    verdict.legal_url = word.substr(6);
                else if (word.starts_with("error="))
                    verdict.error = parse_error(word.substr(6));
                else
                    verdict.categories.push_back(parse_category(word));
            }
        } catch (const std::runtime_error& e) {
            throw std::runtime_error("line " + std::to_string(number) + ": " + e.what());
        }
        table[lower(host)] = verdict;
    }
    std::lock_guard lock(listener_.mutex());
    for (auto& [host, verdict] : table)
        table_[host] = std::move(verdict);
}

tagger_standin_t::verdict_t tagger_standin_t::verdict_for(const std::string& raw_url) const
{
    std::string host = ox::oxs::url_t(raw_url).host;
    for (;;) {
        if (const auto found = table_.find(host); found != table_.end())
            return found->second;
        const auto dot = host.find('.');
        if (dot == std::string::npos)
            return {};
        host.erase(0, dot + 1);
    }
}

std::string tagger_standin_t::reply_for(const tg::ClientMessage& request, const verdict_t& verdict, fault_t fault)
{
    tg::ServerMessage reply;
    reply.set_tag(tg::ServerMessage::CHECK_URL_RESPONSE);
    reply.set_serial(fault == fault_t::stray_serial ? request.serial() + 1000 : request.serial());
    tg::UrlResult* result = reply.mutable_url_result();
    result->set_error(verdict.error);
    for (const ox::UrlCategory category : verdict.categories)
        result->add_categories(category);
    if (!verdict.legal_url.empty())
        result->set_piracy_legal_url(verdict.legal_url);

    switch (fault) {
    case fault_t::garbage:
        return "\xff\xff\xff\xff\xff";
    case fault_t::no_serial:
        reply.clear_serial();
        break;
    case fault_t::incomplete:
        reply.clear_url_result();
        break;
    case fault_t::unexpected_tag: {
        // Tag 7, which the protocol does not have, in front of the rest.
        reply.clear_tag();
        return "\x08\x07" + reply.SerializePartialAsString();
    }
    default:
        break;
    }
    return reply.SerializePartialAsString();
}

void tagger_standin_t::on_frame(const std::shared_ptr<service_peer_t>& peer, const std::string& body)
{
    tg::ClientMessage request;
    const fault_t fault = listener_.fault();
    std::string reply;
    {
        std::lock_guard lock(listener_.mutex());
        if (!record(body, request)) {
            listener_.notify();
            return;
        }
        const verdict_t verdict = verdict_for(request.raw_url());
        reply = reply_for(request, verdict, fault);
        if (observer_) {
            std::ostringstream line;
            line << "connection " << peer->number() << ": serial " << request.serial() << " " << request.raw_url();
            for (const auto& address : request.addresses().ip())
                line << " " << address.address();
            line << " ->";
            if (verdict.error != ox::EC_OK)
                line << " " << ox::ErrorCode_Name(verdict.error);
            for (const ox::UrlCategory category : verdict.categories)
                line << " " << ox::UrlCategory_Name(category);
            if (verdict.categories.empty() && verdict.error == ox::EC_OK)
                line << " no category";
            observer_(line.str());
        }
    }
    listener_.notify();
    listener_.deliver(peer, fault, reply);
}

} // namespace standin
