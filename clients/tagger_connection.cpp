#include "clients/tagger_connection.hpp"

#include <sstream>
#include <string>
#include <utility>

#include <boost/asio/error.hpp>
#include <boost/system/system_error.hpp>

#include "app/core/inventory.hpp"
#include "clients/service_socket.hpp"
#include "common/enum_text.hpp"
#include "common/error_category.hpp"
#include "common/log.hpp"
#include "common/what.hpp"
#include "icap/verdicts/category_bits.hpp"

namespace ic {

namespace {

constexpr std::uint32_t largest_message = 67108864;

} // namespace

std::shared_ptr<tagger_connection_t> tagger_connection_t::connect(inventory_t& inventory,
                                                                  const boost::filesystem::path& path)
{
    auto socket = connect_service_socket(inventory, path);
    auto connection = std::make_shared<tagger_connection_t>(inventory);
    connection->socket = std::move(socket);
    connection->start_read();
    return connection;
}

tagger_connection_t::tagger_connection_t(inventory_t& inventory) : idle_(inventory, [this] { on_idle(); })
{
    max_message_size = largest_message;
}

tagger_connection_t::~tagger_connection_t()
{
    const ox::oxs::report_t empty;
    const auto pending = std::move(pending_);
    for (const auto& [serial, request] : pending)
        request.callback(empty, boost::asio::error::operation_aborted);
}

std::shared_ptr<cf_ipc_link_t> tagger_connection_t::shared_self()
{
    return shared_from_this();
}

void tagger_connection_t::check_url(const std::shared_ptr<ox::oxs::url_t>& url, const callback_t& callback,
                                    std::uint32_t mask)
{
    tg::ClientMessage request;
    request.set_tag(tg::ClientMessage::CHECK_URL_REQUEST);
    request.set_serial(serial_counter_);
    request.set_raw_url(url->to_string(ox::oxs::url_t::encoded));
    if (!url->addresses.empty()) {
        ox::IPAddressList* addresses = request.mutable_addresses();
        // The text form carries the scope of an IPv6 address: the interface
        // name of a link-local one when it is known, else the number.
        for (const auto& address : url->addresses)
            addresses->add_ip()->set_address(address.to_string());
    }
    // A refused send leaves the request unregistered and the idle count as
    // it was, so that a connection with nothing pending still ends.
    async_send_message(request);
    idle_.counter = -1;
    pending_.emplace(serial_counter_++, request_t{callback, mask});
}

void tagger_connection_t::on_message(google::protobuf::io::ZeroCopyInputStream& body)
{
    try {
        tg::ServerMessage response;
        if (!response.ParseFromZeroCopyStream(&body))
            throw boost::system::system_error(ox::make_error_code(ox::EC_BAD_MESSAGE_FORMAT));
        handle(response);
    } catch (const boost::system::system_error& e) {
        if (cf_log_threshold <= cf_log_warning)
            cf_log_stream(cf_log_warning, "Tagger ", static_cast<const void*>(this), ": ", cf_what(e));
        on_error(boost::asio::error::eof);
    }
}

void tagger_connection_t::handle(const tg::ServerMessage& response)
{
    const std::string tag = cf_enum_text(response.tag());
    if (response.tag() != tg::ServerMessage::CHECK_URL_RESPONSE)
        throw boost::system::system_error(ox::make_error_code(ox::EC_INVALID_OPERATION), tag);
    if (!response.has_serial())
        throw boost::system::system_error(ox::make_error_code(ox::EC_PROTOCOL_VIOLATION),
                                          tag + ": Check failed: rsp.has_serial()");
    if (!response.has_url_result())
        throw boost::system::system_error(ox::make_error_code(ox::EC_PROTOCOL_VIOLATION),
                                          tag + ": Check failed: rsp.has_url_result()");

    const auto found = pending_.find(response.serial());
    if (found == pending_.end())
        return;
    const request_t request = std::move(found->second);
    pending_.erase(found);

    const tg::UrlResult& result = response.url_result();
    ox::oxs::report_t report;
    if (result.error() == ox::EC_OK) {
        report.categories = url_categories_to_bits(result.categories()) & request.mask;
        report.piracy_legal_url = result.piracy_legal_url();
    }
    request.callback(report, ox::make_error_code(result.error()));
    if (pending_.empty())
        idle_.counter = 0;
}

void tagger_connection_t::on_error(const boost::system::error_code& error)
{
    const boost::system::error_code reported =
        error == boost::asio::error::eof ? ox::make_error_code(ox::EC_LINK_DISCONNECTED) : error;
    if (cf_log_threshold <= cf_log_warning)
        cf_log_stream(cf_log_warning, "Tagger ", static_cast<const void*>(this), ": ", reported.message());
    // The holder lets go of the connection on `closed`; it must outlive the
    // signal's emission.
    const auto self = shared_from_this();
    closed();
}

void tagger_connection_t::on_idle()
{
    const auto self = shared_from_this();
    closed();
}

} // namespace ic
