#include "common/ini.h"

namespace qz::vms_server_plugins::analytics::qzai {

const Ini& ini() {
    static const Ini instance;
    return instance;
}

}  // namespace qz::vms_server_plugins::analytics::qzai
