#include "standins/service_main.hpp"

#include <signal.h>

#include <fstream>
#include <iostream>
#include <memory>
#include <sstream>

namespace standin {

int run_service_program(const service_program_t& program, int argc, char* argv[])
{
    const std::string usage =
        "usage: " + program.name + " [--socket PATH] [--table FILE]\n  table lines: " + program.table_format + "\n";
    std::string path;
    std::string table_file;
    for (int i = 1; i < argc; i += 2) {
        const std::string option = argv[i];
        if (i + 1 >= argc) {
            std::cerr << usage;
            return 2;
        }
        if (option == "--socket")
            path = argv[i + 1];
        else if (option == "--table")
            table_file = argv[i + 1];
        else {
            std::cerr << usage;
            return 2;
        }
    }

    // Taken synchronously below; blocked before the stand-in's thread
    // starts so that it inherits the mask.
    sigset_t handled;
    sigemptyset(&handled);
    sigaddset(&handled, SIGINT);
    sigaddset(&handled, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &handled, nullptr);

    try {
        std::string table;
        if (!table_file.empty()) {
            std::ifstream in(table_file);
            if (!in)
                throw std::runtime_error("cannot read " + table_file);
            std::ostringstream text;
            text << in.rdbuf();
            table = text.str();
        }
        std::string listening_at;
        const auto standin = program.start(
            path, table,
            [&program](const std::string& line) { std::cout << program.name << ": " << line << std::endl; },
            listening_at);
        std::cout << program.name << ": listening on " << listening_at << std::endl;
        int number = 0;
        sigwait(&handled, &number);
        std::cout << "\n" << program.name << ": stopping" << std::endl;
        return 0;
    } catch (const std::exception& e) {
        std::cerr << program.name << ": " << e.what() << std::endl;
        return 2;
    }
}

} // namespace standin
