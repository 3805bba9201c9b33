#pragma once

#include <functional>
#include <list>
#include <memory>
#include <string>
#include <utility>

#include <boost/asio/post.hpp>
#include <boost/core/noncopyable.hpp>
#include <boost/filesystem/path.hpp>
#include <boost/signals2/connection.hpp>
#include <boost/system/error_code.hpp>
#include <boost/system/system_error.hpp>
#include <google/protobuf/repeated_field.h>

#include "app/core/config_holder.hpp"
#include "app/core/inventory.hpp"
#include "app/core/pilotd_tie.hpp"
#include "common/log.hpp"
#include "common/what.hpp"
#include "schemas/application.pb.h"

namespace ic {

// Whether an application list from PilotD names `app` among the installed
// applications of its root information.
bool lists_installed(const google::protobuf::RepeatedPtrField<ox::AppInfo>& list, ox::Application app);

// "Tagger", "Vetter", "SeekD": the name of a service in the holders' log.
std::string service_name(ox::Application app);

// Keeps at most one connection to one of the suite's services, whose
// socket path only PilotD knows: makes it when first asked, hands it to
// whoever asks, and forgets it when it emits `closed`. A request that
// cannot be served gets a null pointer, and the next request starts over;
// there is no timer and no retry. When PilotD says the service is not
// installed, requests get a null pointer at once, without asking PilotD,
// until PilotD lists the service as installed or the settings change.
//
// T is a service client derived from cf_ipc_link_t with
//   static ox::Application application();
//   static std::shared_ptr<T> connect(inventory_t&, const boost::filesystem::path&);
//     (throws boost::system::system_error)
//   boost::signals2::signal<void()> closed;
template <class T>
class connection_holder_t : private boost::noncopyable {
public:
    using callback_t = std::function<void(T*)>;

    // Connects to the PilotD link's `appinfo_changed`, then to the settings
    // holder's `changed`.
    explicit connection_holder_t(inventory_t& inventory);
    // Closes the held connection's socket and lets it go; waiting callbacks
    // are dropped uncalled.
    ~connection_holder_t();

    // The callback gets the connection, or null when none can be had, in a
    // later turn of the event loop, never inside this call.
    void async_get_connection(const callback_t& callback);

private:
    void hand_over(const callback_t& callback);
    void get_connection();
    void on_socket(const boost::filesystem::path& path, const boost::system::error_code& error);
    void flush_waiters();
    void drop_connection();
    void on_app_info(const google::protobuf::RepeatedPtrField<ox::AppInfo>& list);
    void on_config_changed();
    // Handlers that may run after the holder is gone (a hand-over still
    // queued on the event loop, PilotD's answer) hold this guard weakly.
    std::function<void()> guarded(std::function<void(connection_holder_t*)> work);

    inventory_t& inventory_;
    boost::signals2::scoped_connection app_info_slot_;
    boost::signals2::scoped_connection settings_slot_;
    boost::signals2::scoped_connection closed_slot_;
    std::shared_ptr<T> connection_;
    std::list<callback_t> waiters_;
    bool unavailable_ = false;
    // Goes first, so that nothing outstanding reaches a holder being
    // destroyed.
    std::shared_ptr<connection_holder_t*> alive_ = std::make_shared<connection_holder_t*>(this);
};

template <class T>
connection_holder_t<T>::connection_holder_t(inventory_t& inventory) : inventory_(inventory)
{
    app_info_slot_ = inventory.pilotd_tie->appinfo_changed.connect(
        [this](const google::protobuf::RepeatedPtrField<ox::AppInfo>& list) { on_app_info(list); });
    settings_slot_ = inventory.config_holder->changed.connect([this] { on_config_changed(); });
}

template <class T>
connection_holder_t<T>::~connection_holder_t()
{
    alive_.reset();
    if (connection_ && connection_->is_open())
        connection_->close();
    waiters_.clear();
    // Released here, while the holder is whole: the connection fails what
    // is still pending, and those callbacks may ask for a connection again.
    connection_.reset();
}

template <class T>
std::function<void()> connection_holder_t<T>::guarded(std::function<void(connection_holder_t*)> work)
{
    return [alive = std::weak_ptr<connection_holder_t*>(alive_), work = std::move(work)] {
        if (const auto holder = alive.lock())
            work(*holder);
    };
}

template <class T>
void connection_holder_t<T>::async_get_connection(const callback_t& callback)
{
    boost::asio::post(inventory_.io_context,
                      guarded([callback](connection_holder_t* holder) { holder->hand_over(callback); }));
}

template <class T>
void connection_holder_t<T>::hand_over(const callback_t& callback)
{
    if (connection_) {
        callback(connection_.get());
        return;
    }
    waiters_.push_back(callback);
    if (waiters_.size() != 1)
        return;
    if (unavailable_)
        flush_waiters();
    else
        get_connection();
}

template <class T>
void connection_holder_t<T>::get_connection()
{
    inventory_.pilotd_tie->request_socket(
        T::application(), [alive = std::weak_ptr<connection_holder_t*>(alive_)](
                              const boost::filesystem::path& path, const boost::system::error_code& error) {
            if (const auto holder = alive.lock())
                (*holder)->on_socket(path, error);
        });
}

template <class T>
void connection_holder_t<T>::on_socket(const boost::filesystem::path& path, const boost::system::error_code& error)
{
    if (error) {
        if (cf_log_threshold <= cf_log_error)
            cf_log(cf_log_error, service_name(T::application()) + ": " + error.message());
        if (error == ox::make_error_code(ox::EC_NOT_INSTALLED))
            unavailable_ = true;
    } else {
        try {
            connection_ = T::connect(inventory_, path);
            closed_slot_ = connection_->closed.connect([this] { drop_connection(); });
        } catch (const boost::system::system_error& e) {
            if (cf_log_threshold <= cf_log_error)
                cf_log(cf_log_error, service_name(T::application()) + ": " + cf_what(e));
            if (connection_ && connection_->is_open())
                connection_->close();
            connection_.reset();
        }
    }
    flush_waiters();
}

template <class T>
void connection_holder_t<T>::flush_waiters()
{
    const std::list<callback_t> waiters = std::move(waiters_);
    waiters_.clear();
    for (const auto& waiter : waiters)
        waiter(connection_.get());
}

template <class T>
void connection_holder_t<T>::drop_connection()
{
    // A connection let go may live on for a moment in its own outstanding
    // handlers; nothing it does then reaches the holder.
    closed_slot_.disconnect();
    if (connection_ && connection_->is_open())
        connection_->close();
    connection_.reset();
}

template <class T>
void connection_holder_t<T>::on_app_info(const google::protobuf::RepeatedPtrField<ox::AppInfo>& list)
{
    if (lists_installed(list, T::application()))
        unavailable_ = false;
}

template <class T>
void connection_holder_t<T>::on_config_changed()
{
    unavailable_ = false;
}

} // namespace ic
