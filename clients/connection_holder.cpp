#include "clients/connection_holder.hpp"

#include "common/enum_text.hpp"
#include "schemas/root_appinfo.pb.h"

namespace ic {

bool lists_installed(const google::protobuf::RepeatedPtrField<ox::AppInfo>& list, ox::Application app)
{
    for (const ox::AppInfo& info : list) {
        if (!info.HasExtension(ox::root_info))
            continue;
        for (const ox::InstalledApp& installed : info.GetExtension(ox::root_info).installed_app())
            if (installed.app() == app)
                return true;
    }
    return false;
}

std::string service_name(ox::Application app)
{
    return cf_enum_text(app);
}

} // namespace ic
