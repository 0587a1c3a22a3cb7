#include "common/json_utils.h"

#include "common/log.h"

namespace qz::vms_server_plugins::analytics::qzai {

std::string jsonDocToString(nlohmann::ordered_json doc) {
    try {
        return doc.dump();
    } catch (const nlohmann::ordered_json::exception&) {
        logMessage("Error creating settings model string\n");
        return "{}";
    }
}

}  // namespace qz::vms_server_plugins::analytics::qzai
