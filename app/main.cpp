#include <csignal>
#include <cstdlib>
#include <exception>
#include <string>

#include <boost/lexical_cast.hpp>

#include "app/core/inventory.hpp"
#include "app/core/need_restart.hpp"
#include "app/core/pilotd_tie.hpp"
#include "app/core/program.hpp"
#include "app/process_exit.hpp"
#include "app/standalone.hpp"
#include "common/error_convert.hpp"
#include "common/log.hpp"
#include "common/what.hpp"

// Every stop of the daemon is an exception out of the event loop; it ends
// here as an exit status.
int main(int argc, char* argv[])
{
    cf_set_terminate_handler();
    cf_set_protobuf_log_handler();

    int status = 0;
    try {
        const char* monitor = std::getenv("COM_ORVEX_MONITOR");
        if (monitor == nullptr)
            cf_run_standalone(ic::program_name, ic::program_version, argc, argv);

        if (cf_log_threshold <= cf_log_notice)
            cf_log(cf_log_notice, std::string("TRAXD ") + ic::program_version);

        const int descriptor = boost::lexical_cast<int>(std::string(monitor));
        ic::inventory_t inventory(descriptor);
        inventory.pilotd_tie->request_config();
        std::signal(SIGPIPE, SIG_IGN);
        inventory.io_context.run();
    } catch (ox::ErrorCode code) {
        status = code;
    } catch (const ic::need_restart_t&) {
        if (cf_log_threshold <= cf_log_notice)
            cf_log(cf_log_notice, "Will restart for config changes to take effect");
        status = 0;
    } catch (const std::exception& e) {
        if (cf_log_threshold <= cf_log_error)
            cf_log(cf_log_error, cf_what(e));
        status = cf_to_proto_error(e);
    }
    cf_exit(status);
}
