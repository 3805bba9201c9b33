#pragma once

// The command line shared by the programs of the service stand-ins:
//
//   <name> [--socket PATH] [--table FILE]
//
// listens at PATH (a temporary path when none is given), answers from the
// table in FILE, prints the path and one line per request, and runs until
// SIGINT or SIGTERM.

#include <functional>
#include <memory>
#include <string>

namespace standin {

struct service_program_t {
    // The program's name, for its messages.
    std::string name;
    // The format of the table file, for the usage text.
    std::string table_format;
    // Makes the stand-in at the path (empty: a temporary one), loads the
    // table text, sets the observer and returns the path listened at; the
    // stand-in lives until the returned keeper is destroyed.
    std::function<std::shared_ptr<void>(const std::string& path, const std::string& table,
                                        const std::function<void(const std::string&)>& observer,
                                        std::string& listening_at)>
        start;
};

// Runs the program; returns its exit status.
int run_service_program(const service_program_t& program, int argc, char* argv[]);

} // namespace standin
