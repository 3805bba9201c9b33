// tagger-standin: the stand-in Tagger as a program, for the demo.
//
//   tagger-standin [--socket PATH] [--table FILE]

#include <memory>

#include "standins/service_main.hpp"
#include "standins/tagger_standin.hpp"

int main(int argc, char* argv[])
{
    standin::service_program_t program;
    program.name = "tagger-standin";
    program.table_format = "host [category ...] [legal=URL] [error=EC_CODE]";
    program.start = [](const std::string& path, const std::string& table,
                       const std::function<void(const std::string&)>& observer, std::string& listening_at) {
        auto tagger = std::make_shared<standin::tagger_standin_t>(path);
        tagger->load_table(table);
        tagger->set_observer(observer);
        listening_at = tagger->path();
        return std::shared_ptr<void>(tagger);
    };
    return standin::run_service_program(program, argc, argv);
}
