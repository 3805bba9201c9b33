// seekd-standin: the stand-in SeekD as a program, for the demo.
//
//   seekd-standin [--socket PATH] [--table FILE]

#include <memory>

#include "standins/seekd_standin.hpp"
#include "standins/service_main.hpp"

int main(int argc, char* argv[])
{
    standin::service_program_t program;
    program.name = "seekd-standin";
    program.table_format = "kind@tag [user=U] [domain=D] : value ...  |  kind@tag [user=U] [domain=D] ! EC_CODE";
    program.start = [](const std::string& path, const std::string& table,
                       const std::function<void(const std::string&)>& observer, std::string& listening_at) {
        auto seekd = std::make_shared<standin::seekd_standin_t>(path);
        seekd->load_table(table);
        seekd->set_observer(observer);
        listening_at = seekd->path();
        return std::shared_ptr<void>(seekd);
    };
    return standin::run_service_program(program, argc, argv);
}
