#pragma once

#include <memory>
#include <utility>

#include <boost/asio/basic_socket.hpp>
#include <boost/asio/detail/bind_handler.hpp>
#include <boost/asio/detail/fenced_block.hpp>
#include <boost/asio/detail/handler_alloc_helpers.hpp>
#include <boost/asio/detail/handler_work.hpp>
#include <boost/asio/detail/reactor.hpp>
#include <boost/asio/detail/reactor_op.hpp>
#include <boost/asio/execution/context.hpp>
#include <boost/asio/query.hpp>
#include <boost/asio/version.hpp>

// A wait for a socket to become readable that costs no system call when it
// starts, for a caller that has just read the socket until it had nothing
// more to give.
//
// The event loop registers every socket once for edge-triggered readiness,
// so the kernel reports each arrival of data whether or not a wait is
// pending. Its own readiness wait cannot rely on that: it cannot know
// whether an edge went by unseen since the socket was last read, so every
// wait re-arms the socket with an epoll_ctl, as costly as the read itself
// and paid once per query. A caller that starts the wait in the same
// handler as a read that drained the socket knows that no edge went by
// since: any byte that arrives from then on raises a new edge, which the
// loop can only take after this handler returns, when the wait is already
// queued. Such a wait can simply be queued.
//
// Built on the event loop's reactor of this Boost version; other versions
// (or another reactor) take the loop's own wait, which is always right.
#if BOOST_ASIO_VERSION == 101800 && defined(BOOST_ASIO_HAS_EPOLL)
#define TRAXD_EDGE_WAIT 1
#else
#define TRAXD_EDGE_WAIT 0
#endif

namespace io {

// What a caller that waits on one socket again and again keeps from one
// wait to the next: the event loop's reactor, looked up at the first wait.
// The lookup goes through the loop's registry of services, under its lock
// and comparing names, which would cost as much as the rest of the wait.
// Only for the waits of one event loop.
struct edge_wait_memo_t {
#if TRAXD_EDGE_WAIT
    boost::asio::detail::reactor* reactor = nullptr;
#endif
};

#if TRAXD_EDGE_WAIT
namespace detail {

// Reaches the implementation a socket keeps for its service.
template <typename Protocol, typename Executor>
struct socket_access_t : boost::asio::basic_socket<Protocol, Executor> {
    static auto& object(boost::asio::basic_socket<Protocol, Executor>& socket) noexcept
    {
        return socket.*(&socket_access_t::impl_);
    }
};

// The reactor's record of the wait. The reactor tries an operation once as
// it is started, to spare a wait when the socket may already hold data;
// this one is not ready then, by the caller's promise, and is ready when
// the reactor reports an edge.
template <typename Handler, typename IoExecutor>
class edge_wait_op_t : public boost::asio::detail::reactor_op {
public:
    BOOST_ASIO_DEFINE_HANDLER_PTR(edge_wait_op_t);

    edge_wait_op_t(Handler& handler, const IoExecutor& io_ex)
        : reactor_op(boost::system::error_code(), &edge_wait_op_t::do_perform, &edge_wait_op_t::do_complete),
          handler_(std::move(handler)),
          work_(handler_, io_ex)
    {
    }

    // Set once the reactor has queued the wait.
    bool queued = false;

private:
    static status do_perform(reactor_op* base) { return static_cast<edge_wait_op_t*>(base)->queued ? done : not_done; }

    static void do_complete(void* owner, boost::asio::detail::operation* base, const boost::system::error_code&,
                            std::size_t)
    {
        auto* o = static_cast<edge_wait_op_t*>(base);
        ptr p = {std::addressof(o->handler_), o, o};
        boost::asio::detail::handler_work<Handler, IoExecutor> w(std::move(o->work_));
        // The handler may own the memory of the record: it is moved out
        // before the record is freed.
        boost::asio::detail::binder1<Handler, boost::system::error_code> handler(o->handler_, o->ec_);
        p.h = std::addressof(handler.handler_);
        p.reset();
        if (owner) {
            boost::asio::detail::fenced_block b(boost::asio::detail::fenced_block::half);
            w.complete(handler, handler.handler_);
        }
    }

    Handler handler_;
    boost::asio::detail::handler_work<Handler, IoExecutor> work_;
};

} // namespace detail
#endif

// Waits until the socket is readable. Only for a socket that the caller
// has just read, in this same handler, until the read would have blocked
// or returned fewer bytes than asked; the socket must be in non-blocking
// mode. The handler is called as by async_wait, never inside this call.
template <typename Protocol, typename Executor, typename Handler>
void async_wait_edge(boost::asio::basic_socket<Protocol, Executor>& socket, Handler handler, edge_wait_memo_t& memo)
{
#if TRAXD_EDGE_WAIT
    auto& object = detail::socket_access_t<Protocol, Executor>::object(socket);
    auto& impl = object.get_implementation();
    if (!(impl.state_ & boost::asio::detail::socket_ops::non_blocking)) {
        socket.async_wait(boost::asio::socket_base::wait_read, std::move(handler));
        return;
    }
    using op_t = detail::edge_wait_op_t<Handler, Executor>;
    typename op_t::ptr p = {std::addressof(handler), op_t::ptr::allocate(handler), nullptr};
    p.p = new (p.v) op_t(handler, object.get_executor());
    if (!memo.reactor)
        memo.reactor = &boost::asio::use_service<boost::asio::detail::reactor>(
            boost::asio::query(socket.get_executor(), boost::asio::execution::context));
    op_t* const op = p.p;
    p.v = p.p = nullptr;
    memo.reactor->start_op(boost::asio::detail::reactor::read_op, impl.socket_, impl.reactor_data_, op, false, true);
    // The reactor either queued the wait or posted it to complete with an
    // error; either way it runs only from the loop, after this call.
    op->queued = true;
#else
    socket.async_wait(boost::asio::socket_base::wait_read, std::move(handler));
#endif
}

} // namespace io
