#pragma once

// The machinery of the stand-ins for the services the daemon is a client
// of (Tagger, SeekD): a local stream socket that accepts any number of
// connections, each read frame by frame with the suite's own message link,
// on an event loop of its own thread. What a frame means and what to answer
// is the stand-in's business: every frame goes to its handler on the
// listener's thread, with the connection it came on; the listener then
// delivers the answer as the current fault says (at once, later, never,
// held back, or by closing). Every wait is bounded.

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/local/stream_protocol.hpp>

#include "common/ipc_link.hpp"
#include "standins/fault.hpp"

namespace standin {

class service_listener_t;

// The stand-in's end of one accepted connection. Its operations run on the
// listener's thread.
class service_peer_t : public cf_ipc_link_t, public std::enable_shared_from_this<service_peer_t> {
public:
    service_peer_t(service_listener_t& owner, std::size_t number, std::shared_ptr<cf_ipc_socket_t> connected);

    // The connection's number, counted from 0 in the order of acceptance.
    std::size_t number() const { return number_; }

    // A frame: the body's length in host byte order, then the body, which
    // need not be a message.
    void send_frame(const std::string& body);
    // Bytes as they are. Writes to a connection the client has closed are
    // dropped.
    void send_raw(const std::string& bytes);
    // Closes the connection; the client sees its end.
    void end();

    void start() { start_read(); }

protected:
    void on_message(google::protobuf::io::ZeroCopyInputStream& body) override;
    void on_error(const boost::system::error_code& ec) override;
    std::shared_ptr<cf_ipc_link_t> shared_self() override { return shared_from_this(); }

private:
    service_listener_t& owner_;
    std::size_t number_;
    bool ended_ = false;
};

class service_listener_t {
public:
    using duration_t = std::chrono::steady_clock::duration;
    using frame_handler_t = std::function<void(const std::shared_ptr<service_peer_t>& peer, const std::string& body)>;

    // Listens at `path`, or, when it is empty, at "<name>.sock" in a
    // temporary directory of its own, removed with the listener. Throws
    // std::runtime_error when it cannot listen.
    service_listener_t(const std::string& name, const std::string& path, frame_handler_t handler);
    // Closes every connection and the socket, and stops the thread.
    ~service_listener_t();
    service_listener_t(const service_listener_t&) = delete;
    service_listener_t& operator=(const service_listener_t&) = delete;

    const std::string& path() const { return path_; }

    // Connections accepted, and ended (by either side), so far.
    std::size_t accepted() const;
    std::size_t ended() const;
    bool wait_for_accepted(std::size_t count, duration_t limit = std::chrono::seconds(5)) const;
    bool wait_for_ended(std::size_t count, duration_t limit = std::chrono::seconds(5)) const;

    // How the following requests are answered.
    void set_fault(fault_t fault);
    fault_t fault() const;
    // Answers are sent that long after their request.
    void set_delay(duration_t delay);
    // Hands a reply to the connection as `fault` says: nothing, a close or
    // a frame of length 0 in place of the reply, held back, or sent (after
    // the delay).
    void deliver(const std::shared_ptr<service_peer_t>& peer, fault_t fault, const std::string& reply);
    // Sends the replies held back so far, the last held first when
    // `reverse` is set.
    void release_held(bool reverse);
    std::size_t held() const;

    // Runs `work` on the listener's thread and waits for it; rethrows.
    void run_on_loop(const std::function<void()>& work);
    // Runs `work` on the listener's thread after `delay`.
    void run_later(duration_t delay, std::function<void()> work);
    // Ends every open connection (run on the listener's thread).
    void end_all();

    // The lock of the stand-in's own state, and the wait for a change of
    // it: a stand-in notifies after changing what tests wait for.
    std::mutex& mutex() const { return mutex_; }
    void notify() const { changed_.notify_all(); }
    template <class Predicate>
    bool wait_until(duration_t limit, Predicate&& ready) const
    {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, limit, std::forward<Predicate>(ready));
    }

private:
    friend class service_peer_t;

    void accept_next();
    void on_frame(const std::shared_ptr<service_peer_t>& peer, const std::string& body);
    void on_peer_end();

    std::string directory_;
    std::string path_;
    frame_handler_t handler_;
    mutable std::mutex mutex_;
    mutable std::condition_variable changed_;
    // Guarded by mutex_.
    std::size_t accepted_ = 0;
    std::size_t ended_ = 0;
    fault_t fault_ = fault_t::none;
    duration_t delay_{};
    std::vector<std::pair<std::weak_ptr<service_peer_t>, std::string>> held_;

    boost::asio::io_context io_;
    boost::asio::executor_work_guard<boost::asio::io_context::executor_type> work_;
    boost::asio::local::stream_protocol::acceptor acceptor_;
    // The listener's thread only.
    std::vector<std::weak_ptr<service_peer_t>> peers_;
    // Declared last: the loop stops before anything it uses goes.
    std::thread thread_;
};

} // namespace standin
