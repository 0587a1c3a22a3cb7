#include "engine/plugin.h"

#include "engine/engine.h"

namespace qz::vms_server_plugins::analytics::qzai {

std::string Plugin::manifestString() const {
    return R"({"id":"qz.qzai","name":"QZ AI","description":"AI analytics for cameras","version":")" QZAI_PLUGIN_VERSION
           R"(","vendor":"QZ"})";
}

qz::sdk::Result<qz::sdk::analytics::IEngine*> Plugin::doObtainEngine() { return new Engine(this); }

}  // namespace qz::vms_server_plugins::analytics::qzai
