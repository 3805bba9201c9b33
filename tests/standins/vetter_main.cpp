// vetter-standin: the stand-in Vetter as a program of its own, for the demo.
//
//   vetter-standin --socket PATH [--threat MARKER=NAME]... [--delay MS]
//
// Listens on the local socket PATH until SIGINT or SIGTERM. A scanned body
// that contains MARKER is reported as infected by the known virus NAME; the
// bytes read back are the ones scanned.

#include <signal.h>

#include <chrono>
#include <cstdlib>
#include <iostream>
#include <string>

#include <boost/asio/io_context.hpp>
#include <boost/asio/signal_set.hpp>

#include "standins/vetter_standin.hpp"

namespace {

const char* const usage = "usage: vetter-standin --socket PATH [--threat MARKER=NAME]... [--delay MS]\n";

} // namespace

int main(int argc, char* argv[])
{
    std::string path;
    standin::vetter_scenario_t scenario;
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string name = argv[i];
        const std::string value = argv[i + 1];
        if (name == "--socket") {
            path = value;
        } else if (name == "--threat" && value.find('=') != std::string::npos) {
            const auto at = value.find('=');
            scenario.threats.push_back({value.substr(0, at), ox::SE_KNOWN_VIRUS, value.substr(at + 1)});
        } else if (name == "--delay") {
            scenario.answer_delay = std::chrono::milliseconds(std::strtoul(value.c_str(), nullptr, 10));
        } else {
            std::cerr << usage;
            return 2;
        }
    }
    if (path.empty() || argc % 2 == 0) {
        std::cerr << usage;
        return 2;
    }

    try {
        boost::asio::io_context io;
        standin::vetter_standin_t vetter(io, path);
        vetter.set_scenario(scenario);
        boost::asio::signal_set signals(io, SIGINT, SIGTERM);
        signals.async_wait([&](const boost::system::error_code&, int) {
            vetter.stop();
            io.stop();
        });
        std::cout << "vetter-standin: listening on " << path << std::endl;
        io.run();
        std::cout << "vetter-standin: " << vetter.received().size() << " messages received on " << vetter.connections()
                  << " connections" << std::endl;
        return 0;
    } catch (const std::exception& e) {
        std::cerr << "vetter-standin: " << e.what() << std::endl;
        return 2;
    }
}
