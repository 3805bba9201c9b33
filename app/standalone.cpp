#include "app/standalone.hpp"

#include <cstdlib>
#include <iostream>

#include <boost/program_options/options_description.hpp>
#include <boost/program_options/parsers.hpp>
#include <boost/program_options/positional_options.hpp>
#include <boost/program_options/variables_map.hpp>

#include "app/exe_info.hpp"
#include "app/print_json.hpp"
#include "common/log.hpp"
#include "common/log_factory.hpp"

void cf_run_standalone(const char* name, const char* version, int argc, char* argv[])
{
    namespace po = boost::program_options;

    cf_log_threshold = cf_log_error;
    cf_set_log(cf_make_default_log());

    po::options_description visible("Command line options");
    visible.add_options()("help,h", "print help message and exit")("version,v", "print version and exit");
    po::options_description all("Command line options");
    all.add(visible).add_options()("dump-app-info", "dump exe file info");

    po::variables_map options;
    po::store(po::command_line_parser(argc, argv)
                  .options(all)
                  .positional(po::positional_options_description())
                  .style(po::command_line_style::default_style | po::command_line_style::long_case_insensitive)
                  .run(),
              options);
    po::notify(options);

    if (options.count("help")) {
        std::cout << visible << std::endl;
        std::exit(0);
    }
    if (options.count("version")) {
        std::cout << name << ' ' << version << std::endl;
        std::exit(0);
    }
    if (options.count("dump-app-info")) {
        ox::AppExeInfo info;
        try {
            info = cf_build_exe_info(version, argc, argv);
        } catch (const std::exception&) {
            info.Clear();
        }
        cf_print_json(std::cout, info) << std::endl;
        std::exit(0);
    }
    std::cout << "Cannot run standalone. See " << name << "(1) for details." << std::endl;
    std::exit(1);
}
