#pragma once

#include <functional>
#include <memory>
#include <string>

#include <boost/asio/io_context.hpp>
#include <boost/asio/signal_set.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/core/noncopyable.hpp>
#include <boost/signals2/connection.hpp>
#include <boost/signals2/signal.hpp>
#include <boost/system/error_code.hpp>

namespace ic {

class config_holder_t;
class pilotd_tie_t;
class template_store_t;
class check_engine_t;
class icap_handler_t;
class icap_server_t;
class lookup_engine_t;
class stat_collector_t;
class answer_builder_t;
class state_watcher_t;
class lua_t;
template <class T>
class connection_holder_t;
class tagger_connection_t;
class vetter_connection_t;
class seekd_connection_t;

// The application object: owns the event loop and every component, in the
// order below (destroyed in reverse). Components get a reference to it and
// reach their siblings through it. Slots of `tick` and of the settings
// holder's `changed` run in the order the members connect them.
class inventory_t : private boost::noncopyable {
public:
    // Adopts the PilotD channel `descriptor`, builds every component, arms
    // the 1-second ticker and the SIGHUP and SIGTERM waits.
    explicit inventory_t(int descriptor);
    ~inventory_t();

    // The connection to the service, or null when none can be had; always
    // later, from the event loop.
    void get_tagger_connection(const std::function<void(tagger_connection_t*)>& callback);
    void get_vetter_connection(const std::function<void(vetter_connection_t*)>& callback);
    void get_seekd_connection(const std::function<void(seekd_connection_t*)>& callback);

    // Emitted once a second.
    boost::signals2::signal<void()> tick;
    // One thread runs the loop, and the only other thread in the process,
    // the resolver's, hands its results back through the scheduler, which
    // keeps its lock; signals reach the loop through a pipe the loop reads.
    // No other thread touches a socket, a timer or a descriptor of this
    // loop, so the reactor's per-descriptor locks are left out, and work
    // posted from the loop's own thread waits in that thread's queue without
    // the scheduler's lock.
    boost::asio::io_context io_context{BOOST_ASIO_CONCURRENCY_HINT_UNSAFE_IO};
    std::unique_ptr<config_holder_t> config_holder;
    std::shared_ptr<pilotd_tie_t> pilotd_tie;
    std::unique_ptr<template_store_t> template_store;
    std::unique_ptr<check_engine_t> check_engine;
    std::unique_ptr<icap_handler_t> icap_handler;
    std::unique_ptr<icap_server_t> icap_server;
    std::unique_ptr<lookup_engine_t> lookup_engine;
    std::unique_ptr<stat_collector_t> stat_collector;
    std::unique_ptr<answer_builder_t> answer_builder;
    std::unique_ptr<state_watcher_t> state_watcher;
    std::unique_ptr<lua_t> lua;
    std::unique_ptr<connection_holder_t<tagger_connection_t>> tagger_holder;
    std::unique_ptr<connection_holder_t<vetter_connection_t>> vetter_holder;
    std::unique_ptr<connection_holder_t<seekd_connection_t>> seekd_holder;
    boost::asio::signal_set sighup_signals;
    boost::asio::signal_set sigterm_signals;
    boost::asio::steady_timer ticker;
    boost::signals2::scoped_connection switch_user_connection;
    // Set once the process has given up its start-up user.
    bool user_switched = false;

private:
    void arm_ticker();
    void on_ticker(const boost::system::error_code& error);
    void wait_sighup();
    void on_sighup(const boost::system::error_code& error);
    void wait_sigterm();
    void on_sigterm(const boost::system::error_code& error);
    // Slot of the settings change: becomes the run-as user once.
    void switch_user();
};

} // namespace ic
