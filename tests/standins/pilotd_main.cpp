// pilotd-standin: runs orvex-traxd for real under the stand-in PilotD, in the
// foreground, until Ctrl-C.
//
//   pilotd-standin --daemon PATH --config FILE [--revision N]
//                  [--vetter SOCKET] [--tagger SOCKET] [--seekd SOCKET]
//
// The settings file (text-format ox::TRAXDConfig) is read again for every
// settings request, so editing it and sending SIGHUP to this program
// reconfigures the daemon. SIGINT and SIGTERM are passed on to the daemon as
// SIGTERM; this program ends with the daemon's exit status. The daemon's
// requests for the socket of Vetter, Tagger or SeekD are answered with the
// path given, and with "not installed" for a service without one.

#include <signal.h>
#include <time.h>

#include <cstdlib>
#include <iostream>
#include <map>
#include <string>

#include "standins/pilotd_standin.hpp"

namespace {

const char* const usage = "usage: pilotd-standin --daemon PATH --config FILE [--revision N]\n"
                          "                      [--vetter SOCKET] [--tagger SOCKET] [--seekd SOCKET]\n";

// One line per message from the daemon; the statistics only when something
// was counted, as one arrives every second.
void print_frame(const standin::frame_t& frame)
{
    using tag_t = ox::TRAXD2PilotdMessage;
    const auto& m = frame.message;
    switch (m.tag()) {
    case tag_t::MY_STAT_NOTIFICATION: {
        const auto& c = m.stat().connections();
        const auto& r = m.stat().requests();
        if (c.in() + c.out() + r.options() + r.reqmod() + r.respmod() + r.bad() == 0)
            return;
        std::cout << "pilotd-standin: statistics: connections open " << c.base() << ", in " << c.in() << ", out "
                  << c.out() << "; queries OPTIONS " << r.options() << ", REQMOD " << r.reqmod() << ", RESPMOD "
                  << r.respmod() << ", bad " << r.bad() << std::endl;
        return;
    }
    case tag_t::MY_INFO_NOTIFICATION:
        std::cout << "pilotd-standin: daemon applied settings revision " << m.config_revision() << " (scan state "
                  << ox::ErrorCode_Name(m.info().scan_state()) << ")" << std::endl;
        return;
    default:
        std::cout << "pilotd-standin: received " << tag_t::MessageTag_Name(m.tag()) << std::endl;
    }
}

} // namespace

int main(int argc, char* argv[])
{
    std::string daemon;
    std::string config;
    unsigned long revision = 1;
    std::map<ox::Application, std::string> sockets;
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string name = argv[i];
        if (name == "--daemon")
            daemon = argv[i + 1];
        else if (name == "--config")
            config = argv[i + 1];
        else if (name == "--revision")
            revision = std::strtoul(argv[i + 1], nullptr, 10);
        else if (name == "--vetter")
            sockets[ox::APP_VETTER] = argv[i + 1];
        else if (name == "--tagger")
            sockets[ox::APP_TAGGER] = argv[i + 1];
        else if (name == "--seekd")
            sockets[ox::APP_SEEKD] = argv[i + 1];
        else {
            std::cerr << usage;
            return 2;
        }
    }
    if (daemon.empty() || config.empty() || argc % 2 == 0) {
        std::cerr << usage;
        return 2;
    }

    // Taken synchronously below; blocked before the stand-in's thread starts
    // so that it inherits the mask (the daemon gets a clean one).
    sigset_t handled;
    sigemptyset(&handled);
    for (int number : {SIGINT, SIGTERM, SIGHUP})
        sigaddset(&handled, number);
    pthread_sigmask(SIG_BLOCK, &handled, nullptr);

    try {
        standin::pilotd_standin_t pilotd;
        pilotd.set_config_file(config, static_cast<std::uint32_t>(revision));
        pilotd.set_frame_observer(print_frame);
        for (const auto& [app, path] : sockets)
            pilotd.set_socket_path(app, path);
        standin::launch_options_t options;
        options.binary = daemon;
        options.echo_stderr = true;
        pilotd.start(options);
        std::cout << "pilotd-standin: started " << daemon << " (pid " << pilotd.pid() << ")" << std::endl;

        const timespec tick{0, 200 * 1000 * 1000};
        for (;;) {
            if (const auto status = pilotd.wait_exit(std::chrono::milliseconds(0))) {
                std::cout << "pilotd-standin: the daemon exited with status " << *status << std::endl;
                return *status;
            }
            const int number = sigtimedwait(&handled, nullptr, &tick);
            if (number == SIGHUP) {
                std::cout << "pilotd-standin: passing SIGHUP on; the daemon will ask for " << config << " again"
                          << std::endl;
                pilotd.signal(SIGHUP);
            } else if (number == SIGINT || number == SIGTERM) {
                std::cout << "\npilotd-standin: stopping the daemon" << std::endl;
                pilotd.signal(SIGTERM);
            }
        }
    } catch (const std::exception& e) {
        std::cerr << "pilotd-standin: " << e.what() << std::endl;
        return 2;
    }
}
