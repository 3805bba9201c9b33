#include "standins/service_listener.hpp"

#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <future>
#include <stdexcept>

#include <boost/asio/post.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/write.hpp>

#include "standins/run_on_loop.hpp"

namespace standin {

service_peer_t::service_peer_t(service_listener_t& owner, std::size_t number,
                               std::shared_ptr<cf_ipc_socket_t> connected)
    : owner_(owner), number_(number)
{
    socket = std::move(connected);
}

void service_peer_t::send_frame(const std::string& body)
{
    const auto length = static_cast<std::uint32_t>(body.size());
    std::string frame(sizeof length, '\0');
    std::memcpy(frame.data(), &length, sizeof length);
    send_raw(frame + body);
}

void service_peer_t::send_raw(const std::string& bytes)
{
    if (!is_open())
        return;
    boost::system::error_code ignored;
    boost::asio::write(*socket, boost::asio::buffer(bytes), ignored);
}

void service_peer_t::end()
{
    if (is_open()) {
        // Bytes the client sent that were not read yet (a greeting) are read
        // first: closing a local socket with unread bytes resets the
        // connection, where a service that had read them ends it.
        boost::system::error_code error;
        char unread[4096];
        while (!error && socket->available(error) > 0)
            socket->read_some(boost::asio::buffer(unread), error);
        close();
    }
    if (!ended_) {
        ended_ = true;
        owner_.on_peer_end();
    }
}

void service_peer_t::on_message(google::protobuf::io::ZeroCopyInputStream& body)
{
    std::string bytes;
    const void* data = nullptr;
    int size = 0;
    while (body.Next(&data, &size))
        bytes.append(static_cast<const char*>(data), static_cast<std::size_t>(size));
    owner_.on_frame(shared_from_this(), bytes);
}

void service_peer_t::on_error(const boost::system::error_code&)
{
    end();
}

service_listener_t::service_listener_t(const std::string& name, const std::string& path, frame_handler_t handler)
    : handler_(std::move(handler)), work_(io_.get_executor()), acceptor_(io_)
{
    path_ = path;
    if (path_.empty()) {
        std::string pattern = "/tmp/traxd-" + name + "-XXXXXX";
        if (!::mkdtemp(pattern.data()))
            throw std::runtime_error("mkdtemp: " + std::string(std::strerror(errno)));
        directory_ = pattern;
        path_ = directory_ + "/" + name + ".sock";
    }
    try {
        const boost::asio::local::stream_protocol::endpoint endpoint(path_);
        acceptor_.open(endpoint.protocol());
        acceptor_.bind(endpoint);
        acceptor_.listen();
    } catch (const boost::system::system_error& e) {
        if (!directory_.empty())
            ::rmdir(directory_.c_str());
        throw std::runtime_error("cannot listen at " + path_ + ": " + e.what());
    }
    accept_next();
    thread_ = std::thread([this] { io_.run(); });
}

service_listener_t::~service_listener_t()
{
    run_on_loop([this] {
        boost::system::error_code ignored;
        acceptor_.close(ignored);
        end_all();
    });
    work_.reset();
    io_.stop();
    thread_.join();
    ::unlink(path_.c_str());
    if (!directory_.empty())
        ::rmdir(directory_.c_str());
}

void service_listener_t::accept_next()
{
    auto socket = std::make_shared<cf_ipc_socket_t>(io_.get_executor());
    acceptor_.async_accept(*socket, [this, socket](const boost::system::error_code& ec) {
        if (ec)
            return;
        std::size_t number = 0;
        {
            std::lock_guard lock(mutex_);
            number = accepted_++;
        }
        auto peer = std::make_shared<service_peer_t>(*this, number, socket);
        peers_.push_back(peer);
        peer->start();
        notify();
        accept_next();
    });
}

void service_listener_t::on_frame(const std::shared_ptr<service_peer_t>& peer, const std::string& body)
{
    handler_(peer, body);
}

void service_listener_t::on_peer_end()
{
    {
        std::lock_guard lock(mutex_);
        ++ended_;
    }
    notify();
}

std::size_t service_listener_t::accepted() const
{
    std::lock_guard lock(mutex_);
    return accepted_;
}

std::size_t service_listener_t::ended() const
{
    std::lock_guard lock(mutex_);
    return ended_;
}

bool service_listener_t::wait_for_accepted(std::size_t count, duration_t limit) const
{
    return wait_until(limit, [&] { return accepted_ >= count; });
}

bool service_listener_t::wait_for_ended(std::size_t count, duration_t limit) const
{
    return wait_until(limit, [&] { return ended_ >= count; });
}

void service_listener_t::set_fault(fault_t fault)
{
    std::lock_guard lock(mutex_);
    fault_ = fault;
}

fault_t service_listener_t::fault() const
{
    std::lock_guard lock(mutex_);
    return fault_;
}

void service_listener_t::set_delay(duration_t delay)
{
    std::lock_guard lock(mutex_);
    delay_ = delay;
}

void service_listener_t::deliver(const std::shared_ptr<service_peer_t>& peer, fault_t fault, const std::string& reply)
{
    duration_t delay{};
    {
        std::lock_guard lock(mutex_);
        delay = delay_;
        if (fault == fault_t::hold) {
            held_.emplace_back(peer, reply);
            changed_.notify_all();
            return;
        }
    }
    switch (fault) {
    case fault_t::silent:
        return;
    case fault_t::close:
        peer->end();
        return;
    case fault_t::empty_frame:
        peer->send_raw(std::string(sizeof(std::uint32_t), '\0'));
        return;
    default:
        break;
    }
    if (delay == duration_t::zero())
        peer->send_frame(reply);
    else
        run_later(delay, [peer, reply] { peer->send_frame(reply); });
}

void service_listener_t::release_held(bool reverse)
{
    run_on_loop([this, reverse] {
        std::vector<std::pair<std::weak_ptr<service_peer_t>, std::string>> held;
        {
            std::lock_guard lock(mutex_);
            held.swap(held_);
        }
        if (reverse)
            std::reverse(held.begin(), held.end());
        for (const auto& [weak, reply] : held)
            if (const auto peer = weak.lock())
                peer->send_frame(reply);
    });
}

std::size_t service_listener_t::held() const
{
    std::lock_guard lock(mutex_);
    return held_.size();
}

void service_listener_t::run_on_loop(const std::function<void()>& work)
{
    standin::run_on_loop(io_, work);
}

void service_listener_t::run_later(duration_t delay, std::function<void()> work)
{
    auto timer = std::make_shared<boost::asio::steady_timer>(io_, delay);
    timer->async_wait([timer, work = std::move(work)](const boost::system::error_code& ec) {
        if (!ec)
            work();
    });
}

void service_listener_t::end_all()
{
    for (const auto& weak : peers_)
        if (const auto peer = weak.lock())
            peer->end();
    peers_.clear();
}

} // namespace standin
