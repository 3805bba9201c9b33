#include "clients/seekd_connection.hpp"

#include <utility>

#include <boost/asio/error.hpp>
#include <boost/system/system_error.hpp>
#include <google/protobuf/repeated_field.h>

#include "app/core/inventory.hpp"
#include "clients/service_socket.hpp"
#include "common/enum_text.hpp"
#include "common/error_category.hpp"
#include "common/log.hpp"
#include "common/what.hpp"

namespace ic {

namespace {

constexpr std::uint32_t largest_message = 67108864;

} // namespace

std::shared_ptr<seekd_connection_t> seekd_connection_t::connect(inventory_t& inventory,
                                                                const boost::filesystem::path& path)
{
    auto socket = connect_service_socket(inventory, path);
    auto connection = std::make_shared<seekd_connection_t>(inventory);
    connection->socket = std::move(socket);
    connection->start_read();
    return connection;
}

seekd_connection_t::seekd_connection_t(inventory_t& inventory) : idle_(inventory, [this] { on_idle(); })
{
    max_message_size = largest_message;
}

seekd_connection_t::~seekd_connection_t()
{
    auto pending = std::move(pending_);
    for (auto& [serial, result] : pending)
        result.set_error(orx::async::make_error_code(orx::async::result_error_t::shutdown), "");
}

std::shared_ptr<cf_ipc_link_t> seekd_connection_t::shared_self()
{
    return shared_from_this();
}

sk::ClientMessage seekd_connection_t::make_request(sk::ClientMessage::ClientMessageTag tag, sk::LookupType type,
                                                   const std::string& tag_name, const std::string& user,
                                                   const std::string& domain)
{
    sk::ClientMessage request;
    request.set_tag(tag);
    request.set_lookup_type(type);
    request.set_lookup_tag(tag_name);
    if (!user.empty())
        request.set_user(user);
    if (!domain.empty())
        request.set_domain(domain);
    return request;
}

orx::async::result_handle_t seekd_connection_t::lookup(sk::LookupType type, const std::string& tag,
                                                       const std::string& user, const std::string& domain,
                                                       const completion_t& completion)
{
    sk::ClientMessage request = make_request(sk::ClientMessage::LOOKUP_REQUEST, type, tag, user, domain);
    return send(request, completion);
}

orx::async::result_handle_t seekd_connection_t::check(sk::LookupType type, const std::string& tag,
                                                      const std::string& user, const std::string& domain,
                                                      const std::string& value, const completion_t& completion)
{
    sk::ClientMessage request = make_request(sk::ClientMessage::CHECK_REQUEST, type, tag, user, domain);
    request.set_check(value);
    return send(request, completion);
}

orx::async::result_handle_t seekd_connection_t::send(sk::ClientMessage& request, const completion_t& completion)
{
    request.set_serial(serial_counter_);
    // A refused send leaves the request unregistered and the idle count as
    // it was, so that a connection with nothing pending still ends.
    async_send_message(request);
    idle_.counter = -1;
    orx::async::result_t result(completion);
    pending_.emplace(serial_counter_++, result);
    return result.handle();
}

void seekd_connection_t::on_message(google::protobuf::io::ZeroCopyInputStream& body)
{
    try {
        sk::ServerMessage response;
        if (!response.ParseFromZeroCopyStream(&body))
            throw boost::system::system_error(ox::make_error_code(ox::EC_BAD_MESSAGE_FORMAT));
        handle(response);
    } catch (const boost::system::system_error& e) {
        if (cf_log_threshold <= cf_log_warning)
            cf_log_stream(cf_log_warning, "SeekD ", static_cast<const void*>(this), ": ", cf_what(e));
        on_error(boost::asio::error::eof);
    }
}

void seekd_connection_t::handle(const sk::ServerMessage& response)
{
    const bool lookup = response.tag() == sk::ServerMessage::LOOKUP_RESPONSE;
    if (!lookup && response.tag() != sk::ServerMessage::CHECK_RESPONSE)
        throw boost::system::system_error(ox::make_error_code(ox::EC_INVALID_OPERATION), cf_enum_text(response.tag()));
    if (!response.has_serial())
        throw boost::system::system_error(ox::make_error_code(ox::EC_PROTOCOL_VIOLATION),
                                          cf_enum_text(response.tag()) + ": Check failed: msg.has_serial()");

    const auto found = pending_.find(response.serial());
    if (found == pending_.end())
        return;
    orx::async::result_t result = std::move(found->second);
    pending_.erase(found);

    if (response.has_error())
        result.set_error(ox::make_error_code(response.error().code()), "");
    else if (lookup)
        result.set_value(google::protobuf::RepeatedPtrField<std::string>(response.data()));
    else
        result.set_value(response.result());
    if (pending_.empty())
        idle_.counter = 0;
}

void seekd_connection_t::on_error(const boost::system::error_code& error)
{
    const boost::system::error_code reported =
        error == boost::asio::error::eof ? ox::make_error_code(ox::EC_LINK_DISCONNECTED) : error;
    if (cf_log_threshold <= cf_log_warning)
        cf_log_stream(cf_log_warning, "SeekD ", static_cast<const void*>(this), ": ", reported.message());
    // The holder lets go of the connection on `closed`; it must outlive the
    // signal's emission.
    const auto self = shared_from_this();
    closed();
}

void seekd_connection_t::on_idle()
{
    const auto self = shared_from_this();
    closed();
}

} // namespace ic
